// The operator's page: scans and actions go to the station one after
// another; every state it sends is shown.
"use strict";
const STATE_AT_LOAD = JSON.parse(document.getElementById("state-at-load").textContent);
const SILENT_SHOWN_S = 5;
const token = new URLSearchParams(location.search).get("token") || "";
const $ = (id) => document.getElementById(id);
function el(tag, cls, text) {
  const e = document.createElement(tag);
  if (cls) e.className = cls;
  if (text !== undefined) e.textContent = text;
  return e;
}
let state = STATE_AT_LOAD;
// A scanner types faster than a request goes: each action waits for the
// one before, so that the station gets the scans in the order they came.
let pending = Promise.resolve();
function act(name, fields) {
  pending = pending.then(() => send(name, fields));
  $("scan").focus();
  return pending;
}
async function send(name, fields) {
  const headers = {"X-Korva-Action": "1", "Content-Type": "application/x-www-form-urlencoded"};
  if (token) headers["X-Korva-Token"] = token;
  try {
    const r = await fetch("action/" + name, {method: "POST", headers, body: new URLSearchParams(fields)});
    const text = (await r.text()).trim();
    if (r.status == 403 || r.status >= 500) showMessage(text, true);
  } catch (e) {
    showMessage("the station does not answer: " + e, true);
  }
}
function showMessage(text, refused) {
  $("message").textContent = text;
  $("message").className = refused ? "refused" : "";
}
function panelClass(f) {
  if (f.state == "testing") return "testing";
  if (f.state == "check the fixture") return "check-the-fixture";
  if (f.state == "idle") return "idle";
  return f.banner == "PASS" ? "pass" : f.banner == "FAIL" ? "fail" : "other";
}
function button(text, onclick) {
  const b = el("button", "", text);
  b.type = "button";
  b.onclick = onclick;
  return b;
}
function panel(f) {
  const p = el("section", "panel " + panelClass(f) + (f.selected ? " selected" : ""));
  p.id = "fixture-" + f.name;
  p.append(el("h2", "", f.name));
  p.append(el("div", "words", f.words));
  if (f.serial) p.append(el("div", "serial", f.serial + (f.retest ? " (retest " + f.retest + ")" : "")));
  if (f.state == "testing") {
    if (f.test) p.append(el("div", "test", "testing " + f.test));
    const bar = el("progress");
    bar.max = 1; bar.value = f.progress;
    p.append(bar);
    if (f.silent_s >= SILENT_SHOWN_S) p.append(el("div", "silent", "no output for " + f.silent_s + " s"));
  }
  if (f.banner) {
    p.append(el("div", "banner", f.banner));
    if (f.failure) p.append(el("div", "failure", f.failure));
    if (f.diagnosis) p.append(el("div", "diagnosis", "diagnosis: " + f.diagnosis));
    if (f.advice) p.append(el("div", "advice", f.advice));
  }
  if (f.state == "check the fixture") {
    p.append(el("div", "suspicion", "its last boards all: " + f.suspicion));
    p.append(button("Fixture checked", () => act("confirm-fixture", {fixture: f.name})));
  }
  if (f.state == "verdict") p.append(button("Retest " + f.serial, () => act("retest", {fixture: f.name})));
  if (f.last.length) {
    const list = el("ol");
    for (const b of f.last) list.append(el("li", "", b.serial + ": " + b.verdict + " (" + b.when.slice(11, 19) + ")"));
    p.append(el("div", "", "Last boards:"), list);
  }
  return p;
}
function percent(n, of) { return of ? Math.round(100 * n / of) + "%" : "-"; }
function show(s) {
  state = s;
  $("title").textContent = "korvastation " + s.station + (s.stopping ? " (stopping)" : "");
  document.title = "korvastation " + s.station;
  if (document.activeElement != $("operator")) $("operator").value = s.operator;
  if (s.message.number) showMessage(s.message.text, s.message.refused);
  const chosen = $("fixture").value;
  $("fixture").replaceChildren(el("option", "", "the scanned fixture"));
  $("fixture").firstChild.value = "";
  for (const f of s.fixtures) {
    const o = el("option", "", f.name);
    o.value = f.name;
    $("fixture").append(o);
  }
  $("fixture").value = chosen;
  $("confirm").hidden = !s.confirm;
  if (s.confirm) $("test-again").textContent = "Test " + s.confirm.serial + " again in " + s.confirm.fixture;
  $("panels").replaceChildren(...s.fixtures.map(panel));
  $("yield").replaceChildren(...s.yield.map(y => el("div", "", "Today, " + y.name + ": " + y.boards + " boards, " +
      percent(y.first_pass, y.boards) + " passed first time, " + percent(y.final_pass, y.boards) + " in the end")));
}
$("scan-form").onsubmit = (e) => {
  e.preventDefault();
  const text = $("scan").value;
  $("scan").value = "";
  act("scan", {text, fixture: $("fixture").value});
};
$("operator-form").onsubmit = (e) => {
  e.preventDefault();
  act("operator", {name: $("operator").value});
};
$("test-again").onclick = () => act("test-again", {fixture: state.confirm.fixture});
// A scanner types into whatever has the focus: it comes back to the scan
// field after every click elsewhere.
document.addEventListener("click", (e) => { if (e.target.tagName != "INPUT" && e.target.tagName != "SELECT") $("scan").focus(); });
show(STATE_AT_LOAD);
const events = new EventSource("events");
events.onmessage = (e) => show(JSON.parse(e.data));
events.onerror = () => showMessage("the station does not answer: the page shows its last state", true);

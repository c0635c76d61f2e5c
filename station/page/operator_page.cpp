#include "station/page/dashboard.h"

namespace korvastation {

// The operator's page of a station that serves fixtures: large enough to
// read across the bench, worked with a barcode scanner alone (the scan
// field keeps the focus), its data shown only through textContent.
const char OPERATOR_PAGE[] = R"PAGE(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>korvastation</title>
<style>
body { font-family: sans-serif; margin: 1em; background: #eee; color: #111; font-size: 20px; }
header { display: flex; flex-wrap: wrap; gap: 1em; align-items: center; }
h1 { font-size: 1.4em; margin: 0; }
label { font-weight: bold; }
input, select, button { font-size: 1.2em; padding: .2em .4em; }
#scan { width: 14em; }
#message { font-size: 1.3em; padding: .4em .6em; margin: .6em 0; background: #fff; min-height: 1.4em; }
#message.refused { background: #fdd; border-left: .5em solid #c00; }
#panels { display: grid; grid-template-columns: repeat(auto-fill, minmax(20em, 1fr)); gap: .8em; }
.panel { background: #fff; border: .5em solid #888; padding: .6em; border-radius: .4em; }
.panel.selected { outline: .3em dashed #06c; }
.panel h2 { font-size: 1.8em; margin: 0; }
.panel .words { font-size: 1.6em; font-weight: bold; margin: .2em 0; }
.panel .serial { font-size: 1.4em; font-family: monospace; }
.panel .banner { font-size: 4em; font-weight: bold; text-align: center; margin: .1em 0; }
.panel .silent { color: #a50; font-weight: bold; }
.panel .advice { font-size: 1.3em; font-weight: bold; }
.panel progress { width: 100%; height: 1.2em; }
.panel ol { font-size: .8em; color: #444; padding-left: 1.4em; }
.idle { border-color: #888; } .testing { border-color: #06c; }
.pass { border-color: #080; } .pass .banner { color: #080; }
.fail { border-color: #c00; } .fail .banner { color: #c00; }
.other { border-color: #d80; } .other .banner { color: #a50; }
.check-the-fixture { border-color: #c0c; }
#yield { margin-top: 1em; font-size: 1.1em; }
</style>
</head>
<body>
<header>
<h1 id="title">korvastation</h1>
<form id="scan-form"><label for="scan">Scan</label> <input id="scan" autocomplete="off" autofocus>
<label for="fixture">into</label> <select id="fixture"><option value="">the scanned fixture</option></select></form>
<form id="operator-form"><label for="operator">Operator</label> <input id="operator" autocomplete="off" size="12">
<button type="submit">Set</button></form>
</header>
<div id="message" role="status" aria-live="polite"></div>
<div id="confirm" hidden><button id="test-again" type="button"></button></div>
<div id="panels"></div>
<div id="yield"></div>
<script>
const STATE_AT_LOAD = /*STATE*/;
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
</script>
</body>
</html>
)PAGE";

} // namespace korvastation

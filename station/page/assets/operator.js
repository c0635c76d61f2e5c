// The operator's page: scans and actions go to the station one after
// another; every state it sends is shown in place, in the same elements, so
// that a button under the pointer is never replaced while it is pressed.
"use strict";
const STATE_AT_LOAD = JSON.parse(document.getElementById("state-at-load").textContent);
const SILENT_SHOWN_S = 5;
const token = new URLSearchParams(location.search).get("token") || "";
// This page is a scanning point of its own: a label scanned here selects a
// fixture for the scans typed here, never for the terminal's or another page's.
const POINT = "page-" + Array.from(crypto.getRandomValues(new Uint8Array(6)), b => b.toString(16).padStart(2, "0")).join("");
const $ = (id) => document.getElementById(id);
function el(tag, cls, text) {
  const e = document.createElement(tag);
  if (cls) e.className = cls;
  if (text !== undefined) e.textContent = text;
  return e;
}
// Changes an element only where it differs, so that nothing the operator
// is pressing or reading is rebuilt.
function setText(e, text) { if (e.textContent !== text) e.textContent = text; }
function setClass(e, cls) { if (e.className !== cls) e.className = cls; }
function setShown(e, shown) { if (e.hidden === shown) e.hidden = !shown; }

let state = STATE_AT_LOAD;
// A scanner types faster than a request goes: each action waits for the
// one before, so that the station gets the scans in the order they came.
let pending = Promise.resolve();
function act(name, fields, button) {
  if (button) button.classList.add("sent");
  pending = pending.then(() => send(name, Object.assign({point: POINT}, fields))).then(() => {
    if (button) button.classList.remove("sent");
  });
  $("scan").focus({preventScroll: true});
  return pending;
}
async function send(name, fields) {
  const headers = {"X-Korva-Action": "1", "Content-Type": "application/x-www-form-urlencoded"};
  if (token) headers["X-Korva-Token"] = token;
  try {
    const r = await fetch("action/" + name, {method: "POST", headers, body: new URLSearchParams(fields)});
    if ((r.headers.get("Content-Type") || "").startsWith("application/json")) {
      const answer = await r.json();
      showMessage(answer.message, r.status != 200);
      if (answer.board) showBoard(answer.board);
      return;
    }
    const text = (await r.text()).trim();
    if (text) showMessage(text, r.status != 200);
  } catch (e) {
    showMessage("the station does not answer: " + e, true);
  }
}
function showMessage(text, refused) {
  setText($("message"), text);
  setClass($("message"), refused ? "refused" : "");
}
function panelClass(f) {
  if (f.state == "testing") return "testing";
  if (f.state == "check the fixture") return "check-the-fixture";
  if (f.state == "idle") return "idle";
  return f.banner == "PASS" ? "pass" : f.banner == "FAIL" ? "fail" : "other";
}

// A fixture's panel: made once, then only changed.
const panels = new Map();
// A press counts when the button goes down: a panel above it may grow while
// it is held and move it from under the pointer before it is let go, and a
// click would then be lost. The button never takes the focus from the scan
// field; a key press on it (Enter, Space) comes as a click of its own.
function onPress(button, action) {
  button.addEventListener("pointerdown", (e) => { if (e.button === 0) action(); });
  button.addEventListener("mousedown", (e) => e.preventDefault());
  button.addEventListener("click", (e) => { if (e.detail === 0) action(); });
}
function makePanel(name) {
  const p = {root: el("section")};
  p.root.id = "fixture-" + name;
  // The buttons sit right under the fixture's name, where nothing above
  // them changes: a verdict arriving while one is pressed does not move it.
  // Maintenance comes first: it is shown in any state, the other two in
  // states of their own.
  for (const [key, tag, cls] of [["name", "h2", ""], ["actions", "div", "actions"], ["words", "div", "words"],
      ["serial", "div", "serial"],
      ["test", "div", "test"], ["bar", "progress", ""], ["silent", "div", "silent"], ["banner", "div", "banner"],
      ["diagnosis", "div", "diagnosis"], ["probes", "div", "probes"], ["advice", "div", "advice"],
      ["failure", "div", "failure"],
      ["suspicion", "div", "suspicion"], ["cycles", "div", "cycles"],
      ["port", "div", "port-missing"]]) {
    p[key] = el(tag, cls);
    p.root.append(p[key]);
  }
  p.bar.max = 1;
  p.verdictWord = el("span", "verdict-word");
  p.note = el("span", "note");
  p.banner.append(p.verdictWord, p.note);
  p.checked = el("button", "", "Fixture checked");
  p.checked.id = "checked-" + name;
  p.retest = el("button");
  p.retest.id = "retest-" + name;
  p.maintained = el("button", "", "Maintenance done");
  p.maintained.id = "maintained-" + name;
  for (const b of [p.checked, p.retest, p.maintained]) b.type = "button";
  onPress(p.checked, () => act("confirm-fixture", {fixture: name}, p.checked));
  onPress(p.retest, () => act("retest", {fixture: name}, p.retest));
  onPress(p.maintained, () => act("maintenance-done", {fixture: name}, p.maintained));
  p.lastTitle = el("div", "", "Last boards:");
  p.last = el("ol");
  p.actions.append(p.maintained, p.checked, p.retest);
  p.root.append(p.lastTitle, p.last);
  setText(p.name, name);
  return p;
}
function showPanel(p, f, selected) {
  setClass(p.root, "panel " + panelClass(f) + (selected ? " selected" : ""));
  setText(p.words, f.words);
  setText(p.serial, f.serial ? (f.golden ? "golden board " : "") + f.serial + (f.retest ? " (retest " + f.retest + ")" : "") : "");
  const testing = f.state == "testing";
  setText(p.test, testing && f.test ? "testing " + f.test : "");
  setShown(p.bar, testing);
  if (testing && p.bar.value !== f.progress) p.bar.value = f.progress;
  setText(p.silent, testing && f.silent_s >= SILENT_SHOWN_S ? "no output for " + f.silent_s + " s" : "");
  setShown(p.banner, !!f.banner);
  setText(p.verdictWord, f.banner || "");
  setText(p.note, f.banner_note ? " " + f.banner_note : "");
  setText(p.diagnosis, f.banner && f.diagnosis ? "diagnosis: " + f.diagnosis : "");
  setText(p.probes, f.banner ? f.probe_points || "" : "");
  setText(p.advice, f.banner ? f.advice || "" : "");
  setText(p.failure, f.banner ? f.failure || "" : "");
  setText(p.suspicion, f.state == "check the fixture" ? f.suspicion : "");
  setText(p.cycles, f.cycles + (f.cycles == 1 ? " board" : " boards") + " since its maintenance" +
      (f.maintenance_due ? ": maintenance due" : ""));
  setClass(p.cycles, "cycles" + (f.maintenance_due ? " due" : ""));
  setText(p.port, f.port_missing ? "its port " + f.port + " is not there: plug it in" : "");
  setShown(p.checked, f.state == "check the fixture");
  setShown(p.retest, f.state == "verdict");
  setText(p.retest, "Retest " + (f.serial || ""));
  setShown(p.maintained, !!f.maintenance_due);
  setShown(p.lastTitle, f.last.length > 0);
  const items = f.last.map(b => b.serial + ": " + b.verdict + " (" + b.when.slice(11, 19) + ")");
  if (items.join("\n") !== Array.from(p.last.children, li => li.textContent).join("\n"))
    p.last.replaceChildren(...items.map(t => el("li", "", t)));
}
function showFixtureChoice(s, mine) {
  const select = $("fixture");
  const names = s.fixtures.map(f => f.name);
  if (names.join("\n") !== Array.from(select.options).slice(1).map(o => o.value).join("\n")) {
    const none = el("option", "", "the scanned fixture");
    none.value = "";
    select.replaceChildren(none, ...names.map(n => { const o = el("option", "", n); o.value = n; return o; }));
  }
  if (document.activeElement != select && select.value !== (mine.selected || "")) select.value = mine.selected || "";
}
function showAlarms(s) {
  const alarms = [];
  if (s.records.trouble) alarms.push(s.records.trouble + ": no board is taken until the records can be written");
  if (s.database.trouble)
    alarms.push("the database does not take records (" + s.database.trouble + "): " + s.database.waiting +
                " wait in the day's file");
  if (s.hand_off.waiting) alarms.push(s.hand_off.waiting + " records wait for the line's own command");
  setText($("alarms"), alarms.join("\n"));
  setShown($("alarms"), alarms.length > 0);
}
// The repair bench: the board looked up last, as the station read it from
// the line's database; the forms record what is done to it.
let board = null;
function showBoard(b) {
  board = b;
  setShown($("repair-board"), true);
  const status = b.scrapped ? b.serial + " scrapped at " + b.scrapped
      : b.repaired ? b.serial + " " + b.failed + ", repaired: test it again"
      : b.failed ? b.serial + " " + b.failed + ": waiting for its repair"
      : b.serial + ": its last attempt passed";
  setText($("repair-status"), status);
  setText($("repair-diagnosis"), b.diagnosis ? "diagnosis: " + b.diagnosis : "");
  setText($("repair-probes"), b.probe_points);
  $("repair-history").replaceChildren(...b.lines.map(t => el("li", "", t)));
  setShown($("repair-form"), !!b.failed && !b.scrapped);
  setShown($("override-form"), !!state.repair.require_repair && !!b.failed && !b.repaired && !b.scrapped);
}
function showRepairBench(s) {
  const bench = s.fixtures.length == 0;
  setShown($("repair"), s.repair.lookups);
  for (const id of ["scan-form", "operator-form", "panels", "yield"]) setShown($(id), !bench);
  const select = $("repair-action");
  if (s.repair.actions.join("\n") !== Array.from(select.options, o => o.value).join("\n"))
    select.replaceChildren(...s.repair.actions.map(a => { const o = el("option", "", a); o.value = a; return o; }));
  setText($("waiting-for-repair"), s.repair.waiting + (s.repair.waiting == 1 ? " board waits" : " boards wait") +
      " for a repair on the line");
}
function percent(n, of) { return of ? Math.round(100 * n / of) + "%" : "-"; }
function show(s) {
  state = s;
  setText($("title"), "korvastation " + s.station + (s.stopping ? " (stopping)" : ""));
  document.title = "korvastation " + s.station;
  if (document.activeElement != $("operator") && $("operator").value !== s.operator) $("operator").value = s.operator;
  if (s.message.number && (!s.message.point || s.message.point == POINT)) showMessage(s.message.text, s.message.refused);
  const mine = s.points[POINT] || {selected: "", confirm: null};
  showFixtureChoice(s, mine);
  showAlarms(s);
  setShown($("confirm"), !!mine.confirm);
  if (mine.confirm) setText($("test-again"), "Test " + mine.confirm.serial + " again in " + mine.confirm.fixture);
  for (const f of s.fixtures) {
    if (!panels.has(f.name)) {
      panels.set(f.name, makePanel(f.name));
      $("panels").append(panels.get(f.name).root);
    }
    showPanel(panels.get(f.name), f, mine.selected == f.name);
  }
  showRepairBench(s);
  const yields = s.yield.map(y => "Today, " + y.name + ": " + y.boards + " boards, " +
      percent(y.first_pass, y.boards) + " passed first time, " + percent(y.final_pass, y.boards) + " in the end");
  if (yields.join("\n") !== Array.from($("yield").children, d => d.textContent).join("\n"))
    $("yield").replaceChildren(...yields.map(t => el("div", "", t)));
}
$("scan-form").onsubmit = (e) => {
  e.preventDefault();
  const text = $("scan").value;
  $("scan").value = "";
  act("scan", {text});
};
$("fixture").onchange = () => act("select", {fixture: $("fixture").value});
$("operator-form").onsubmit = (e) => {
  e.preventDefault();
  act("operator", {name: $("operator").value});
};
$("repair-lookup-form").onsubmit = (e) => {
  e.preventDefault();
  act("repair-lookup", {serial: $("repair-serial").value.trim()});
};
$("repair-form").onsubmit = (e) => {
  e.preventDefault();
  if (!board) return;
  act("repair", {serial: board.serial, action: $("repair-action").value, components: $("repair-components").value,
                 note: $("repair-note").value, technician: $("repair-technician").value}, $("repair-record"));
};
$("override-form").onsubmit = (e) => {
  e.preventDefault();
  if (!board) return;
  act("route-override", {serial: board.serial, supervisor: $("override-supervisor").value,
                         reason: $("override-reason").value}, $("override"));
};
onPress($("test-again"), () => {
  const mine = state.points[POINT];
  if (mine && mine.confirm) act("test-again", {fixture: mine.confirm.fixture}, $("test-again"));
});
// A scanner types into whatever has the focus: it comes back to the scan
// field after every click elsewhere.
document.addEventListener("click", (e) => { if (e.target.tagName != "INPUT" && e.target.tagName != "SELECT") $("scan").focus({preventScroll: true}); });
show(STATE_AT_LOAD);
const events = new EventSource("events");
events.onmessage = (e) => show(JSON.parse(e.data));
events.onerror = () => showMessage("the station does not answer: the page shows its last state", true);

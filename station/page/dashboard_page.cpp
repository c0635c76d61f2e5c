#include "station/page/dashboard.h"

namespace korvastation {

// Data reaches the page only through textContent: a label is never markup.
// The state at load is written into the page, so that it shows the boards
// before its first event.
const char DASHBOARD_PAGE[] = R"PAGE(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>korvastation</title>
<style>
body { font-family: sans-serif; margin: 1.5em; background: #f4f4f4; color: #222; }
h1 { font-size: 1.4em; margin: 0 0 .3em 0; }
#yield { margin: 0 0 1em 0; }
#boards { display: grid; grid-template-columns: repeat(auto-fill, minmax(17em, 1fr)); gap: .8em; }
.tile { background: #fff; border-left: .6em solid #888; padding: .6em .8em; border-radius: .3em; }
.tile h2 { font-size: 1.1em; margin: 0; }
.tile .port { color: #666; font-size: .85em; overflow-wrap: anywhere; }
.tile .state { font-weight: bold; margin: .3em 0; }
.tile .line { font-size: .9em; }
.tile .silent { color: #b60; font-weight: bold; }
.tile progress { width: 100%; }
.passed { border-color: #2a2; } .failed { border-color: #c22; }
.hung, .lost, .not-tested, .stopped { border-color: #e90; } .running { border-color: #28c; }
#events { font-size: .9em; color: #444; padding-left: 1.2em; }
#events .verdict, #events .problem { font-weight: bold; }
</style>
</head>
<body>
<h1 id="title">korvastation</h1>
<div id="yield"></div>
<div id="boards"></div>
<h2>What happened last</h2>
<ol id="events"></ol>
<script>
const STATE_AT_LOAD = /*STATE*/;
// A board that says nothing for this long while it is tested is worth a look.
const SILENT_SHOWN_S = 5;
function line(tile, cls, text) {
  if (!text) return;
  const p = document.createElement("div");
  p.className = cls;
  p.textContent = text;
  tile.appendChild(p);
}
function percent(part, whole) {
  return whole ? (100 * part / whole).toFixed(1) + "%" : "-";
}
function show(state) {
  document.getElementById("title").textContent = "korvastation " + (state.station || "");
  const yields = document.getElementById("yield");
  yields.replaceChildren();
  for (const y of state.line || [])
    line(yields, "station-yield", (y.station == state.station ? "Today (" + state.day + "), this station" : y.station) + ": " +
         y.boards + (y.boards == 1 ? " board" : " boards") + ", first-pass yield " +
         percent(y.first_pass, y.boards) + ", final yield " + percent(y.final_pass, y.boards));
  const boards = document.getElementById("boards");
  boards.replaceChildren();
  for (const b of state.boards || []) {
    const tile = document.createElement("div");
    tile.className = "tile " + b.kind;
    tile.dataset.label = b.label;
    const h = document.createElement("h2");
    h.textContent = b.label;
    tile.appendChild(h);
    line(tile, "port", b.port);
    line(tile, "state", b.state + (b.test ? ": " + b.test : ""));
    if (b.silent_s >= SILENT_SHOWN_S)
      line(tile, "line silent", "no output for " + b.silent_s + " s");
    line(tile, "line burn-in", b.burn_in);
    const bar = document.createElement("progress");
    bar.max = 1;
    bar.value = b.progress;
    tile.appendChild(bar);
    line(tile, "line passes", b.passes + (b.passes == 1 ? " pass" : " passes"));
    line(tile, "line failure", b.failure);
    line(tile, "line diagnosis", b.diagnosis);
    line(tile, "line earlier", b.earlier);
    boards.appendChild(tile);
  }
  const events = document.getElementById("events");
  events.replaceChildren();
  for (const e of state.events || []) {
    const item = document.createElement("li");
    item.className = e.kind;
    item.textContent = e.when.substring(11, 19) + " " + e.board + ": " + e.what;
    events.appendChild(item);
  }
}
show(STATE_AT_LOAD);
new EventSource("/events").onmessage = e => show(JSON.parse(e.data));
</script>
</body>
</html>
)PAGE";

} // namespace korvastation

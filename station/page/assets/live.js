// The live page: redrawn from each state the station sends.
"use strict";
// The state at load is in the page, so that it shows the boards before its
// first event.
const STATE_AT_LOAD = JSON.parse(document.getElementById("state-at-load").textContent);
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

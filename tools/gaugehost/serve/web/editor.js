// The panel editor of the live page: an edit mode over the windows that
// app.js shows. A gauge is selected with a click, moved by dragging it,
// resized by its handles, nudged with the arrow keys; the palette adds the
// gauge of a module of the gauge folders; the tool bar removes, reorders,
// undoes, redoes, saves and reverts. Every change is an edit the server
// makes through the panel library (POST /api/edit: the server keeps the
// versions, so undo is its), answered before the next is sent; a drag only
// moves the gauge on the page until it is dropped. Numbers show as the
// panel file writes them: in the window's units, a width or height only
// where the line gives one.
"use strict";

(() => {
const view = window.gaugePanel;
if (!view) return;
const $ = (id) => document.getElementById(id);
const el = view.el;

const SNAP = 6;            // screen pixels within which an edge snaps
const HANDLES = ["nw", "n", "ne", "e", "se", "s", "sw", "w"];

const ed = {
  on: false,
  selected: null,          // the selected gauge's id
  current: null,           // the window edited (number)
  queue: [],               // edits waiting: functions that make their request
  busy: false,
  drag: null,              // the drag in progress
  layers: {},              // window number -> its edit layer
  palette: [],             // module infos of the gauge folders
  stats: {drags: 0, moves: 0, frames: 0, ms: 0},   // drawn frames while dragging (the benchmark's)
  revertArmed: 0,
};
view.editorUi = ed;

// ---- state and requests ------------------------------------------------------------------

function version() { return view.editor ? view.editor.version : 0; }

function say(text, kind) {
  const s = $("ed-status");
  s.textContent = text;
  s.className = "edstatus " + (kind || "");
}

function showState() {
  if (!view.editor) return;
  const e = view.editor;
  $("ed-undo").disabled = !e.undo;
  $("ed-redo").disabled = !e.redo;
  $("ed-save").classList.toggle("dirty", e.dirty);
  $("ed-save").textContent = e.dirty ? "Save*" : "Save";
  document.body.dataset.dirty = e.dirty;
}

// Edits go one at a time, each made against the version the last answer
// gave; `make` builds the request when its turn comes (null: nothing to do).
function enqueue(make) {
  ed.queue.push(make);
  if (!ed.busy) pump();
}

async function pump() {
  ed.busy = true;
  while (ed.queue.length) {
    const make = ed.queue.shift();
    const req = make();
    if (!req) continue;
    try {
      const answer = await view.post(req.path, Object.assign({version: version()}, req.body));
      if (view.editor && answer.version > view.editor.version) view.editor.version = answer.version;
      if (answer.gauge) ed.selected = answer.gauge;
      if (req.done) req.done(answer);
    } catch (e) {
      say(e.message, "bad");
      ed.queue.length = 0;
      ed.nudging = false;
      ed.target = null;
      view.rebuild();   // back to the layout the server has
    }
  }
  ed.busy = false;
  document.body.dataset.editBusy = "false";
}

function edit(body, done) {
  ed.target = null;   // nudges start again from what the server has
  document.body.dataset.editBusy = "true";
  enqueue(() => ({path: "/api/edit", body, done}));
}

// ---- geometry -------------------------------------------------------------------------------

function gaugeById(id) { return view.gauges.find((g) => g.id === id) || null; }
function windowOf(number) { return view.windows.find((w) => w.number === number) || null; }
function gaugesOf(number) { return view.gauges.filter((g) => g.window === number); }

// A pointer's place in a window, in its units.
function pointIn(layer, e) {
  const r = layer.getBoundingClientRect();
  return [(e.clientX - r.left) / view.zoom, (e.clientY - r.top) / view.zoom];
}

// The nearest of `targets` to any of `edges` within the snapping distance:
// the shift that brings that edge onto it, and where the guide goes.
function snapAxis(edges, targets, limit) {
  let best = null;
  for (const e of edges)
    for (const t of targets) {
      const d = t - e;
      if (Math.abs(d) <= limit && (!best || Math.abs(d) < Math.abs(best.shift))) best = {shift: d, at: t};
    }
  return best;
}

function snapTargets(g) {
  const w = windowOf(g.window);
  const xs = [0, w.width], ys = [0, w.height];
  for (const o of gaugesOf(g.window)) {
    if (o.id === g.id) continue;
    xs.push(o.x, o.x + o.w);
    ys.push(o.y, o.y + o.h);
  }
  return {xs, ys};
}

// The rectangle a drag gives, snapped unless Alt is held.
function dragged(d, e) {
  const [px, py] = pointIn(d.layer, e);
  const dx = Math.round(px - d.px), dy = Math.round(py - d.py);
  let {x, y, w, h} = d.start;
  const limit = SNAP / view.zoom, t = d.targets, guides = [];
  if (d.mode === "move") {
    x += dx;
    y += dy;
    if (!e.altKey) {
      const sx = snapAxis([x, x + w], t.xs, limit), sy = snapAxis([y, y + h], t.ys, limit);
      if (sx) { x += sx.shift; guides.push({x: sx.at}); }
      if (sy) { y += sy.shift; guides.push({y: sy.at}); }
    }
    return {x, y, w, h, guides};
  }
  // Resizing: the edges the handle holds move.
  let left = x, top = y, right = x + w, bottom = y + h;
  const m = d.mode;
  if (m.includes("w")) left += dx;
  if (m.includes("e")) right += dx;
  if (m.includes("n")) top += dy;
  if (m.includes("s")) bottom += dy;
  if (!e.altKey) {
    const sx = snapAxis(m.includes("w") ? [left] : m.includes("e") ? [right] : [], t.xs, limit);
    const sy = snapAxis(m.includes("n") ? [top] : m.includes("s") ? [bottom] : [], t.ys, limit);
    if (sx) { if (m.includes("w")) left += sx.shift; else right += sx.shift; guides.push({x: sx.at}); }
    if (sy) { if (m.includes("n")) top += sy.shift; else bottom += sy.shift; guides.push({y: sy.at}); }
  }
  const min = 4;
  if (right - left < min) { if (m.includes("w")) left = right - min; else right = left + min; }
  if (bottom - top < min) { if (m.includes("n")) top = bottom - min; else bottom = top + min; }
  w = right - left;
  h = bottom - top;
  // Shift on a corner keeps the gauge's own aspect: the height follows the width.
  const own = d.gauge.own;
  d.aspect = e.shiftKey && m.length === 2 && own && own[0] > 0;
  if (d.aspect) {
    const nh = Math.max(1, Math.round(w * own[1] / own[0]));
    if (m.includes("n")) top = bottom - nh;
    h = nh;
  }
  return {x: left, y: top, w, h, guides};
}

// What the line will say for a rectangle: x, y and the width and height it
// writes (null: the gauge's own, or its aspect).
function written(g, r, aspect) {
  const f = g.file;
  if (r.w === g.w && r.h === g.h) return {x: r.x, y: r.y, width: f.width, height: f.height};
  if (aspect && f.height === null) return {x: r.x, y: r.y, width: r.w, height: null};
  return {x: r.x, y: r.y, width: r.w, height: r.h};
}

function readout(p) {
  return `${p.x}, ${p.y}` + (p.width !== null ? `, ${p.width}` : "") + (p.height !== null ? `, ${p.height}` : "");
}

// ---- the edit layers ------------------------------------------------------------------------

function buildLayers() {
  ed.layers = {};
  for (const [number, n] of Object.entries(view.windowNodes)) {
    const layer = el("div", "editlayer");
    layer.dataset.window = number;
    n.panel.append(layer);
    n.section.classList.toggle("current", Number(number) === ed.current);
    ed.layers[number] = layer;
    layer.addEventListener("pointerdown", (e) => pointerDown(Number(number), layer, e));
    layer.addEventListener("pointermove", pointerMove);
    layer.addEventListener("pointerup", pointerUp);
    layer.addEventListener("pointercancel", () => cancelDrag());
  }
  drawSelection();
}

function removeLayers() {
  for (const layer of Object.values(ed.layers)) layer.remove();
  ed.layers = {};
  for (const n of Object.values(view.windowNodes)) n.section.classList.remove("current");
}

function drawSelection(rect, guides, line) {
  for (const layer of Object.values(ed.layers)) layer.textContent = "";
  const g = ed.selected && gaugeById(ed.selected);
  if (!g || !ed.layers[g.window]) { showInspector(null); return; }
  const layer = ed.layers[g.window];
  const r = rect || g;
  const box = el("div", "selection");
  box.dataset.gauge = g.id;
  const z = view.zoom;
  box.style.left = r.x * z + "px";
  box.style.top = r.y * z + "px";
  box.style.width = r.w * z + "px";
  box.style.height = r.h * z + "px";
  for (const h of HANDLES) {
    const handle = el("div", "handle " + h);
    handle.dataset.handle = h;
    box.append(handle);
  }
  const p = line || {x: g.file.x, y: g.file.y, width: g.file.width, height: g.file.height};
  box.append(el("div", "readout", readout(p)));
  layer.append(box);
  for (const guide of guides || []) {
    const gl = el("div", "guide " + ("x" in guide ? "vertical" : "horizontal"));
    if ("x" in guide) gl.style.left = guide.x * z + "px";
    else gl.style.top = guide.y * z + "px";
    layer.append(gl);
  }
  showInspector(g, p, r);
}

function hitTest(number, x, y) {
  const list = gaugesOf(number);
  for (let i = list.length - 1; i >= 0; i--) {
    const g = list[i];
    if (x >= g.x && x < g.x + g.w && y >= g.y && y < g.y + g.h) return g;
  }
  return null;
}

function pointerDown(number, layer, e) {
  if (e.button !== 0) return;
  setCurrent(number);
  const [px, py] = pointIn(layer, e);
  const handle = e.target.dataset && e.target.dataset.handle;
  let g = handle ? gaugeById(ed.selected) : hitTest(number, px, py);
  if (!g) {
    ed.selected = null;
    drawSelection();
    return;
  }
  if (ed.selected !== g.id) ed.target = null;
  ed.selected = g.id;
  e.preventDefault();
  layer.setPointerCapture(e.pointerId);
  ed.drag = {
    gauge: g, layer, mode: handle || "move", px, py,
    start: {x: g.x, y: g.y, w: g.w, h: g.h}, rect: {x: g.x, y: g.y, w: g.w, h: g.h, guides: []},
    targets: snapTargets(g), pending: null, began: performance.now(), moved: false,
  };
  ed.stats.drags += 1;
  drawSelection();
}

function pointerMove(e) {
  const d = ed.drag;
  if (!d) return;
  ed.stats.moves += 1;
  d.pending = dragged(d, e);
  if (!d.frame) d.frame = requestAnimationFrame(() => showDrag(d));
}

// One frame of a drag: the gauge (its live picture) and the selection where
// the pointer has them.
function showDrag(d) {
  d.frame = 0;
  if (ed.drag !== d || !d.pending) return;
  const r = d.pending;
  d.rect = r;
  d.moved = d.moved || r.x !== d.start.x || r.y !== d.start.y || r.w !== d.start.w || r.h !== d.start.h;
  const n = view.nodes[d.gauge.id];
  if (n) view.placeBox(n.box, r.x, r.y, r.w, r.h);
  drawSelection(r, r.guides, written(d.gauge, r, d.aspect));
  ed.stats.frames += 1;
}

function pointerUp(e) {
  const d = ed.drag;
  if (!d) return;
  if (d.frame) cancelAnimationFrame(d.frame);
  const r = dragged(d, e);
  ed.drag = null;
  ed.stats.ms += performance.now() - d.began;
  const moved = r.x !== d.start.x || r.y !== d.start.y || r.w !== d.start.w || r.h !== d.start.h;
  if (!moved) { drawSelection(); return; }
  const n = view.nodes[d.gauge.id];
  if (n) view.placeBox(n.box, r.x, r.y, r.w, r.h);
  drawSelection(r, [], written(d.gauge, r, d.aspect));
  edit(Object.assign({op: "place", gauge: d.gauge.id}, written(d.gauge, r, d.aspect)));
}

function cancelDrag() {
  if (!ed.drag) return;
  ed.drag = null;
  view.rebuild();
}

// ---- actions --------------------------------------------------------------------------------

// Arrow keys: the place asked for is kept whole (ed.target), so that nudges
// made while an edit is on its way gather into the next one.
function nudge(dx, dy) {
  const g = ed.selected && gaugeById(ed.selected);
  if (!g) return;
  if (!ed.target || ed.target.id !== g.id)
    ed.target = {id: g.id, x: g.file.x, y: g.file.y, width: g.file.width, height: g.file.height};
  const t = ed.target;
  t.x += dx;
  t.y += dy;
  const n = view.nodes[g.id];
  if (n) view.placeBox(n.box, g.x + (t.x - g.file.x), g.y + (t.y - g.file.y), g.w, g.h);
  drawSelection({x: g.x + (t.x - g.file.x), y: g.y + (t.y - g.file.y), w: g.w, h: g.h}, [], t);
  if (ed.nudging) return;   // the waiting request sends the latest place
  ed.nudging = true;
  document.body.dataset.editBusy = "true";
  enqueue(() => {
    ed.nudging = false;
    return {path: "/api/edit", body: {op: "place", gauge: t.id, x: t.x, y: t.y, width: t.width, height: t.height}};
  });
}

function removeSelected() {
  const g = ed.selected && gaugeById(ed.selected);
  if (!g) return;
  ed.selected = null;
  edit({op: "remove", gauge: g.id});
}

function reorder(step) {
  const g = ed.selected && gaugeById(ed.selected);
  if (!g) return;
  const list = gaugesOf(g.window);
  const at = list.findIndex((o) => o.id === g.id) + step;
  if (at < 0 || at >= list.length) return;
  edit({op: "order", gauge: g.id, position: at});
}

function undo() { edit({op: "undo"}); }
function redo() { edit({op: "redo"}); }

function save() {
  document.body.dataset.editBusy = "true";
  enqueue(() => ({path: "/api/save", body: {}, done: (a) => {
    say(`saved ${a.file} (${a.bytes} bytes); the version before it is ${a.backup}`, "good");
  }}));
}

function revert() {
  // A second click within 4 s confirms.
  if (performance.now() - ed.revertArmed > 4000) {
    ed.revertArmed = performance.now();
    say("click Revert again to read the file from disk, dropping every edit since the last save", "warn");
    return;
  }
  ed.revertArmed = 0;
  edit({op: "revert"}, () => say("read the file from disk again", "good"));
}

function addFromPalette(m) {
  const w = windowOf(ed.current);
  if (!w || !m.own) return;
  const [gw, gh] = m.own;
  const x = Math.max(0, Math.round((w.width - gw) / 2)), y = Math.max(0, Math.round((w.height - gh) / 2));
  edit({op: "add", window: w.number, module: m.name, name: m.gauge, x, y},
       (a) => say(`added ${m.name}!${m.gauge} as ${a.gauge}`, "good"));
}

function setCurrent(number) {
  if (ed.current === number) return;
  ed.current = number;
  $("ed-window").value = String(number);
  for (const [n, node] of Object.entries(view.windowNodes)) node.section.classList.toggle("current", Number(n) === number);
}

// ---- the panes ------------------------------------------------------------------------------

function showInspector(g, line, rect) {
  const box = $("ed-inspector");
  if (!ed.on) return;
  if (!g) {
    box.dataset.gauge = "";
    box.querySelectorAll(".fields").forEach((f) => f.remove());
    box.querySelector("p").hidden = false;
    return;
  }
  box.querySelector("p").hidden = true;
  let f = box.querySelector(".fields");
  if (!f || box.dataset.gauge !== g.id) {
    if (f) f.remove();
    f = el("div", "fields");
    box.dataset.gauge = g.id;
    f.append(el("div", "gname", `${g.id}  ${g.name}`), el("div", "dim", g.line + (g.problem ? ` — ${g.problem}` : "")));
    const grid = el("div", "grid");
    for (const [key, label] of [["x", "x"], ["y", "y"], ["width", "width"], ["height", "height"]]) {
      const input = el("input");
      input.type = "text";
      input.id = "ed-" + key;
      input.setAttribute("aria-label", label);
      input.addEventListener("change", () => typed());
      grid.append(el("label", "", label), input);
    }
    f.append(grid, el("div", "dim own"));
    box.append(f);
  }
  for (const key of ["x", "y", "width", "height"]) {
    const input = $("ed-" + key);
    if (document.activeElement === input) continue;
    input.value = line[key] === null ? "" : String(line[key]);
    input.placeholder = key === "width" || key === "height" ? "own" : "";
  }
  f.querySelector(".own").textContent =
    `drawn ${rect.w} × ${rect.h}` + (g.own ? `; the gauge's own size ${g.own[0]} × ${g.own[1]}` : "");
}

// Numbers typed in the inspector: written as typed (empty: none).
function typed() {
  const g = ed.selected && gaugeById(ed.selected);
  if (!g) return;
  const read = (key) => {
    const t = $("ed-" + key).value.trim();
    if (t === "" && (key === "width" || key === "height")) return null;
    return /^-?\d+$/.test(t) ? Number(t) : NaN;
  };
  const body = {op: "place", gauge: g.id, x: read("x"), y: read("y"), width: read("width"), height: read("height")};
  if ([body.x, body.y, body.width, body.height].some((v) => Number.isNaN(v))) {
    say("x, y, width and height are whole numbers (width and height may be empty)", "bad");
    return;
  }
  edit(body);
}

async function loadPalette() {
  try {
    const r = await fetch("/api/palette");
    if (!r.ok) throw new Error((await r.text()).trim());
    const p = await r.json();
    ed.palette = p.modules;
    showPalette();
  } catch (e) {
    say("the palette: " + e.message, "bad");
  }
}

function showPalette() {
  const list = $("ed-palette");
  list.textContent = "";
  for (const m of ed.palette) {
    const li = el("li", "entry");
    li.dataset.module = m.name;
    const known = m.gauge !== null && m.own;
    if (known && m.seq) {
      const img = el("img");
      img.src = `/api/picture?module=${encodeURIComponent(m.id)}&seq=${m.seq}`;
      img.alt = "";
      li.append(img);
    }
    const text = el("div", "text");
    text.append(el("div", "gname", known ? `${m.name}!${m.gauge}` : m.file),
      el("div", "dim", known ? `${m.own[0]} × ${m.own[1]}` : m.state === "error" ? m.error : "reading…"));
    li.append(text);
    li.title = known ? `add ${m.name}!${m.gauge} to the window` : "";
    li.classList.toggle("ready", !!known);
    li.addEventListener("click", () => { if (known) addFromPalette(m); });
    list.append(li);
  }
}

function fillWindowSelect() {
  const select = $("ed-window");
  select.textContent = "";
  for (const w of view.windows) {
    const o = el("option", "", (w.title || w.ident || "Window") + ` [Window${String(w.number).padStart(2, "0")}]`);
    o.value = String(w.number);
    select.append(o);
  }
  if (ed.current === null || !windowOf(ed.current)) {
    const first = view.windows.find((w) => view.open[w.number]) || view.windows[0];
    ed.current = first ? first.number : null;
  }
  if (ed.current !== null) select.value = String(ed.current);
}

// ---- the mode -------------------------------------------------------------------------------

function setEditing(on) {
  ed.on = on;
  view.editing = on;
  document.body.classList.toggle("editing", on);
  $("edit").setAttribute("aria-pressed", String(on));
  $("edittools").hidden = !on;
  $("editpane").hidden = !on;
  if (on) {
    fillWindowSelect();
    buildLayers();
    showState();
    loadPalette();
  } else {
    cancelDrag();
    removeLayers();
    ed.selected = null;
  }
}

view.listeners.push((what, detail) => {
  if (what === "layout") {
    $("edit").hidden = !view.editor;
    if (!view.editor && ed.on) setEditing(false);
    if (!ed.on) return;
    ed.drag = null;
    if (ed.selected && !gaugeById(ed.selected)) ed.selected = null;
    fillWindowSelect();
    buildLayers();
    showState();
  } else if (what === "zoom") {
    if (ed.on) drawSelection();
  } else if (what === "module" && ed.on) {
    const i = ed.palette.findIndex((m) => m.id === detail.id);
    if (i >= 0) { ed.palette[i] = detail; showPalette(); }
  }
});

$("edit").addEventListener("click", () => setEditing(!ed.on));
if (view.panel) $("edit").hidden = !view.editor;   // the greeting came before this file ran
$("ed-undo").addEventListener("click", undo);
$("ed-redo").addEventListener("click", redo);
$("ed-forward").addEventListener("click", () => reorder(1));
$("ed-back").addEventListener("click", () => reorder(-1));
$("ed-remove").addEventListener("click", removeSelected);
$("ed-save").addEventListener("click", save);
$("ed-revert").addEventListener("click", revert);
$("ed-window").addEventListener("change", (e) => {
  const n = Number(e.target.value);
  setCurrent(n);
  if (!view.open[n]) view.showWindow(n, true);
  const node = view.windowNodes[n];
  if (node) node.section.scrollIntoView({block: "nearest"});
});

document.addEventListener("keydown", (e) => {
  if (!ed.on) return;
  const t = e.target;
  if (t && (t.tagName === "INPUT" || t.tagName === "SELECT" || t.tagName === "TEXTAREA")) return;
  const ctrl = e.ctrlKey || e.metaKey, key = e.key.toLowerCase();
  let done = true;
  if (ctrl && key === "z" && !e.shiftKey) undo();
  else if (ctrl && (key === "y" || (key === "z" && e.shiftKey))) redo();
  else if (ctrl && key === "s") save();
  else if (e.key === "ArrowLeft") nudge(e.shiftKey ? -10 : -1, 0);
  else if (e.key === "ArrowRight") nudge(e.shiftKey ? 10 : 1, 0);
  else if (e.key === "ArrowUp") nudge(0, e.shiftKey ? -10 : -1);
  else if (e.key === "ArrowDown") nudge(0, e.shiftKey ? 10 : 1);
  else if (e.key === "Delete" || e.key === "Backspace") removeSelected();
  else if (e.key === "PageUp") reorder(1);
  else if (e.key === "PageDown") reorder(-1);
  else if (e.key === "Escape") { ed.selected = null; drawSelection(); }
  else done = false;
  if (done) e.preventDefault();
});
})();

// The live panel: variables, key events, sounds and news of pictures arrive
// as server-sent events from /api/events; each picture is then fetched as
// a PNG (/api/picture), each sound as a WAV file (/api/sound). Clicks,
// drags and variable changes go back as JSON POSTs. Every window of the
// panel is a box of its own; popup windows (visible=0) start closed and
// open from the window bar. The editor (editor.js) works on what this file
// shows, through window.gaugePanel.
"use strict";

// ---- numbers, as the command line reads them ------------------------------------------
//
// A value is a decimal, [+-]?(\d+(\.\d*)?|\.\d+)([eE][+-]?\d+)?, or nan,
// inf, -inf in any mix of case; nothing else (no spaces, no hex, no
// "infinity", no "+inf"), and a decimal beyond the largest double is
// refused rather than taken as infinity. readValue gives the number, the
// text "nan", "inf" or "-inf", or null for anything else.
const DECIMAL = /^[+-]?(\d+(\.\d*)?|\.\d+)([eE][+-]?\d+)?$/;

function readValue(text) {
  if (typeof text !== "string") return null;
  const t = text.toLowerCase();
  if (t === "nan" || t === "inf" || t === "-inf") return t;
  if (!DECIMAL.test(text)) return null;
  const v = Number(text);
  return Number.isFinite(v) ? v : null;
}

if (typeof module !== "undefined") module.exports = {readValue};

if (typeof document !== "undefined") {

const el = (tag, cls, text) => {
  const e = document.createElement(tag);
  if (cls) e.className = cls;
  if (text !== undefined) e.textContent = text;
  return e;
};

const view = {
  panel: null,          // the hello message's panel description
  windows: [],          // the panel's windows: {number, title, ident, visible, width, height, background, problem}
  open: {},             // window number -> shown
  editor: null,         // the editor's state from the server (null: nothing to edit)
  listeners: [],        // functions called after the panel is laid out again
  gauges: [],           // placements: {id, module, name, x, y, w, h, window, file}
  modules: {},          // module id -> {state, error, width, height, file, ...}
  bitmaps: {},          // module id -> the latest decoded picture
  seq: {},              // module id -> seq of the picture decoded last
  wanted: {},           // module id -> seq of the latest picture announced
  fetching: {},         // module id -> a picture fetch in flight
  drawn: {},            // gauge id -> seq of the picture on its canvas
  nodes: {},            // gauge id -> {box, canvas, problem}
  windowNodes: {},      // window number -> {section, panel}
  backgroundVersion: 0, // grows when the windows are read again
  vars: {},             // variable id -> {range, box, row, meta}
  values: {},
  zoom: Number(document.getElementById("zoom").value),
  audio: null,
  streams: 0,           // event streams opened so far
  soundsPlayed: 0,
};
window.gaugePanel = view;   // for the tests and the curious

// ---- talking to the server -------------------------------------------------------------

view.post = post;
view.el = el;
view.addLog = (...a) => addLog(...a);
view.rebuild = () => buildPanel(view.gauges);

async function post(path, body) {
  const r = await fetch(path, {
    method: "POST",
    headers: {"Content-Type": "application/json"},
    body: JSON.stringify(body),
  });
  const text = await r.text();
  if (!r.ok) throw new Error(text.trim() || r.statusText);
  return JSON.parse(text);
}

// One request of a kind in flight; the latest of those that wait follows it.
function coalesced(send) {
  let busy = false, next = null;
  const run = async (args) => {
    busy = true;
    try { await send(...args); } catch (e) { /* shown by the sender */ }
    busy = false;
    if (next) { const a = next; next = null; run(a); }
  };
  return (...args) => { if (busy) next = args; else run(args); };
}

// The event stream. EventSource retries by itself after a dropped
// connection, but not after an answer it cannot use (a 503 when too many
// pages are open): then a new one is opened after a pause.
function connect() {
  const status = document.getElementById("status");
  const source = new EventSource("/api/events");
  view.streams += 1;
  source.onopen = () => { status.textContent = "live"; status.className = "status live"; };
  source.onerror = () => {
    status.textContent = "reconnecting…";
    status.className = "status lost";
    if (source.readyState === EventSource.CLOSED) {
      source.close();
      setTimeout(connect, 1000);
    }
  };
  source.onmessage = (e) => {
    const m = JSON.parse(e.data);
    const handler = handlers[m.type];
    if (handler) handler(m);
  };
}

const handlers = {
  hello(m) {
    view.panel = m;
    view.modules = {};
    for (const mod of m.modules) view.modules[mod.id] = mod;
    document.getElementById("title").textContent = m.title;
    document.getElementById("log").textContent = "";
    view.editor = m.editor;
    setWindows(m.windows, true);
    buildPanel(m.gauges);
    buildVariables(m.variables, m.values);
    for (const entry of m.log) addLog(entry);
  },
  module(m) {
    view.modules[m.module.id] = m.module;
    layout(m.gauges);
    for (const f of view.listeners) f("module", m.module);
  },
  layout(m) {
    // The gauges after an edit (the windows too when the file was read again).
    for (const mod of m.modules) view.modules[mod.id] = mod;
    view.editor = m.editor;
    if (m.windowsChanged) {
      view.backgroundVersion += 1;
      setWindows(m.windows, false);
    }
    buildPanel(m.gauges);
  },
  picture(m) { fetchPicture(m.module, m.seq); },
  variables(m) { buildVariables(m.list, m.values); },
  vars(m) { setValues(m.values); },
  log(m) { addLog(m); },
  sound(m) { playSound(m); },
};

// ---- the panel ----------------------------------------------------------------------------

function setWindows(windows, first) {
  const before = view.open;
  view.windows = windows;
  view.open = {};
  for (const w of windows) view.open[w.number] = first || !(w.number in before) ? w.visible : before[w.number];
  // A panel of popups alone shows its first.
  if (windows.length && !windows.some((w) => view.open[w.number])) view.open[windows[0].number] = true;
  buildWindowBar();
}

function buildWindowBar() {
  const bar = document.getElementById("windowbar");
  bar.textContent = "";
  if (view.panel.layout !== "panel") return;
  for (const w of view.windows) {
    const b = el("button", "winbutton", w.title || w.ident || `Window${String(w.number).padStart(2, "0")}`);
    b.type = "button";
    b.dataset.window = w.number;
    b.setAttribute("aria-pressed", String(!!view.open[w.number]));
    b.title = (w.visible ? "" : "a popup window: ") + `[Window${String(w.number).padStart(2, "0")}] ` +
      `${w.width} × ${w.height}` + (w.ident ? `, ident ${w.ident}` : "");
    b.addEventListener("click", () => showWindow(w.number, !view.open[w.number]));
    bar.append(b);
  }
}

// Opens or closes a window on the page.
function showWindow(number, on) {
  view.open[number] = on;
  const n = view.windowNodes[number];
  if (n) n.section.hidden = !on;
  const b = document.querySelector(`#windowbar [data-window="${number}"]`);
  if (b) b.setAttribute("aria-pressed", String(on));
  for (const f of view.listeners) f("window", number);
}
view.showWindow = showWindow;

function windowName(w) {
  return w.title || w.ident || `Window${String(w.number).padStart(2, "0")}`;
}

function buildPanel(gauges) {
  const box = document.getElementById("windows");
  box.textContent = "";
  view.nodes = {};
  view.drawn = {};
  view.windowNodes = {};
  const isPanel = view.panel.layout === "panel";
  const windows = isPanel ? view.windows : [{number: 0}];
  for (const w of windows) {
    const section = el("section", "window");
    section.dataset.window = w.number;
    const panel = el("div", "panel " + view.panel.layout);
    panel.id = "panel-" + w.number;
    panel.dataset.window = w.number;
    if (isPanel) {
      const head = el("div", "winhead");
      head.append(el("span", "wintitle", windowName(w)),
        el("span", "winmeta", `[Window${String(w.number).padStart(2, "0")}] ${w.width} × ${w.height}` +
          (w.visible ? "" : " · popup")));
      const close = el("button", "winclose", "×");
      close.type = "button";
      close.title = "close this window";
      close.addEventListener("click", () => showWindow(w.number, false));
      head.append(close);
      section.append(head);
      panel.style.backgroundImage = `url(${w.background}&v=${view.backgroundVersion})`;
      if (w.problem) panel.append(el("div", "winproblem", w.problem));
    }
    section.append(panel);
    section.hidden = isPanel && !view.open[w.number];
    box.append(section);
    view.windowNodes[w.number] = {section, panel, window: w};
  }
  for (const g of gauges) {
    const home = view.windowNodes[isPanel ? g.window : 0];
    if (!home) continue;
    const box = el("div", "gauge");
    box.dataset.gauge = g.id;
    box.title = g.name;
    const canvas = el("canvas");
    canvas.id = "canvas-" + g.id;
    const problem = el("div", "problem");
    problem.hidden = true;
    const loading = el("div", "loading", "loading…");
    if (!g.module) {
      // A placeholder: the module or gauge the panel names is missing.
      box.classList.add("placeholder");
      box.append(el("div", "name", g.name));
      box.title = `${g.name}: ${g.problem}`;
      home.panel.append(box);
      view.nodes[g.id] = {box, gauge: g};
      continue;
    }
    box.append(canvas, problem, loading);
    home.panel.append(box);
    view.nodes[g.id] = {box, canvas, problem, loading, gauge: g};
    attachMouse(g, canvas);
  }
  layout(gauges);
  for (const f of view.listeners) f("layout");
}

function layout(gauges) {
  view.gauges = gauges;
  const z = view.zoom;
  if (view.panel.layout !== "panel") {
    // Modules side by side: as wide and high as they are.
    const panel = view.windowNodes[0].panel;
    panel.style.width = Math.max(0, ...gauges.map((g) => g.x + g.w)) * z + "px";
    panel.style.height = Math.max(0, ...gauges.map((g) => g.y + g.h)) * z + "px";
  } else {
    for (const {panel, window: w} of Object.values(view.windowNodes)) {
      panel.style.width = w.width * z + "px";
      panel.style.height = w.height * z + "px";
    }
  }
  for (const g of gauges) {
    const n = view.nodes[g.id];
    if (!n) continue;
    n.gauge = g;
    placeBox(n.box, g.x, g.y, g.w, g.h);
    if (!n.canvas) continue;
    const mod = view.modules[g.module] || {};
    n.box.dataset.state = mod.state;
    n.problem.hidden = mod.state !== "error";
    n.problem.textContent = mod.state === "error" ? `${mod.file}: ${mod.error}` : "";
    n.loading.hidden = mod.state !== "loading";
    n.canvas.style.visibility = mod.state === "error" ? "hidden" : "visible";
    if (view.bitmaps[g.module]) draw(g.id, g.module);
  }
}

// A box at a place of its window, in the window's units.
function placeBox(box, x, y, w, h) {
  const z = view.zoom;
  box.style.left = x * z + "px";
  box.style.top = y * z + "px";
  box.style.width = w * z + "px";
  box.style.height = h * z + "px";
}
view.placeBox = placeBox;

// A picture is fetched once it is announced; while one fetch is in flight,
// only the latest announced picture waits for the next.
async function fetchPicture(module, seq) {
  view.wanted[module] = Math.max(view.wanted[module] || 0, seq);
  if (view.fetching[module]) return;
  view.fetching[module] = true;
  try {
    while ((view.seq[module] || 0) < view.wanted[module]) {
      const want = view.wanted[module];
      const r = await fetch(`/api/picture?module=${encodeURIComponent(module)}&seq=${want}`);
      if (!r.ok) break;
      view.pictureType = r.headers.get("Content-Type");
      const bitmap = await createImageBitmap(await r.blob());
      view.seq[module] = want;
      view.bitmaps[module] = bitmap;
      for (const g of view.gauges) if (g.module === module) draw(g.id, module);
    }
  } catch (e) {
    /* the next announcement tries again */
  } finally {
    view.fetching[module] = false;
  }
}

function draw(gaugeId, moduleId) {
  const n = view.nodes[gaugeId], bitmap = view.bitmaps[moduleId];
  if (!n || !n.canvas || !bitmap) return;
  if (n.canvas.width !== bitmap.width) n.canvas.width = bitmap.width;
  if (n.canvas.height !== bitmap.height) n.canvas.height = bitmap.height;
  n.canvas.getContext("2d").drawImage(bitmap, 0, 0);
  view.drawn[gaugeId] = view.seq[moduleId];
}

// ---- mouse --------------------------------------------------------------------------------

function attachMouse(g, canvas) {
  const point = (e) => {
    const r = canvas.getBoundingClientRect();
    const x = Math.floor((e.clientX - r.left) * canvas.width / r.width);
    const y = Math.floor((e.clientY - r.top) * canvas.height / r.height);
    return [Math.min(Math.max(x, 0), canvas.width - 1), Math.min(Math.max(y, 0), canvas.height - 1)];
  };
  const send = coalesced(async (event, x, y) => {
    try {
      const r = await post("/api/mouse", {gauge: g.id, x, y, event});
      if (!r.ok) addLog({source: g.name, text: r.error, kind: "error"});
    } catch (e) {
      addLog({source: g.name, text: e.message, kind: "error"});
    }
  });
  let down = false;
  canvas.addEventListener("pointerdown", (e) => {
    if (e.button !== 0 || !canvas.width || view.editing) return;
    wakeAudio();
    down = true;
    canvas.setPointerCapture(e.pointerId);
    send("click", ...point(e));
  });
  canvas.addEventListener("pointermove", (e) => {
    if (down && !view.editing) send("drag", ...point(e));
  });
  const up = () => { down = false; };
  canvas.addEventListener("pointerup", up);
  canvas.addEventListener("pointercancel", up);
}

// ---- variables ----------------------------------------------------------------------------

function showValue(v) {
  return typeof v === "number" ? String(Math.round(v * 1e6) / 1e6) : v;
}

function buildVariables(list, values) {
  const box = document.getElementById("vars");
  box.textContent = "";
  view.vars = {};
  let group = null;
  for (const v of list) {
    const readers = v.readers.join(", ");
    if (readers !== group) {
      group = readers;
      box.append(el("div", "group", readers));
    }
    const name = el("label", "name");
    name.append(el("span", "", v.name + " "), el("small", "", String(v.id)));
    name.title = v.uses.join("\n");
    const range = el("input");
    range.type = "range";
    range.min = v.min;
    range.max = v.max;
    range.step = v.step > 0 ? v.step : "any";
    range.dataset.var = v.id;
    const text = el("input");
    text.type = "text";
    text.dataset.var = v.id;
    text.setAttribute("aria-label", v.name);
    const row = {range, text, meta: v};
    view.vars[v.id] = row;
    box.append(name, range, text);
    const send = coalesced(async (value) => {
      try {
        await post("/api/var", {id: v.id, value});
        text.classList.remove("bad");
        text.title = "";
      } catch (e) {
        text.classList.add("bad");
        text.title = e.message;
      }
    });
    range.addEventListener("input", () => {
      const value = Number(range.value);
      text.value = showValue(value);
      send(value);
    });
    text.addEventListener("change", () => {
      // The text goes as typed, once it reads as a value: the server reads
      // it with the same grammar (and -0 or 1e-400 keep their sign).
      if (readValue(text.value) === null) {
        text.classList.add("bad");
        text.title = "a number, nan, inf or -inf";
        return;
      }
      send(text.value);
    });
  }
  setValues(values);
}

function setValues(values) {
  for (const [id, value] of Object.entries(values)) {
    view.values[id] = value;
    const row = view.vars[id];
    if (!row) continue;
    if (document.activeElement !== row.text) row.text.value = showValue(value);
    if (typeof value === "number" && document.activeElement !== row.range) row.range.value = value;
  }
}

// ---- log and sound ------------------------------------------------------------------------

function addLog(entry) {
  const log = document.getElementById("log");
  const li = el("li", entry.kind);
  li.dataset.kind = entry.kind;
  li.append(el("span", "src", entry.source), document.createTextNode(entry.text));
  log.append(li);
  while (log.childNodes.length > 500) log.firstChild.remove();
  log.scrollTop = log.scrollHeight;
}

function wakeAudio() {
  if (!view.audio && window.AudioContext) view.audio = new AudioContext();
  if (view.audio && view.audio.state === "suspended") view.audio.resume();
}

// The module's own samples, as it handed them to DirectSound, fetched as a
// WAV file.
async function playSound(m) {
  if (!document.getElementById("sound").checked) return;
  if (m.format !== 1 || !(m.bits === 8 || m.bits === 16) || !m.channels || !m.rate) return;
  wakeAudio();
  if (!view.audio) return;
  try {
    const r = await fetch(`/api/sound?id=${m.id}`);
    if (!r.ok) return;
    const buffer = await view.audio.decodeAudioData(await r.arrayBuffer());
    const node = view.audio.createBufferSource();
    node.buffer = buffer;
    node.connect(view.audio.destination);
    node.start();
    view.soundsPlayed += 1;
  } catch (e) {
    addLog({source: "page", text: "a sound could not be played: " + e.message, kind: "error"});
  }
}

// ---- start --------------------------------------------------------------------------------

document.getElementById("zoom").addEventListener("change", (e) => {
  view.zoom = Number(e.target.value);
  if (view.panel) layout(view.gauges);
  for (const f of view.listeners) f("zoom");
});
connect();

}

// The live panel: pictures, variables, key events and sounds arrive as
// server-sent events from /api/events; clicks, drags and variable changes go
// back as JSON POSTs.
"use strict";

const el = (tag, cls, text) => {
  const e = document.createElement(tag);
  if (cls) e.className = cls;
  if (text !== undefined) e.textContent = text;
  return e;
};

const view = {
  panel: null,          // the hello message's panel description
  gauges: [],           // placements: {id, module, name, x, y, w, h}
  modules: {},          // module id -> {state, error, width, height, file, ...}
  bitmaps: {},          // module id -> the latest decoded picture
  seq: {},              // module id -> seq of the picture decoded last
  drawn: {},            // gauge id -> seq of the picture on its canvas
  nodes: {},            // gauge id -> {box, canvas, problem}
  vars: {},             // variable id -> {range, box, row, meta}
  values: {},
  zoom: Number(document.getElementById("zoom").value),
  audio: null,
};
window.gaugePanel = view;   // for the tests and the curious

// ---- talking to the server -------------------------------------------------------------

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

function connect() {
  const status = document.getElementById("status");
  const source = new EventSource("/api/events");
  source.onopen = () => { status.textContent = "live"; status.className = "status live"; };
  source.onerror = () => { status.textContent = "reconnecting…"; status.className = "status lost"; };
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
    buildPanel(m.gauges);
    buildVariables(m.variables, m.values);
    for (const entry of m.log) addLog(entry);
  },
  module(m) {
    view.modules[m.module.id] = m.module;
    layout(m.gauges);
  },
  picture(m) { showPicture(m); },
  variables(m) { buildVariables(m.list, m.values); },
  vars(m) { setValues(m.values); },
  log(m) { addLog(m); },
  sound(m) { playSound(m); },
};

// ---- the panel ----------------------------------------------------------------------------

function buildPanel(gauges) {
  const panel = document.getElementById("panel");
  panel.textContent = "";
  view.nodes = {};
  view.drawn = {};
  panel.className = view.panel.layout;
  panel.style.backgroundImage = view.panel.background ? `url(${view.panel.background})` : "none";
  for (const g of gauges) {
    const box = el("div", "gauge");
    box.dataset.gauge = g.id;
    const canvas = el("canvas");
    canvas.id = "canvas-" + g.id;
    const problem = el("div", "problem");
    problem.hidden = true;
    const loading = el("div", "loading", "loading…");
    box.title = g.name;
    box.append(canvas, problem, loading);
    panel.append(box);
    view.nodes[g.id] = {box, canvas, problem, loading, gauge: g};
    attachMouse(g, canvas);
  }
  layout(gauges);
}

function layout(gauges) {
  view.gauges = gauges;
  const z = view.zoom, panel = document.getElementById("panel");
  let width = view.panel.width, height = view.panel.height;
  if (view.panel.layout !== "panel") {
    // Modules side by side: as wide and high as they are.
    width = Math.max(0, ...gauges.map((g) => g.x + g.w));
    height = Math.max(0, ...gauges.map((g) => g.y + g.h));
  }
  panel.style.width = width * z + "px";
  panel.style.height = height * z + "px";
  for (const g of gauges) {
    const n = view.nodes[g.id];
    if (!n) continue;
    n.gauge = g;
    n.box.style.left = g.x * z + "px";
    n.box.style.top = g.y * z + "px";
    n.box.style.width = g.w * z + "px";
    n.box.style.height = g.h * z + "px";
    const mod = view.modules[g.module] || {};
    n.box.dataset.state = mod.state;
    n.problem.hidden = mod.state !== "error";
    n.problem.textContent = mod.state === "error" ? `${mod.file}: gaugehost: error: ${mod.error}` : "";
    n.loading.hidden = mod.state !== "loading";
    n.canvas.style.visibility = mod.state === "error" ? "hidden" : "visible";
    if (view.bitmaps[g.module]) draw(g.id, g.module);
  }
}

async function showPicture(m) {
  const bytes = Uint8Array.from(atob(m.png), (c) => c.charCodeAt(0));
  const bitmap = await createImageBitmap(new Blob([bytes], {type: "image/png"}));
  // Decoding may finish out of order: an older picture never replaces a newer.
  if ((view.seq[m.module] || 0) > m.seq) return;
  view.seq[m.module] = m.seq;
  view.bitmaps[m.module] = bitmap;
  for (const g of view.gauges) if (g.module === m.module) draw(g.id, m.module);
}

function draw(gaugeId, moduleId) {
  const n = view.nodes[gaugeId], bitmap = view.bitmaps[moduleId];
  if (!n || !bitmap) return;
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
    if (e.button !== 0 || !canvas.width) return;
    wakeAudio();
    down = true;
    canvas.setPointerCapture(e.pointerId);
    send("click", ...point(e));
  });
  canvas.addEventListener("pointermove", (e) => {
    if (down) send("drag", ...point(e));
  });
  const up = () => { down = false; };
  canvas.addEventListener("pointerup", up);
  canvas.addEventListener("pointercancel", up);
}

// ---- variables ----------------------------------------------------------------------------

const VALUE = /^\s*([+-]?(\d+(\.\d*)?|\.\d+)([eE][+-]?\d+)?|nan|[+-]?inf)\s*$/i;

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
      if (!VALUE.test(text.value)) {
        text.classList.add("bad");
        text.title = "a number, nan, inf or -inf";
        return;
      }
      const t = text.value.trim().toLowerCase();
      send(/^[+-]?inf$|^nan$/.test(t) ? t.replace("+", "") : Number(t));
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

// The module's own samples, as it handed them to DirectSound.
function playSound(m) {
  if (!document.getElementById("sound").checked) return;
  if (m.format !== 1 || !(m.bits === 8 || m.bits === 16) || !m.channels || !m.rate) return;
  wakeAudio();
  if (!view.audio) return;
  const bytes = Uint8Array.from(atob(m.data), (c) => c.charCodeAt(0));
  const size = m.bits / 8, frames = Math.floor(bytes.length / (size * m.channels));
  if (!frames) return;
  const buffer = view.audio.createBuffer(m.channels, frames, m.rate);
  const data = new DataView(bytes.buffer);
  for (let c = 0; c < m.channels; ++c) {
    const out = buffer.getChannelData(c);
    for (let i = 0; i < frames; ++i) {
      const at = (i * m.channels + c) * size;
      out[i] = size === 2 ? data.getInt16(at, true) / 32768 : (data.getUint8(at) - 128) / 128;
    }
  }
  const node = view.audio.createBufferSource();
  node.buffer = buffer;
  node.connect(view.audio.destination);
  node.start();
  view.soundsPlayed = (view.soundsPlayed || 0) + 1;
}

// ---- start --------------------------------------------------------------------------------

document.getElementById("zoom").addEventListener("change", (e) => {
  view.zoom = Number(e.target.value);
  if (view.panel) layout(view.gauges);
});
connect();

// The viewer's page, its style and its script, served from memory; the page
// loads nothing from elsewhere. The script receives each frame's own values
// and does the display itself: levels (fixed over the full range unless
// asked otherwise), the saturation overlay, the value under the cursor, a
// region's statistics and the histogram all read those values.
#pragma once

namespace nuvctl {

inline constexpr const char *kViewerPage = R"PAGE(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>nuvctl view</title>
<link rel="stylesheet" href="/viewer.css">
<script src="/viewer.js" defer></script>
</head>
<body>
<h1>nuvctl view</h1>
<div id="cameras">loading...</div>
</body>
</html>
)PAGE";

inline constexpr const char *kViewerStyle = R"CSS(
body { font: 14px sans-serif; background: #202124; color: #e8eaed; margin: 12px; }
h1 { font-size: 17px; margin: 0 0 8px 0; }
.camera { margin: 0 0 16px 0; padding: 8px; background: #303134; border-radius: 6px; }
.camera h2 { font-size: 15px; margin: 0 0 8px 0; }
.camera h2 small { font-weight: normal; color: #bdc1c6; }
.row { display: flex; gap: 16px; align-items: flex-start; }
.view { flex: 0 1 auto; min-width: 0; }
.stage { position: relative; line-height: 0; }
.stage canvas { display: block; max-width: 100%; image-rendering: pixelated; }
.marks { position: absolute; left: 0; top: 0; cursor: crosshair; }
.frame { background: #000; }
.hist { margin-top: 6px; background: #171717; width: 512px; max-width: 100%; }
.side { flex: 0 0 360px; font-family: monospace; font-size: 13px; }
fieldset { border: 1px solid #5f6368; border-radius: 4px; margin: 0 0 8px 0; padding: 6px 8px; }
legend { color: #bdc1c6; }
.side div { margin: 3px 0; }
.side input[type=number] { width: 5.5em; }
.levels { color: #fdd663; }
.controls label { display: inline-block; width: 150px; }
.controls input.quad { width: 4.5em; }
.error { color: #f28b82; min-height: 1.2em; font-family: monospace; white-space: pre-wrap; }
.note { color: #9aa0a6; font-size: 12px; }
)CSS";

inline constexpr const char *kViewerScript = R"JS("use strict";
// Auto levels never stretch fewer codes than this over the display, so that
// the noise of a flat frame is not turned into contrast.
const MIN_AUTO_SPAN = 16;
// Auto levels leave out this share of the pixels at each end.
const AUTO_CUT = 0.005;

const sleep = ms => new Promise(done => setTimeout(done, ms));

function el(tag, attrs, ...children) {
  const e = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs || {})) {
    if (k === "text") e.textContent = v; else e.setAttribute(k, v);
  }
  for (const c of children) e.append(c);
  return e;
}

function post(path, body) {
  return fetch(path, {method: "POST", headers: {"Content-Type": "application/json"}, body: JSON.stringify(body)})
    .then(r => r.json().catch(() => ({ok: false, error: `HTTP ${r.status}`})));
}

function formatName(f) { return `${f.width} x ${f.height}, ${f.fps.toFixed(3)} fps, ${f.format}`; }

// ---- one camera's panel ------------------------------------------------

function panel(cam) {
  const i = cam.index;
  const p = {index: i, cam, seq: 0, frame: null, paused: false, roi: null, cursor: null, drag: null,
             shown: [], levels: null, el: {}};
  const id = name => `${name}-${i}`;
  const input = (name, attrs) => (p.el[name] = el("input", Object.assign({id: id(name)}, attrs)));
  const span = (name, text) => (p.el[name] = el("span", {id: id(name), text: text || ""}));

  const frame = p.el.frame = el("canvas", {id: id("frame"), class: "frame", width: 1, height: 1});
  const marks = p.el.marks = el("canvas", {id: id("marks"), class: "marks", width: 1, height: 1});
  const hist = p.el.hist = el("canvas", {id: id("hist"), class: "hist", width: 512, height: 90});
  const legend = p.el.legend = el("div", {id: id("legend"), class: "note"});

  const mode = p.el.levelmode = el("select", {id: id("levelmode")},
    el("option", {value: "fixed", text: "fixed: full range"}),
    el("option", {value: "auto", text: `auto: at least ${MIN_AUTO_SPAN} codes`}),
    el("option", {value: "manual", text: "manual"}));
  const pause = p.el.pause = el("button", {id: id("pause"), text: "pause"});
  const display = el("fieldset", {}, el("legend", {text: "display"}),
    el("div", {}, "levels ", mode),
    el("div", {}, "low ", input("low", {type: "number", step: 1, value: 0}),
                  " high ", input("high", {type: "number", step: 1, value: 1023})),
    el("div", {class: "levels"}, "levels in use: ", span("levels", "-")),
    el("div", {}, el("label", {}, input("overlay", {type: "checkbox"}), " mark 1023 red, 0 blue")),
    el("div", {}, pause));
  p.el.overlay.checked = true;

  const roiClear = el("button", {id: id("roi-clear"), text: "clear"});
  const measure = el("fieldset", {}, el("legend", {text: "measure"}),
    el("div", {}, "cursor ", span("probe", "-")),
    el("div", {}, "region x ", input("roi-x", {type: "number", min: 0, step: 1}),
                  " y ", input("roi-y", {type: "number", min: 0, step: 1})),
    el("div", {}, "       w ", input("roi-w", {type: "number", min: 1, step: 1}),
                  " h ", input("roi-h", {type: "number", min: 1, step: 1}), " ", roiClear),
    el("div", {}, span("roi-stats", "drag on the image for a region")),
    el("div", {}, "frame ", span("stats", "-")));

  const stream = p.el.stream = el("select", {id: id("stream")});
  cam.formats.forEach(f => stream.append(el("option", {value: f.index, text: formatName(f)})));
  const snapshot = p.el.snapshot = el("button", {id: id("snapshot"), text: "snapshot (16-bit PNG)"});
  const streamBox = el("fieldset", {}, el("legend", {text: "stream"}),
    el("div", {}, stream),
    el("div", {class: "error"}, span("state", "")),
    el("div", {}, "received ", span("fps", "0.0"), " fps, frame ", span("count", "0")),
    el("div", {}, "dropped ", span("dropped", "0"), " ", span("dropped-by", "")),
    el("div", {}, "shown ", span("shown", "0.0"), " fps"),
    el("div", {}, snapshot), el("div", {}, span("snapshot-result", "")));

  const controls = el("fieldset", {class: "controls"}, el("legend", {text: "camera"}));
  for (const c of cam.controls) controls.append(control(p, c));

  const side = el("div", {class: "side"}, display, measure, streamBox, controls,
                  p.el.error = el("div", {id: id("error"), class: "error"}));
  const view = el("div", {class: "view"}, el("div", {class: "stage"}, frame, marks), hist, legend);
  const section = el("section", {class: "camera", id: id("camera")},
    el("h2", {}, cam.label, " ", el("small", {text: `(${cam.kind})`})),
    el("div", {class: "row"}, view, side));

  const redraw = () => render(p);
  mode.addEventListener("change", () => {
    if (mode.value === "manual" && p.levels) { p.el.low.value = p.levels.lo; p.el.high.value = p.levels.hi; }
    redraw();
  });
  for (const name of ["low", "high", "overlay"]) p.el[name].addEventListener("input", redraw);
  pause.addEventListener("click", () => {
    p.paused = !p.paused;
    pause.textContent = p.paused ? "resume" : "pause";
  });
  for (const name of ["roi-x", "roi-y", "roi-w", "roi-h"]) {
    p.el[name].addEventListener("input", () => {
      const v = ["roi-x", "roi-y", "roi-w", "roi-h"].map(n => Number(p.el[n].value));
      p.roi = v.every(Number.isInteger) && v[2] > 0 && v[3] > 0 ? {x: v[0], y: v[1], w: v[2], h: v[3]} : null;
      redraw();
    });
  }
  roiClear.addEventListener("click", () => { setRoi(p, null); redraw(); });
  stream.addEventListener("change", () => {
    post("/api/stream", {cam: i, format: Number(stream.value)}).then(j => { p.el.error.textContent = j.error || ""; });
  });
  snapshot.addEventListener("click", () => {
    const out = p.el["snapshot-result"];
    if (!p.frame) { out.textContent = "no frame yet"; return; }
    post("/api/snapshot", {cam: i, sequence: p.frame.seq})
      .then(j => { out.textContent = j.ok ? `saved ${j.path}` : j.error; });
  });
  pointer(p);
  return {p, section};
}

function control(p, c) {
  const id = `${c.name}-${p.index}`;
  const send = value => post("/api/set", {cam: p.index, name: c.name, value})
    .then(j => { p.el.error.textContent = j.error || ""; refresh(p); });
  const row = el("div", {}, el("label", {for: id, text: c.name.replace(/_/g, " ")}));
  if (c.type === "bool") {
    const box = el("input", {type: "checkbox", id});
    box.addEventListener("change", () => send(box.checked ? 1 : 0));
    row.append(box);
  } else if (c.type === "int[4]") {
    const boxes = [0, 1, 2, 3].map(k => el("input", {type: "number", class: "quad", id: `${id}-${k}`, min: c.min,
                                                     max: c.max, step: 1}));
    const quad = el("div", {});
    for (const b of boxes) {
      b.addEventListener("change", () => send(boxes.map(x => Number(x.value))));
      quad.append(b, " ");
    }
    row.append(el("span", {class: "note", text: ` four values ${c.min}..${c.max}`}), quad);
  } else {
    const box = el("input", {type: "number", id, min: c.min, max: c.max, step: 1});
    box.addEventListener("change", () => send(Number(box.value)));
    row.append(box, el("span", {class: "note", text: ` ${c.min}..${c.max}`}));
  }
  return row;
}

// ---- measuring with the pointer ---------------------------------------

function framePoint(p, e) {
  const f = p.frame, r = p.el.marks.getBoundingClientRect();
  const x = Math.floor((e.clientX - r.left) * f.width / r.width);
  const y = Math.floor((e.clientY - r.top) * f.height / r.height);
  return {x: Math.min(Math.max(x, 0), f.width - 1), y: Math.min(Math.max(y, 0), f.height - 1)};
}

function setRoi(p, roi) {
  p.roi = roi;
  for (const [n, k] of [["roi-x", "x"], ["roi-y", "y"], ["roi-w", "w"], ["roi-h", "h"]])
    p.el[n].value = roi ? roi[k] : "";
}

function pointer(p) {
  const m = p.el.marks;
  m.addEventListener("mousedown", e => {
    if (!p.frame || e.button !== 0) return;
    p.drag = framePoint(p, e);
    e.preventDefault();
  });
  m.addEventListener("mousemove", e => {
    if (!p.frame) return;
    p.cursor = framePoint(p, e);
    if (p.drag) {
      const a = p.drag, b = p.cursor;
      setRoi(p, {x: Math.min(a.x, b.x), y: Math.min(a.y, b.y), w: Math.abs(a.x - b.x) + 1, h: Math.abs(a.y - b.y) + 1});
      measureRoi(p);
      drawMarks(p);
    }
    probe(p);
  });
  window.addEventListener("mouseup", () => { p.drag = null; });
  m.addEventListener("mouseleave", () => { p.cursor = null; probe(p); });
}

function probe(p) {
  const f = p.frame, c = p.cursor;
  if (!f || !c) { p.el.probe.textContent = "-"; return; }
  const i = c.y * f.width + c.x;
  p.el.probe.textContent = `x ${c.x}, y ${c.y}: ${f.values[i]}` + (i < f.counter ? " (frame counter)" : "");
}

// Mean, standard deviation (of the pixels themselves), min and max over a
// rectangle, without the counter's pixels. Two passes: exact for any frame.
function statistics(f, x0, y0, w, h) {
  const v = f.values;
  let n = 0, sum = 0, lo = Infinity, hi = -Infinity;
  for (let y = y0; y < y0 + h; y++) {
    for (let i = y * f.width + x0, end = i + w; i < end; i++) {
      if (i < f.counter) continue;
      const a = v[i];
      n++; sum += a;
      if (a < lo) lo = a;
      if (a > hi) hi = a;
    }
  }
  if (n === 0) return null;
  const mean = sum / n;
  let sq = 0;
  for (let y = y0; y < y0 + h; y++) {
    for (let i = y * f.width + x0, end = i + w; i < end; i++) {
      if (i < f.counter) continue;
      const d = v[i] - mean;
      sq += d * d;
    }
  }
  return {n, mean, std: Math.sqrt(sq / n), min: lo, max: hi};
}

function statsText(s) {
  return s ? `mean ${s.mean.toFixed(3)} std ${s.std.toFixed(3)} min ${s.min} max ${s.max} (${s.n} px)` : "no pixels";
}

function measureRoi(p) {
  const f = p.frame, r = p.roi, out = p.el["roi-stats"];
  if (!f || !r) { out.textContent = "drag on the image for a region"; return; }
  const x0 = Math.max(0, r.x), y0 = Math.max(0, r.y);
  const x1 = Math.min(f.width, r.x + r.w), y1 = Math.min(f.height, r.y + r.h);
  out.textContent = x1 > x0 && y1 > y0 ? statsText(statistics(f, x0, y0, x1 - x0, y1 - y0)) : "the region lies outside the frame";
}

// ---- levels and drawing -----------------------------------------------

function levels(p, hist, max) {
  const mode = p.el.levelmode.value;
  p.el.low.max = p.el.high.max = max;
  p.el.low.disabled = p.el.high.disabled = mode !== "manual";
  if (mode === "manual") {
    const lo = Number(p.el.low.value), hi = Number(p.el.high.value);
    if (Number.isInteger(lo) && Number.isInteger(hi) && lo >= 0 && hi <= max && lo < hi) return {lo, hi, how: "manual"};
    return {lo: 0, hi: max, how: `fixed; manual levels need whole numbers 0 <= low < high <= ${max}`};
  }
  if (mode === "auto") {
    let total = 0;
    for (const n of hist) total += n;
    const cut = total * AUTO_CUT;
    let lo = 0, hi = max;
    for (let v = 0, seen = 0; v <= max; v++) { seen += hist[v]; if (seen > cut) { lo = v; break; } }
    for (let v = max, seen = 0; v >= 0; v--) { seen += hist[v]; if (seen > cut) { hi = v; break; } }
    if (hi - lo < MIN_AUTO_SPAN) {
      lo = Math.round((lo + hi - MIN_AUTO_SPAN) / 2);
      lo = Math.min(Math.max(lo, 0), max - MIN_AUTO_SPAN);
      hi = lo + MIN_AUTO_SPAN;
    }
    return {lo, hi, how: "auto"};
  }
  return {lo: 0, hi: max, how: "fixed"};
}

function render(p) {
  const f = p.frame;
  if (!f) return;
  const v = f.values, n = v.length, max = f.max;
  const hist = new Float64Array(max + 1);
  for (let i = f.counter; i < n; i++) hist[Math.min(v[i], max)]++;
  const lv = p.levels = levels(p, hist, max);
  p.el.levels.textContent = `${lv.lo}..${lv.hi} (${lv.how})`;

  const lut = new Uint8Array(max + 1);
  const scale = 255 / (lv.hi - lv.lo);
  for (let a = 0; a <= max; a++) lut[a] = Math.min(255, Math.max(0, Math.round((a - lv.lo) * scale)));
  for (const c of [p.el.frame, p.el.marks]) {
    if (c.width !== f.width || c.height !== f.height) { c.width = f.width; c.height = f.height; }
    c.style.width = `${f.width}px`;
  }
  const g = p.el.frame.getContext("2d");
  const img = g.createImageData(f.width, f.height);
  const d = img.data, overlay = p.el.overlay.checked;
  for (let i = 0, o = 0; i < n; i++, o += 4) {
    const a = v[i];
    if (overlay && i >= f.counter && (a >= max || a === 0)) {
      d[o] = a === 0 ? 0 : 255; d[o + 1] = 0; d[o + 2] = a === 0 ? 255 : 0;
    } else {
      d[o] = d[o + 1] = d[o + 2] = lut[Math.min(a, max)];
    }
    d[o + 3] = 255;
  }
  g.putImageData(img, 0, 0);

  p.el.stats.textContent = statsText(statistics(f, 0, 0, f.width, f.height));
  p.el.legend.textContent = f.counter > 0
    ? `The first ${f.counter} values carry the simulated camera's frame counter: shown, but left out of the histogram and statistics.`
    : "";
  measureRoi(p);
  probe(p);
  drawMarks(p);
  drawHistogram(p, hist, lv, max);
}

function drawMarks(p) {
  const m = p.el.marks, g = m.getContext("2d");
  g.clearRect(0, 0, m.width, m.height);
  const r = p.roi;
  if (!r) return;
  g.strokeStyle = "#fdd663";
  g.lineWidth = 1;
  g.strokeRect(r.x - 0.5, r.y - 0.5, r.w + 1, r.h + 1);
}

function drawHistogram(p, hist, lv, max) {
  const c = p.el.hist, g = c.getContext("2d");
  g.clearRect(0, 0, c.width, c.height);
  const per = (max + 1) / c.width;
  const bins = new Float64Array(c.width);
  hist.forEach((n, a) => { bins[Math.min(c.width - 1, Math.floor(a / per))] += n; });
  const peak = Math.max(1, ...bins);
  g.fillStyle = "#8ab4f8";
  bins.forEach((n, x) => {
    const h = n === 0 ? 0 : Math.max(1, c.height * Math.log1p(n) / Math.log1p(peak));
    g.fillRect(x, c.height - h, 1, h);
  });
  g.fillStyle = "#fdd663";
  for (const a of [lv.lo, lv.hi]) g.fillRect(Math.min(c.width - 1, Math.floor(a / per)), 0, 1, c.height);
}

// ---- streaming --------------------------------------------------------

async function frames(p) {
  for (;;) {
    if (p.paused) { await sleep(100); continue; }
    let r;
    try {
      r = await fetch(`/api/frame?cam=${p.index}&after=${p.seq}`, {cache: "no-store"});
    } catch (e) { await sleep(500); continue; }
    if (r.status === 204) { await sleep(10); continue; }
    if (r.status !== 200) { await sleep(200); continue; }
    const h = r.headers, data = await r.arrayBuffer();
    const f = {seq: Number(h.get("X-Frame-Sequence")), width: Number(h.get("X-Frame-Width")),
               height: Number(h.get("X-Frame-Height")), max: Number(h.get("X-Frame-Max")),
               counter: Number(h.get("X-Frame-Counter-Pixels")), values: new Uint16Array(data)};
    if (f.values.length !== f.width * f.height) continue;
    if (p.paused) continue;
    if (p.frame && (p.frame.width !== f.width || p.frame.height !== f.height)) setRoi(p, null);
    p.seq = f.seq;
    p.frame = f;
    const now = performance.now();
    p.shown.push(now);
    while (p.shown[0] < now - 1000) p.shown.shift();
    render(p);
  }
}

// Fields being edited keep what is typed; the others show the camera's
// values.
function refresh(p) {
  return fetch(`/api/status?cam=${p.index}`).then(r => r.json()).then(s => {
    p.el.fps.textContent = s.fps.toFixed(1);
    p.el.count.textContent = s.received;
    p.el.dropped.textContent = s.dropped;
    p.el["dropped-by"].textContent = `(${s.dropped_by})`;
    const shown = p.shown.length > 1 ? 1000 * (p.shown.length - 1) / (p.shown[p.shown.length - 1] - p.shown[0]) : 0;
    p.el.shown.textContent = shown.toFixed(1);
    p.el.state.textContent = s.error || (s.state === "streaming" ? "" : s.state);
    if (s.stream.index !== null && document.activeElement !== p.el.stream) p.el.stream.value = s.stream.index;
    for (const [name, value] of Object.entries(s.controls)) {
      const id = `${name}-${p.index}`;
      const values = Array.isArray(value) ? value : [value];
      values.forEach((x, k) => {
        const input = document.getElementById(Array.isArray(value) ? `${id}-${k}` : id);
        if (!input || document.activeElement === input) return;
        if (input.type === "checkbox") input.checked = x === 1; else input.value = x;
      });
    }
  });
}

async function status(p) {
  for (;;) {
    await refresh(p).catch(() => {});
    await sleep(500);
  }
}

fetch("/api/cameras").then(r => r.json()).then(cams => {
  const root = document.getElementById("cameras");
  root.textContent = "";
  for (const cam of cams) {
    const {p, section} = panel(cam);
    root.append(section);
    frames(p);
    status(p);
  }
});
)JS";

}  // namespace nuvctl

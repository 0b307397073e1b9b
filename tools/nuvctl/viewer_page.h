// The viewer's page: one panel per camera with the live frame (auto-levelled
// for display), frames per second, a histogram of the 10-bit values, and the
// controls. Served from memory; it loads nothing from elsewhere.
#pragma once

namespace nuvctl {

inline constexpr const char *kViewerPage = R"PAGE(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>nuvctl view</title>
<style>
  body { font: 14px sans-serif; background: #202124; color: #e8eaed; margin: 12px; }
  .camera { display: inline-block; vertical-align: top; margin: 0 16px 16px 0; padding: 8px; background: #303134; border-radius: 6px; }
  .camera h2 { font-size: 15px; margin: 0 0 6px 0; }
  .frame { width: 640px; background: #000; display: block; image-rendering: pixelated; }
  .stats { margin: 6px 0; font-family: monospace; }
  .controls label { display: inline-block; width: 150px; }
  .controls div { margin: 3px 0; }
  .error { color: #f28b82; min-height: 1.2em; font-family: monospace; }
  canvas { background: #171717; display: block; }
</style>
</head>
<body>
<h1 style="font-size:17px">nuvctl view</h1>
<div id="cameras">loading...</div>
<script>
"use strict";
const controls = [
  {name: "led", label: "LED", min: 0, max: 64},
  {name: "gain", label: "gain", min: 0, max: 240},
  {name: "exposure", label: "exposure", min: -13, max: 0},
  {name: "camera_no", label: "camera number", min: 1, max: 2},
  {name: "defect_correction", label: "defect correction", bool: true, nuv2: true},
  {name: "shading_correction", label: "shading correction", bool: true, nuv2: true},
];

function panel(cam) {
  const div = document.createElement("div");
  div.className = "camera";
  let html = `<h2>${cam.label} <small>(${cam.width}x${cam.height})</small></h2>` +
    `<img class="frame" id="frame-${cam.index}" alt="frame">` +
    `<div class="stats"><span id="fps-${cam.index}">0.0</span> fps, frame <span id="count-${cam.index}">0</span>, ` +
    `levels <span id="levels-${cam.index}">-</span></div>` +
    `<canvas id="hist-${cam.index}" width="640" height="80"></canvas><div class="controls">`;
  for (const c of controls) {
    if (c.nuv2 && cam.kind !== "NUV2") continue;
    const id = `${c.name}-${cam.index}`;
    if (c.bool) {
      html += `<div><label for="${id}">${c.label}</label><input type="checkbox" id="${id}" data-name="${c.name}"></div>`;
    } else {
      html += `<div><label for="${id}">${c.label}</label><input type="number" id="${id}" data-name="${c.name}" ` +
              `min="${c.min}" max="${c.max}" step="1" style="width:6em"> <small>${c.min}..${c.max}</small></div>`;
    }
  }
  html += `</div><div class="error" id="error-${cam.index}"></div>`;
  div.innerHTML = html;
  for (const input of div.querySelectorAll("input[data-name]")) {
    input.addEventListener("change", () => {
      const value = input.type === "checkbox" ? (input.checked ? 1 : 0) : input.value;
      fetch(`/api/set?cam=${cam.index}&name=${input.dataset.name}&value=${encodeURIComponent(value)}`, {method: "POST"})
        .then(r => r.json())
        .then(j => { document.getElementById(`error-${cam.index}`).textContent = j.error || ""; refresh(cam, true); });
    });
  }
  return div;
}

function drawHistogram(cam, histogram) {
  const canvas = document.getElementById(`hist-${cam.index}`);
  const g = canvas.getContext("2d");
  g.clearRect(0, 0, canvas.width, canvas.height);
  const peak = Math.max(1, ...histogram);
  const w = canvas.width / histogram.length;
  g.fillStyle = "#8ab4f8";
  histogram.forEach((n, i) => {
    const h = n === 0 ? 0 : Math.max(1, canvas.height * Math.log1p(n) / Math.log1p(peak));
    g.fillRect(i * w, canvas.height - h, Math.max(1, w - 1), h);
  });
}

function refresh(cam, force) {
  return fetch(`/api/status?cam=${cam.index}`).then(r => r.json()).then(s => {
    document.getElementById(`fps-${cam.index}`).textContent = s.fps.toFixed(1);
    document.getElementById(`count-${cam.index}`).textContent = s.frames;
    document.getElementById(`levels-${cam.index}`).textContent = `${s.lo}..${s.hi}`;
    drawHistogram(cam, s.histogram);
    for (const [name, value] of Object.entries(s.controls)) {
      const input = document.getElementById(`${name}-${cam.index}`);
      if (!input || (!force && document.activeElement === input)) continue;
      if (input.type === "checkbox") input.checked = value === 1; else input.value = value;
    }
  });
}

function stream(cam) {
  const img = document.getElementById(`frame-${cam.index}`);
  const next = () => { img.src = `/api/frame.png?cam=${cam.index}&t=${Date.now()}`; };
  img.onload = () => setTimeout(next, 30);
  img.onerror = () => setTimeout(next, 500);
  next();
  const poll = () => refresh(cam, false).finally(() => setTimeout(poll, 500));
  poll();
}

fetch("/api/cameras").then(r => r.json()).then(cams => {
  const root = document.getElementById("cameras");
  root.textContent = "";
  for (const cam of cams) { root.appendChild(panel(cam)); stream(cam); }
});
</script>
</body>
</html>
)PAGE";

}  // namespace nuvctl

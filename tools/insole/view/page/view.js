// insole view: draws the snapshots the tool pushes over a WebSocket. The
// values shown are the ones the tool decoded; the page only draws them, and
// exposes them as data attributes (data-seq, data-cell-N, ...) for tests.
"use strict";

const SVG = "http://www.w3.org/2000/svg";
const TRAIL = 60;              // centre-of-pressure points kept (2 s at 30 per second)
const IMU_SPAN_MS = 10000;
const EVENT_SPAN_MS = 60000;
const RAMP = [[0, 0x1a, 0x2a, 0x6c], [0.25, 0x1f, 0x8f, 0xd0], [0.5, 0x3c, 0xc8, 0x6a],
              [0.75, 0xf2, 0xd0, 0x3a], [1, 0xe8, 0x3a, 0x2c]];
const DFU_STATES = ["loading", "checksum", "handshake", "uploading", "verifying", "rebooting",
                    "completed", "failed", "aborted"];

let layout = null;
let paused = false;
let socket = null;
let recording = null;
let scaleMax = 1000;
let hover = null;              // the cell under the pointer: {card, index, x, y}
const cards = new Map();       // insole id -> card

const $ = (sel, root = document) => root.querySelector(sel);

function ramp(v) {
  const t = Math.max(0, Math.min(1, v));
  let i = 1;
  while (i < RAMP.length - 1 && RAMP[i][0] < t) i++;
  const [t0, ...a] = RAMP[i - 1], [t1, ...b] = RAMP[i];
  const f = (t - t0) / (t1 - t0);
  return `rgb(${a.map((c, k) => Math.round(c + (b[k] - c) * f)).join(",")})`;
}

function el(name, attrs, parent) {
  const e = document.createElementNS(SVG, name);
  for (const [k, v] of Object.entries(attrs || {})) e.setAttribute(k, v);
  if (parent) parent.appendChild(e);
  return e;
}

function fmt(v, digits = 0) {
  return v === null || v === undefined ? "–" : Number(v).toFixed(digits);
}

// A closed curve through the midpoints of the outline's edges, its corners
// as control points, so that a coarse outline still looks like an insole.
function smoothPath(pts) {
  const mid = (a, b) => [(a[0] + b[0]) / 2, (a[1] + b[1]) / 2];
  const n = pts.length;
  let d = `M${mid(pts[n - 1], pts[0]).join(",")}`;
  for (let i = 0; i < n; i++) d += ` Q${pts[i].join(",")} ${mid(pts[i], pts[(i + 1) % n]).join(",")}`;
  return d + " Z";
}

// One foot's map: the outline, the 48 cells, the shear arrows, the trail.
function buildMap(svg, right) {
  const mx = x => (right ? -x : x);
  const xs = [], ys = [];
  for (const [x, y, w, h] of layout.cells) { xs.push(mx(x) - w / 2, mx(x) + w / 2); ys.push(y - h / 2, y + h / 2); }
  for (const [x, y] of layout.outline) { xs.push(mx(x)); ys.push(y); }
  const pad = 8;
  const x0 = Math.min(...xs) - pad, x1 = Math.max(...xs) + pad;
  const y0 = Math.min(...ys) - pad, y1 = Math.max(...ys) + pad;
  svg.setAttribute("viewBox", `${x0} ${-y1} ${x1 - x0} ${y1 - y0}`);
  if (layout.outline.length > 2) el("path", { class: "outline", d: smoothPath(layout.outline.map(([x, y]) => [mx(x), -y])) }, svg);
  const cells = layout.cells.map(([x, y, w, h], i) => {
    const r = el("rect", { class: "cell", x: mx(x) - w / 2, y: -(y + h / 2), width: w, height: h, rx: 2.5,
                           fill: ramp(0) }, svg);
    r.dataset.index = i;
    return r;
  });
  const shear = el("g", { class: "shear" }, svg);
  const arrows = layout.shear.map(([x, y]) => {
    const g = el("g", { transform: `translate(${mx(x)},${-y})` }, shear);
    const line = el("line", { x1: 0, y1: 0, x2: 0, y2: 0 }, g);
    const head = el("path", { d: "M0,0" }, g);
    return { line, head };
  });
  const trailGroup = el("g", { class: "trail" }, svg);
  const trail = [];
  for (let i = 0; i < TRAIL - 1; i++) trail.push(el("line", { opacity: 0 }, trailGroup));
  const cop = el("circle", { class: "cop", r: 4, cx: 0, cy: 0, visibility: "hidden" }, svg);
  return { cells, arrows, trail, cop, points: [], right };
}

// Pairs stay side by side, whatever order the insoles are first heard in:
// cards sort by what the id says beside its foot ("rig1-" of "rig1-left",
// "" of "left", "-2" of "left-2"; numbers by value, so rig10 follows rig9),
// then left before right before an insole of no known foot.
const footRank = f => (f === "left" ? 0 : f === "right" ? 1 : 2);
const pairOf = id => id.replace(/left|right/i, "");
function comesBefore(a, b) {
  const byPair = pairOf(a.id).localeCompare(pairOf(b.id), "en", { numeric: true });
  return byPair !== 0 ? byPair < 0 : footRank(a.foot) < footRank(b.foot);
}

function newCard(insole) {
  const node = $("#insole-card").content.firstElementChild.cloneNode(true);
  node.dataset.id = insole.id;
  node.dataset.foot = insole.foot;
  $(".foot-name", node).textContent =
    insole.foot === "right" ? "Right foot" : insole.foot === "left" ? "Left foot" : "Insole";
  $(".insole-id", node).textContent = insole.id;
  const card = { node, map: buildMap($(".map", node), insole.foot === "right"), imu: [], loads: [], shearScale: 1,
                 canvas: $(".imu", node), loadCanvas: $(".load-trace", node) };
  for (const rect of card.map.cells) {
    rect.addEventListener("mousemove", ev => showTip(ev, card, Number(rect.dataset.index)));
    rect.addEventListener("mouseleave", hideTip);
  }
  const feet = $("#feet");
  const after = [...feet.children].find(c => comesBefore(insole, { id: c.dataset.id, foot: c.dataset.foot }));
  feet.insertBefore(node, after || null);
  cards.set(insole.id, card);
  return card;
}

function showTip(ev, card, i) {
  hover = { card, index: i, x: ev.clientX, y: ev.clientY };
  drawTip();
}

// The tooltip follows the values while the pointer rests on a cell.
function drawTip() {
  if (!hover) return;
  const { card, index: i } = hover;
  const s = card.last;
  if (!s) return;
  const raw = i < s.raw.length ? s.raw[i] : "–";
  const cal = i < s.cells.length ? `${fmt(s.cells[i], s.unit ? 3 : 0)}${s.unit ? " " + s.unit : ""}` : "–";
  const tip = $("#tooltip");
  tip.textContent = `cell ${i}\nraw ${raw}\ncalibrated ${cal}`;
  tip.hidden = false;
  tip.style.left = `${hover.x + 14}px`;
  tip.style.top = `${hover.y + 10}px`;
}

function hideTip() { hover = null; $("#tooltip").hidden = true; }

function drawMap(card, s) {
  const m = card.map;
  s.cells.forEach((v, i) => { if (i < m.cells.length) m.cells[i].setAttribute("fill", ramp(v / scaleMax)); });
  // Centre of pressure and its fading trail.
  if (s.cop) {
    // The server gives a right foot's centre mirrored already, as its cells are drawn.
    const px = s.cop[0], py = -s.cop[1];
    m.points.push([px, py]);
    if (m.points.length > TRAIL) m.points.shift();
    m.cop.setAttribute("cx", px);
    m.cop.setAttribute("cy", py);
    m.cop.setAttribute("visibility", "visible");
  } else {
    m.cop.setAttribute("visibility", "hidden");
  }
  const n = m.points.length;
  m.trail.forEach((line, k) => {
    const a = m.points[n - 2 - k], b = m.points[n - 1 - k];
    if (!a || !b) { line.setAttribute("opacity", 0); return; }
    line.setAttribute("x1", a[0]); line.setAttribute("y1", a[1]);
    line.setAttribute("x2", b[0]); line.setAttribute("y2", b[1]);
    line.setAttribute("opacity", (0.9 * (1 - k / (TRAIL - 1))).toFixed(3));
  });
  // Shear: arrows scaled so the largest seen spans about 22 mm.
  for (const [fx, fy] of s.shear) card.shearScale = Math.max(card.shearScale, Math.hypot(fx, fy));
  m.arrows.forEach((arrow, k) => {
    const v = s.shear[k];
    if (!v) { arrow.line.setAttribute("x2", 0); arrow.line.setAttribute("y2", 0); arrow.head.setAttribute("d", "M0,0"); return; }
    const dx = (m.right ? -v[0] : v[0]) * 22 / card.shearScale, dy = -v[1] * 22 / card.shearScale;
    arrow.line.setAttribute("x2", dx.toFixed(2));
    arrow.line.setAttribute("y2", dy.toFixed(2));
    const len = Math.hypot(dx, dy) || 1, ux = dx / len, uy = dy / len;
    const hx = dx - ux * 5, hy = dy - uy * 5;
    arrow.head.setAttribute("d", `M${dx},${dy} L${hx - uy * 2.5},${hy + ux * 2.5} L${hx + uy * 2.5},${hy - ux * 2.5} Z`);
  });
}

// Samples are timed by the clock of the host that received them: the view's
// own for a live insole, the capture's for a replay (hours or days ago), a
// feeding host's for a feed. The traces run on that clock, mapped onto the
// snapshots' clock by the smallest lag seen; a lag that moves by more than the
// span (a replay that starts over, a pause in the capture) starts afresh.
function sampleClock(card, s, nowMs) {
  if (!s.host_time_ns) return nowMs - (card.lag || 0);
  const lag = nowMs - s.host_time_ns / 1e6;
  if (card.lag === undefined || Math.abs(lag - card.lag) > IMU_SPAN_MS) {
    card.lag = lag;
    card.imu.length = 0;
  } else {
    card.lag = Math.min(card.lag, lag);
  }
  return nowMs - card.lag;
}

function drawImu(card, s, nowMs) {
  if (s.imu && s.host_time_ns) {
    const t = s.host_time_ns / 1e6;
    const last = card.imu[card.imu.length - 1];
    if (!last || last[0] !== t) card.imu.push([t, ...s.imu.acc, ...s.imu.gyro]);
  }
  while (card.imu.length && card.imu[0][0] < nowMs - IMU_SPAN_MS) card.imu.shift();
  const c = card.canvas, g = c.getContext("2d");
  if (c.clientWidth && c.width !== c.clientWidth) c.width = c.clientWidth;
  const W = c.width, H = c.height, half = H / 2;
  g.clearRect(0, 0, W, H);
  g.strokeStyle = "#2a3442";
  g.beginPath(); g.moveTo(0, half); g.lineTo(W, half); g.stroke();
  const colours = ["#ff6b6b", "#5fd38a", "#6aa8ff"];
  for (const [base, label] of [[1, "acc"], [4, "gyro"]]) {
    const top = base === 1 ? 0 : half;
    let lim = base === 1 ? 1200 : 50;
    for (const r of card.imu) for (let k = 0; k < 3; k++) lim = Math.max(lim, Math.abs(r[base + k]));
    lim *= 1.15;  // headroom, so a steady axis (gravity) does not run along the edge
    g.fillStyle = "#8a97a8";
    g.font = "11px system-ui";
    g.fillText(`${label} ±${Math.round(lim)}`, 4, top + 12);
    for (let k = 0; k < 3; k++) {
      g.strokeStyle = colours[k];
      g.lineWidth = 1.3;
      g.beginPath();
      card.imu.forEach((r, j) => {
        const x = W - (nowMs - r[0]) / IMU_SPAN_MS * W;
        const y = top + half / 2 - r[base + k] / lim * (half / 2 - 6);
        if (j) g.lineTo(x, y); else g.moveTo(x, y);
      });
      g.stroke();
    }
  }
}

// The total load over the IMU's span, with the gait events the tool decided:
// initial contacts and foot offs as lines at their time on the same clock.
function drawGait(card, s, nowMs) {
  if (s.host_time_ns) {
    const t = s.host_time_ns / 1e6;
    const last = card.loads[card.loads.length - 1];
    if (!last || last[0] !== t) card.loads.push([t, s.total]);
  }
  while (card.loads.length && card.loads[0][0] < nowMs - IMU_SPAN_MS) card.loads.shift();
  const c = card.loadCanvas, g = c.getContext("2d");
  if (c.clientWidth && c.width !== c.clientWidth) c.width = c.clientWidth;
  const W = c.width, H = c.height;
  g.clearRect(0, 0, W, H);
  let lim = s.unit ? 1 : 100;
  for (const [, v] of card.loads) lim = Math.max(lim, v);
  lim *= 1.1;
  const x = t => W - (nowMs - t) / IMU_SPAN_MS * W;
  const gait = s.gait || { events: [] };
  for (const [ns, kind] of gait.events) {
    const ex = x(ns / 1e6);
    if (ex < 0) continue;
    g.strokeStyle = kind === "contact" ? "#5fd38a" : "#ff6b6b";
    g.beginPath(); g.moveTo(ex, 0); g.lineTo(ex, H); g.stroke();
  }
  g.strokeStyle = "#6aa8ff";
  g.lineWidth = 1.3;
  g.beginPath();
  card.loads.forEach(([t, v], j) => {
    const y = H - 4 - v / lim * (H - 8);
    if (j) g.lineTo(x(t), y); else g.moveTo(x(t), y);
  });
  g.stroke();
  g.lineWidth = 1;
  g.fillStyle = "#8a97a8";
  g.font = "11px system-ui";
  g.fillText(`${fmt(lim, s.unit ? 1 : 0)} ${s.unit || "device units"}`, 4, 12);
  const st = gait.stride;
  setText(card, ".cadence", gait.cadence_steps_per_min ? `${fmt(gait.cadence_steps_per_min, 0)} steps/min` : "–");
  setText(card, ".stride", st ? `${fmt(st.stride_s, 2)} s · stance ${fmt(st.stance_s, 2)} s (${fmt(st.stance_pct, 0)} %)` +
                                ` · swing ${fmt(st.swing_s, 2)} s` : "–");
  card.node.dataset.cadence = gait.cadence_steps_per_min ?? "";
  card.node.dataset.strideS = st ? st.stride_s : "";
  card.node.dataset.gaitEvents = gait.events.length;
}

function drawEvents(card, s, nowMs) {
  const strip = $(".timeline", card.node), list = $(".events", card.node);
  const recent = s.events.filter(([ns]) => ns / 1e6 >= nowMs - EVENT_SPAN_MS);
  strip.replaceChildren(...recent.map(([ns, text]) => {
    const dot = document.createElement("i");
    dot.style.left = `${100 - (nowMs - ns / 1e6) / EVENT_SPAN_MS * 100}%`;
    dot.title = text;
    return dot;
  }));
  const key = s.events.length + ":" + (s.events.length ? s.events[s.events.length - 1][0] : 0);
  if (card.eventsKey === key) return;
  card.eventsKey = key;
  list.replaceChildren(...s.events.slice(-4).reverse().map(([ns, text]) => {
    const li = document.createElement("li");
    li.textContent = `${new Date(ns / 1e6).toLocaleTimeString()} ${text}`;
    return li;
  }));
  if (!s.events.length) list.replaceChildren(Object.assign(document.createElement("li"), { textContent: "none yet" }));
}

function drawDfu(card, s) {
  const box = $(".dfu", card.node);
  const d = s.dfu;
  box.hidden = !d;
  if (!d) return;
  const name = DFU_STATES[d.state] || `state ${d.state}`;
  $(".dfu-state", box).textContent = name;
  $(".dfu-bar", box).value = d.pct;
  const eta = d.state === 3 ? ` · ETA ${fmt(d.eta_secs, 1)} s` : "";
  $(".dfu-text", box).textContent = `${fmt(d.pct, 1)} % · ${fmt(d.speed_kbps, 2)} KiB/s${eta} · ${d.message}`;
  card.node.dataset.dfuState = name;
  card.node.dataset.dfuPct = d.pct;
}

function setText(card, sel, text, warn) {
  const e = $(sel, card.node);
  e.textContent = text;
  e.classList.toggle("warn", !!warn);
}

function drawInsole(s, nowMs) {
  const card = cards.get(s.id) || newCard(s);
  card.last = s;
  const n = card.node;
  n.dataset.seq = s.seq === null ? "" : s.seq;
  n.dataset.frames = s.frames;
  n.dataset.lost = s.lost;
  n.dataset.total = s.total;
  n.dataset.copX = s.cop ? s.cop[0] : "";
  n.dataset.copY = s.cop ? s.cop[1] : "";
  s.cells.forEach((v, i) => n.setAttribute(`data-cell-${i}`, v));
  setText(card, ".seq", s.seq === null ? "–" : String(s.seq));
  setText(card, ".fps", fmt(s.fps, 1));
  setText(card, ".lost", String(s.lost), s.lost > 0);
  setText(card, ".crc", String(s.crc_errors), s.crc_errors > 0);
  setText(card, ".decode", String(s.decode_errors), s.decode_errors > 0);
  setText(card, ".battery", s.battery ? `${s.battery.pct} % · ${s.battery.mv} mV` : "–", s.battery && s.battery.pct < 15);
  const d = s.device_info;
  setText(card, ".device", d ? [d.model, d.serial, d.fw && "fw " + d.fw, d.hw && "hw " + d.hw, d.mac]
                               .filter(Boolean).join(" · ") : (s.connected ? "no device information" : "disconnected"));
  $(".total", n).textContent = `${fmt(s.total, s.unit ? 1 : 0)}${s.unit ? " " + s.unit : ""}`;
  $(".cop-text", n).textContent = s.cop ? `${fmt(s.cop[0], 1)}, ${fmt(s.cop[1], 1)} mm` : "–";
  drawMap(card, s);
  const sampleNowMs = sampleClock(card, s, nowMs);
  drawGait(card, s, sampleNowMs);
  drawImu(card, s, sampleNowMs);
  n.dataset.imuPoints = card.imu.length;
  drawEvents(card, s, sampleNowMs);
  drawDfu(card, s);
}

function drawLegend(unit) {
  $("#legend-max").textContent = fmt(scaleMax, unit ? 1 : 0);
  $("#legend-unit").textContent = unit || "(insole units)";
}

function onState(snap) {
  $("#source").textContent = snap.source;
  recording = snap.recording;
  $("#recording").textContent = recording ? `recording to ${recording}` : "";
  $("#record").classList.toggle("on", !!recording);
  $("#record").textContent = recording ? "■ Stop recording" : "● Record";
  if (paused) return;
  // The colour scale follows the loudest cell and eases back slowly.
  let peak = 0, unit = "";
  for (const s of snap.insoles) { for (const v of s.cells) peak = Math.max(peak, v); unit = unit || s.unit; }
  scaleMax = Math.max(unit ? 1 : 1000, peak, scaleMax * 0.995);
  drawLegend(unit);
  const nowMs = snap.time_ns / 1e6;
  for (const s of snap.insoles) drawInsole(s, nowMs);
  drawTip();
  document.body.dataset.updates = (Number(document.body.dataset.updates || 0) + 1).toString();
}

function connect() {
  const url = `${location.protocol === "https:" ? "wss" : "ws"}://${location.host}/ws`;
  socket = new WebSocket(url);
  socket.onopen = () => { document.body.dataset.connected = "true"; $("#link").textContent = "live"; };
  socket.onclose = () => {
    document.body.dataset.connected = "false";
    $("#link").textContent = "offline";
    setTimeout(connect, 1000);
  };
  socket.onmessage = ev => {
    const msg = JSON.parse(ev.data);
    if (msg.type === "state") onState(msg);
    else if (msg.type === "error") $("#recording").textContent = msg.text;
  };
}

$("#pause").addEventListener("click", () => {
  paused = !paused;
  document.body.dataset.paused = String(paused);
  $("#pause").textContent = paused ? "Resume" : "Pause";
});
$("#record").addEventListener("click", () => {
  if (socket && socket.readyState === WebSocket.OPEN) socket.send(recording ? "record stop" : "record start");
});

$("#legend").style.background = `linear-gradient(to right, ${[0, 0.25, 0.5, 0.75, 1].map(ramp).join(",")})`;
fetch("/layout.json").then(r => r.json()).then(l => { layout = l; connect(); });

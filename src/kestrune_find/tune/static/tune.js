// The tuning page: plain JavaScript over the server's /api (see docs/tune.md).
"use strict";

const token = new URLSearchParams(location.search).get("token");
const $ = (id) => document.getElementById(id);

// What the page shows; exposed for scripts and tests as window.tune.
const tune = { frames: [], current: 0, colour: null, state: null, finds: [], info: null, busy: 0 };
window.tune = tune;

function withToken(url) {
  if (!token) return url;
  return url + (url.includes("?") ? "&" : "?") + "token=" + encodeURIComponent(token);
}

async function api(method, path, body) {
  const options = { method, headers: {} };
  if (token) options.headers["X-Kestrune-Token"] = token;
  if (body !== undefined) {
    options.headers["Content-Type"] = "application/json";
    options.body = JSON.stringify(body);
  }
  tune.busy++;
  try {
    const response = await fetch(path, options);
    const data = await response.json();
    if (!response.ok) throw new Error(data.error || response.statusText);
    return data;
  } finally {
    tune.busy--;
  }
}

function status(text, isError) {
  $("status").textContent = text;
  $("status").className = isError ? "error" : "";
}

// A drawing colour per colour name, the same on every redraw; none of them
// the mask's cyan.
const PALETTE = ["#ffd84d", "#ff5c8a", "#7dff7a", "#ff9f40", "#c58bff", "#ffffff"];
function paint(name) {
  let hash = 0;
  for (const ch of name) hash = (hash * 31 + ch.charCodeAt(0)) >>> 0;
  return PALETTE[hash % PALETTE.length];
}

// Small frames are enlarged and large ones shrunk to fill the view.
function fit() {
  const f = frame();
  if (!f) return;
  const room = $("view").clientWidth, tall = window.innerHeight - 110;
  const scale = Math.min(room / f.width, tall / f.height, 4);
  $("stage").style.width = `${Math.floor(f.width * scale)}px`;
}

// --------------------------------------------------------------------------
// Frames
// --------------------------------------------------------------------------

function frame() { return tune.frames[tune.current]; }

function listFrames() {
  const select = $("frame-select");
  select.replaceChildren(...tune.frames.map((f) => {
    const option = document.createElement("option");
    option.value = f.index;
    option.textContent = `${f.index}: ${f.name}`;
    return option;
  }));
  select.value = tune.current;
}

let liveTimer = null;

function show(index) {
  if (index < 0 || index >= tune.frames.length) return;
  tune.current = index;
  const f = frame();
  $("frame-select").value = index;
  $("frame-info").textContent = `${f.width} x ${f.height}` + (f.live ? ", live" : "");
  fit();
  tune.finds = [];
  $("frame").src = withToken(`/api/frames/${index}/` + (f.live ? "stream" : "image"));
  clearInterval(liveTimer);
  liveTimer = f.live ? setInterval(refreshView, 700) : null;
  refreshView();
  markSamples();
}

// --------------------------------------------------------------------------
// The colour: its mask, the finds, the samples and the commands
// --------------------------------------------------------------------------

function findQuery() {
  const q = new URLSearchParams({ shape: $("shape").value, min_score: $("min-score").value });
  if ($("min-r").value !== "") q.set("min_r", $("min-r").value);
  if ($("max-r").value !== "") q.set("max_r", $("max-r").value);
  return q;
}

let viewSerial = 0;

async function refreshView() {
  const serial = ++viewSerial;
  const index = tune.current;
  const mask = $("mask");
  mask.style.opacity = $("mask-opacity").value;
  mask.style.display = tune.colour && $("show-mask").checked ? "" : "none";
  if (tune.colour) mask.src = withToken(`/api/frames/${index}/mask?t=${Date.now()}`);
  if (!tune.colour) {
    tune.finds = [];
    drawFinds();
    return;
  }
  const q = findQuery();
  q.set("frame", index);
  try {
    const data = await api("GET", "/api/finds?" + q);
    if (serial !== viewSerial) return;  // a newer request is on its way
    tune.finds = data.shapes;
    drawFinds();
    status("");
  } catch (e) {
    status(e.message, true);
  }
}

function drawFinds(drag) {
  const canvas = $("overlay");
  const f = frame();
  if (!f) return;
  // Drawn at the screen's resolution (sharp labels), in the frame's coordinates.
  const shown = Math.max(1, canvas.getBoundingClientRect().width);
  const k = Math.max(1, shown * (window.devicePixelRatio || 1) / f.width);
  if (canvas.width !== Math.round(f.width * k)) {
    canvas.width = Math.round(f.width * k);
    canvas.height = Math.round(f.height * k);
  }
  const ctx = canvas.getContext("2d");
  ctx.setTransform(1, 0, 0, 1, 0, 0);
  ctx.clearRect(0, 0, canvas.width, canvas.height);
  ctx.setTransform(k, 0, 0, k, 0, 0);
  const list = $("finds");
  list.replaceChildren();
  const scale = f.width / shown;  // frame pixels per screen pixel
  ctx.lineWidth = 2 * scale;
  ctx.font = `${Math.round(13 * scale)}px system-ui, sans-serif`;
  for (const s of tune.finds) {
    const item = document.createElement("li");
    item.dataset.shape = s.shape;
    item.dataset.score = s.score;
    const where = "x" in s ? `(${s.x.toFixed(1)}, ${s.y.toFixed(1)})` : `(${s.px.toFixed(1)}, ${s.py.toFixed(1)})`;
    const size = s.shape === "disc" ? `r ${s.r.toFixed(1)}` : s.shape === "ellipse"
      ? `${s.a.toFixed(1)} x ${s.b.toFixed(1)}` : `width ${s.width.toFixed(1)}`;
    item.textContent = `${s.shape} ${where} ${size}, score ${s.score.toFixed(2)}`;
    list.append(item);
    if ($("show-finds").checked) drawShape(ctx, s, scale);
  }
  if (!tune.finds.length) {
    const item = document.createElement("li");
    item.className = "none";
    item.textContent = tune.colour ? "nothing found" : "no colour yet";
    list.append(item);
  }
  canvas.dataset.finds = tune.finds.length;
  if (drag) {
    ctx.setLineDash([6 * scale, 4 * scale]);
    ctx.strokeStyle = "#fff";
    if (drag.r !== undefined) {
      ctx.beginPath();
      ctx.arc(drag.x + 0.5, drag.y + 0.5, drag.r, 0, 2 * Math.PI);
      ctx.stroke();
    } else {
      ctx.lineWidth = 1.5 * scale;
      ctx.strokeRect(drag.x0, drag.y0, drag.x1 - drag.x0, drag.y1 - drag.y0);
    }
    ctx.setLineDash([]);
  }
}

// Pixel centres are at integers: (0, 0) is the middle of the top-left pixel.
function drawShape(ctx, s, scale) {
  const colour = paint(s.colour);
  ctx.strokeStyle = colour;
  ctx.fillStyle = colour;
  ctx.beginPath();
  let labelX, labelY;
  if (s.shape === "disc" || s.shape === "ellipse") {
    const a = s.shape === "disc" ? s.r : s.a, b = s.shape === "disc" ? s.r : s.b;
    ctx.ellipse(s.x + 0.5, s.y + 0.5, a, b, s.shape === "disc" ? 0 : s.theta, 0, 2 * Math.PI);
    ctx.stroke();
    labelX = s.x + 0.5 - a;
    labelY = s.y + 0.5 - b - 4 * scale;
  } else {
    const dx = -s.ny * s.length / 2, dy = s.nx * s.length / 2;
    const offsets = s.shape === "line" ? [0] : [-s.width / 2, s.width / 2];
    for (const d of offsets) {
      ctx.moveTo(s.px - dx + s.nx * d + 0.5, s.py - dy + s.ny * d + 0.5);
      ctx.lineTo(s.px + dx + s.nx * d + 0.5, s.py + dy + s.ny * d + 0.5);
    }
    ctx.stroke();
    labelX = s.px + 0.5;
    labelY = s.py + 0.5 - s.width / 2 - 4 * scale;
  }
  const label = `${s.colour} ${s.score.toFixed(2)}`;
  ctx.lineWidth = 3 * scale;
  ctx.strokeStyle = "rgba(0, 0, 0, 0.7)";
  ctx.strokeText(label, labelX, Math.max(12 * scale, labelY));
  ctx.fillText(label, labelX, Math.max(12 * scale, labelY));
  ctx.lineWidth = 2 * scale;
}

function showState(state) {
  tune.state = state;
  tune.colour = state.colour;
  const coverage = $("coverage");
  if (!state.colour) {
    coverage.textContent = state.error ? `No colour: ${state.error}` : "No colour yet: add a sample.";
  } else {
    const c = state.coverage;
    const lines = [`takes ${(100 * c.samples).toFixed(1)}% of the samples' pixels`];
    for (const f of c.frames) lines.push(`${(100 * f.rest).toFixed(1)}% of the rest of frame ${f.frame}`);
    if (state.widening_kept !== undefined && state.widening_kept < state.widening) {
      lines.push(`widened ${(100 * state.widening_kept).toFixed(0)}%: wider took in the background`);
    }
    coverage.replaceChildren(...lines.map((t) => Object.assign(document.createElement("div"), { textContent: t })));
  }
  $("warnings").replaceChildren(...state.warnings.map((w) => Object.assign(document.createElement("li"), { textContent: w })));
  const list = $("samples");
  list.replaceChildren(...state.samples.map((s, k) => {
    const item = document.createElement("li");
    item.dataset.frame = s.frame;
    const thumb = document.createElement("img");
    thumb.src = withToken(`/api/samples/${k}/thumbnail?t=${Date.now()}`);
    thumb.alt = `sample ${k}`;
    const what = document.createElement("span");
    what.className = "what";
    const pick = s.rect ? `rect ${s.rect.join(" ")}` : `disc ${s.disc.map((v) => +v.toFixed(1)).join(" ")}`;
    const cover = s.coverage === undefined ? "" : `, ${(100 * s.coverage).toFixed(0)}% taken`;
    what.textContent = `frame ${s.frame}: ${pick}${cover}` + (s.warnings ? ` (${s.warnings.join("; ")})` : "");
    what.title = s.name;
    what.addEventListener("click", () => show(s.frame));
    const remove = document.createElement("button");
    remove.textContent = "remove";
    remove.className = "remove";
    remove.addEventListener("click", () => change(api("DELETE", `/api/samples/${k}`)));
    item.append(thumb, what, remove);
    return item;
  }));
  const commands = state.commands || { shell: [], python: "", notes: [] };
  $("shell").textContent = commands.shell.join("\n");
  $("python").textContent = commands.python;
  $("notes").replaceChildren(...commands.notes.map((n) => Object.assign(document.createElement("li"), { textContent: n })));
  markSamples();
}

function markSamples() {
  for (const item of $("samples").children) {
    item.classList.toggle("current-frame", +item.dataset.frame === tune.current);
  }
}

async function change(request) {
  try {
    showState(await request);
    status("");
  } catch (e) {
    status(e.message, true);
  }
  await refreshView();
}

// --------------------------------------------------------------------------
// Picking samples: drag a rectangle, or click for a disc
// --------------------------------------------------------------------------

function pixelAt(event) {
  const box = $("overlay").getBoundingClientRect();
  const f = frame();
  const x = Math.floor((event.clientX - box.left) * f.width / box.width);
  const y = Math.floor((event.clientY - box.top) * f.height / box.height);
  return [Math.min(Math.max(x, 0), f.width - 1), Math.min(Math.max(y, 0), f.height - 1)];
}

let dragStart = null;

async function startPick(event) {
  event.preventDefault();
  dragStart = pixelAt(event);
  if (frame().live) {
    // The picture under the pointer is kept as a frame of its own; the pick is made on it.
    const data = await api("POST", `/api/frames/${tune.current}/snapshot`);
    tune.frames = data.frames;
    listFrames();
    show(data.frame);
  }
}

function dragBox(end) {
  const [xa, ya] = dragStart, [xb, yb] = end;
  return { x0: Math.min(xa, xb), y0: Math.min(ya, yb), x1: Math.max(xa, xb) + 1, y1: Math.max(ya, yb) + 1 };
}

function movePick(event) {
  if (!dragStart) return;
  drawFinds(dragBox(pixelAt(event)));
}

async function endPick(event) {
  if (!dragStart) return;
  const end = pixelAt(event);
  const box = dragBox(end);
  const start = dragStart;
  dragStart = null;
  const body = { frame: tune.current };
  if (box.x1 - box.x0 <= 3 && box.y1 - box.y0 <= 3) {
    body.disc = [start[0], start[1], Math.max(1, +$("disc-r").value || 8)];
  } else {
    body.rect = [box.x0, box.y0, box.x1, box.y1];
  }
  status("calibrating...");
  await change(api("POST", "/api/samples", body));
}

// --------------------------------------------------------------------------
// Controls
// --------------------------------------------------------------------------

function resetMinScore() {
  const defaults = (tune.info && tune.info.min_score) || {};
  $("min-score").value = defaults[$("shape").value] ?? 0.7;
  $("min-score-value").textContent = (+$("min-score").value).toFixed(3);
}

let settingsTimer = null;

function settingsChanged(now) {
  $("min-score-value").textContent = (+$("min-score").value).toFixed(3);
  $("widening-value").textContent = $("widening").value;
  clearTimeout(settingsTimer);
  settingsTimer = setTimeout(() => {
    const body = Object.fromEntries(findQuery());
    body.widening = +$("widening").value;
    for (const key of ["min_score", "min_r", "max_r"]) if (key in body) body[key] = +body[key];
    change(api("POST", "/api/settings", body));
  }, now ? 0 : 150);
}

async function save() {
  const body = tune.info.save ? undefined : { path: $("save-name").value };
  try {
    const data = await api("POST", "/api/save", body);
    $("save-result").textContent = `saved ${data.saved}`;
    $("save-result").className = "";
    showState(await api("GET", "/api/colour"));  // the commands name the file saved
  } catch (e) {
    $("save-result").textContent = e.message;
    $("save-result").className = "warn";
  }
}

async function start() {
  try {
    tune.info = await api("GET", "/api/info");
    tune.frames = (await api("GET", "/api/frames")).frames;
  } catch (e) {
    status(e.message, true);
    return;
  }
  if (tune.info.save) {
    $("save-name-label").style.display = "none";
    $("save").textContent = `Save to ${tune.info.save}`;
  }
  resetMinScore();
  listFrames();
  const overlay = $("overlay");
  overlay.addEventListener("mousedown", startPick);
  overlay.addEventListener("mousemove", movePick);
  window.addEventListener("mouseup", endPick);
  $("frame-select").addEventListener("change", () => show(+$("frame-select").value));
  $("prev").addEventListener("click", () => show(tune.current - 1));
  $("next").addEventListener("click", () => show(tune.current + 1));
  document.addEventListener("keydown", (e) => {
    if (e.target.tagName === "INPUT") return;
    if (e.key === "ArrowLeft") show(tune.current - 1);
    if (e.key === "ArrowRight") show(tune.current + 1);
  });
  $("shape").addEventListener("change", () => { resetMinScore(); settingsChanged(true); });
  for (const id of ["min-score", "min-r", "max-r", "widening"]) $(id).addEventListener("input", () => settingsChanged(false));
  for (const id of ["show-mask", "mask-opacity", "show-finds"]) $(id).addEventListener("input", refreshView);
  $("save").addEventListener("click", save);
  window.addEventListener("resize", () => { fit(); drawFinds(); });
  show(0);
  showState(await api("GET", "/api/colour"));
  await refreshView();
}

start();

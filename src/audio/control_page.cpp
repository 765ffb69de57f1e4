#include "audio/control_page.h"

namespace loudara {
namespace {

// The page keeps to the panel's colours: dark steel panels, amber values, blue-grey captions,
// green-yellow-red meter segments, cyan for what is switched on.
constexpr char kPage[] = R"PAGE(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Loudara ON-AIR</title>
<style>
:root { --dark:#1c2026; --mid:#2a3038; --well:#0c0e11; --value:#ffc857; --caption:#a8b8c8;
        --green:#3ce05a; --yellow:#f0d030; --red:#ff3a2a; --on:#5cf0ff; }
* { box-sizing: border-box; }
body { margin:0; background:var(--dark); color:var(--caption); font:14px/1.35 sans-serif; }
header { display:flex; flex-wrap:wrap; gap:.6em 1.2em; align-items:center; padding:.6em 1em; background:var(--mid);
         border-bottom:1px solid #000; }
header h1 { font-size:1.1em; margin:0; color:var(--value); letter-spacing:.05em; }
.badge { padding:.1em .6em; border-radius:3px; background:var(--well); color:var(--caption); }
.badge.ok { color:var(--green); } .badge.bad { color:var(--red); } .badge.warn { color:var(--yellow); }
main { display:grid; grid-template-columns:repeat(auto-fit, minmax(340px, 1fr)); gap:1em; padding:1em; }
section { background:var(--mid); border:1px solid #000; border-radius:4px; padding:.7em .9em; min-width:0; }
h2 { font-size:.95em; margin:0 0 .6em; color:var(--caption); text-transform:uppercase; letter-spacing:.08em; }
.value { color:var(--value); font-variant-numeric:tabular-nums; }
.meters { display:grid; grid-template-columns:5.5em 1fr 4.5em; gap:.3em .6em; align-items:center; }
.bar { height:12px; background:var(--well); border:1px solid #000; position:relative; overflow:hidden; }
.bar > div { position:absolute; top:0; bottom:0; left:0; width:0; }
.bar.level > div { background:linear-gradient(90deg, var(--green) 0 70%, var(--yellow) 70% 88%, var(--red) 88%); background-size:var(--full) 100%; }
.bar.reduction > div { left:auto; right:0; background:var(--value); }
.loudness { display:grid; grid-template-columns:repeat(4, 1fr); gap:.5em; margin:.7em 0; text-align:center; }
.loudness div span { display:block; font-size:1.3em; }
canvas { width:100%; height:140px; background:var(--well); border:1px solid #000; display:block; }
fieldset { border:1px solid #000; border-radius:3px; margin:0 0 .8em; padding:.4em .6em; }
legend { color:var(--value); padding:0 .3em; }
.knob { display:grid; grid-template-columns:minmax(8em, 1.2fr) 1.5fr 5.5em 2.5em; gap:.4em; align-items:center; margin:.15em 0; }
.knob input[type=range] { width:100%; accent-color:var(--value); }
.knob input[type=number] { width:100%; }
input, select, button { font:inherit; background:var(--well); color:var(--value); border:1px solid #000; border-radius:3px; padding:.25em .4em; }
button { background:linear-gradient(#868f9c, #505862); color:#101418; cursor:pointer; }
button.on { background:var(--on); }
.bandrow { display:grid; grid-template-columns:minmax(8em, 1.2fr) repeat(6, minmax(0, 1fr)) 2.5em; gap:.3em; align-items:center; margin:.15em 0; }
.bandrow input { width:100%; min-width:0; }
.bandrow.head span { text-align:center; color:var(--caption); }
.row { display:flex; flex-wrap:wrap; gap:.5em; align-items:center; margin:.4em 0; }
.row > input, .row > select { flex:1 1 10em; min-width:0; }
#signin { max-width:26em; margin:3em auto; }
#messages { font-size:.9em; min-height:1.4em; }
.error { color:var(--red); }
.hidden { display:none !important; }
@media (max-width: 600px) {
  main { grid-template-columns:1fr; padding:.5em; gap:.5em; }
  .knob { grid-template-columns:1fr 4.5em 2.5em; }
  .knob input[type=range] { grid-column:1 / -1; grid-row:2; }
  .bandrow { grid-template-columns:repeat(6, minmax(0, 1fr)); }
  .bandrow > label { grid-column:1 / -1; }
  .bandrow > .unit, .bandrow.head > span:first-child { display:none; }
}
</style>
</head>
<body>
<header>
  <h1>LOUDARA ON-AIR</h1>
  <span class="badge" id="state">not signed in</span>
  <span>stream <span class="badge" id="stream">-</span></span>
  <span class="badge bad hidden" id="deadair" title="The processed output has stayed below the silence threshold">DEAD AIR</span>
  <span>up <span class="value" id="uptime">-</span></span>
  <button id="bypass" class="hidden" title="Bypass: the input passes unprocessed">BYPASS</button>
</header>

<section id="signin">
  <h2>Sign in</h2>
  <p>The token is in the file given to <code>--http-token-file</code>.</p>
  <form id="signin-form" class="row">
    <input id="token" type="password" autocomplete="current-password" placeholder="token">
    <button id="signin-button" type="submit">Sign in</button>
  </form>
  <p id="signin-error" class="error"></p>
</section>

<main id="panel" class="hidden">
  <section>
    <h2>Meters</h2>
    <div class="meters" id="meters"></div>
    <div class="loudness">
      <div>M<span class="value" id="momentary">-</span></div>
      <div>S<span class="value" id="shortterm">-</span></div>
      <div>I<span class="value" id="integrated">-</span></div>
      <div>TP<span class="value" id="truepeak">-</span></div>
    </div>
    <canvas id="history" width="600" height="140" aria-label="loudness of the last five minutes"></canvas>
    <div class="row"><small>momentary (amber) and short-term (blue) loudness, last 5 minutes, -40..0 LUFS</small></div>
  </section>
  <section>
    <h2>Presets and files</h2>
    <div class="row"><select id="preset"></select><button id="apply-preset">Apply</button></div>
    <div class="row"><input id="save-name" placeholder="name of a user file"><button id="save">Save</button></div>
    <div class="row"><button id="reload" title="the --params file again">Reload parameter file</button></div>
    <h2>Now playing</h2>
    <div class="row"><input id="artist" placeholder="artist"><input id="title" placeholder="title"><button id="send-title">Send</button></div>
    <div id="messages"></div>
  </section>
  <section style="grid-column:1 / -1">
    <h2>Settings</h2>
    <div id="knobs"></div>
  </section>
</main>

<script>
"use strict";
const $ = (id) => document.getElementById(id);
const groups = ["Bands", "AGC", "Stereo", "Clippers", "EQ and filters", "Virtual speaker", "Switches"];
const history = [];
let events = null, frames = 0;
document.body.dataset.frames = "0";

function say(text, bad) {
  const m = $("messages");
  m.textContent = text;
  m.className = bad ? "error" : "";
}
async function api(method, path, body) {
  const init = { method, credentials: "same-origin", headers: {} };
  if (body !== undefined) { init.headers["Content-Type"] = "application/json"; init.body = JSON.stringify(body); }
  const r = await fetch(path, init);
  let data = null;
  try { data = await r.json(); } catch (e) { data = null; }
  if (r.status === 401) { showSignIn(); }
  if (!r.ok) throw new Error((data && data.error) || (r.status + " " + r.statusText));
  return data;
}
function fmt(v, digits) { return v === null || v === undefined ? "-inf" : v.toFixed(digits === undefined ? 1 : digits); }

function showSignIn() {
  if (events) { events.close(); events = null; }
  $("panel").classList.add("hidden"); $("bypass").classList.add("hidden");
  $("signin").classList.remove("hidden");
  $("state").textContent = "not signed in"; $("state").className = "badge";
}
$("signin-form").addEventListener("submit", async (e) => {
  e.preventDefault();
  const r = await fetch("/api/session", { method: "POST", credentials: "same-origin",
                                           headers: { "Authorization": "Bearer " + $("token").value } });
  if (!r.ok) {
    let why = r.status + "";
    try { why = (await r.json()).error; } catch (x) {}
    $("signin-error").textContent = "Refused: " + why;
    return;
  }
  $("token").value = ""; $("signin-error").textContent = "";
  start();
});

const meterRows = [["In L", "in0", "level"], ["In R", "in1", "level"], ["Out L", "out0", "level"], ["Out R", "out1", "level"],
                   ["AGC low", "agc0", "reduction"], ["AGC high", "agc1", "reduction"]];
for (let b = 1; b <= 6; ++b) meterRows.push(["Band " + b, "band" + (b - 1), "reduction"]);
for (const [label, id, kind] of meterRows) {
  const name = document.createElement("span"); name.textContent = label;
  const bar = document.createElement("div"); bar.className = "bar " + kind;
  const fill = document.createElement("div"); fill.id = "bar-" + id; bar.appendChild(fill);
  const value = document.createElement("span"); value.className = "value"; value.id = "meter-" + id; value.textContent = "-";
  $("meters").append(name, bar, value);
}
function setLevel(id, db) {   // -48..0 dBFS
  const w = db === null ? 0 : Math.max(0, Math.min(100, (db + 48) / 48 * 100));
  const bar = $("bar-" + id);
  bar.style.width = w + "%";
  bar.style.setProperty("--full", (w > 0 ? 10000 / w : 100) + "%");
  $("meter-" + id).textContent = fmt(db);
}
function setReduction(id, db) { // 0..-24 dB
  const w = db === null ? 0 : Math.max(0, Math.min(100, -db / 24 * 100));
  $("bar-" + id).style.width = w + "%";
  $("meter-" + id).textContent = fmt(db);
}
function drawHistory() {
  const c = $("history"), g = c.getContext("2d");
  const w = c.width, h = c.height;
  g.fillStyle = "#0c0e11"; g.fillRect(0, 0, w, h);
  g.strokeStyle = "#2a3038"; g.lineWidth = 1;
  for (let l = -10; l > -40; l -= 10) { const y = -l / 40 * h; g.beginPath(); g.moveTo(0, y); g.lineTo(w, y); g.stroke(); }
  const span = 3000;  // five minutes of ten frames a second
  for (const [key, colour] of [["m", "#ffc857"], ["s", "#5cf0ff"]]) {
    g.strokeStyle = colour; g.beginPath();
    let drawing = false;
    history.forEach((p, i) => {
      const x = w - (history.length - 1 - i) / span * w;
      const v = p[key];
      if (v === null) { drawing = false; return; }
      const y = Math.max(0, Math.min(h, -v / 40 * h));
      if (drawing) g.lineTo(x, y); else g.moveTo(x, y);
      drawing = true;
    });
    g.stroke();
  }
}
function showMeters(m) {
  frames += 1; document.body.dataset.frames = String(frames);
  for (let c = 0; c < 2; ++c) {
    setLevel("in" + c, m.inputPeakDbfs[c]); setLevel("out" + c, m.outputPeakDbfs[c]);
    setReduction("agc" + c, m.agcReductionDb[c]);
  }
  m.bandReductionDb.forEach((db, b) => setReduction("band" + b, db));
  $("momentary").textContent = fmt(m.momentaryLufs); $("shortterm").textContent = fmt(m.shortTermLufs);
  $("integrated").textContent = fmt(m.integratedLufs); $("truepeak").textContent = fmt(m.truePeakDbtp);
  const s = Math.floor(m.uptimeSeconds);
  $("uptime").textContent = Math.floor(s / 3600) + ":" + String(Math.floor(s / 60) % 60).padStart(2, "0") + ":" + String(s % 60).padStart(2, "0");
  $("stream").textContent = m.stream === null ? "none" : m.stream;
  $("stream").className = "badge " + (m.stream === "connected" ? "ok" : m.stream === null ? "" : "warn");
  $("bypass").classList.toggle("on", m.bypass);
  const quiet = m.silence && m.silence.silent;
  $("deadair").classList.toggle("hidden", !quiet);
  if (quiet) {
    const q = m.silence.seconds;
    $("deadair").textContent = "DEAD AIR " + Math.floor(q / 60) + ":" + String(q % 60).padStart(2, "0") +
                               (m.silence.fallbackPlaying ? " (fallback playing)" : "");
  }
  history.push({ m: m.momentaryLufs, s: m.shortTermLufs });
  if (history.length > 3000) history.shift();
  if (frames % 5 === 0) drawHistory();
}

async function loadPresets() {
  const p = await api("GET", "/api/presets");
  const select = $("preset"); select.textContent = "";
  const built = document.createElement("optgroup"); built.label = "Built-in";
  for (const b of p.builtin) {
    const o = document.createElement("option"); o.value = "id:" + b.id; o.textContent = b.id + "  " + b.group + ": " + b.title;
    built.appendChild(o);
  }
  select.appendChild(built);
  const user = document.createElement("optgroup"); user.label = "User files";
  for (const name of p.user) {
    const o = document.createElement("option"); o.value = "user:" + name; o.textContent = name; user.appendChild(o);
  }
  select.appendChild(user);
}
let knobValues = {};
async function loadParameters() {
  const list = (await api("GET", "/api/parameters")).parameters;
  const box = $("knobs"); box.textContent = ""; knobValues = {};
  const sets = {};
  for (const g of groups) {
    const f = document.createElement("fieldset"); const l = document.createElement("legend"); l.textContent = g;
    f.appendChild(l); sets[g] = f;
  }
  const bandRows = {};
  for (const p of list) {
    knobValues[p.name] = p.value;
    if (p.name === "bypass") continue;
    if (p.band) {  // the bands side by side, as on the panel: one row per setting, one column per band
      const base = p.name.replace(/\[\d+\]$/, "");
      if (!bandRows[base]) {
        if (Object.keys(bandRows).length === 0) {
          const head = document.createElement("div"); head.className = "bandrow head";
          head.appendChild(document.createElement("span"));
          for (let b = 1; b <= 6; ++b) { const h = document.createElement("span"); h.textContent = "Band " + b; head.appendChild(h); }
          head.appendChild(document.createElement("span"));
          sets.Bands.appendChild(head);
        }
        const row = document.createElement("div"); row.className = "bandrow";
        const label = document.createElement("label"); label.textContent = p.title + (p.unit ? " (" + p.unit + ")" : "");
        label.title = base;
        row.appendChild(label);
        const unit = document.createElement("span"); unit.className = "unit"; unit.textContent = p.unit;
        bandRows[base] = { row, unit };
        sets.Bands.appendChild(row);
      }
      const cell = document.createElement("input"); cell.type = "number";
      cell.min = p.min; cell.max = p.max; cell.step = p.step; cell.value = p.value; cell.dataset.name = p.name;
      cell.title = p.title + " " + p.band;
      cell.addEventListener("change", async () => {
        try { await api("PATCH", "/api/parameters", { [p.name]: Number(cell.value) }); say(p.title + " " + p.band + " " + cell.value + " " + p.unit); }
        catch (e) { say(e.message, true); cell.value = knobValues[p.name]; }
      });
      bandRows[base].row.appendChild(cell);
      if (p.band === 6) bandRows[base].row.appendChild(bandRows[base].unit);
      continue;
    }
    const row = document.createElement("div"); row.className = "knob";
    const label = document.createElement("label"); label.textContent = p.title + (p.band ? " " + p.band : "");
    label.title = p.name;
    let input, number = null;
    if (p.kind === "switch") {
      input = document.createElement("input"); input.type = "checkbox"; input.checked = p.value === 1;
    } else {
      input = document.createElement("input"); input.type = "range";
      input.min = p.min; input.max = p.max; input.step = p.kind === "choice" ? 1 : p.step; input.value = p.value;
      number = document.createElement("input"); number.type = "number";
      number.min = p.min; number.max = p.max; number.step = input.step; number.value = p.value;
      number.dataset.name = p.name;
      input.addEventListener("input", () => { number.value = input.value; });
    }
    input.dataset.name = p.name;
    const unit = document.createElement("span"); unit.textContent = p.unit;
    const send = async (value) => {
      try { await api("PATCH", "/api/parameters", { [p.name]: value }); knobValues[p.name] = value; say(p.title + " " + value + " " + p.unit); }
      catch (e) { say(e.message, true); }
    };
    if (p.kind === "switch") input.addEventListener("change", () => send(input.checked ? 1 : 0));
    else {
      input.addEventListener("change", () => send(Number(input.value)));
      number.addEventListener("change", () => { input.value = number.value; send(Number(number.value)); });
    }
    row.append(label, input);
    if (number) row.append(number); else row.append(document.createElement("span"));
    row.append(unit);
    sets[p.group].appendChild(row);
  }
  for (const g of groups) if (sets[g].children.length > 1) box.appendChild(sets[g]);
  $("bypass").classList.toggle("on", knobValues.bypass === 1);
}
$("bypass").addEventListener("click", async () => {
  const next = knobValues.bypass === 1 ? 0 : 1;
  try { await api("PATCH", "/api/parameters", { bypass: next }); knobValues.bypass = next; $("bypass").classList.toggle("on", next === 1);
        say(next ? "bypassed" : "processing"); }
  catch (e) { say(e.message, true); }
});
$("apply-preset").addEventListener("click", async () => {
  const [kind, value] = $("preset").value.split(/:(.*)/s);
  try {
    await api("PUT", "/api/preset", kind === "id" ? { id: Number(value) } : { user: value });
    say("preset " + value + " applied"); await loadParameters();
  } catch (e) { say(e.message, true); }
});
$("save").addEventListener("click", async () => {
  const name = $("save-name").value.trim();
  try { await api("POST", "/api/save", { name }); say("saved as " + name); await loadPresets(); }
  catch (e) {
    if (/exists/.test(e.message) && confirm(e.message.split(";")[0] + ". Write over it?")) {
      try { await api("POST", "/api/save", { name, replace: true }); say("saved as " + name); } catch (x) { say(x.message, true); }
    } else say(e.message, true);
  }
});
$("reload").addEventListener("click", async () => {
  try { const r = await api("POST", "/api/reload"); say(r.message); await loadParameters(); } catch (e) { say(e.message, true); }
});
$("send-title").addEventListener("click", async () => {
  try { const r = await api("POST", "/api/metadata", { title: $("title").value, artist: $("artist").value }); say("now playing: " + r.title); }
  catch (e) { say(e.message, true); }
});

function follow() {
  if (events) events.close();
  events = new EventSource("/api/events");
  events.onmessage = (e) => showMeters(JSON.parse(e.data));
  events.onopen = () => { $("state").textContent = "on air"; $("state").className = "badge ok"; };
  events.onerror = () => { $("state").textContent = "no connection"; $("state").className = "badge bad"; };
}
async function start() {
  try {
    await loadParameters();
  } catch (e) { return; }
  $("signin").classList.add("hidden");
  $("panel").classList.remove("hidden"); $("bypass").classList.remove("hidden");
  $("state").textContent = "on air"; $("state").className = "badge ok";
  try { await loadPresets(); } catch (e) { say(e.message, true); }
  follow();
}
start();
</script>
</body>
</html>
)PAGE";

}  // namespace

std::string_view ControlPageHtml() { return {kPage, sizeof kPage - 1}; }

}  // namespace loudara

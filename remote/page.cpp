// The page the remote control server serves at "/": one file, nothing loaded from elsewhere, made
// for a thumb on a phone. It speaks the one-line commands over /ws with the token of its own
// address, and follows the events: programs (MIDI's too), parameter values, the patch, meters,
// tuner and status.
#include "remote/remote.h"

const char remotePage[] = R"QAFPAGE(<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>QAF</title>
<style>
*{box-sizing:border-box}
body{margin:0;font:16px system-ui,sans-serif;background:#16181c;color:#e8e8e8}
header{display:flex;align-items:center;gap:8px;padding:8px 10px;background:#23262c;position:sticky;top:0;z-index:1}
#conn{width:12px;height:12px;border-radius:6px;background:#a33}
#conn.on{background:#3a3}
#now{flex:1;font-weight:600;font-size:18px;white-space:nowrap;overflow:hidden;text-overflow:ellipsis}
section{padding:8px 10px;border-bottom:1px solid #2c3036}
h2{font-size:13px;text-transform:uppercase;letter-spacing:.08em;color:#8a93a0;margin:4px 0 8px}
.nav{display:flex;gap:8px}
.nav button{flex:1;height:64px;font-size:28px}
button{background:#2f5d8a;color:#fff;border:0;border-radius:8px;font:inherit;touch-action:manipulation}
button:active{background:#3d78b0}
#presets{list-style:none;margin:8px 0 0;padding:0}
#presets li{padding:14px 10px;margin:4px 0;background:#23262c;border-radius:8px;font-size:18px;cursor:pointer}
#presets li.cur{background:#2f5d8a;font-weight:600}
#presets li span{display:inline-block;min-width:2.2em;color:#8a93a0}
#presets li.cur span{color:#dde}
.meter{display:flex;align-items:center;gap:6px;margin:4px 0}
.meter b{width:2.2em;font-weight:400;color:#8a93a0}
.bar{flex:1;height:14px;background:#2c3036;border-radius:3px;overflow:hidden}
.bar i{display:block;height:100%;width:0;background:linear-gradient(90deg,#3a3 70%,#cc3 88%,#c33)}
.clip{width:14px;height:14px;border-radius:3px;background:#3a1a1a}
.clip.lit{background:#f33}
#figures{color:#8a93a0;margin-top:4px}
#note{font-size:44px;font-weight:700;text-align:center;min-height:54px}
#dial{position:relative;height:36px;background:#2c3036;border-radius:6px;margin:6px 0}
#dial:after{content:"";position:absolute;left:50%;top:0;bottom:0;width:2px;background:#8a93a0}
#needle{position:absolute;top:2px;bottom:2px;width:6px;margin-left:-3px;left:50%;background:#c93;border-radius:3px;transition:left .06s}
#needle.ok{background:#3c3}
#cents{text-align:center;color:#8a93a0}
label.row{display:flex;align-items:center;gap:10px;padding:8px 0;font-size:17px}
label.row input{width:26px;height:26px}
.mod h3{font-size:15px;margin:10px 0 2px;color:#b8c0cc}
.parm{display:grid;grid-template-columns:7em 1fr 3.5em;align-items:center;gap:6px;margin:6px 0}
.parm input{width:100%;height:32px}
.parm output{text-align:right;font-variant-numeric:tabular-nums}
.parm span{overflow:hidden;text-overflow:ellipsis;white-space:nowrap}
#msg{color:#e99;min-height:1.2em;padding:0 10px}
</style></head><body>
<header><div id="conn" title="connection"></div><div id="now">QAF</div></header>
<div id="msg"></div>
<section><h2>Set list</h2>
<div class="nav"><button id="prev" aria-label="previous preset">&#9664;</button><button id="next" aria-label="next preset">&#9654;</button></div>
<ul id="presets"></ul></section>
<section><h2>Levels</h2>
<div class="meter"><b>In</b><div class="bar"><i id="inL"></i></div><div class="clip" id="inLc"></div></div>
<div class="meter"><b></b><div class="bar"><i id="inR"></i></div><div class="clip" id="inRc"></div></div>
<div class="meter"><b>Out</b><div class="bar"><i id="outL"></i></div><div class="clip" id="outLc"></div></div>
<div class="meter"><b></b><div class="bar"><i id="outR"></i></div><div class="clip" id="outRc"></div></div>
<div id="figures">DSP load <span id="load">--</span> % &middot; xruns <span id="xruns">0</span></div></section>
<section><h2>Tuner</h2>
<label class="row"><input type="checkbox" id="tunerOn"> Tuner</label>
<div id="tuner" hidden><div id="note">&ndash;</div><div id="dial"><div id="needle"></div></div><div id="cents"></div>
<label class="row"><input type="checkbox" id="mute"> Mute while tuning</label></div></section>
<section><h2>Parameters</h2><div id="parms"></div></section>
<script>
"use strict";
const $ = id => document.getElementById(id);
const token = new URLSearchParams(location.search).get("token") || "";
let ws = null, waiting = [], presets = [], current = -1, dragging = null;
const clipUntil = {};

// One command, one reply: replies come back in the order the commands went.
function send(line, then) {
  if (!ws || ws.readyState !== 1) return;
  waiting.push(then || null);
  ws.send(line);
}
function lines(reply) { return reply.replace(/^(ok|err) ?/, "").split("\n").filter(l => l !== ""); }
function say(t) { $("msg").textContent = t || ""; }

function loadPresets() {
  send("presets", r => {
    presets = [];
    for (const l of lines(r)) {
      const m = /^(\*?)(\d+)\t(.*)$/.exec(l);
      if (!m) continue;
      presets.push({n: +m[2], name: m[3]});
      if (m[1]) current = +m[2];
    }
    drawPresets();
  });
}
function drawPresets() {
  const ul = $("presets");
  ul.textContent = "";
  for (const p of presets) {
    const li = document.createElement("li");
    li.dataset.n = p.n;
    if (p.n === current) li.className = "cur";
    const s = document.createElement("span");
    s.textContent = p.n;
    li.append(s, p.name);
    li.onclick = () => choose(p.n);
    ul.append(li);
  }
  const cur = presets.find(p => p.n === current);
  $("now").textContent = cur ? cur.n + " " + cur.name : "QAF";
}
function choose(n) { send("program " + n, r => { if (r.startsWith("err")) say(lines(r)[0]); else say(""); }); }
function step(d) {
  if (!presets.length) return;
  let i = presets.findIndex(p => p.n === current);
  i = i < 0 ? 0 : Math.min(presets.length - 1, Math.max(0, i + d));
  choose(presets[i].n);
}

function loadParms() {
  send("parms", r => {
    const box = $("parms");
    box.textContent = "";
    for (const l of lines(r)) {
      const [id, type, count] = l.split("\t");
      if (!(+count > 0)) continue;
      const mod = document.createElement("div");
      mod.className = "mod";
      const h = document.createElement("h3");
      h.textContent = id + " " + type;
      mod.append(h);
      box.append(mod);
      send("parms " + id, r2 => {
        for (const pl of lines(r2)) {
          const [p, name, value, range, kind] = pl.split("\t");
          const [lo, hi] = range.split("..").map(Number);
          const row = document.createElement("div");
          row.className = "parm";
          const label = document.createElement("span");
          label.textContent = kind === "options" ? name.split("/")[Math.round(+value)] || name : name;
          const input = document.createElement("input");
          input.type = "range"; input.min = lo; input.max = hi; input.step = kind === "slider" ? "any" : 1;
          input.value = value; input.id = "p" + id + "_" + p;
          const out = document.createElement("output");
          out.textContent = Math.round(+value);
          input.oninput = () => { out.textContent = Math.round(+input.value); send("set " + id + " " + p + " " + input.value);
            if (kind === "options") label.textContent = name.split("/")[Math.round(+input.value)] || name; };
          input.onpointerdown = () => dragging = input;
          input.onpointerup = input.onpointercancel = () => dragging = null;
          input.dataset.kind = kind; input.dataset.names = name;
          row.append(label, input, out);
          mod.append(row);
        }
      });
    }
  });
}

function level(id, peak) {
  const db = peak > 0 ? 20 * Math.log10(peak / 32768) : -99;
  $(id).style.width = Math.max(0, Math.min(100, (db + 60) / 60 * 100)) + "%";
  const now = Date.now();
  if (peak >= 32767) clipUntil[id] = now + 1000;
  $(id + "c").className = "clip" + ((clipUntil[id] || 0) > now ? " lit" : "");
}

function onEvent(t) {
  const w = t.split(" ");
  if (w[0] === "program") {
    current = +w[1];
    if (!presets.some(p => p.n === current && p.name === w.slice(2).join(" "))) loadPresets();
    else drawPresets();
    loadParms();
  } else if (w[0] === "patch") {
    loadParms();
  } else if (w[0] === "parm") {
    const input = $("p" + w[1] + "_" + w[2]);
    if (input && input !== dragging) {
      input.value = w[3];
      input.nextSibling.textContent = Math.round(+w[3]);
      if (input.dataset.kind === "options")
        input.previousSibling.textContent = input.dataset.names.split("/")[Math.round(+w[3])] || input.dataset.names;
    }
  } else if (w[0] === "meters") {
    level("inL", +w[1]); level("inR", +w[2]); level("outL", +w[3]); level("outR", +w[4]);
  } else if (w[0] === "status") {
    $("load").textContent = w[1]; $("xruns").textContent = w[2];
  } else if (w[0] === "tuner") {
    if (w[1] === "-") { $("note").textContent = "\u2013"; $("cents").textContent = "no note"; $("needle").style.left = "50%"; $("needle").className = ""; return; }
    const c = +w[2];
    $("note").textContent = w[1];
    $("cents").textContent = (c > 0 ? "+" : "") + c.toFixed(0) + " cents \u00b7 " + w[3] + " Hz";
    $("needle").style.left = (50 + Math.max(-50, Math.min(50, c))) + "%";
    $("needle").className = Math.abs(c) <= 3 ? "ok" : "";
  }
}

function connect() {
  const proto = location.protocol === "https:" ? "wss:" : "ws:";
  ws = new WebSocket(proto + "//" + location.host + "/ws?token=" + encodeURIComponent(token));
  waiting = [];
  ws.onopen = () => {
    $("conn").className = "on"; say("");
    loadPresets(); loadParms();
    if ($("tunerOn").checked) send("tuner on");
    if ($("mute").checked) send("mute on");
  };
  ws.onmessage = e => {
    const t = String(e.data);
    if (t.startsWith("ok") || t.startsWith("err")) { const f = waiting.shift(); if (f) f(t); }
    else onEvent(t);
  };
  ws.onclose = () => { $("conn").className = ""; say("Not connected; trying again"); setTimeout(connect, 2000); };
}

$("prev").onclick = () => step(-1);
$("next").onclick = () => step(1);
$("tunerOn").onchange = () => { $("tuner").hidden = !$("tunerOn").checked; send("tuner " + ($("tunerOn").checked ? "on" : "off")); };
$("mute").onchange = () => send("mute " + ($("mute").checked ? "on" : "off"));
// The server closes a connection that stays silent; a ping now and then keeps this one.
setInterval(() => send("ping"), 15000);
connect();
</script></body></html>
)QAFPAGE";

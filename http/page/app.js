// The status page: reads /status.json every few seconds and draws a tile
// per node in its worst state, the counts per state and the readings of the
// selected node. Everything it loads comes from this server.
"use strict";

const REFRESH_MS = 3000;
const STATES = ["ok", "warning", "critical", "dead", "off"];
const UNITS = { rpm: " rpm", percent: " %", celsius: " °C", volts: " V" };
const HEALTH = ["healthy", "warning", "critical", "unknown"];
const LIMITS = ["critical_low", "warning_low", "warning_high", "critical_high"];
const SLURM = { drained: "drained in Slurm by kestrel",
  held: "drained or down in Slurm by someone else" };

const tiles = new Map();  // node name -> tile element
let nodes = [];
let selected = null;

function $(id) { return document.getElementById(id); }

function cell(row, text, cls) {
  const td = row.insertCell();
  td.textContent = text;
  if (cls) td.className = cls;
  return td;
}

function number(v, kind) {
  if (v === null || v === undefined) return "";
  return kind === "voltage" ? v.toFixed(2) : String(Math.round(v * 100) / 100);
}

// Level of one reading for its row: "critical", "warning", "ok", "missing".
function level(r) {
  if (r.value === null) return "missing";
  if (r.kind === "discrete")
    return r.state === 2 ? "critical" : r.state === 0 ? "ok" : "warning";
  return Math.abs(r.state) === 2 ? "critical" : r.state ? "warning" : "ok";
}

function matches(n, filter) {
  return !filter || n.name.toLowerCase().includes(filter) ||
      n.chassis.toLowerCase().includes(filter);
}

function drawtiles() {
  const filter = $("filter").value.trim().toLowerCase();
  const box = $("tiles");
  const seen = new Set();
  nodes.forEach((n, i) => {
    let t = tiles.get(n.name);
    if (!t) {
      t = document.createElement("button");
      t.type = "button";
      t.dataset.name = n.name;
      t.addEventListener("click", () => select(n.name));
      tiles.set(n.name, t);
    }
    if (box.children[i] !== t) box.insertBefore(t, box.children[i] || null);
    t.textContent = n.name;
    t.dataset.state = n.worst;
    t.className = "tile s-" + n.worst +
        (n.settling === "settling" ? " settling" : "") +
        (n.slurm === "drained" ? " drained" : "") +
        (n.name === selected ? " selected" : "");
    t.title = n.name + " (" + n.chassis + ", " + n.transport + "): " + n.worst +
        (n.sensors_bound === false ? ", no sensor bound" : "") +
        (SLURM[n.slurm] ? ", " + SLURM[n.slurm] : "");
    t.hidden = !matches(n, filter);
    seen.add(n.name);
  });
  for (const [name, t] of tiles)
    if (!seen.has(name)) { t.remove(); tiles.delete(name); }
}

function drawdetail() {
  const n = nodes.find((x) => x.name === selected);
  $("detail").hidden = !n;
  if (!n) return;
  $("detail-name").textContent = n.name;
  const when = n.last_reading === null ? "no reading yet" :
      "last reading " + new Date(n.last_reading * 1000).toLocaleString();
  $("detail-info").textContent = [n.chassis, n.transport, n.worst,
    n.power ? "powered on" : "powered off", n.dead ? "BMC dead" : "",
    n.sensors_bound === false ?
        "no sensor bound: the BMC knows none of the chassis's names" : "",
    SLURM[n.slurm] || "",
    "limits: " + n.settling, when].filter(Boolean).join(" · ");
  const body = $("readings");
  body.textContent = "";
  for (const r of n.readings) {
    const row = body.insertRow();
    row.className = "r-" + level(r);
    cell(row, r.label);
    cell(row, r.sensor);
    if (r.kind === "discrete") {
      cell(row, r.value === null ? "—" : HEALTH[r.value] || String(r.value),
           "value");
      cell(row, r.critical ? "critical state powers off" : "", "").colSpan = 4;
    } else {
      cell(row, r.value === null ? "—" : number(r.value, r.kind) +
           UNITS[r.unit], "num value");
      for (const l of LIMITS) cell(row, number(r.limits[l], r.kind), "num");
    }
    cell(row, r.value === null ? "" : level(r));
  }
}

function select(name) {
  selected = selected === name ? null : name;
  drawtiles();
  drawdetail();
}

function render(doc) {
  nodes = doc.nodes;
  const counts = Object.fromEntries(STATES.map((s) => [s, 0]));
  for (const n of nodes) counts[n.worst]++;
  for (const s of STATES) $("n-" + s).textContent = counts[s];
  drawtiles();
  drawdetail();
  document.body.classList.remove("stale");
  const drained = nodes.filter((n) => n.slurm === "drained").length;
  $("updated").textContent = nodes.length + " nodes · " +
      (drained ? drained + " drained in Slurm by kestrel · " : "") + "updated " +
      new Date(doc.time * 1000).toLocaleTimeString();
}

function refresh() {
  fetch("/status.json", { cache: "no-store" })
    .then((r) => {
      if (!r.ok) throw new Error("HTTP " + r.status);
      return r.json();
    })
    .then(render)
    .catch((e) => {
      document.body.classList.add("stale");
      $("updated").textContent = "kestrel does not answer (" + e.message + ")";
    })
    .finally(() => setTimeout(refresh, REFRESH_MS));
}

document.addEventListener("DOMContentLoaded", () => {
  $("filter").addEventListener("input", drawtiles);
  refresh();
});

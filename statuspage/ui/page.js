// The status page: reads /status every 2 s and draws it; the buttons post the
// actions with the token the engine put in the page.
"use strict";

const token = document.querySelector('meta[name="status-token"]').content;
let chart = null;

function bytes(n) {
  const units = ["B", "KiB", "MiB", "GiB", "TiB"];
  let i = 0;
  while (n >= 1024 && i < units.length - 1) { n /= 1024; ++i; }
  return (i ? n.toFixed(1) : String(n)) + " " + units[i];
}

function baseName(path) {
  const cut = Math.max(path.lastIndexOf("\\"), path.lastIndexOf("/"));
  return path.slice(cut + 1);
}

// What the engine is doing, in words; each item [text, class]. The first
// item's kind goes to #state's data-state for scripts that read the page.
function stateWords(s) {
  const words = [];
  const cost = s.cost || null;
  const cap = s.daemon.upload_cap_kbps ? ", up to " + s.daemon.upload_cap_kbps + " KiB/s" : "";
  if (s.daemon.upload_mode === "paused") {
    words.push(["Sharing paused", "stop", "paused"]);
  } else if (cost && cost.internet_refused === "metered") {
    words.push(["On a metered connection: sharing with the local network only", "warn",
                "metered"]);
  } else if (cost && cost.internet_refused === "budget") {
    words.push(["Monthly budget reached: sharing with the local network only", "warn",
                "budget"]);
  } else if (s.catalogue.entries === 0) {
    words.push(["Nothing to share", "warn", "nothing"]);
  } else if (s.daemon.upload_mode === "in_game") {
    words.push([s.daemon.upload_cap_kbps ? "Capped in game" + cap : "Game running, no cap",
                "warn", "in_game"]);
  } else {
    words.push(["Serving " + s.catalogue.entries + " files" + cap, "", "serving"]);
  }
  const mapping = s.port_mapping;
  if (mapping) {
    const unreachable = {
      off: "port mapping is off",
      no_gateway: "no router answered",
      refused: "the router refused the port mapping",
      conflict: "the router maps the port to another machine",
      unavailable: "port mapping is not available",
    };
    if (mapping.state in unreachable) {
      words.push(["Unreachable from outside: " + unreachable[mapping.state], "warn",
                  "unreachable"]);
    } else if (mapping.state === "mapped" && mapping.mapping) {
      words.push(["Reachable from outside on port " + mapping.mapping.external_port, ""]);
    } else if (mapping.state === "starting") {
      words.push(["Looking for the router", ""]);
    }
  }
  return words;
}

// The seconds that are over: the last number is the second under way, which
// would read low.
function wholeSeconds(s) {
  return s.peers.bytes_per_second.slice(0, -1);
}

function drawChart(s) {
  const samples = wholeSeconds(s);
  const now = Date.parse(s.daemon.started) / 1000 + s.daemon.uptime_s;
  const xs = samples.map((_, i) => now - samples.length + i);
  const data = [xs, samples.slice()];
  if (chart) {
    chart.setData(data);
    return;
  }
  const box = document.getElementById("chart");
  chart = new uPlot({
    width: Math.max(box.clientWidth, 320),
    height: 220,
    legend: { show: false },
    scales: { y: { range: (u, min, max) => [0, Math.max(max, 1024)] } },
    axes: [{}, { size: 96, values: (u, ticks) => ticks.map((v) => bytes(v) + "/s") }],
    series: [{}, { label: "upload", stroke: "#1b6ac9", fill: "rgba(27,106,201,0.15)", width: 1.5 }],
  }, data, box);
  window.statusChart = chart;
  window.addEventListener("resize",
    () => chart.setSize({ width: Math.max(box.clientWidth, 320), height: 220 }));
}

function cell(row, text, cls) {
  const td = row.insertCell();
  td.textContent = text;
  if (cls) td.className = cls;
  return td;
}

function drawFiles(s) {
  const body = document.querySelector("#files tbody");
  body.textContent = "";
  const words = { checked: "checked", pending: "pending", checking: "checking now", failed: "failed" };
  for (const f of s.catalogue.files) {
    const row = body.insertRow();
    row.dataset.md5 = f.md5;
    cell(row, baseName(f.path)).title = f.path;
    cell(row, bytes(f.size), "num");
    cell(row, words[f.state] || f.state, f.state === "failed" ? "failed" : "");
    cell(row, bytes(f.bytes), "num served");
  }
  if (!s.catalogue.files.length) {
    cell(body.insertRow(), "No file is shared yet.").colSpan = 4;
  }
}

function drawFacts(s) {
  const facts = [
    ["Peers connected", String(s.peers.connections)],
    ["Peer port", String(s.engine.http_port)],
    ["Local service port", String(s.engine.ipc_port)],
    ["Version", s.daemon.version],
    ["Running since", s.daemon.started],
  ];
  if (s.port_mapping && s.port_mapping.mapping) {
    const m = s.port_mapping;
    const how = { upnp: "UPnP", pcp: "PCP", "nat-pmp": "NAT-PMP" }[m.protocol];
    facts.push(["Router port", String(m.mapping.external_port) + (how ? " by " + how : "") +
                (m.lease_ends ? ", lease until " + m.lease_ends : "")]);
  }
  const list = document.getElementById("facts");
  list.textContent = "";
  for (const [name, value] of facts) {
    list.appendChild(document.createElement("dt")).textContent = name;
    list.appendChild(document.createElement("dd")).textContent = value;
  }
}

function drawState(items) {
  const list = document.getElementById("state");
  list.textContent = "";
  list.dataset.state = items.map((item) => item[2]).filter(Boolean).join(" ");
  for (const [text, cls] of items) {
    const li = list.appendChild(document.createElement("li"));
    li.textContent = text;
    if (cls) li.className = cls;
  }
}

async function refresh() {
  let s;
  try {
    const answer = await fetch("/status", { cache: "no-store" });
    if (!answer.ok) throw new Error(answer.status);
    s = await answer.json();
  } catch (e) {
    drawState([["The engine does not answer", "stop", "gone"]]);
    return;
  }
  drawState(stateWords(s));
  const samples = wholeSeconds(s);
  document.getElementById("rate").textContent = bytes(samples[samples.length - 1] || 0);
  document.getElementById("served").textContent = bytes(s.peers.bytes);
  document.getElementById("requests").textContent = String(s.peers.requests);
  drawFiles(s);
  drawFacts(s);
  drawChart(s);
}

async function act(path, done) {
  const result = document.getElementById("action-result");
  try {
    const answer = await fetch(path, { method: "POST", headers: { "X-Status-Token": token } });
    result.textContent = answer.ok ? done : "Refused (" + answer.status + ")";
  } catch (e) {
    result.textContent = "The engine does not answer";
  }
  refresh();
}

document.getElementById("pause").addEventListener("click", () => act("/pause", "Paused"));
document.getElementById("resume").addEventListener("click", () => act("/resume", "Serving again"));
document.getElementById("verify").addEventListener("click",
  () => act("/verify", "Every file will be checked"));
refresh();
setInterval(refresh, 2000);

// The status page: reads /status every 2 s and draws it; the buttons post the
// actions with the token the engine put in the page. Its words come from the
// language file beside it that suits the browser's languages.
"use strict";

const token = document.querySelector('meta[name="status-token"]').content;
let chart = null;

// The page's languages; the first is the fallback.
const LANGUAGES = ["en", "zh-CN"];
let locale = "en";
let texts = {};

// Simplified Chinese for any Chinese but the traditional script's; English for
// English; the first of the browser's languages that is either wins.
function pickLanguage(wanted) {
  for (const tag of wanted || []) {
    const lower = String(tag).toLowerCase();
    if (lower === "en" || lower.startsWith("en-")) return "en";
    if (lower === "zh" || lower.startsWith("zh-")) {
      if (!/^zh-(hant|tw|hk|mo)\b/.test(lower)) return "zh-CN";
    }
  }
  return LANGUAGES[0];
}

// The text under `key` with its {names} filled from `values`.
function t(key, values) {
  const text = key in texts ? texts[key] : key;
  return text.replace(/\{(\w+)\}/g, (whole, name) =>
    values && name in values ? String(values[name]) : whole);
}

async function readTexts(language) {
  const answer = await fetch("/ui/lang-" + language + ".json", { cache: "no-store" });
  if (!answer.ok) throw new Error(answer.status);
  return answer.json();
}

// English first, under the chosen language's texts: a word it lacks stays English.
async function loadTexts() {
  const chosen = pickLanguage(navigator.languages || [navigator.language]);
  texts = await readTexts(LANGUAGES[0]);
  if (chosen !== LANGUAGES[0]) texts = Object.assign(texts, await readTexts(chosen));
  locale = chosen;
  document.documentElement.lang = locale;
  for (const element of document.querySelectorAll("[data-i18n]")) {
    element.textContent = t(element.dataset.i18n);
  }
}

function count(n) {
  return Number(n).toLocaleString(locale);
}

function bytes(n) {
  const units = ["B", "KiB", "MiB", "GiB", "TiB"];
  let i = 0;
  while (n >= 1024 && i < units.length - 1) { n /= 1024; ++i; }
  const digits = i ? { minimumFractionDigits: 1, maximumFractionDigits: 1 } : {};
  return n.toLocaleString(locale, digits) + " " + units[i];
}

function when(iso) {
  const time = new Date(iso);
  return isNaN(time) ? iso : time.toLocaleString(locale);
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
  const cap = s.daemon.upload_cap_kbps ? t("cap", { kbps: count(s.daemon.upload_cap_kbps) }) : "";
  if (s.daemon.upload_mode === "paused") {
    words.push([t("state_paused"), "stop", "paused"]);
  } else if (cost && cost.internet_refused === "metered") {
    words.push([t("state_metered"), "warn", "metered"]);
  } else if (cost && cost.internet_refused === "budget") {
    words.push([t("state_budget"), "warn", "budget"]);
  } else if (s.catalogue.entries === 0) {
    words.push([t("state_nothing"), "warn", "nothing"]);
  } else if (s.daemon.upload_mode === "in_game") {
    words.push([s.daemon.upload_cap_kbps ? t("state_in_game_capped", { cap }) : t("state_in_game"),
                "warn", "in_game"]);
  } else {
    words.push([t("state_serving", { count: count(s.catalogue.entries), cap }), "", "serving"]);
  }
  const mapping = s.port_mapping;
  if (mapping) {
    const unreachable = ["off", "no_gateway", "refused", "conflict", "unavailable"];
    if (unreachable.includes(mapping.state)) {
      words.push([t("state_unreachable", { why: t("why_" + mapping.state) }), "warn",
                  "unreachable"]);
    } else if (mapping.state === "mapped" && mapping.mapping) {
      words.push([t("state_reachable", { port: mapping.mapping.external_port }), ""]);
    } else if (mapping.state === "starting") {
      words.push([t("state_starting"), ""]);
    }
  }
  const delay = s.upload_delay;
  if (delay && delay.state === "giving_way") {
    words.push([t("state_giving_way", { queued: count(delay.current_ms - delay.base_ms),
                                        rate: bytes(delay.rate_bytes_per_second) }),
                "", "giving_way"]);
  } else if (delay && delay.state === "open") {
    words.push([t("state_line_free"), ""]);
  } else if (delay && delay.state === "no_reflector") {
    words.push([t("state_no_reflector"), "warn"]);
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
  // The line's queueing delay beside the upload, on its own scale.
  const delays = (s.peers.delay_ms || []).slice();
  const data = [xs, samples.slice(), delays.length === samples.length ? delays : xs.map(() => null)];
  if (chart) {
    chart.setData(data);
    return;
  }
  const box = document.getElementById("chart");
  chart = new uPlot({
    width: Math.max(box.clientWidth, 320),
    height: 220,
    legend: { show: false },
    fmtDate: () => (date) => date.toLocaleTimeString(locale),
    scales: { y: { range: (u, min, max) => [0, Math.max(max, 1024)] },
              ms: { range: (u, min, max) => [0, Math.max(max || 0, 50)] } },
    axes: [{}, { size: 96, values: (u, ticks) => ticks.map((v) => bytes(v) + "/s") },
           { scale: "ms", side: 1, size: 60, grid: { show: false },
             values: (u, ticks) => ticks.map((v) => v + " ms") }],
    series: [{}, { label: t("chart_series"), stroke: "#1b6ac9", fill: "rgba(27,106,201,0.15)", width: 1.5 },
             { label: t("chart_delay"), scale: "ms", stroke: "#c0392b", width: 1, spanGaps: false }],
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
  for (const f of s.catalogue.files) {
    const row = body.insertRow();
    row.dataset.md5 = f.md5;
    cell(row, baseName(f.path)).title = f.path;
    cell(row, bytes(f.size), "num");
    const state = "file_" + f.state;
    cell(row, state in texts ? t(state) : f.state, f.state === "failed" ? "failed" : "");
    cell(row, bytes(f.bytes), "num served");
  }
  if (!s.catalogue.files.length) {
    cell(body.insertRow(), t("no_files")).colSpan = 4;
  }
}

function drawFacts(s) {
  const facts = [
    [t("fact_peers"), count(s.peers.connections)],
    [t("fact_peer_port"), String(s.engine.http_port)],
    [t("fact_ipc_port"), String(s.engine.ipc_port)],
    [t("fact_version"), s.daemon.version],
    [t("fact_started"), when(s.daemon.started)],
  ];
  if (s.port_mapping && s.port_mapping.mapping) {
    const m = s.port_mapping;
    const how = { upnp: "UPnP", pcp: "PCP", "nat-pmp": "NAT-PMP" }[m.protocol];
    const port = String(m.mapping.external_port);
    facts.push([t("fact_router_port"), (how ? t("router_port_by", { port, how }) : port) +
                (m.lease_ends ? t("lease_until", { time: when(m.lease_ends) }) : "")]);
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
    drawState([[t("state_gone"), "stop", "gone"]]);
    return;
  }
  drawState(stateWords(s));
  const samples = wholeSeconds(s);
  document.getElementById("rate").textContent = bytes(samples[samples.length - 1] || 0);
  document.getElementById("served").textContent = bytes(s.peers.bytes);
  document.getElementById("requests").textContent = count(s.peers.requests);
  drawFiles(s);
  drawFacts(s);
  drawChart(s);
}

async function act(path, done) {
  const result = document.getElementById("action-result");
  try {
    const answer = await fetch(path, { method: "POST", headers: { "X-Status-Token": token } });
    result.textContent = answer.ok ? t(done)
      : answer.status === 500 ? t("not_stored") : t("refused", { status: answer.status });
  } catch (e) {
    result.textContent = t("state_gone");
  }
  refresh();
}

document.getElementById("pause").addEventListener("click", () => act("/pause", "done_pause"));
document.getElementById("resume").addEventListener("click", () => act("/resume", "done_resume"));
document.getElementById("verify").addEventListener("click", () => act("/verify", "done_verify"));
// The page's own English stays where a language file cannot be read.
loadTexts().catch(() => {}).finally(() => {
  refresh();
  setInterval(refresh, 2000);
});

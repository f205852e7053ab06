// The murvex page: searches as one types, shows the ranked hits with their
// matches highlighted. Record texts only ever reach the page as text nodes.
"use strict";

const DEBOUNCE_MS = 30;   // while a search is under way, keys this close together send one search
const CONTEXT = 80;       // characters shown before a match in a long text
const SHOWN = 240;        // characters shown from the match on

const $ = (id) => document.getElementById(id);
const query = $("query"), status = $("status"), results = $("results"), form = $("search");
const settings = ["max_errors", "threshold", "max_results", "mode"].map($);
// The matching a mode asks the server for.
const MODES = { words: { forgiving: true, words: true }, forgiving: { forgiving: true, words: false },
                strict: { forgiving: false, words: false } };

let sent = 0;             // the number of the latest search sent; answers to earlier ones are dropped
let inFlight = null;      // the AbortController of the search under way
let timer = 0;
let keyAt = 0;            // when the user last typed or changed a setting
let chosen = -1;          // the selected result, -1 for none

function element(tag, className, text) {
  const node = document.createElement(tag);
  if (className) node.className = className;
  if (text !== undefined) node.textContent = text;
  return node;
}

function showStatus(text, isError = false) {
  status.textContent = text;
  status.classList.toggle("error", isError);
}

function parametersOf(q) {
  const params = new URLSearchParams({ q });
  for (const control of settings) {
    if (control.id === "mode") {
      for (const [name, on] of Object.entries(MODES[control.value])) params.set(name, String(on));
    } else {
      params.set(control.id, control.value);
    }
  }
  return params;
}

// The hit's text with the matched characters (each word's, in the words
// mode) in <mark>s; a long text is cut around the match. Offsets are in code
// points, as the server counts them.
function highlighted(hit, whole) {
  const chars = Array.from(hit.text);
  const [begin, end] = hit.span;
  let before = chars.slice(0, begin).join("");
  let after = chars.slice(end).join("");
  if (!whole) {
    if (begin > CONTEXT) before = "…" + chars.slice(begin - CONTEXT, begin).join("");
    if (chars.length - end > SHOWN) after = chars.slice(end, end + SHOWN).join("") + "…";
  }
  const text = element("div", "text");
  text.append(before);
  let at = begin;
  const marks = hit.spans.filter((span) => span).sort((a, b) => a[0] - b[0]);
  for (const [first, last] of marks) {
    const from = Math.max(first, at), to = Math.min(last, end);
    if (from >= to) continue;
    text.append(chars.slice(at, from).join(""), element("mark", "", chars.slice(from, to).join("")));
    at = to;
  }
  text.append(chars.slice(at, end).join(""), after);
  return text;
}

function resultItem(hit, position) {
  const item = element("li");
  item.id = "result-" + position;
  item.setAttribute("role", "option");
  item.setAttribute("aria-selected", "false");
  item.hit = hit;
  item.append(element("span", "score", hit.score.toFixed(3)), highlighted(hit, false));
  item.append(element("div", "where", `${hit.file}:${hit.line} · id ${hit.id} · bytes ${hit.start}–${hit.end}`));
  item.addEventListener("click", () => { choose(position); toggleWhole(item); });
  return item;
}

function choose(position) {
  const items = results.children;
  if (chosen >= 0 && chosen < items.length) items[chosen].setAttribute("aria-selected", "false");
  chosen = items.length ? Math.max(-1, Math.min(position, items.length - 1)) : -1;
  if (chosen >= 0) {
    items[chosen].setAttribute("aria-selected", "true");
    items[chosen].scrollIntoView({ block: "nearest" });
    query.setAttribute("aria-activedescendant", items[chosen].id);
  } else {
    query.removeAttribute("aria-activedescendant");
  }
}

function toggleWhole(item) {
  const whole = !item.classList.contains("whole");
  item.classList.toggle("whole", whole);
  item.querySelector(".text").replaceWith(highlighted(item.hit, whole));
}

function show(answer, latency) {
  results.replaceChildren(...answer.hits.map(resultItem));
  chosen = -1;
  query.removeAttribute("aria-activedescendant");
  const count = answer.hits.length;
  showStatus(`${count === 0 ? "No" : count} result${count === 1 ? "" : "s"} · ${answer.took_ms.toFixed(1)} ms ` +
             `on the server · ${latency.toFixed(0)} ms after the keystroke`);
  status.dataset.latencyMs = latency.toFixed(1);
  status.dataset.query = answer.query;
}

async function search() {
  const number = ++sent;
  const q = query.value;
  if (inFlight) inFlight.abort();
  history.replaceState(null, "", q ? "?" + new URLSearchParams({ q }) : location.pathname);
  if (!q.trim()) {
    inFlight = null;
    results.replaceChildren();
    showStatus("");
    delete status.dataset.query;
    return;
  }
  const controller = (inFlight = new AbortController());
  try {
    const response = await fetch("/search?" + parametersOf(q), { signal: controller.signal });
    const answer = await response.json();
    if (number !== sent) return;  // a later keystroke has its own search
    if (!response.ok) {
      showStatus(answer.error || `the server answered ${response.status}`, true);
      return;
    }
    show(answer, performance.now() - keyAt);
  } catch (error) {
    if (error.name !== "AbortError" && number === sent) showStatus("The server did not answer: is murvex serve still running?", true);
  } finally {
    if (inFlight === controller) inFlight = null;
  }
}

// A key typed while no search is under way searches at once; keys typed
// while one is wait for a pause, so that a burst sends one search, not many.
function typed() {
  keyAt = performance.now();
  clearTimeout(timer);
  if (inFlight) timer = setTimeout(search, DEBOUNCE_MS);
  else search();
}

function keys(event) {
  const inQuery = event.target === query;
  if (event.key === "/" && !(event.target instanceof HTMLInputElement || event.target instanceof HTMLSelectElement)) {
    event.preventDefault();
    query.focus();
    query.select();
  } else if (event.key === "ArrowDown" || event.key === "ArrowUp") {
    if (!inQuery && event.target !== document.body) return;  // number inputs and selects keep their arrows
    event.preventDefault();
    choose(chosen + (event.key === "ArrowDown" ? 1 : -1));
  } else if (event.key === "Enter" && chosen >= 0 && (inQuery || event.target === document.body)) {
    event.preventDefault();
    toggleWhole(results.children[chosen]);
  } else if (event.key === "Escape" && inQuery) {
    if (query.value) {
      query.value = "";
      typed();
    } else {
      query.blur();
    }
  }
}

async function start() {
  form.addEventListener("submit", (event) => event.preventDefault());
  query.addEventListener("input", typed);
  for (const control of settings) control.addEventListener("change", typed);
  document.addEventListener("keydown", keys);
  try {
    const response = await fetch("/stats");
    const facts = await response.json();
    const files = facts.files.length;
    $("about").textContent = `${facts.records.toLocaleString("en")} records in ${files} file${files === 1 ? "" : "s"}`;
    for (const control of settings) {
      if (control.id !== "mode") control.value = String(facts.settings[control.id]);
    }
    const { forgiving, words } = facts.settings;
    $("mode").value = words ? "words" : forgiving ? "forgiving" : "strict";
  } catch (error) {
    $("about").textContent = "The server did not answer.";
  }
  const given = new URLSearchParams(location.search).get("q");
  if (given) {
    query.value = given;
    typed();
  }
}

start();

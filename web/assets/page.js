// The view's script: it fills the tables from the server's JSON and keeps them current. Every
// text that came from a station or a device is set with textContent, never parsed as HTML.
"use strict";

const params = new URLSearchParams(location.search);
const filterNames = ["days", "station", "type", "image", "result"];
const pageSize = 50;
const pollMs = 5000;
let shownCounter = null;
let wanted = null;  // the newest change counter heard of
let refreshing = null;
let again = false;

function viewQuery(extra) {
  const query = new URLSearchParams();
  for (const name of filterNames) {
    const value = params.get(name);
    if (value) query.set(name, value);
  }
  for (const [name, value] of Object.entries(extra || {})) query.set(name, value);
  return query.toString();
}

function offset() {
  const value = Number(params.get("offset"));
  return Number.isInteger(value) && value > 0 ? value : 0;
}

function cell(row, text, className) {
  const td = document.createElement("td");
  td.textContent = text === null || text === undefined ? "–" : String(text);
  if (className) td.className = className;
  row.appendChild(td);
  return td;
}

function fill(tableId, rows, makeRow, emptyText) {
  const body = document.querySelector("#" + tableId + " tbody");
  const fresh = document.createElement("tbody");
  if (rows.length === 0) {
    const tr = document.createElement("tr");
    cell(tr, emptyText, "empty").colSpan = document.querySelectorAll("#" + tableId + " th").length;
    fresh.appendChild(tr);
  }
  for (const row of rows) {
    const tr = document.createElement("tr");
    makeRow(tr, row);
    fresh.appendChild(tr);
  }
  body.replaceWith(fresh);
}

function time(iso) {
  return iso ? iso.replace("T", " ").replace(/\.\d+Z$/, "") : null;
}

function resultCell(tr, result) {
  cell(tr, result, result === "ok" ? "passed" : "failed");
}

async function getJson(path) {
  const response = await fetch(path, { credentials: "same-origin" });
  if (!response.ok) throw new Error((await response.text()).trim());
  return response.json();
}

function typeText(id, name) {
  return name ? id + " " + name : id;
}

async function showStatus() {
  const status = await getJson("/api/status.json");
  document.getElementById("source").textContent = status.source;
  const parts = ["Checked " + time(status.checkedAt) + " UTC."];
  let newest = null;
  for (const station of status.stations) {
    if (!newest || station.lastStartedAt > newest.lastStartedAt) newest = station;
  }
  if (newest) {
    parts.push("Newest attempt " + time(newest.lastStartedAt) + " UTC at " + newest.station + ".");
  } else {
    parts.push("No attempts recorded yet.");
  }
  if (status.localStore) {
    let waiting = 0;
    for (const station of status.stations) waiting += station.waiting || 0;
    parts.push(waiting === 0 ? "Nothing waits for the server."
                             : waiting + " record(s) wait for the server.");
  }
  document.getElementById("fresh").textContent = parts.join(" ");
  return status.counter;
}

function yieldCells(tr, row) {
  cell(tr, row.attempts, "number");
  cell(tr, row.unitsAttempted, "number");
  cell(tr, row.firstPassUnits, "number");
  cell(tr, row.unitsAttempted ? row.firstPassYield.toFixed(1) + "%" : "–", "number");
}

async function showYield(version) {
  const query = viewQuery({ limit: 500 });
  document.getElementById("yield-plot").src = "/plot/yield.svg?" + viewQuery({ v: version });
  const [days, groups] = await Promise.all([
    getJson("/api/days.json?" + query), getJson("/api/groups.json?" + query)]);
  fill("days-table", days, (tr, row) => { cell(tr, row.day); yieldCells(tr, row); },
       "No attempts in this view.");
  fill("groups-table", groups, (tr, row) => {
    cell(tr, row.station);
    cell(tr, typeText(row.deviceId, row.deviceName));
    yieldCells(tr, row);
    cell(tr, row.failures, "number");
  }, "No attempts in this view.");
}

async function showFailures(version) {
  const rows = await getJson("/api/failures.json?" + viewQuery({ limit: 500 }));
  fill("failures-table", rows, (tr, row) => {
    cell(tr, typeText(row.deviceId, row.deviceName));
    cell(tr, row.result, "failed");
    cell(tr, row.failedBlock, "number");
    cell(tr, row.count, "number");
  }, "No failures in this view.");
  const plots = document.getElementById("pareto-plots");
  const types = [...new Set(rows.map((row) => row.deviceId))];
  const images = types.map((type) => {
    const img = document.createElement("img");
    img.alt = "Failures of device type " + type + ", most frequent first; the numbers are in the table below";
    img.src = "/plot/failures.svg?" + viewQuery({ type: type, v: version });
    img.dataset.type = type;
    return img;
  });
  plots.replaceChildren(...images);
}

async function showAttempts() {
  const rows = await getJson("/api/attempts.json?" + viewQuery({ limit: pageSize, offset: offset() }));
  fill("attempts-table", rows, (tr, row) => {
    cell(tr, time(row.startedAt));
    cell(tr, row.station);
    cell(tr, row.port);
    cell(tr, row.serial || (row.usbSerial ? "usb " + row.usbSerial : null));
    cell(tr, row.deviceId ? typeText(row.deviceId, row.deviceName) : null);
    resultCell(tr, row.result);
    cell(tr, row.failedBlock, "number");
    const image = cell(tr, row.image);
    if (row.sha256) image.title = "SHA-256 " + row.sha256;
  }, "No attempts in this view.");
  const newer = document.getElementById("newer");
  const older = document.getElementById("older");
  const at = offset();
  if (at > 0) newer.href = "?" + viewQuery({ offset: Math.max(0, at - pageSize) });
  else newer.removeAttribute("href");
  if (rows.length === pageSize) older.href = "?" + viewQuery({ offset: at + pageSize });
  else older.removeAttribute("href");
}

async function showUnit() {
  const unit = params.get("unit");
  const note = document.getElementById("unit-note");
  if (!unit) {
    note.textContent = "Give a serial number (e.g. AB0001) or a USB serial number.";
    fill("unit-table", [], () => {}, "No unit asked for.");
    return;
  }
  const rows = await getJson("/api/unit.json?" + new URLSearchParams({ unit: unit, limit: 500 }));
  note.textContent = rows.length === 0 ? "No attempts of \"" + unit + "\" in the records."
                                       : rows.length + " attempt(s) of \"" + unit + "\", newest first.";
  fill("unit-table", rows, (tr, row) => {
    cell(tr, time(row.startedAt));
    cell(tr, row.station);
    cell(tr, row.operator);
    cell(tr, row.port);
    cell(tr, row.serial);
    cell(tr, row.usbSerial);
    resultCell(tr, row.result);
    cell(tr, row.sha256, "hash");
    cell(tr, row.image);
    cell(tr, row.headerVersion, "number");
  }, "No attempts of this unit.");
}

async function showSection(name, work) {
  try {
    await work();
  } catch (error) {
    const section = document.getElementById(name);
    let note = section.querySelector(".error");
    if (!note) {
      note = document.createElement("p");
      note.className = "error";
      note.setAttribute("role", "alert");
      section.appendChild(note);
    }
    note.textContent = error.message;
    return;
  }
  const stale = document.querySelector("#" + name + " .error");
  if (stale) stale.remove();
}

// Shows everything again; a change that comes in meanwhile is shown right after. The last
// attempts are asked first: the server answers questions one after another, and they are the
// cheapest and most looked-at.
async function refresh(counter) {
  if (counter !== undefined) wanted = counter;
  if (refreshing) {
    again = true;
    return refreshing;
  }
  refreshing = (async () => {
    do {
      again = false;
      const target = wanted;
      const version = target ?? Date.now();
      await Promise.all([
        showSection("attempts", showAttempts),
        showSection("yield", async () => {
          const status = await showStatus();
          // The counter the shown data is at, when no change told it yet.
          if (wanted === null) wanted = status;
        }),
        showSection("yield", () => showYield(version)),
        showSection("failures", () => showFailures(version)),
        showSection("unit", showUnit),
      ]);
      shownCounter = target ?? wanted;
      document.body.dataset.counter = String(shownCounter);
    } while (again);
    refreshing = null;
  })();
  return refreshing;
}

function changed(counter) {
  if (counter !== shownCounter && counter !== wanted) refresh(counter);
}

function poll() {
  document.getElementById("live").textContent =
    "Every live slot of this view is taken: the page asks for news every 5 s.";
  document.body.dataset.live = "polling";
  setInterval(async () => {
    try {
      const status = await getJson("/api/status.json");
      changed(status.counter);
    } catch (error) {
      document.getElementById("live").textContent = error.message;
    }
  }, pollMs);
}

function listen() {
  const events = new EventSource("/events");
  events.onopen = () => {
    document.getElementById("live").textContent = "Live: new attempts show as stations record them.";
    document.body.dataset.live = "stream";
  };
  events.onmessage = (event) => changed(Number(event.data));
  events.onerror = () => {
    // A refused stream (all slots taken) is closed for good; a dropped one reconnects itself.
    if (events.readyState === EventSource.CLOSED) poll();
  };
}

function setUp() {
  if (params.has("kiosk")) document.body.classList.add("kiosk");
  const form = document.getElementById("filters");
  for (const name of filterNames) {
    if (params.get(name) !== null) form.elements[name].value = params.get(name);
  }
  document.getElementById("unit-input").value = params.get("unit") || "";
  for (const link of document.querySelectorAll("a[data-table]")) {
    const extra = link.dataset.table === "unit" ? { unit: params.get("unit") || "" }
                : link.dataset.table === "attempts" ? { limit: pageSize, offset: offset() }
                : { limit: 500 };
    link.href = "/api/" + link.dataset.table + "." + link.dataset.format + "?" + viewQuery(extra);
  }
  refresh();
  listen();
}

setUp();

// SPDX-License-Identifier: GPL-3.0-or-later
// The office's pages: sorting and filtering the Units table, and the series plot (Dygraphs)
// that reads each zoomed range again at the resolution shown. Served by xrq-office from its
// own origin; the pages carry no inline script.
"use strict";

function sortableTable(table) {
  const body = table.tBodies[0];
  const heads = Array.from(table.tHead.rows[0].cells);
  heads.forEach((th, column) => {
    th.addEventListener("click", () => {
      const ascending = !th.classList.contains("asc");
      heads.forEach((h) => h.classList.remove("asc", "desc"));
      th.classList.add(ascending ? "asc" : "desc");
      const numeric = th.dataset.type === "number";
      const key = (row) => {
        const cell = row.cells[column];
        const v = cell.dataset.sort !== undefined ? cell.dataset.sort : cell.textContent;
        return numeric ? parseFloat(v) : v.toLowerCase();
      };
      const rows = Array.from(body.rows);
      rows.sort((a, b) => {
        const x = key(a), y = key(b);
        const order = x < y ? -1 : x > y ? 1 : 0;
        return ascending ? order : -order;
      });
      rows.forEach((r) => body.appendChild(r));
    });
  });
}

function filteredTable(table, input, shown) {
  const rows = Array.from(table.tBodies[0].rows);
  const text = rows.map((r) => r.textContent.toLowerCase());
  const update = () => {
    const words = input.value.toLowerCase().split(/\s+/).filter((w) => w);
    let n = 0;
    rows.forEach((r, i) => {
      const hit = words.every((w) => text[i].includes(w));
      r.classList.toggle("hidden", !hit);
      n += hit ? 1 : 0;
    });
    shown.textContent = n + " of " + rows.length + " units";
  };
  input.addEventListener("input", update);
  update();
}

function isoSeconds(ms) {
  return new Date(ms).toISOString().slice(0, 19) + "Z";
}

// The marks the service sends with each range, drawn under the curves as the viewer draws
// them: a dashed line across the plot where a segment starts, a red square at each flagged
// record (on the first column where it has a value, else at the foot of the plot).
function drawMarks(marks, ctx, area, g) {
  if (!marks) return;
  ctx.save();
  ctx.strokeStyle = "rgba(90, 90, 90, 0.8)";
  ctx.setLineDash([4, 3]);
  marks.segment_starts.forEach((t) => {
    const x = g.toDomXCoord(t);
    if (x < area.x || x > area.x + area.w) return;
    ctx.beginPath();
    ctx.moveTo(x, area.y);
    ctx.lineTo(x, area.y + area.h);
    ctx.stroke();
  });
  ctx.setLineDash([]);
  ctx.fillStyle = "rgb(200, 30, 30)";
  ctx.strokeStyle = "white";
  marks.points.forEach(([t, , v]) => {
    const x = g.toDomXCoord(t);
    let y = v === null ? area.y + area.h - 4 : g.toDomYCoord(v);
    if (x < area.x || x > area.x + area.w) return;
    y = Math.min(Math.max(y, area.y + 4), area.y + area.h - 4);
    ctx.fillRect(x - 3.5, y - 3.5, 7, 7);
    ctx.strokeRect(x - 3.5, y - 3.5, 7, 7);
  });
  ctx.restore();
}

function flagsText(marks) {
  if (!marks || marks.counts.length === 0) return "";
  return "; flagged: " + marks.counts.map(([flag, n]) => n + " " + flag).join(", ");
}

function seriesPlot(div) {
  const status = document.getElementById("plot-status");
  const csv = document.getElementById("csv");
  const base = div.dataset.query; // "u=...&set=...", escaped by the service
  let graph = null;
  let whole = null;
  let marks = null;
  const load = (from, to) => {
    const buckets = Math.max(50, Math.min(4000, Math.round(div.clientWidth || 800)));
    let query = base + "&buckets=" + buckets;
    if (from !== undefined) query += "&from=" + isoSeconds(from) + "&to=" + isoSeconds(to + 999);
    csv.href = "/csv?" + base + (from !== undefined
      ? "&from=" + isoSeconds(from) + "&to=" + isoSeconds(to + 999) : "");
    status.textContent = "Loading...";
    return fetch("/api/series?" + query).then((r) => r.json().then((j) => ({ ok: r.ok, j })))
      .then(({ ok, j }) => {
        if (!ok) throw new Error(j.error ? j.error.message : "not read");
        if (whole === null) whole = [j.first, j.last];
        const rows = j.rows.map((row) => [new Date(row[0])].concat(row.slice(1)));
        if (rows.length === 0) {
          status.textContent = "No records in this range.";
          return;
        }
        const labels = ["UTC"].concat(j.columns);
        marks = j.marks;
        if (graph === null) {
          graph = new Dygraph(div, rows, {
            labels, customBars: true, labelsUTC: true, connectSeparatedPoints: false,
            underlayCallback: (ctx, area, g) => drawMarks(marks, ctx, area, g),
            zoomCallback: (lo, hi) => {
              if (graph && hi > lo) load(Math.floor(lo), Math.ceil(hi));
            },
          });
        } else {
          graph.updateOptions({ file: rows, dateWindow: null, labels });
        }
        div.dataset.records = j.records;
        div.dataset.buckets = j.rows.length;
        div.dataset.from = j.from;
        div.dataset.to = j.to;
        div.dataset.marks = j.marks.points.length;
        div.dataset.segmentStarts = j.marks.segment_starts.length;
        document.body.dataset.plotLoads = String(Number(document.body.dataset.plotLoads || 0) + 1);
        status.textContent = j.records + " records from " + isoSeconds(j.from) + " to " +
          isoSeconds(j.to) + ", in " + j.rows.length + " points (least, mean, greatest)" +
          (j.without_time ? "; " + j.without_time + " without a readable time" : "") +
          flagsText(j.marks);
      })
      .catch((e) => { status.textContent = "Not read: " + e.message; });
  };
  document.getElementById("whole").addEventListener("click", (ev) => {
    ev.preventDefault();
    load();
  });
  // A link may carry its range: "#from=2026-12-01T00:30:00Z&to=2026-12-01T00:39:00Z".
  const hash = new URLSearchParams(location.hash.slice(1));
  const from = Date.parse(hash.get("from") || ""), to = Date.parse(hash.get("to") || "");
  if (!isNaN(from) && !isNaN(to) && from <= to) load(from, to - 999);
  else load();
}

document.addEventListener("DOMContentLoaded", () => {
  const units = document.getElementById("units");
  if (units) {
    sortableTable(units);
    filteredTable(units, document.getElementById("filter"), document.getElementById("shown"));
    document.body.dataset.ready = "units";
  }
  const plot = document.getElementById("plot");
  if (plot && typeof Dygraph !== "undefined") seriesPlot(plot);
});

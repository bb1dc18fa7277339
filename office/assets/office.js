// SPDX-License-Identifier: GPL-3.0-or-later
// The office's pages: sorting and filtering the Units and Sites tables, the series plot
// (Dygraphs) that reads each zoomed range again at the resolution shown, a small plot for each
// group of columns alike (a unit's data set, or a site's properties across its units), and the
// map of the sites (Leaflet), drawn from the positions the page carries, with tiles only where
// the service is given a tile URL. Served by xrq-office from its own origin; the pages carry
// no inline script.
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

function filteredTable(table, input, shown, noun, changed) {
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
    shown.textContent = n + " of " + rows.length + " " + (noun || "units");
    if (changed) changed(rows);
  };
  input.addEventListener("input", update);
  update();
}

function isoSeconds(ms) {
  return new Date(ms).toISOString().slice(0, 19) + "Z";
}

// A time as the reader is to take it: UTC said as UTC, the unit's own clock never as UTC.
function timeText(ms, clock) {
  const text = new Date(ms).toISOString().slice(0, 19).replace("T", " ");
  if (clock === "utc") return text + " UTC";
  if (clock === "unit") return text + " (unit's clock)";
  return text + " (UTC, or the unit's clock)";
}

// Each column its own colour across the small plots; red is the flagged records' only.
const columnColours = ["#1f77b4", "#2ca02c", "#ff7f0e", "#9467bd", "#8c564b", "#17becf",
  "#e377c2", "#7f7f7f", "#bcbd22", "#393b79"];

// A column's label in legends and on its axis: "Batt (V)", or its name alone.
function columnLabel(j, c) {
  const unit = j.units[c];
  return unit ? j.names[c] + " (" + unit + ")" : j.names[c];
}

// The marks the service sends with each range, drawn under the curves as the viewer draws
// them: a dashed line across the plot where a segment starts, a red square at each flagged
// record (on the panel's first column where it has a value, else at the foot of the panel).
// Returns how many squares it drew.
function drawMarks(marks, column, ctx, area, g) {
  if (!marks) return 0;
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
  // A site's swaps: a solid line where a unit's deployment starts or ends, the unit named.
  ctx.strokeStyle = "rgba(35, 51, 68, 0.9)";
  ctx.fillStyle = "rgb(35, 51, 68)";
  ctx.font = "11px sans-serif";
  (marks.swaps || []).forEach(([t, from, to]) => {
    const x = g.toDomXCoord(t);
    if (x < area.x || x > area.x + area.w) return;
    ctx.lineWidth = 2;
    ctx.beginPath();
    ctx.moveTo(x, area.y);
    ctx.lineTo(x, area.y + area.h);
    ctx.stroke();
    const text = to ? "\u2192 " + to : "\u2715 " + from;
    const width = ctx.measureText(text).width;
    // Beside the line, on its left where the plot's edge would cut it.
    ctx.fillText(text, x + 3 + width > area.x + area.w ? x - 3 - width : x + 3, area.y + 11);
  });
  ctx.lineWidth = 1;
  ctx.fillStyle = "rgb(200, 30, 30)";
  ctx.strokeStyle = "white";
  let drawn = 0;
  marks.points.forEach(([t, , , values]) => {
    const v = values && values[column] !== undefined ? values[column] : null;
    const x = g.toDomXCoord(t);
    let y = v === null ? area.y + area.h - 4 : g.toDomYCoord(v);
    if (x < area.x - 3.5 || x > area.x + area.w + 3.5) return;
    y = Math.min(Math.max(y, area.y + 4), area.y + area.h - 4);
    ctx.fillRect(x - 3.5, y - 3.5, 7, 7);
    ctx.strokeRect(x - 3.5, y - 3.5, 7, 7);
    drawn += 1;
  });
  ctx.restore();
  return drawn;
}

// A small plot's legend, made here rather than by Dygraphs (whose legend carries inline
// styles the page's policy refuses): each column's colour, name and unit always, its value
// and the time where the pointer is.
function panelLegend(legend, g, labels, clock) {
  legend.textContent = "";
  const colors = g.getColors();
  const time = document.createElement("span");
  time.className = "legend-time";
  legend.append(time);
  const values = labels.map((label, i) => {
    const item = document.createElement("span");
    item.className = "legend-item";
    const dash = document.createElement("span");
    dash.className = "legend-dash";
    dash.style.backgroundColor = colors[i];
    const name = document.createElement("span");
    name.className = "legend-name";
    name.style.color = colors[i];
    name.textContent = label;
    const value = document.createElement("span");
    value.className = "legend-value";
    item.append(dash, name, value);
    legend.append(item);
    return value;
  });
  return {
    show: (x, points) => {
      time.textContent = timeText(x, clock) + ":";
      values.forEach((v) => { v.textContent = ""; });
      points.forEach((p) => {
        const i = labels.indexOf(p.name);
        if (i >= 0 && !isNaN(p.yval)) values[i].textContent = " " + p.yval.toPrecision(5);
      });
    },
    clear: () => {
      time.textContent = "";
      values.forEach((v) => { v.textContent = ""; });
    },
  };
}

function flagsText(marks) {
  if (!marks || marks.counts.length === 0) return "";
  return "; flagged: " + marks.counts.map(([flag, n]) => n + " " + flag).join(", ");
}

// The series plot: one small plot per group of columns alike (the service groups them by unit
// and magnitude), each with its legend and axis title, the time axis titled with its clock.
// A zoom in any of them reads that range again for all.
function seriesPlot(div) {
  const status = document.getElementById("plot-status");
  const clockLine = document.getElementById("plot-clock");
  const csv = document.getElementById("csv");
  const base = div.dataset.query; // "u=...&set=..." or "site=...", escaped by the service
  const api = div.dataset.api || "/api/series";
  const csvPath = div.dataset.csv || "/csv";
  let graphs = [];
  const drawnMarks = [];
  const load = (from, to) => {
    const buckets = Math.max(50, Math.min(4000, Math.round(div.clientWidth || 800)));
    let query = base + "&buckets=" + buckets;
    if (from !== undefined) query += "&from=" + isoSeconds(from) + "&to=" + isoSeconds(to + 999);
    csv.href = csvPath + "?" + base + (from !== undefined
      ? "&from=" + isoSeconds(from) + "&to=" + isoSeconds(to + 999) : "");
    status.textContent = "Loading...";
    return fetch(api + "?" + query).then((r) => r.json().then((j) => ({ ok: r.ok, j })))
      .then(({ ok, j }) => {
        if (!ok) throw new Error(j.error ? j.error.message : "not read");
        const rows = j.rows.map((row) => [new Date(row[0])].concat(row.slice(1)));
        if (rows.length === 0) {
          status.textContent = "No records in this range.";
          return;
        }
        graphs.forEach((g) => g.destroy());
        graphs = [];
        div.textContent = "";
        drawnMarks.length = 0;
        const countDrawn = () => {
          div.dataset.marksDrawn = String(drawnMarks.reduce((a, b) => a + (b || 0), 0));
        };
        clockLine.textContent = j.clock_title;
        const zoom = (lo, hi) => { if (hi > lo) load(Math.floor(lo), Math.ceil(hi)); };
        j.groups.forEach((group, index) => {
          const panel = document.createElement("div");
          panel.className = "plot-panel";
          const legend = document.createElement("div");
          legend.className = "plot-legend";
          const area = document.createElement("div");
          area.className = "plot-graph";
          panel.append(legend, area);
          div.append(panel);
          const labels = group.map((c) => columnLabel(j, c));
          const units = Array.from(new Set(group.map((c) => j.units[c])));
          const last = index === j.groups.length - 1;
          let shown = null;
          const options = {
            labels: ["Time"].concat(labels), customBars: true, labelsUTC: true,
            connectSeparatedPoints: false, legend: "never",
            colors: group.map((c) => columnColours[c % columnColours.length]),
            highlightCallback: (ev, x, points) => { if (shown) shown.show(x, points); },
            unhighlightCallback: () => { if (shown) shown.clear(); },
            ylabel: group.length === 1 ? labels[0] : (units.length === 1 && units[0]) || "",
            axes: { x: { valueFormatter: (ms) => timeText(ms, j.clock) } },
            underlayCallback: (ctx, a, g) => {
              drawnMarks[index] = drawMarks(j.marks, group[0], ctx, a, g);
              countDrawn();
            },
            zoomCallback: zoom,
          };
          if (last) options.xlabel = j.clock_title;
          const g = new Dygraph(area, rows.map((r) => [r[0]].concat(group.map((c) => r[1 + c]))),
            options);
          shown = panelLegend(legend, g, labels, j.clock);
          graphs.push(g);
        });
        div.dataset.records = j.records;
        div.dataset.buckets = j.rows.length;
        div.dataset.from = j.from;
        div.dataset.to = j.to;
        div.dataset.clock = j.clock;
        div.dataset.panels = j.groups.length;
        div.dataset.marks = j.marks.points.length;
        div.dataset.segmentStarts = j.marks.segment_starts.length;
        div.dataset.swaps = (j.marks.swaps || []).length;
        document.body.dataset.plotLoads = String(Number(document.body.dataset.plotLoads || 0) + 1);
        status.textContent = j.records + " records from " + timeText(j.from, j.clock) + " to " +
          timeText(j.to, j.clock) + ", in " + j.rows.length +
          " points (least, mean, greatest)" +
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

// A graticule under the map's markers: lines every round step of degrees (about eight across
// the view), each labelled at the map's edge, drawn again as the view moves. With no tiles it
// is the map's only ground, beside the scale. The labels are placed in the box's own
// coordinates, over the map, whatever the panes' transforms.
function graticule(map, box) {
  const layer = L.layerGroup().addTo(map);
  const labels = document.createElement("div");
  labels.className = "graticule-labels";
  box.append(labels);
  const steps = [0.0005, 0.001, 0.002, 0.005, 0.01, 0.02, 0.05, 0.1, 0.2, 0.5, 1, 2, 5, 10, 15, 30];
  const line = { color: "#9aa7b4", weight: 1, opacity: 0.7, interactive: false };
  const label = (text, x, y, cls) => {
    const span = document.createElement("span");
    span.className = "graticule-label " + cls;
    span.textContent = text;
    span.style.left = x + "px";
    span.style.top = y + "px";
    labels.append(span);
  };
  const draw = () => {
    layer.clearLayers();
    labels.textContent = "";
    const b = map.getBounds();
    const size = map.getSize();
    const span = Math.max(b.getEast() - b.getWest(), b.getNorth() - b.getSouth());
    const step = steps.find((s) => span / s <= 8) || 30;
    const digits = Math.max(0, Math.ceil(-Math.log10(step)));
    const south = Math.max(-85, b.getSouth()), north = Math.min(85, b.getNorth());
    const west = b.getWest(), east = b.getEast();
    for (let i = Math.ceil(south / step); i * step <= north; i++) {
      const lat = i * step;
      layer.addLayer(L.polyline([[lat, west], [lat, east]], line));
      const y = map.latLngToContainerPoint([lat, west]).y;
      if (y > 14 && y < size.y - 4)
        label(Math.abs(lat).toFixed(digits) + "\u00b0" + (lat < 0 ? "S" : "N"), 48, y - 14, "lat");
    }
    for (let i = Math.ceil(west / step); i * step <= east; i++) {
      const lon = i * step;
      layer.addLayer(L.polyline([[south, lon], [north, lon]], line));
      const x = map.latLngToContainerPoint([south, lon]).x;
      if (x > 4 && x < size.x - 40)
        label(Math.abs(lon).toFixed(digits) + "\u00b0" + (lon < 0 ? "W" : "E"), x + 2, 2, "lon");
    }
  };
  map.on("moveend zoomend resize", draw);
  draw();
}

// The map of the sites: a marker at each element carrying a position (the Sites table's rows,
// or the site page's one), red where the site is late; its tooltip the site's code and name
// (as text, never markup), a click opens the site's page. Rows the filter hides hide their
// marker. Returns the function that shows the markers of the rows shown.
function siteMap(box, holders) {
  const sites = holders.filter((e) => e.dataset.lat !== undefined);
  if (sites.length === 0 || typeof L === "undefined") {
    box.hidden = true;
    return () => {};
  }
  const map = L.map(box, { attributionControl: false, zoomSnap: 0.5 });
  if (box.dataset.tiles) {
    L.tileLayer(box.dataset.tiles, { maxZoom: 18 }).addTo(map);
    L.control.attribution({ prefix: false }).addAttribution("Tiles: " +
      new URL(box.dataset.tiles.replace(/[{}]/g, "")).host.replace(/[<>&"']/g, "")).addTo(map);
  } else {
    box.classList.add("no-tiles");
  }
  L.control.scale({ imperial: false }).addTo(map);
  const markers = new Map();
  const points = [];
  sites.forEach((e) => {
    const at = [parseFloat(e.dataset.lat), parseFloat(e.dataset.lon)];
    if (!isFinite(at[0]) || !isFinite(at[1])) return;
    const late = e.dataset.late === "1";
    const marker = L.circleMarker(at, {
      radius: 7, weight: 2, color: "#fff", fillOpacity: 0.9,
      fillColor: late ? "#b00020" : "#1b6e20", className: late ? "site late" : "site due",
    });
    const tip = document.createElement("span");
    const code = document.createElement("b");
    code.textContent = e.dataset.code;
    tip.append(code, " " + e.dataset.name + (late ? " (late)" : ""));
    marker.bindTooltip(tip);
    marker.on("click", () => {
      location.href = "/site?site=" + encodeURIComponent(e.dataset.code);
    });
    marker.addTo(map);
    markers.set(e, marker);
    points.push(at);
  });
  if (points.length === 1) map.setView(points[0], box.dataset.tiles ? 14 : 12);
  else map.fitBounds(L.latLngBounds(points), { padding: [24, 24], maxZoom: 14 });
  graticule(map, box);
  box.dataset.markers = String(points.length);
  return (rows) => {
    let shown = 0;
    rows.forEach((r) => {
      const marker = markers.get(r);
      if (!marker) return;
      const hidden = r.classList.contains("hidden");
      if (hidden && map.hasLayer(marker)) marker.remove();
      if (!hidden && !map.hasLayer(marker)) marker.addTo(map);
      shown += hidden ? 0 : 1;
    });
    box.dataset.markersShown = String(shown);
  };
}

// A table wider than its box says it scrolls: its hint shows only while it overflows.
function scrollHints() {
  const update = () => {
    document.querySelectorAll("div.scroll").forEach((box) => {
      const hint = box.previousElementSibling;
      if (hint && hint.classList.contains("scroll-hint"))
        hint.classList.toggle("shown", box.scrollWidth > box.clientWidth + 1);
    });
  };
  window.addEventListener("resize", update);
  update();
}

document.addEventListener("DOMContentLoaded", () => {
  scrollHints();
  const units = document.getElementById("units");
  if (units) {
    sortableTable(units);
    filteredTable(units, document.getElementById("filter"), document.getElementById("shown"));
    document.body.dataset.ready = "units";
  }
  const sites = document.getElementById("sites");
  const mapBox = document.getElementById("site-map");
  let showMarkers = () => {};
  if (mapBox) {
    const holders = sites ? Array.from(sites.tBodies[0].rows)
      : Array.from(document.querySelectorAll("#site-marker"));
    showMarkers = siteMap(mapBox, holders);
  }
  if (sites) {
    sortableTable(sites);
    filteredTable(sites, document.getElementById("filter"), document.getElementById("shown"),
      "sites", showMarkers);
    document.body.dataset.ready = "sites";
  }
  const plot = document.getElementById("plot");
  if (plot && typeof Dygraph !== "undefined") seriesPlot(plot);
});

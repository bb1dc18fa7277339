// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The office's pages and JSON answers made from what office_reads read: HTML written here
// only, every text through html_text's html(), scripts only from the service's own /static/
// (the Content-Security-Policy allows nothing else), so a page works without any script too,
// but for its plot. Pure: reads in, bytes out.

#include "office/office_reads.h"
#include "office/plot_axes.h"

#include <QByteArray>
#include <QJsonObject>

#include <optional>

namespace office {

struct PageContext {
    int visitIntervalDays = 30; // a unit not visited for longer is late
    QString signedInAs;         // the role signed in (sign_in.h); empty: no sign-in here
    // The map's tiles (--tile-url, "https://tiles.example.org/{z}/{x}/{y}.png"); empty: none
    // are fetched, the map shows the positions alone.
    QString tileUrl;
};

// How late a unit is by its last visit: whole days since, and whether that is over the
// interval. No visit known: late.
struct Lateness {
    std::optional<long long> daysSince;
    bool late = true;
    QString text; // "3 days ago", "late: 45 days, interval 30", "never visited"
};
Lateness lateness(std::optional<std::int64_t> lastVisitMs, std::int64_t nowMs, int intervalDays);

// "2026-12-08 10:00 UTC"
QString utcText(std::int64_t ms);
// One history entry in words: "safe", "not safe: prompt missing; ...", "12.6 V, 21.5 °C".
QString historyDetail(const HistoryItem& item);
// A stored kind in words: "kept_download" -> "raw download kept".
QString kindText(const QString& kind);
// What identifies a history entry's bytes, for whoever checks a copy ("37,566 bytes, SHA-256
// ..."); empty where it has none. Shown behind a detail.
QString historyFacts(const HistoryItem& item);

QByteArray unitsPage(const UnitsOverview& overview, const PageContext& context);
QByteArray unitPage(const QString& unit, const UnitDetail& detail, const PageContext& context);
QByteArray seriesPage(const QString& unit, const QString& dataSet, const PageContext& context);
// An error for a person: the status in words, the reason, a way back.
QByteArray errorPage(int status, const QString& message, const PageContext& context);
// The sign-in form: `message` says why it is shown again, `next` is where it leads after.
QByteArray signInPage(const QString& message, const QString& next, const QString& role);

// The page around a body, for the pages made elsewhere (site_pages.h): the office's header,
// style sheet and script, `scripts` in its head.
QByteArray officePage(const QString& title, const QString& body, const PageContext& context,
                      const QString& scripts = {});
// A small line of the values drawn by the page itself (no script), the newest a dot.
QString sparklineSvg(const std::vector<double>& values, int width, int height);

QJsonObject unitsJson(const UnitsOverview& overview, const PageContext& context);
// The plot's columns, each with its name, unit and the values it shows over the range.
std::vector<PlotColumn> plotColumns(const SeriesPlot& plot);
// The range's buckets with each column's name and unit, which columns share a small plot, the
// clock of its times and its marks.
QJsonObject plotJson(const SeriesPlot& plot);
// {"error": {"status": 404, "message": "..."}}
QJsonObject errorJson(int status, const QString& message);

} // namespace office

// SPDX-License-Identifier: GPL-3.0-or-later
#include "office/office_routes.h"

#include "office/counting_ahead.h"
#include "office/query_params.h"
#include "office/read_connections.h"
#include "office/sensor_things.h"
#include "office/site_pages.h"
#include "office/site_plot.h"

#include "series/series_export.h"
#include "series/site_series.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>

#include <functional>
#include <map>
#include <memory>
#include <mutex>

namespace office {

namespace {

constexpr int kDefaultBuckets = 800;
constexpr int kMostBuckets = 4000;

Answer json(const QJsonObject& o, int status = 200) {
    return {status, "application/json", QJsonDocument(o).toJson(QJsonDocument::Compact), {}};
}

Answer htmlAnswer(QByteArray body) {
    return {200, "text/html; charset=utf-8", std::move(body), {}};
}

// A query checked against what the path takes, its required names present.
struct Checked {
    QueryParams params;
    std::optional<Answer> refused;
    TimeRange range; // checkSeriesRange's
};
Checked check(const Request& r, const QStringList& allowed, const QStringList& required = {}) {
    Checked c;
    c.params = parseQuery(r.query, allowed);
    if (!c.params.ok) {
        c.refused = errorAnswer(400, c.params.error);
        return c;
    }
    for (const QString& name : required)
        if (c.params.value(name.toLatin1().constData()).isEmpty()) {
            c.refused =
                errorAnswer(400, QStringLiteral("query parameter \"%1\" is needed").arg(name));
            return c;
        }
    return c;
}

// from and to (UTC: "2026-06-01", "2026-06-01T08:00:00Z"); false with the 400 in `refused`.
bool timeRange(const QueryParams& p, TimeRange& range, std::optional<Answer>& refused) {
    for (const char* name : {"from", "to"}) {
        if (!p.has(name))
            continue;
        const std::string text = p.value(name).toStdString();
        double seconds = 0;
        if (!series::parseRangeTime(text, seconds)) {
            refused = errorAnswer(400, QStringLiteral("\"%1\" is no time (2026-06-01 or "
                                                      "2026-06-01T08:00:00Z)")
                                           .arg(QLatin1String(name)));
            return false;
        }
        (name[0] == 'f' ? range.from : range.to) = seconds;
    }
    if (range.from && range.to && *range.from > *range.to) {
        refused = errorAnswer(400, QStringLiteral("\"from\" is after \"to\""));
        return false;
    }
    return true;
}

// A series and a range of it (u, set, from, to) and the names in `more`, checked.
Checked checkSeriesRange(const Request& r, const QStringList& more = {}) {
    Checked c = check(r,
                      QStringList{QStringLiteral("u"), QStringLiteral("set"),
                                  QStringLiteral("from"), QStringLiteral("to")} +
                          more,
                      {QStringLiteral("u"), QStringLiteral("set")});
    if (!c.refused)
        timeRange(c.params, c.range, c.refused);
    return c;
}

// The plot's "buckets" (kDefaultBuckets when not given); false with the 400 in `refused`.
bool plotBuckets(const QueryParams& p, int& buckets, std::optional<Answer>& refused) {
    buckets = kDefaultBuckets;
    if (!p.has("buckets"))
        return true;
    bool ok = false;
    buckets = p.value("buckets").toInt(&ok);
    if (ok && buckets >= 1 && buckets <= kMostBuckets)
        return true;
    refused = errorAnswer(400, QStringLiteral("\"buckets\" takes 1 to %1").arg(kMostBuckets));
    return false;
}

// A site (site) and a range of it (from, to) and the names in `more`, checked.
Checked checkSiteRange(const Request& r, const QStringList& more = {}) {
    Checked c = check(
        r, QStringList{QStringLiteral("site"), QStringLiteral("from"), QStringLiteral("to")} + more,
        {QStringLiteral("site")});
    if (!c.refused)
        timeRange(c.params, c.range, c.refused);
    return c;
}

// A site (site) read and answered by `shown`, or why not.
template <typename Shown>
Answer answerSite(const Request& r, const OfficeConfig& c, const Shown& shown) {
    const Checked q = check(r, {QStringLiteral("site")}, {QStringLiteral("site")});
    if (q.refused)
        return *q.refused;
    const SiteDetail d = readSiteDetail(c.conninfo, q.params.value("site"), c.limits);
    return d.error.failed() ? readErrorAnswer(d.error) : shown(d);
}

// The sites read and answered by `shown`, or why not.
template <typename Shown>
Answer answerSites(const Request& r, const OfficeConfig& c, const Shown& shown) {
    const Checked q = check(r, {});
    if (q.refused)
        return *q.refused;
    const SitesOverview o = readSitesOverview(c.conninfo, c.limits);
    return o.error.failed() ? readErrorAnswer(o.error) : shown(o);
}

// A unit (u) read and answered by `shown`, or why not.
template <typename Shown>
Answer answerUnit(const Request& r, const OfficeConfig& c, const Shown& shown) {
    const Checked q = check(r, {QStringLiteral("u")}, {QStringLiteral("u")});
    if (q.refused)
        return *q.refused;
    const QString unit = q.params.value("u");
    const UnitDetail d = readUnitDetail(c.conninfo, unit, c.limits);
    return d.error.failed() ? readErrorAnswer(d.error) : shown(unit, d);
}

Answer staticFile(const QString& path, const QByteArray& type) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return errorAnswer(404, QStringLiteral("not installed: ") + path);
    Answer a{200, type, f.readAll(), {}};
    a.headers.emplace_back("Cache-Control", "max-age=3600");
    return a;
}

QJsonObject detailJson(const QString& unit, const UnitDetail& d) {
    QJsonArray history, battery, series;
    for (const HistoryItem& h : d.history)
        history.append(QJsonObject{{QStringLiteral("kind"), h.kind},
                                   {QStringLiteral("at"), qint64(h.occurredAtMs)},
                                   {QStringLiteral("laptop"), h.laptop},
                                   {QStringLiteral("pushed_by"), h.pushedBy},
                                   {QStringLiteral("detail"), historyDetail(h)},
                                   {QStringLiteral("payload"), h.payload},
                                   {QStringLiteral("clock_ahead"), h.ahead}});
    for (const auto& [ms, volts] : d.battery)
        battery.append(QJsonArray{qint64(ms), volts});
    for (const SeriesSummary& s : d.series)
        series.append(QJsonObject{{QStringLiteral("data_set"), s.dataSet},
                                  {QStringLiteral("label"), dataSetLabel(s.dataSet)},
                                  {QStringLiteral("records"), qint64(s.records)},
                                  {QStringLiteral("segments"), s.segments},
                                  {QStringLiteral("gaps"), qint64(s.gaps)},
                                  {QStringLiteral("disputed"), qint64(s.disputed)},
                                  {QStringLiteral("repeated"), qint64(s.repeated)},
                                  {QStringLiteral("counted"), s.counted}});
    return {{QStringLiteral("unit"), unit},
            {QStringLiteral("read_at"), qint64(d.readAtMs)},
            {QStringLiteral("history"), history},
            {QStringLiteral("more_history"), d.moreHistory},
            {QStringLiteral("battery"), battery},
            {QStringLiteral("series"), series},
            {QStringLiteral("not_read"), qint64(d.unread.count)},
            {QStringLiteral("not_read_told"), d.unread.told()},
            {QStringLiteral("left_out"), d.leftOut}};
}

// What the CSV and the plot take of a site's whole series in the copy, each kept under the
// signature it was read at (a few hundred bytes a site; at most kMostKept sites, the table
// emptied when full): its properties (the CSV's header, the plot's columns) and, once a plot
// asked, its extent (its ends and the records without a UTC).
struct KeptSite {
    std::string signature;
    std::shared_ptr<const std::vector<series::SiteProperty>> properties;
    std::optional<series::SiteCopyExtent> extent;
};
std::mutex keptSitesLock;
std::map<QString, KeptSite>& keptSites() {
    static std::map<QString, KeptSite> kept;
    return kept;
}

std::optional<KeptSite> keptSite(const QString& site, const std::string& signature) {
    const std::lock_guard<std::mutex> hold(keptSitesLock);
    const auto it = keptSites().find(site);
    if (it == keptSites().end() || it->second.signature != signature)
        return std::nullopt;
    return it->second;
}

void keepSite(const QString& site, KeptSite kept) {
    constexpr std::size_t kMostKept = 1000;
    const std::lock_guard<std::mutex> hold(keptSitesLock);
    if (keptSites().size() >= kMostKept)
        keptSites().clear();
    keptSites()[site] = std::move(kept);
}

// A site as the server's derived copy holds it, on a read connection: the plan, its whole
// series' properties and (with `extent`) its extent, read or kept.
struct SiteInCopy {
    std::shared_ptr<ReadConnections::Lease> lease;
    std::shared_ptr<const series::SiteCopyPlan> plan;
    KeptSite kept;
};

// None when the copy does not hold the site's units as their facts stand (`behind` says why,
// with the facts the plan read: the caller builds the series whole from them as before) or the
// site could not be read (`error`).
std::optional<SiteInCopy> siteInCopy(const OfficeConfig& c, const QString& code, bool extent,
                                     ReadError& error, SiteCopyBehind& behind) {
    platform::Result<ReadConnections::Lease> taken =
        ReadConnections::shared().take(c.conninfo, c.limits);
    if (!taken) {
        error = readErrorOf(taken.error());
        return std::nullopt;
    }
    SiteInCopy in;
    in.lease = std::make_shared<ReadConnections::Lease>(std::move(taken).value());
    platform::Result<series::SiteCopyPlan> planned =
        series::planSiteFromCopy(**in.lease, code.toStdString(), c.limits.statementTimeout);
    if (!planned) {
        error = readErrorOf(planned.error());
        return std::nullopt;
    }
    if (!planned.value().behind.empty()) {
        behind.why = planned.value().behind;
        behind.facts = std::move(planned.value().facts);
        return std::nullopt;
    }
    in.plan = std::make_shared<const series::SiteCopyPlan>(std::move(planned).value());
    const std::optional<KeptSite> kept = keptSite(code, in.plan->signature);
    in.kept = kept ? *kept : KeptSite{in.plan->signature, nullptr, std::nullopt};
    const bool found = !in.kept.properties || (extent && !in.kept.extent);
    if (!in.kept.properties) {
        // A pass over the units' series before the answer is begun.
        platform::Result<std::vector<series::SiteProperty>> read = series::siteCopyProperties(
            **in.lease, *in.plan, std::nullopt, std::nullopt, c.limits.statementTimeout);
        if (!read) {
            error = readErrorOf(read.error());
            return std::nullopt;
        }
        in.kept.properties =
            std::make_shared<const std::vector<series::SiteProperty>>(std::move(read).value());
    }
    if (extent && !in.kept.extent) {
        platform::Result<series::SiteCopyExtent> read =
            series::siteCopyExtent(**in.lease, *in.plan, c.limits.statementTimeout);
        if (!read) {
            error = readErrorOf(read.error());
            return std::nullopt;
        }
        in.kept.extent = read.value();
    }
    if (found)
        keepSite(code, in.kept);
    return in;
}

// A site's CSV from the server's derived copy, its rows written as they are read (the read
// connection held while the answer streams), when the copy holds the site's units as their
// facts stand; none when it does not (`behind` says why: the caller builds the series whole
// as before) or the site's facts could not be read (`error`).
std::optional<Answer> siteCsvFromCopy(const OfficeConfig& c, const QString& code,
                                      const TimeRange& range, ReadError& error,
                                      SiteCopyBehind& behind) {
    std::optional<SiteInCopy> in = siteInCopy(c, code, false, error, behind);
    if (!in)
        return std::nullopt;
    Answer a{200, "text/csv; charset=utf-8", {}, {}, {}};
    a.stream = [lease = in->lease, plan = in->plan, properties = in->kept.properties, range,
                timeout = c.limits.statementTimeout](const auto& sink) {
        return series::exportSiteCsvFromCopy(**lease, *plan, *properties, sink, range.from,
                                             range.to, timeout)
            .ok();
    };
    return a;
}

// A site's plot from the server's derived copy, its rows streamed into the buckets; none as
// siteCsvFromCopy's.
std::optional<SitePlot> sitePlotInCopy(const OfficeConfig& c, const QString& code,
                                       const TimeRange& range, int buckets, ReadError& error,
                                       SiteCopyBehind& behind) {
    std::optional<SiteInCopy> in = siteInCopy(c, code, true, error, behind);
    if (!in)
        return std::nullopt;
    platform::Result<SitePlot> plot =
        sitePlotFromCopy(**in->lease, *in->plan, *in->kept.properties, *in->kept.extent, range,
                         buckets, c.limits.statementTimeout);
    if (!plot) {
        error = readErrorOf(plot.error());
        return std::nullopt;
    }
    return std::move(plot).value();
}

// A header's value of printable ASCII alone (a unit's name may be anything).
QByteArray headerText(const std::string& text) {
    QByteArray out;
    for (const char ch : text.substr(0, 200))
        out += ch >= 0x20 && ch < 0x7f ? ch : '?';
    return out;
}

QString csvName(const QString& unit, const QString& set) {
    QString name = unit + QLatin1Char('-') + dataSetLabel(set);
    for (QChar& c : name)
        if (!c.isLetterOrNumber() && c != QLatin1Char('-') && c != QLatin1Char('_'))
            c = QLatin1Char('_');
    return name.left(80) + QStringLiteral(".csv");
}

using Handler = std::function<Answer(const Request&, const OfficeConfig&)>;

// Whole: the service's paths as one table, one line a route.
const std::map<QString, Handler>& routes() {
    static const std::map<QString, Handler> table = {
        {QStringLiteral("/"),
         [](const Request& r, const OfficeConfig& c) {
             const Checked q = check(r, {});
             if (q.refused)
                 return *q.refused;
             const UnitsOverview o = readUnitsOverview(c.conninfo, c.limits);
             return o.error.failed() ? readErrorAnswer(o.error)
                                     : htmlAnswer(unitsPage(o, c.context));
         }},
        {QStringLiteral("/api/units"),
         [](const Request& r, const OfficeConfig& c) {
             const Checked q = check(r, {});
             if (q.refused)
                 return *q.refused;
             const UnitsOverview o = readUnitsOverview(c.conninfo, c.limits);
             return o.error.failed() ? readErrorAnswer(o.error) : json(unitsJson(o, c.context));
         }},
        {QStringLiteral("/unit"),
         [](const Request& r, const OfficeConfig& c) {
             return answerUnit(r, c, [&](const QString& unit, const UnitDetail& d) {
                 return htmlAnswer(unitPage(unit, d, c.context));
             });
         }},
        {QStringLiteral("/api/unit"),
         [](const Request& r, const OfficeConfig& c) {
             return answerUnit(r, c, [](const QString& unit, const UnitDetail& d) {
                 return json(detailJson(unit, d));
             });
         }},
        {QStringLiteral("/series"),
         [](const Request& r, const OfficeConfig& c) {
             const Checked q = check(r, {QStringLiteral("u"), QStringLiteral("set")},
                                     {QStringLiteral("u"), QStringLiteral("set")});
             if (q.refused)
                 return *q.refused;
             return htmlAnswer(seriesPage(q.params.value("u"), q.params.value("set"), c.context));
         }},
        {QStringLiteral("/api/series"),
         [](const Request& r, const OfficeConfig& c) {
             Checked q = checkSeriesRange(r, {QStringLiteral("buckets")});
             int buckets = kDefaultBuckets;
             if (!q.refused)
                 plotBuckets(q.params, buckets, q.refused);
             if (q.refused)
                 return *q.refused;
             const SeriesPlot p = readSeriesPlot(c.conninfo, q.params.value("u"),
                                                 q.params.value("set"), q.range, buckets, c.limits);
             return p.error.failed() ? readErrorAnswer(p.error) : json(plotJson(p));
         }},
        {QStringLiteral("/csv"),
         [](const Request& r, const OfficeConfig& c) {
             const Checked q = checkSeriesRange(r, {QStringLiteral("layout")});
             if (q.refused)
                 return *q.refused;
             series::ExportLayout layout = series::ExportLayout::Plain;
             if (q.params.has("layout") &&
                 !series::parseExportLayout(q.params.value("layout").toStdString(), layout))
                 return errorAnswer(400, QStringLiteral("\"layout\" takes plain or classic"));
             const QString unit = q.params.value("u"), set = q.params.value("set");
             SeriesCsv csv = readSeriesCsv(c.conninfo, unit, set, q.range, c.limits, layout);
             if (csv.error.failed())
                 return readErrorAnswer(csv.error);
             Answer a{200, "text/csv; charset=utf-8", {}, {}, {}};
             a.stream = [write = std::move(csv.write)](const auto& sink) {
                 return write(sink) >= 0;
             };
             a.headers.emplace_back("Content-Disposition",
                                    "attachment; filename=\"" + csvName(unit, set).toUtf8() + "\"");
             return a;
         }},
        {QStringLiteral("/sites"),
         [](const Request& r, const OfficeConfig& c) {
             return answerSites(
                 r, c, [&](const SitesOverview& o) { return htmlAnswer(sitesPage(o, c.context)); });
         }},
        {QStringLiteral("/api/sites"),
         [](const Request& r, const OfficeConfig& c) {
             return answerSites(
                 r, c, [&](const SitesOverview& o) { return json(sitesJson(o, c.context)); });
         }},
        {QStringLiteral("/site"),
         [](const Request& r, const OfficeConfig& c) {
             return answerSite(
                 r, c, [&](const SiteDetail& d) { return htmlAnswer(sitePage(d, c.context)); });
         }},
        {QStringLiteral("/api/site"),
         [](const Request& r, const OfficeConfig& c) {
             return answerSite(r, c,
                               [&](const SiteDetail& d) { return json(siteJson(d, c.context)); });
         }},
        {QStringLiteral("/api/site-series"),
         [](const Request& r, const OfficeConfig& c) {
             Checked q = checkSiteRange(r, {QStringLiteral("buckets")});
             int buckets = kDefaultBuckets;
             if (!q.refused)
                 plotBuckets(q.params, buckets, q.refused);
             if (q.refused)
                 return *q.refused;
             // From the copy where it holds the site: the range's rows streamed into the
             // buckets, the whole series' ends (its "Whole series") asked of it by SQL.
             // Else the whole series is read and kept, as it was built before the copy.
             const QString code = q.params.value("site");
             ReadError error;
             SiteCopyBehind behind;
             std::optional<SitePlot> plot;
             if (series::siteCopyOpen())
                 plot = sitePlotInCopy(c, code, q.range, buckets, error, behind);
             if (error.failed())
                 return readErrorAnswer(error);
             if (plot)
                 return json(sitePlotJson(*plot));
             const auto site = readSiteSeries(c.conninfo, code, c.limits, error, nullptr,
                                              behind.why.empty() ? nullptr : &behind);
             if (!site)
                 return readErrorAnswer(error);
             Answer a = json(sitePlotJson(sitePlotOf(*site, q.range, buckets)));
             if (!behind.why.empty())
                 a.headers.emplace_back("X-Derived-Behind", headerText(behind.why));
             return a;
         }},
        {QStringLiteral("/csv/site"),
         [](const Request& r, const OfficeConfig& c) {
             const Checked q = checkSiteRange(r);
             if (q.refused)
                 return *q.refused;
             const QString code = q.params.value("site");
             ReadError error;
             SiteCopyBehind behind;
             std::optional<Answer> fromCopy;
             if (series::siteCopyOpen())
                 fromCopy = siteCsvFromCopy(c, code, q.range, error, behind);
             if (error.failed())
                 return readErrorAnswer(error);
             std::shared_ptr<const series::SiteSeries> site;
             if (!fromCopy) // the facts the copy's plan read, not read again
                 site = readSiteSeries(c.conninfo, code, c.limits, error, nullptr,
                                       behind.why.empty() ? nullptr : &behind);
             if (!fromCopy && !site)
                 return readErrorAnswer(error);
             Answer a = fromCopy ? std::move(*fromCopy)
                                 : Answer{200, "text/csv; charset=utf-8", {}, {}, {}};
             if (site)
                 a.stream = [site = std::move(site), range = q.range](const auto& sink) {
                     return series::exportSiteCsv(*site, sink, range.from, range.to) >= 0;
                 };
             if (!behind.why.empty())
                 a.headers.emplace_back("X-Derived-Behind", headerText(behind.why));
             a.headers.emplace_back("Content-Disposition",
                                    "attachment; filename=\"" +
                                        csvName(QStringLiteral("site"), code).toUtf8() + "\"");
             return a;
         }},
        {QStringLiteral("/static/leaflet.js"),
         [](const Request&, const OfficeConfig& c) {
             return staticFile(c.leafletDir + QStringLiteral("/leaflet.js"),
                               "text/javascript; charset=utf-8");
         }},
        {QStringLiteral("/static/leaflet.css"),
         [](const Request&, const OfficeConfig& c) {
             return staticFile(c.leafletDir + QStringLiteral("/leaflet.css"),
                               "text/css; charset=utf-8");
         }},
        {QStringLiteral("/static/office.js"),
         [](const Request&, const OfficeConfig&) {
             return staticFile(QStringLiteral(":/office/office.js"),
                               "text/javascript; charset=utf-8");
         }},
        {QStringLiteral("/static/office.css"),
         [](const Request&, const OfficeConfig&) {
             return staticFile(QStringLiteral(":/office/office.css"), "text/css; charset=utf-8");
         }},
        {QStringLiteral("/static/dygraph.js"),
         [](const Request&, const OfficeConfig& c) {
             return staticFile(c.dygraphsDir + QStringLiteral("/dygraph.min.js"),
                               "text/javascript; charset=utf-8");
         }},
        {QStringLiteral("/static/dygraph.css"),
         [](const Request&, const OfficeConfig& c) {
             return staticFile(c.dygraphsDir + QStringLiteral("/dygraph.min.css"),
                               "text/css; charset=utf-8");
         }},
    };
    return table;
}

} // namespace

std::vector<std::pair<QByteArray, QByteArray>> commonHeaders(const QString& imageOrigin) {
    const QByteArray images = imageOrigin.isEmpty() ? QByteArray() : " " + imageOrigin.toLatin1();
    return {
        {"Content-Security-Policy",
         "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' data:" + images +
             "; connect-src 'self'; base-uri 'none'; form-action 'self'; "
             "frame-ancestors 'none'"},
        {"X-Content-Type-Options", "nosniff"},
        {"Referrer-Policy", "no-referrer"},
        {"X-Frame-Options", "DENY"}};
}

bool isApiPath(const QString& path) {
    const QLatin1String root(kApiRoot);
    return path == root || (path.startsWith(root) && path.mid(root.size()).startsWith('/'));
}

bool isPagePath(const QString& path) {
    return !(path == QLatin1String("/api") || path.startsWith(QLatin1String("/api/")) ||
             path.startsWith(QLatin1String("/static/")) || path == QLatin1String("/csv") ||
             path.startsWith(QLatin1String("/csv/")));
}

Answer unknownPathAnswer(const QString& path) {
    const QString message = QStringLiteral("no such page: %1").arg(path.left(100));
    if (!isPagePath(path))
        return errorAnswer(404, message);
    return {404, "text/html; charset=utf-8", errorPage(404, message, PageContext{}), {}};
}

Answer errorAnswer(int status, const QString& message) {
    return json(errorJson(status, message), status);
}

Answer unexpectedAnswer(const Request& request, const QString& why) {
    const QString message = QStringLiteral("an unexpected error: ") + why.left(300);
    if (request.path.startsWith(QLatin1String("/api/")) || isApiPath(request.path) ||
        !isPagePath(request.path))
        return errorAnswer(500, message);
    return {500,
            "text/html; charset=utf-8",
            QStringLiteral("<!DOCTYPE html><html lang=\"en\"><head><meta charset=\"utf-8\">"
                           "<title>Error</title></head><body><h1>The page could not be made</h1>"
                           "<p id=\"error\">%1</p><p>The service goes on: try again, or tell "
                           "whoever runs it.</p></body></html>")
                .arg(message.toHtmlEscaped())
                .toUtf8(),
            {}};
}

Answer readErrorAnswer(const ReadError& e) {
    switch (e.kind) {
    case ReadError::Kind::NotFound:
        return errorAnswer(404, e.message);
    case ReadError::Kind::TooLarge:
        return errorAnswer(413, e.message);
    default:
        return errorAnswer(503, e.message);
    }
}

Answer answer(const Request& request, const OfficeConfig& config) {
    const CountingAhead::PageRead reading(CountingAhead::shared());
    QString path = request.path;
    if (path == QLatin1String("/units"))
        path = QStringLiteral("/");
    if (isApiPath(path)) {
        if (request.method != "GET" && request.method != "HEAD")
            return errorAnswer(405, QStringLiteral("this service only reads: GET"));
        Answer a = sensorThingsAnswer(request, config);
        a.headers.emplace_back("Cache-Control", "no-store");
        return a;
    }
    // A page a person asked for is answered as a page, errors too; JSON routes answer JSON.
    const bool forPeople = isPagePath(path);
    auto refused = [&](int status, const QString& message) {
        return forPeople ? Answer{status,
                                  "text/html; charset=utf-8",
                                  errorPage(status, message, config.context),
                                  {}}
                         : errorAnswer(status, message);
    };
    const auto route = routes().find(path);
    if (route == routes().end())
        return unknownPathAnswer(request.path);
    if (request.method != "GET" && request.method != "HEAD")
        return refused(405, QStringLiteral("this service only reads: GET"));
    Answer a = route->second(request, config);
    if (forPeople && a.status >= 400 && a.type == "application/json") {
        const QJsonObject error =
            QJsonDocument::fromJson(a.body).object().value(QLatin1String("error")).toObject();
        a = refused(a.status, error.value(QLatin1String("message")).toString());
    }
    if (!path.startsWith(QLatin1String("/static/")))
        a.headers.emplace_back("Cache-Control", "no-store");
    return a;
}

} // namespace office

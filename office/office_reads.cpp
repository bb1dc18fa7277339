// SPDX-License-Identifier: GPL-3.0-or-later
#include "office/office_reads.h"

#include "fleet/laptop_roles.h"

#include "office/counting_ahead.h"
#include "office/plot_axes.h"
#include "office/plot_buckets.h"
#include "office/read_connections.h"
#include "office/series_counts.h"

#include "fleet/pg_connection.h"
#include "fleet/server_schema.h"
#include "fleet/visit_intervals.h"
#include "series/record_time.h"
#include "series/server_series.h"

#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>

#include <algorithm>
#include <cmath>
#include <thread>

namespace office {

namespace {

// The newest disowning or owning, part of every series' signature.
constexpr const char* kTrustSql = "SELECT COALESCE(pg_catalog.max(id), 0) FROM xrq.role_trust";

using fleet::PgConnection;
using fleet::PgParam;
using fleet::PgResult;

QString text(const std::string& s) {
    return QString::fromStdString(s);
}

ReadError unavailable(const QString& what, const std::string& why) {
    return {ReadError::Kind::Unavailable, what + QStringLiteral(": ") + text(why)};
}

std::optional<std::int64_t> msOrNone(const PgResult& r, int row, int column) {
    if (r.isNull(row, column))
        return std::nullopt;
    return std::stoll(r.value(row, column));
}

// The server's clock, in ms.
std::int64_t serverNow(PgConnection& pg, const ReadLimits& limits) {
    const PgResult r = pg.exec("SELECT (extract(epoch FROM pg_catalog.now()) * 1000)::bigint", {},
                               limits.statementTimeout);
    return r.ok() && r.rows() == 1 ? std::stoll(r.value(0, 0)) : 0;
}

// Every unit the events name, as a FROM item's SELECT of one column "unit": a seek of the
// index on (unit, ...) a unit.
const std::string kEveryUnit =
    "WITH RECURSIVE seen(unit) AS ((SELECT unit FROM xrq.owned_events ORDER BY unit LIMIT 1) "
    "UNION ALL SELECT (SELECT e.unit FROM xrq.owned_events e WHERE e.unit > seen.unit "
    "ORDER BY e.unit LIMIT 1) FROM seen WHERE seen.unit IS NOT NULL) "
    "SELECT unit FROM seen WHERE unit IS NOT NULL";

constexpr const char* kMs = "(extract(epoch FROM %1) * 1000)::bigint";

std::string ms(const char* column) {
    return QString::fromLatin1(kMs).arg(QLatin1String(column)).toStdString();
}

// Every series of `unit` (all units when null), by unit and data set.
bool heldSeries(PgConnection& pg, const QString* unit, const ReadLimits& limits,
                std::vector<HeldSeries>& out, ReadError& error) {
    std::vector<PgParam> params;
    std::string where;
    if (unit) {
        params.push_back(PgParam::text(unit->toStdString()));
        where = "WHERE unit = $1 ";
    }
    // The count and newest arrival of every row of xrq.series_places (keyed facts and the rows
    // older versions pushed by their places), summed over what each insert added: a row per
    // push and series, read by its index alone, however many records the series holds.
    const PgResult r = pg.exec("SELECT unit, data_set, pg_catalog.sum(rows), "
                               "pg_catalog.max(newest), (" +
                                   std::string(kTrustSql) + ") FROM xrq.series_arrivals " + where +
                                   "GROUP BY 1, 2 ORDER BY 1, 2",
                               params, limits.statementTimeout);
    if (!r.ok()) {
        error = unavailable(QStringLiteral("series not read"), r.error());
        return false;
    }
    out.reserve(std::size_t(r.rows()));
    for (int i = 0; i < r.rows(); ++i)
        out.push_back({text(r.value(i, 0)),
                       text(r.value(i, 1)),
                       {std::stoll(r.value(i, 2)), std::stoll(r.value(i, 3)),
                        text(r.value(i, 4)).toLongLong()}});
    return true;
}

// The most facts of a series the Units page derives itself, within mostCounting (deriving
// takes some 40 µs a fact here): a larger one, whose deriving alone would outlast the page's
// time, is counted ahead.
constexpr long long kMostFactsCountedByPage = 2000;

// The counts of a series derived from its facts, kept under its signature; counted here on
// `pg` while `deadline` has not passed; none when the series is larger than a read takes,
// cannot be read, or the time is spent (then `later`, when given, gets it for CountingAhead,
// as it gets those of over kMostFactsCountedByPage facts).
std::optional<SeriesCounts> countsOf(PgConnection& pg, const HeldSeries& h,
                                     const ReadLimits& limits,
                                     std::chrono::steady_clock::time_point deadline,
                                     std::vector<HeldSeries>* later = nullptr) {
    if (std::optional<SeriesCounts> kept =
            SeriesCountCache::shared().find(h.unit, h.dataSet, h.signature))
        return kept;
    if (h.signature.facts > limits.mostRecords)
        return std::nullopt;
    if (std::chrono::steady_clock::now() > deadline || !pg.isOpen() ||
        (later && h.signature.facts > kMostFactsCountedByPage)) {
        if (later)
            later->push_back(h);
        return std::nullopt;
    }
    return countHeld(pg, h);
}

} // namespace

DataSetName dataSetName(const QString& onServer) {
    DataSetName d;
    const qsizetype sep = onServer.indexOf(QChar(0x1f));
    const QString name = sep < 0 ? onServer : onServer.left(sep);
    const QByteArray bytes = name.toLatin1();
    d.name.assign(bytes.constData(), std::size_t(bytes.size()));
    if (sep >= 0) {
        bool ok = false;
        const int n = onServer.mid(sep + 1).toInt(&ok);
        d.ordinal = ok && n > 1 ? n - 1 : 0;
    }
    return d;
}

QString dataSetLabel(const QString& onServer) {
    const qsizetype sep = onServer.indexOf(QChar(0x1f));
    if (sep < 0)
        return onServer;
    return QStringLiteral("%1 (set %2)").arg(onServer.left(sep), onServer.mid(sep + 1));
}

// Every unit's battery at its last eight readings, by unit, oldest first, blank-separated:
// what the Units page reads beside its units, on a kept connection and a thread of its own
// while the units are read (the two at once take about as long as the longer). A snapshot of
// its own: a push meanwhile may show in one and not yet in the other, as in the page's next
// load.
struct Batteries {
    ReadError error;
    QHash<QString, QString> volts;
};

void readBatteries(const std::string& conninfo, const ReadLimits& limits, Batteries& out) {
    ReadConnections::Lease lease = ReadConnections::shared().take(conninfo, limits, out.error);
    if (!lease)
        return;
    const PgResult r = lease->exec(
        "SELECT u.unit, b.volts FROM (" + kEveryUnit +
            ") u JOIN LATERAL (SELECT pg_catalog.array_to_string(pg_catalog.array_agg(t.volts "
            "ORDER BY t.occurred_at), ' ') AS volts FROM (SELECT occurred_at, payload->>'volts' "
            "AS volts FROM xrq.owned_events e WHERE e.unit = u.unit AND e.kind = 'battery' ORDER "
            "BY "
            "occurred_at DESC LIMIT 8) t) b ON b.volts IS NOT NULL ORDER BY u.unit COLLATE \"C\" "
            "LIMIT $1",
        {PgParam::text(std::to_string(limits.mostUnits + 1))}, limits.statementTimeout);
    if (!r.ok()) {
        out.error = unavailable(QStringLiteral("battery not read"), r.error());
        return;
    }
    out.volts.reserve(r.rows());
    for (int i = 0; i < r.rows(); ++i)
        out.volts.insert(text(r.value(i, 0)), text(r.value(i, 1)));
}

UnitsOverview readUnitsOverview(const std::string& conninfo, const ReadLimits& limits) {
    UnitsOverview o;
    ReadConnections::Lease lease = ReadConnections::shared().take(conninfo, limits, o.error);
    if (!lease)
        return o;
    PgConnection& pg = *lease;
    Batteries batteries;
    std::thread batteryRead([&, reader = ReaderScope::current()] {
        const ReaderScope scope(reader); // its connection kept as the page's reader's
        readBatteries(conninfo, limits, batteries);
    });
    struct Joined {
        std::thread& t;
        ~Joined() {
            if (t.joinable())
                t.join();
        }
    } joined{batteryRead};
    o.readAtMs = serverNow(pg, limits);
    // Per unit its newest visit, download and clear (and beside them its battery at its last
    // eight readings): each a seek of the index on (unit, kind, occurred_at, arrival) from its
    // end (schema 8). The units are found by the same index, one seek each past the one before
    // (a walk over every event's row otherwise).
    const std::string latest =
        "LEFT JOIN LATERAL (SELECT occurred_at, laptop, payload FROM xrq.owned_events e "
        "WHERE e.unit = u.unit AND e.kind = '%1' ORDER BY occurred_at DESC, arrival DESC "
        "LIMIT 1) %2 ON true ";
    auto join = [&](const char* kind, const char* as) {
        return QString::fromStdString(latest)
            .arg(QLatin1String(kind), QLatin1String(as))
            .toStdString();
    };
    PgResult r =
        pg.exec("SELECT u.unit, " + ms("v.occurred_at") + ", v.laptop, " + ms("d.occurred_at") +
                    ", d.payload->>'safe', (d.payload->'reasons')::text, " + ms("c.occurred_at") +
                    " FROM (" + kEveryUnit + ") u " + join("visit", "v") + join("download", "d") +
                    join("clear", "c") + "ORDER BY u.unit COLLATE \"C\" LIMIT $1",
                {PgParam::text(std::to_string(limits.mostUnits + 1))}, limits.statementTimeout);
    if (!r.ok()) {
        o.error = unavailable(QStringLiteral("units not read"), r.error());
        return o;
    }
    const int rows = std::min(r.rows(), limits.mostUnits);
    o.more = r.rows() > limits.mostUnits;
    o.units.reserve(std::size_t(rows));
    for (int i = 0; i < rows; ++i) {
        UnitRow u;
        u.unit = text(r.value(i, 0));
        u.lastVisitMs = msOrNone(r, i, 1);
        u.lastVisitLaptop = text(r.value(i, 2));
        u.lastDownloadMs = msOrNone(r, i, 3);
        if (!r.isNull(i, 4))
            u.lastDownloadSafe = r.value(i, 4) == "true";
        for (const QJsonValue& reason :
             QJsonDocument::fromJson(QByteArray::fromStdString(r.value(i, 5))).array())
            u.lastDownloadReasons << reason.toString();
        u.lastClearMs = msOrNone(r, i, 6);
        o.units.push_back(std::move(u));
    }
    batteryRead.join();
    if (batteries.error.failed()) {
        o.error = batteries.error;
        return o;
    }
    for (UnitRow& u : o.units)
        for (const QString& v :
             batteries.volts.value(u.unit).split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
            bool ok = false;
            const double volts = v.toDouble(&ok);
            if (ok)
                u.battery.push_back(volts);
        }
    const fleet::VisitIntervals intervals = fleet::readVisitIntervals(pg, limits.statementTimeout);
    if (!intervals.ok) {
        o.error =
            unavailable(QStringLiteral("visit intervals not read"), intervals.error.toStdString());
        return o;
    }
    o.organisationIntervalDays = intervals.organisation;
    for (UnitRow& u : o.units)
        u.visitIntervalDays = intervals.of(u.unit);
    // The series each unit has on the server, counted on the series derived from every
    // laptop's facts (series_counts.h), each by its signature (a read of a row per push).
    std::vector<HeldSeries> held;
    if (!heldSeries(pg, nullptr, limits, held, o.error))
        return o;
    QHash<QString, std::size_t> at;
    for (std::size_t i = 0; i < o.units.size(); ++i)
        at.insert(o.units[i].unit, i);
    // Kept counts at the series' signature now; those not kept are counted here while
    // mostCounting lasts, and the rest on the counting thread (CountingAhead) for later loads.
    const auto deadline = std::chrono::steady_clock::now() + limits.mostCounting;
    std::vector<HeldSeries> later;
    for (const HeldSeries& h : held) {
        const auto found = at.constFind(h.unit);
        if (found == at.constEnd())
            continue;
        UnitRow* unit = &o.units[*found];
        unit->dataSets << h.dataSet;
        const std::optional<SeriesCounts> c = countsOf(pg, h, limits, deadline, &later);
        if (!c) {
            ++unit->uncountedSets;
            continue;
        }
        unit->records += c->records;
        unit->disputed += c->disputed;
    }
    CountingAhead::shared().ask(conninfo, limits, later);
    return o;
}

UnitDetail readUnitDetail(const std::string& conninfo, const QString& unit,
                          const ReadLimits& limits) {
    UnitDetail d;
    ReadConnections::Lease lease = ReadConnections::shared().take(conninfo, limits, d.error);
    if (!lease)
        return d;
    PgConnection& pg = *lease;
    d.readAtMs = serverNow(pg, limits);
    const PgParam name = PgParam::text(unit.toStdString());
    PgResult r = pg.exec("SELECT kind, " + ms("occurred_at") +
                             ", laptop, payload::text, pushed_by FROM xrq.owned_unit_history "
                             "WHERE unit = $1 "
                             "ORDER BY occurred_at DESC, arrival DESC LIMIT $2",
                         {name, PgParam::text(std::to_string(limits.mostHistory + 1))},
                         limits.statementTimeout);
    if (!r.ok()) {
        d.error = unavailable(QStringLiteral("history not read"), r.error());
        return d;
    }
    if (r.rows() == 0) {
        d.error = {ReadError::Kind::NotFound,
                   QStringLiteral("the server holds nothing of unit %1").arg(unit)};
        return d;
    }
    d.moreHistory = r.rows() > limits.mostHistory;
    const fleet::VisitIntervals intervals =
        fleet::readVisitIntervals(pg, limits.statementTimeout, unit);
    if (!intervals.ok) {
        d.error =
            unavailable(QStringLiteral("visit intervals not read"), intervals.error.toStdString());
        return d;
    }
    d.visitIntervalDays = intervals.of(unit);
    std::vector<fleet::DisownedRole> disowned;
    QString why;
    if (!fleet::readDisownedRoles(pg, limits.statementTimeout, disowned, why)) {
        d.error = unavailable(QStringLiteral("disowned roles not read"), why.toStdString());
        return d;
    }
    d.leftOut = fleet::disownedNote(disowned);
    for (int i = 0; i < std::min(r.rows(), limits.mostHistory); ++i)
        d.history.push_back(
            {text(r.value(i, 0)), std::stoll(r.value(i, 1)), text(r.value(i, 2)),
             QJsonDocument::fromJson(QByteArray::fromStdString(r.value(i, 3))).object(),
             text(r.value(i, 4))});
    r = pg.exec(
        "SELECT " + ms("occurred_at") +
            ", payload->>'volts' FROM xrq.owned_events WHERE unit = $1 AND kind = 'battery' "
            "AND pg_catalog.jsonb_typeof(payload->'volts') = 'number' "
            "ORDER BY occurred_at DESC LIMIT $2",
        {name, PgParam::text(std::to_string(limits.mostBattery))}, limits.statementTimeout);
    if (!r.ok()) {
        d.error = unavailable(QStringLiteral("battery not read"), r.error());
        return d;
    }
    for (int i = r.rows() - 1; i >= 0; --i)
        d.battery.emplace_back(std::stoll(r.value(i, 0)), std::stod(r.value(i, 1)));
    std::vector<HeldSeries> held;
    if (!heldSeries(pg, &unit, limits, held, d.error))
        return d;
    const auto deadline = std::chrono::steady_clock::now() + limits.statementTimeout;
    for (const HeldSeries& h : held) {
        SeriesSummary s{h.dataSet};
        if (const std::optional<SeriesCounts> c = countsOf(pg, h, limits, deadline)) {
            s.records = c->records;
            s.disputed = c->disputed;
            s.repeated = c->repeated;
            s.gaps = c->gaps;
            s.segments = c->segments;
        } else {
            s.counted = false;
        }
        d.series.push_back(std::move(s));
    }
    return d;
}

namespace {

// The series as the server holds it, read through series/ (the rule that picks, per place,
// the record continuing the chain), after a bounded look at its size and signature; kept
// derived while its facts stay the same (DerivedSeriesCache).
DerivedSeriesCache::Held readSeriesHeld(const std::string& conninfo, const QString& unit,
                                        const QString& dataSet, const ReadLimits& limits,
                                        ReadError& error, std::chrono::milliseconds recent = {}) {
    DerivedSeriesCache& cache = DerivedSeriesCache::shared();
    if (recent.count() > 0)
        if (DerivedSeriesCache::Held kept = cache.findRecent(unit, dataSet, conninfo, recent))
            return kept;
    ReadConnections::Lease lease = ReadConnections::shared().take(conninfo, limits, error);
    if (!lease)
        return nullptr;
    PgConnection& pg = *lease;
    const PgResult r = pg.exec(
        "SELECT COALESCE(pg_catalog.sum(rows), 0), COALESCE(pg_catalog.max(newest), 0), (" +
            std::string(kTrustSql) + ") FROM xrq.series_arrivals WHERE unit = $1 AND data_set = $2",
        {PgParam::text(unit.toStdString()), PgParam::text(dataSet.toStdString())},
        limits.statementTimeout);
    if (!r.ok()) {
        error = unavailable(QStringLiteral("series not read"), r.error());
        return nullptr;
    }
    const SeriesSignature signature{std::stoll(r.value(0, 0)), std::stoll(r.value(0, 1)),
                                    text(r.value(0, 2)).toLongLong()};
    if (signature.facts == 0) {
        error = {ReadError::Kind::NotFound,
                 QStringLiteral("the server holds no records of unit %1, data set %2")
                     .arg(unit, dataSetLabel(dataSet))};
        return nullptr;
    }
    if (signature.facts > limits.mostRecords) {
        error = {ReadError::Kind::TooLarge,
                 QStringLiteral("the series has more than %1 rows: more than one read takes")
                     .arg(limits.mostRecords)};
        return nullptr;
    }
    if (DerivedSeriesCache::Held kept = cache.find(unit, dataSet, signature)) {
        cache.sawSignature(unit, dataSet, signature, conninfo);
        return kept;
    }
    const QByteArray serial = unit.toLatin1();
    const DataSetName set = dataSetName(dataSet);
    std::string why;
    auto held = std::make_shared<series::ServerSeries>();
    if (!held->read(pg, serial.toStdString(), set.name, set.ordinal, why)) {
        error = pg.isOpen() ? ReadError{ReadError::Kind::NotFound, QString::fromStdString(why)}
                            : unavailable(QStringLiteral("series not read"), why);
        return nullptr;
    }
    cache.keep(unit, dataSet, signature, held, conninfo);
    return held;
}

} // namespace

SeriesPlot readSeriesPlot(const std::string& conninfo, const QString& unit, const QString& dataSet,
                          const TimeRange& range, int buckets, const ReadLimits& limits) {
    SeriesPlot p;
    const DerivedSeriesCache::Held held = readSeriesHeld(conninfo, unit, dataSet, limits, p.error);
    if (!held)
        return p;
    const series::RecordSource source = held->source();
    // Each record's UTC by its own clock (series::RecordClock), as the CSV has it; a record
    // whose UTC is not known stands at its unit time, as the export's range takes it.
    struct Timed {
        bool parsed = false;
        bool utc = false;
        double t = 0;
    };
    std::vector<Timed> times;
    times.reserve(std::size_t(source.info.records));
    series::forEachRecordUtc(source, [&](const series::RecordRef&, bool parsed, double s,
                                         const series::RecordClock::Utc& utc) {
        times.push_back({parsed, utc.known, utc.known ? utc.seconds : s});
        return true;
    });
    bool any = false;
    for (const Timed& r : times)
        if (r.parsed) {
            p.first = any ? std::min(p.first, r.t) : r.t;
            p.last = any ? std::max(p.last, r.t) : r.t;
            any = true;
        }
    p.from = range.from.value_or(p.first);
    p.to = range.to.value_or(p.last);
    Decimator decimator(p.from, p.to, buckets);
    std::vector<double> values;
    std::size_t widest = 0, index = 0;
    source.forEachRecord([&](const series::RecordRef& r) {
        const Timed& at = times[index++];
        if (!at.parsed) {
            ++p.flagged;
            return true;
        }
        if (at.t < p.from || at.t > p.to)
            return true;
        recordValues(r.line, values);
        widest = std::max(widest, values.size());
        decimator.add(at.t, values);
        ++p.records;
        ++(at.utc ? p.utcRecords : p.unitRecords);
        return true;
    });
    // Value c is field c + 1, whose title is the title line's cell c.
    const std::vector<std::string> titles = series::fieldTitles(source, widest);
    for (const std::size_t c : decimator.numericColumns()) {
        const QString title =
            c < titles.size() ? QString::fromLatin1(titles[c].data(), qsizetype(titles[c].size()))
                              : QString();
        p.columns << plotColumnName(title, c);
        p.fields.push_back(c);
        p.titles << title;
    }
    p.buckets = decimator.take(widest);
    p.marks = plotMarks(source, p.from, p.to, buckets);
    return p;
}

SeriesCsv readSeriesCsv(const std::string& conninfo, const QString& unit, const QString& dataSet,
                        const TimeRange& range, const ReadLimits& limits,
                        series::ExportLayout layout) {
    SeriesCsv c;
    DerivedSeriesCache::Held held = readSeriesHeld(conninfo, unit, dataSet, limits, c.error);
    if (!held)
        return c;
    series::ExportRange r;
    r.from = range.from;
    r.to = range.to;
    c.write = [held = std::move(held), r, layout](const auto& sink) {
        return series::exportCsv(held->source(), r, sink, layout);
    };
    return c;
}

std::shared_ptr<const series::ServerSeries>
readDerivedSeries(const std::string& conninfo, const QString& unit, const QString& dataSet,
                  const ReadLimits& limits, ReadError& error, std::chrono::milliseconds recent) {
    return readSeriesHeld(conninfo, unit, dataSet, limits, error, recent);
}

UnitList readUnitList(const std::string& conninfo, long long skip, int top,
                      const ReadLimits& limits) {
    UnitList l;
    ReadConnections::Lease lease = ReadConnections::shared().take(conninfo, limits, l.error);
    if (!lease)
        return l;
    PgConnection& pg = *lease;
    const PgResult r =
        pg.exec("SELECT u.unit, pg_catalog.count(*) OVER () FROM (" + kEveryUnit +
                    ") u ORDER BY u.unit COLLATE \"C\" LIMIT $1 OFFSET $2",
                {PgParam::text(std::to_string(top)), PgParam::text(std::to_string(skip))},
                limits.statementTimeout);
    if (!r.ok()) {
        l.error = unavailable(QStringLiteral("units not read"), r.error());
        return l;
    }
    for (int i = 0; i < r.rows(); ++i)
        l.units << text(r.value(i, 0));
    if (r.rows() > 0) {
        l.total = std::stoll(r.value(0, 1));
    } else {
        const PgResult n = pg.exec("SELECT pg_catalog.count(DISTINCT unit) FROM xrq.owned_events",
                                   {}, limits.statementTimeout);
        if (!n.ok()) {
            l.error = unavailable(QStringLiteral("units not counted"), n.error());
            return l;
        }
        l.total = std::stoll(n.value(0, 0));
    }
    return l;
}

bool countEverySeries(const std::string& conninfo, const ReadLimits& limits, ReadError& error) {
    std::vector<HeldSeries> held, later;
    {
        ReadConnections::Lease lease = ReadConnections::shared().take(conninfo, limits, error);
        if (!lease || !heldSeries(*lease, nullptr, limits, held, error))
            return false;
    }
    for (const HeldSeries& h : held)
        if (!SeriesCountCache::shared().find(h.unit, h.dataSet, h.signature))
            later.push_back(h);
    CountingAhead::shared().ask(conninfo, limits, later);
    return true;
}

UnitSets readUnitSets(const std::string& conninfo, const QString& unit, const ReadLimits& limits) {
    UnitSets u;
    ReadConnections::Lease lease = ReadConnections::shared().take(conninfo, limits, u.error);
    if (!lease)
        return u;
    PgConnection& pg = *lease;
    const PgParam name = PgParam::text(unit.toStdString());
    const PgResult known = pg.exec("SELECT EXISTS (SELECT 1 FROM xrq.owned_events WHERE unit = $1)",
                                   {name}, limits.statementTimeout);
    if (!known.ok()) {
        u.error = unavailable(QStringLiteral("unit not read"), known.error());
        return u;
    }
    if (known.value(0, 0) != "t") {
        u.error = {ReadError::Kind::NotFound,
                   QStringLiteral("the server holds nothing of unit %1").arg(unit)};
        return u;
    }
    std::vector<HeldSeries> held;
    if (!heldSeries(pg, &unit, limits, held, u.error))
        return u;
    for (const HeldSeries& h : held)
        u.dataSets << h.dataSet;
    return u;
}

} // namespace office

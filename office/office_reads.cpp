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
#include "fleet/site_facts.h"
#include "fleet/visit_intervals.h"
#include "platform/thread_boundary.h"
#include "series/record_time.h"
#include "series/server_series.h"

#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSet>

#include <algorithm>
#include <cmath>
#include <limits>
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

// A kept connection for a read, or none with the read's error set.
ReadConnections::Lease leaseFor(const std::string& conninfo, const ReadLimits& limits,
                                ReadError& error) {
    platform::Result<ReadConnections::Lease> taken =
        ReadConnections::shared().take(conninfo, limits);
    if (!taken) {
        error = readErrorOf(taken.error());
        return {};
    }
    return std::move(taken).value();
}

std::optional<std::int64_t> msOrNone(const PgResult& r, int row, int column) {
    return fleet::msAt(r, row, column);
}

// The server's clock, in ms.
std::int64_t serverNow(PgConnection& pg, const ReadLimits& limits) {
    const PgResult r =
        pg.exec("SELECT " + fleet::msSql("pg_catalog.now()"), {}, limits.statementTimeout);
    return r.ok() && r.rows() == 1 ? fleet::msAt(r, 0, 0).value_or(0) : 0;
}

constexpr std::int64_t kMostCount = std::numeric_limits<std::int64_t>::max();

// Counts by pusher as the server gives them (a JSON object of role and count), into `unread`.
void addUnread(const std::string& byRole, const QString& why, fleet::UnreadFacts& unread) {
    const QJsonObject roles = QJsonDocument::fromJson(QByteArray::fromStdString(byRole)).object();
    for (auto it = roles.begin(); it != roles.end(); ++it) {
        const double n = it.value().toDouble(0);
        if (n >= 1 && n <= 1e15)
            unread.add(QStringLiteral("role ") + it.key(), why, static_cast<long long>(n));
    }
}

// Every unit the events name, as a FROM item's SELECT of one column "unit": a seek of the
// index on (unit, ...) a unit.
const std::string kEveryUnit =
    "WITH RECURSIVE seen(unit) AS ((SELECT unit FROM xrq.owned_events ORDER BY unit LIMIT 1) "
    "UNION ALL SELECT (SELECT e.unit FROM xrq.owned_events e WHERE e.unit > seen.unit "
    "ORDER BY e.unit LIMIT 1) FROM seen WHERE seen.unit IS NOT NULL) "
    "SELECT unit FROM seen WHERE unit IS NOT NULL";

std::string ms(const char* column) {
    return fleet::msSql(column);
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
    for (int i = 0; i < r.rows(); ++i) {
        // Sums the server's own trigger wrote: never out of range but on a broken server.
        const auto rows = fleet::integerAt(r, i, 2, 0, kMostCount);
        const auto newest =
            fleet::integerAt(r, i, 3, std::numeric_limits<std::int64_t>::min(), kMostCount);
        const auto trust = fleet::integerAt(r, i, 4, 0, kMostCount);
        if (rows && newest && trust)
            out.push_back({text(r.value(i, 0)), text(r.value(i, 1)), {*rows, *newest, *trust}});
    }
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

ReadError readErrorOf(const platform::Error& error) {
    return {error.kind == platform::ErrorKind::NotFound ? ReadError::Kind::NotFound
                                                        : ReadError::Kind::Unavailable,
            QString::fromStdString(error.text)};
}

ReadError seriesReadErrorOf(const platform::Error& error, bool connected) {
    const QString why = QString::fromStdString(error.text);
    switch (error.kind) {
    case platform::ErrorKind::Invalid:
        return {ReadError::Kind::TooLarge, why};
    case platform::ErrorKind::NotFound:
        return {ReadError::Kind::NotFound, why};
    default:
        return connected ? ReadError{ReadError::Kind::NotFound, why}
                         : unavailable(QStringLiteral("series not read"), error.text);
    }
}

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
    QHash<QString, std::string> readings; // a JSON array of [volts as text, role], oldest first
};

void readBatteries(const std::string& conninfo, const ReadLimits& limits, Batteries& out) {
    ReadConnections::Lease lease = leaseFor(conninfo, limits, out.error);
    if (!lease)
        return;
    // The volts as text, whatever a fact holds there: checked here, one reading at a time.
    const PgResult r = lease->exec(
        "SELECT u.unit, b.readings FROM (" + kEveryUnit +
            ") u JOIN LATERAL (SELECT pg_catalog.jsonb_agg(pg_catalog.jsonb_build_array(t.volts, "
            "t.pushed_by) ORDER BY t.occurred_at, t.arrival)::text AS readings FROM (SELECT "
            "occurred_at, arrival, payload->>'volts' AS volts, pushed_by FROM xrq.owned_events e "
            "WHERE e.unit = u.unit AND e.kind = 'battery' AND " +
            fleet::timeTakenSql("e") +
            " ORDER BY occurred_at DESC, arrival DESC LIMIT 8) t) b ON b.readings IS NOT NULL "
            "ORDER BY u.unit COLLATE \"C\" LIMIT $1",
        {PgParam::text(std::to_string(limits.mostUnits + 1))}, limits.statementTimeout);
    if (!r.ok()) {
        out.error = unavailable(QStringLiteral("battery not read"), r.error());
        return;
    }
    out.readings.reserve(r.rows());
    for (int i = 0; i < r.rows(); ++i)
        out.readings.insert(text(r.value(i, 0)), r.value(i, 1));
}

// A unit's battery readings as readBatteries has them: the volts of those that pass, the
// others counted in `unread`.
void takeBatteries(const std::string& readings, std::vector<double>& volts,
                   fleet::UnreadFacts& unread) {
    for (const QJsonValue& reading :
         QJsonDocument::fromJson(QByteArray::fromStdString(readings)).array()) {
        const QJsonArray pair = reading.toArray();
        const QByteArray value = pair.at(0).toString().toUtf8();
        if (const platform::Result<double> v = fleet::batteryVoltsOf(
                std::string_view(value.constData(), std::size_t(value.size()))))
            volts.push_back(*v);
        else
            unread.add(QStringLiteral("role ") + pair.at(1).toString(),
                       QStringLiteral("battery: ") + QString::fromStdString(v.text()));
    }
}

// Whole: the Units page's reads on one connection, the battery's beside them on its own.
UnitsOverview readUnitsOverview(const std::string& conninfo, const ReadLimits& limits) {
    UnitsOverview o;
    ReadConnections::Lease lease = leaseFor(conninfo, limits, o.error);
    if (!lease)
        return o;
    PgConnection& pg = *lease;
    Batteries batteries;
    std::thread batteryRead([&, reader = ReaderScope::current()] {
        const ReaderScope scope(reader); // its connection kept as the page's reader's
        if (!platform::runBoundary("reading the batteries",
                                   [&] { readBatteries(conninfo, limits, batteries); }))
            batteries.error = {ReadError::Kind::Unavailable,
                               QStringLiteral("battery not read: an unexpected error")};
    });
    struct Joined {
        std::thread& t;
        ~Joined() {
            if (t.joinable())
                t.join();
        }
    } joined{batteryRead};
    o.readAtMs = serverNow(pg, limits);
    const platform::Result<QString> leftOut = fleet::readDisownedNote(pg, limits.statementTimeout);
    if (!leftOut) {
        o.error = unavailable(QStringLiteral("disowned roles not read"), leftOut.text());
        return o;
    }
    o.leftOut = *leftOut;
    // Per unit its newest visit, download and clear (and beside them its battery at its last
    // eight readings): each a seek of the index on (unit, kind, occurred_at, arrival) from its
    // end (schema 8). The units are found by the same index, one seek each past the one before
    // (a walk over every event's row otherwise).
    // A fact stamped by a clock ahead (beyond the server's now and a margin) or at an infinite
    // time is none of them: those are counted apart, by the index on (unit, occurred_at).
    const std::string latest =
        "LEFT JOIN LATERAL (SELECT occurred_at, laptop, payload FROM xrq.owned_events e "
        "WHERE e.unit = u.unit AND e.kind = '%1' AND " +
        fleet::timeTakenSql("e") + " ORDER BY occurred_at DESC, arrival DESC LIMIT 1) %2 ON true ";
    // Not taken: stamped by a clock ahead (fleet/laptop_roles.h's one rule), or at -infinity.
    const std::string notTaken =
        "(" + fleet::clockAheadSql("e") + " OR e.occurred_at = '-infinity'::timestamptz)";
    const std::string aside =
        "LEFT JOIN LATERAL (SELECT pg_catalog.count(*) FILTER (WHERE "
        "pg_catalog.isfinite(e.occurred_at)) AS ahead, (SELECT pg_catalog.jsonb_object_agg(g.p, "
        "g.n)::text FROM (SELECT f.pushed_by AS p, pg_catalog.count(*) AS n FROM "
        "xrq.owned_events f WHERE f.unit = u.unit AND (f.occurred_at = 'infinity'::timestamptz "
        "OR f.occurred_at = '-infinity'::timestamptz) GROUP BY 1) g) AS infinite FROM "
        "xrq.owned_events e WHERE e.unit = u.unit AND " +
        notTaken + ") x ON true ";
    auto join = [&](const char* kind, const char* as) {
        return QString::fromStdString(latest)
            .arg(QLatin1String(kind), QLatin1String(as))
            .toStdString();
    };
    PgResult r =
        pg.exec("SELECT u.unit, " + ms("v.occurred_at") + ", v.laptop, " + ms("d.occurred_at") +
                    ", d.payload->>'safe', (d.payload->'reasons')::text, " + ms("c.occurred_at") +
                    ", x.ahead, x.infinite FROM (" + kEveryUnit + ") u " + join("visit", "v") +
                    join("download", "d") + join("clear", "c") + aside +
                    "ORDER BY u.unit COLLATE \"C\" LIMIT $1",
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
        u.aheadFacts = fleet::integerAt(r, i, 7, 0, kMostCount).value_or(0);
        if (!r.isNull(i, 8))
            addUnread(r.value(i, 8), QStringLiteral("a time at infinity"), u.unread);
        o.units.push_back(std::move(u));
    }
    batteryRead.join();
    if (batteries.error.failed()) {
        o.error = batteries.error;
        return o;
    }
    for (UnitRow& u : o.units) {
        const auto found = batteries.readings.constFind(u.unit);
        if (found != batteries.readings.constEnd())
            takeBatteries(*found, u.battery, u.unread);
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
    QSet<QString> clockSetsTold;
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
        unit->unread.add(c->unread);
        if (!clockSetsTold.contains(unit->unit)) {
            unit->unread.add(c->clockSetsUnread);
            clockSetsTold.insert(unit->unit);
        }
    }
    CountingAhead::shared().ask(conninfo, limits, later);
    return o;
}

// Whole: the unit page's reads on one connection, in the order the page shows them.
UnitDetail readUnitDetail(const std::string& conninfo, const QString& unit,
                          const ReadLimits& limits) {
    UnitDetail d;
    ReadConnections::Lease lease = leaseFor(conninfo, limits, d.error);
    if (!lease)
        return d;
    PgConnection& pg = *lease;
    d.readAtMs = serverNow(pg, limits);
    const PgParam name = PgParam::text(unit.toStdString());
    // The facts stamped at times taken first, newest first; then those stamped by a clock
    // ahead or at an infinite time, which a flood of would otherwise push the real ones out.
    PgResult r = pg.exec(
        "SELECT kind, " + ms("occurred_at") + ", laptop, payload::text, id::text, " +
            fleet::timeTakenSql("") +
            ", pushed_by FROM xrq.owned_unit_history WHERE unit = $1 ORDER BY " +
            fleet::timeTakenSql("") + " DESC, occurred_at DESC, arrival DESC LIMIT $2",
        {name, PgParam::text(std::to_string(limits.mostHistory + 1))}, limits.statementTimeout);
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
    const platform::Result<QString> leftOut = fleet::readDisownedNote(pg, limits.statementTimeout);
    if (!leftOut) {
        d.error = unavailable(QStringLiteral("disowned roles not read"), leftOut.text());
        return d;
    }
    d.leftOut = *leftOut;
    std::vector<QString> unreadIds, unreadLaptops, unreadWhys;
    for (int i = 0; i < std::min(r.rows(), limits.mostHistory); ++i) {
        const std::optional<std::int64_t> at = fleet::msAt(r, i, 1);
        QJsonParseError parsed;
        const QJsonDocument payload =
            QJsonDocument::fromJson(QByteArray::fromStdString(r.value(i, 3)), &parsed);
        if (!at || parsed.error != QJsonParseError::NoError || !payload.isObject()) {
            unreadIds.push_back(text(r.value(i, 4)));
            unreadLaptops.push_back(text(r.value(i, 2)));
            unreadWhys.push_back(text(r.value(i, 0)) +
                                 (at ? QStringLiteral(": payload is not a JSON object read whole")
                                     : QStringLiteral(": a time at infinity")));
            continue;
        }
        d.history.push_back({text(r.value(i, 0)), *at, text(r.value(i, 2)), payload.object(),
                             text(r.value(i, 6)), r.value(i, 5) != "t"});
    }
    r = pg.exec("SELECT " + ms("occurred_at") +
                    ", payload->>'volts', 'role ' || pushed_by FROM xrq.owned_events e "
                    "WHERE unit = $1 AND kind = 'battery' AND " +
                    fleet::timeTakenSql("e") + " ORDER BY occurred_at DESC LIMIT $2",
                {name, PgParam::text(std::to_string(limits.mostBattery))}, limits.statementTimeout);
    if (!r.ok()) {
        d.error = unavailable(QStringLiteral("battery not read"), r.error());
        return d;
    }
    for (int i = r.rows() - 1; i >= 0; --i) {
        const std::optional<std::int64_t> at = fleet::msAt(r, i, 0);
        const platform::Result<double> v = fleet::batteryVoltsOf(r.value(i, 1));
        if (at && v)
            d.battery.emplace_back(*at, *v);
        else
            d.unread.add(text(r.value(i, 2)),
                         QStringLiteral("battery: ") +
                             (v ? QString() : QString::fromStdString(v.text())));
    }
    if (!unreadIds.empty()) {
        const std::map<QString, QString> roles =
            fleet::pushersOf(pg, unreadIds, limits.statementTimeout);
        for (std::size_t k = 0; k < unreadIds.size(); ++k) {
            const auto found = roles.find(unreadIds[k]);
            d.unread.add(found != roles.end() ? found->second
                                              : QStringLiteral("laptop ") + unreadLaptops[k],
                         unreadWhys[k]);
        }
    }
    std::vector<HeldSeries> held;
    if (!heldSeries(pg, &unit, limits, held, d.error))
        return d;
    const auto deadline = std::chrono::steady_clock::now() + limits.statementTimeout;
    bool clockSetsTold = false;
    for (const HeldSeries& h : held) {
        SeriesSummary s{h.dataSet};
        if (const std::optional<SeriesCounts> c = countsOf(pg, h, limits, deadline)) {
            s.records = c->records;
            s.disputed = c->disputed;
            s.repeated = c->repeated;
            s.gaps = c->gaps;
            s.segments = c->segments;
            d.unread.add(c->unread);
            if (!clockSetsTold) // the unit's clock sets, the same in each series' read
                d.unread.add(c->clockSetsUnread);
            clockSetsTold = true;
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
    ReadConnections::Lease lease = leaseFor(conninfo, limits, error);
    if (!lease)
        return nullptr;
    PgConnection& pg = *lease;
    const PgResult r = pg.exec(
        "SELECT COALESCE(pg_catalog.sum(rows), 0), COALESCE(pg_catalog.max(newest), 0), (" +
            std::string(kTrustSql) +
            "), (SELECT COALESCE(pg_catalog.max(arrival), 0) FROM xrq.events WHERE unit = $1 "
            "AND kind = 'clock_set') FROM xrq.series_arrivals WHERE unit = $1 AND data_set = $2",
        {PgParam::text(unit.toStdString()), PgParam::text(dataSet.toStdString())},
        limits.statementTimeout);
    if (!r.ok()) {
        error = unavailable(QStringLiteral("series not read"), r.error());
        return nullptr;
    }
    const SeriesSignature signature{
        fleet::integerAt(r, 0, 0, 0, kMostCount).value_or(0),
        fleet::integerAt(r, 0, 1, std::numeric_limits<std::int64_t>::min(), kMostCount).value_or(0),
        fleet::integerAt(r, 0, 2, 0, kMostCount).value_or(0),
        fleet::integerAt(r, 0, 3, 0, kMostCount).value_or(0)};
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
    auto held = std::make_shared<series::ServerSeries>(
        series::DeriveBounds{series::DeriveBounds{}.mostChains, limits.statementTimeout});
    if (const platform::Result<void> read =
            held->read(pg, serial.toStdString(), set.name, set.ordinal);
        !read) {
        error = seriesReadErrorOf(read.error(), pg.isOpen());
        return nullptr;
    }
    cache.keep(unit, dataSet, signature, held, conninfo);
    return held;
}

} // namespace

namespace {

// The column meanings of every unit's data sets of this name; none where they cannot be read
// (the plot then names its columns by their titles, as before there were meanings).
fleet::SiteFacts columnMeanings(const std::string& conninfo, const QString& setName,
                                const ReadLimits& limits) {
    ReadError ignored;
    ReadConnections::Lease lease = leaseFor(conninfo, limits, ignored);
    if (!lease)
        return {};
    fleet::SiteFactScope scope;
    scope.meaningSets = {setName};
    return fleet::readSiteFacts(*lease, limits.statementTimeout, scope);
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
    // Each column named by its meaning at the range's end where the data manager gave one
    // (value c is column c + 1, as the site's series counts them).
    const QString setName = QString::fromStdString(dataSetName(dataSet).name);
    const fleet::SiteFacts meanings = columnMeanings(conninfo, setName, limits);
    for (const std::size_t c : decimator.numericColumns()) {
        const QString title =
            c < titles.size() ? QString::fromLatin1(titles[c].data(), qsizetype(titles[c].size()))
                              : QString();
        const ColumnName named =
            plotColumnName(fleet::meaningOf(meanings.meanings, unit, setName, int(c) + 1,
                                            std::int64_t(std::floor(p.to * 1000))),
                           title, c);
        p.columns << named.label;
        p.names << named.name;
        p.units << named.unit;
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
    ReadConnections::Lease lease = leaseFor(conninfo, limits, l.error);
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
        l.total = fleet::integerAt(r, 0, 1, 0, kMostCount).value_or(0);
    } else {
        const PgResult n = pg.exec("SELECT pg_catalog.count(DISTINCT unit) FROM xrq.owned_events",
                                   {}, limits.statementTimeout);
        if (!n.ok()) {
            l.error = unavailable(QStringLiteral("units not counted"), n.error());
            return l;
        }
        l.total = fleet::integerAt(n, 0, 0, 0, kMostCount).value_or(0);
    }
    return l;
}

platform::Result<void> countEverySeries(const std::string& conninfo, const ReadLimits& limits) {
    std::vector<HeldSeries> held, later;
    {
        ReadError error;
        ReadConnections::Lease lease = leaseFor(conninfo, limits, error);
        if (!lease || !heldSeries(*lease, nullptr, limits, held, error))
            return platform::makeError(error.kind == ReadError::Kind::NotFound
                                           ? platform::ErrorKind::NotFound
                                           : platform::ErrorKind::Server,
                                       error.message.toStdString());
    }
    for (const HeldSeries& h : held)
        if (!SeriesCountCache::shared().find(h.unit, h.dataSet, h.signature))
            later.push_back(h);
    CountingAhead::shared().ask(conninfo, limits, later);
    return {};
}

UnitSets readUnitSets(const std::string& conninfo, const QString& unit, const ReadLimits& limits) {
    UnitSets u;
    ReadConnections::Lease lease = leaseFor(conninfo, limits, u.error);
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

namespace {

// Each deployment's newest visit of its unit while it was there: one seek of the index on
// (unit, kind, occurred_at, arrival) a deployment, the deployments handed over as one JSON
// parameter. A visit stamped by a clock ahead is none (timeTakenSql), as on the Units page.
struct DeploymentVisit {
    std::optional<std::int64_t> atMs;
    QString laptop;
};
bool readDeploymentVisits(PgConnection& pg, const std::vector<fleet::Deployment>& deployments,
                          const ReadLimits& limits, std::vector<DeploymentVisit>& out,
                          ReadError& error) {
    out.assign(deployments.size(), {});
    if (deployments.empty())
        return true;
    QJsonArray list;
    for (std::size_t i = 0; i < deployments.size(); ++i) {
        const fleet::Deployment& d = deployments[i];
        list.append(QJsonObject{{QStringLiteral("i"), qint64(i)},
                                {QStringLiteral("u"), d.unit},
                                {QStringLiteral("f"), qint64(d.fromMs)},
                                {QStringLiteral("t"), d.toMs ? QJsonValue(qint64(*d.toMs))
                                                             : QJsonValue(QJsonValue::Null)}});
    }
    const PgResult r = pg.exec(
        "SELECT d.i, " + ms("v.occurred_at") +
            ", v.laptop FROM pg_catalog.jsonb_to_recordset($1::jsonb) AS d(i bigint, u text, "
            "f bigint, t bigint) JOIN LATERAL (SELECT occurred_at, laptop FROM xrq.owned_events "
            "e WHERE e.unit = d.u AND e.kind = 'visit' AND " +
            fleet::timeTakenSql("e") +
            " AND e.occurred_at >= pg_catalog.to_timestamp(d.f / 1000.0) AND (d.t IS NULL OR "
            "e.occurred_at < pg_catalog.to_timestamp(d.t / 1000.0)) ORDER BY occurred_at DESC, "
            "arrival DESC LIMIT 1) v ON true",
        {PgParam::text(QJsonDocument(list).toJson(QJsonDocument::Compact).toStdString())},
        limits.statementTimeout);
    if (!r.ok()) {
        error = unavailable(QStringLiteral("visits not read"), r.error());
        return false;
    }
    for (int row = 0; row < r.rows(); ++row) {
        const auto i = fleet::integerAt(r, row, 0, 0, std::int64_t(deployments.size()) - 1);
        if (i)
            out[std::size_t(*i)] = {msOrNone(r, row, 1), text(r.value(row, 2))};
    }
    return true;
}

// The battery readings of `units` as readBatteries has them: a seek of the index on (unit,
// kind, occurred_at, arrival) a unit, the units handed over as one JSON parameter.
bool readUnitBatteries(PgConnection& pg, const QStringList& units, const ReadLimits& limits,
                       QHash<QString, std::string>& out, ReadError& error) {
    if (units.isEmpty())
        return true;
    const PgResult r = pg.exec(
        "SELECT u.unit, b.readings FROM pg_catalog.jsonb_array_elements_text($1::jsonb) "
        "AS u(unit) JOIN LATERAL (SELECT pg_catalog.jsonb_agg(pg_catalog.jsonb_build_array("
        "t.volts, t.pushed_by) ORDER BY t.occurred_at, t.arrival)::text AS readings FROM (SELECT "
        "occurred_at, arrival, payload->>'volts' AS volts, pushed_by FROM xrq.owned_events e "
        "WHERE e.unit = u.unit AND e.kind = 'battery' AND " +
            fleet::timeTakenSql("e") +
            " ORDER BY occurred_at DESC, arrival DESC LIMIT 8) t) b ON b.readings IS NOT NULL",
        {PgParam::text(QJsonDocument(QJsonArray::fromStringList(units))
                           .toJson(QJsonDocument::Compact)
                           .toStdString())},
        limits.statementTimeout);
    if (!r.ok()) {
        error = unavailable(QStringLiteral("battery not read"), r.error());
        return false;
    }
    out.reserve(r.rows());
    for (int i = 0; i < r.rows(); ++i)
        out.insert(text(r.value(i, 0)), r.value(i, 1));
    return true;
}

SiteNote siteNote(const fleet::FieldNote& n) {
    return {n.atMs, fleet::noteCategoryName(n.category), n.text, n.by, n.unit};
}

// The site a note is about: its own, else the site its unit was deployed at then.
QString noteSite(const fleet::SiteFacts& facts, const fleet::FieldNote& n) {
    if (!n.site.isEmpty())
        return n.site;
    const std::optional<fleet::Deployment> d = facts.deploymentOf(n.unit, n.atMs);
    return d && (!d->toMs || n.atMs < *d->toMs) ? d->site : QString();
}

SiteRow siteRow(const fleet::Site& s) {
    SiteRow row;
    row.code = s.code;
    row.name = s.name;
    row.longitude = s.longitude;
    row.latitude = s.latitude;
    row.elevation = s.elevation;
    row.visitIntervalDays = s.visitDays;
    return row;
}

// The units deployed at the site now, and its newest visit over `visits` (by deployment).
void takeDeployments(SiteRow& row, const std::vector<fleet::Deployment>& deployments,
                     const std::vector<DeploymentVisit>& visits, std::size_t first,
                     std::size_t end) {
    for (std::size_t i = first; i < end; ++i) {
        const fleet::Deployment& d = deployments[i];
        if (!d.toMs && !row.currentUnits.contains(d.unit))
            row.currentUnits << d.unit;
        const DeploymentVisit& v = visits[i];
        if (v.atMs && (!row.lastVisitMs || *v.atMs > *row.lastVisitMs)) {
            row.lastVisitMs = v.atMs;
            row.lastVisitLaptop = v.laptop;
            row.lastVisitUnit = d.unit;
        }
    }
}

ReadError siteFactsError(const fleet::SiteFacts& facts) {
    return {ReadError::Kind::Unavailable, QStringLiteral("site facts not read: ") + facts.error};
}

} // namespace

SitesOverview readSitesOverview(const std::string& conninfo, const ReadLimits& limits) {
    SitesOverview o;
    ReadConnections::Lease lease = leaseFor(conninfo, limits, o.error);
    if (!lease)
        return o;
    PgConnection& pg = *lease;
    o.readAtMs = serverNow(pg, limits);
    const fleet::SiteFacts facts = fleet::readSiteFacts(pg, limits.statementTimeout);
    if (!facts.ok) {
        o.error = siteFactsError(facts);
        return o;
    }
    const std::size_t shown = std::min(facts.sites.size(), std::size_t(limits.mostSites));
    o.more = facts.sites.size() > shown;
    QHash<QString, std::size_t> at;
    o.sites.reserve(shown);
    for (std::size_t i = 0; i < shown; ++i) {
        at.insert(facts.sites[i].code, i);
        o.sites.push_back(siteRow(facts.sites[i]));
    }
    // The deployments come by site: each site's run is taken at once.
    std::vector<fleet::Deployment> deployments;
    for (const fleet::Deployment& d : facts.deployments)
        if (at.contains(d.site))
            deployments.push_back(d);
    std::vector<DeploymentVisit> visits;
    if (!readDeploymentVisits(pg, deployments, limits, visits, o.error))
        return o;
    for (std::size_t first = 0; first < deployments.size();) {
        std::size_t end = first;
        while (end < deployments.size() && deployments[end].site == deployments[first].site)
            ++end;
        takeDeployments(o.sites[at.value(deployments[first].site)], deployments, visits, first,
                        end);
        first = end;
    }
    for (const fleet::FieldNote& n : facts.notes) { // by time: the last one counts
        const auto found = at.constFind(noteSite(facts, n));
        if (found != at.constEnd())
            o.sites[*found].lastNote = siteNote(n);
    }
    // The battery of each site's first unit there now.
    QStringList current;
    for (const SiteRow& row : o.sites)
        if (!row.currentUnits.isEmpty())
            current << row.currentUnits.front();
    QHash<QString, std::string> batteries;
    if (!readUnitBatteries(pg, current, limits, batteries, o.error))
        return o;
    for (SiteRow& row : o.sites) {
        if (row.currentUnits.isEmpty())
            continue;
        const auto found = batteries.constFind(row.currentUnits.front());
        fleet::UnreadFacts unread; // told on the unit's own row of the Units page
        if (found != batteries.constEnd())
            takeBatteries(*found, row.battery, unread);
    }
    const fleet::VisitIntervals intervals = fleet::readVisitIntervals(pg, limits.statementTimeout);
    if (!intervals.ok) {
        o.error =
            unavailable(QStringLiteral("visit intervals not read"), intervals.error.toStdString());
        return o;
    }
    o.organisationIntervalDays = intervals.organisation;
    return o;
}

SiteDetail readSiteDetail(const std::string& conninfo, const QString& code,
                          const ReadLimits& limits) {
    SiteDetail d;
    ReadConnections::Lease lease = leaseFor(conninfo, limits, d.error);
    if (!lease)
        return d;
    PgConnection& pg = *lease;
    d.readAtMs = serverNow(pg, limits);
    const fleet::SiteFacts facts = fleet::readSiteFacts(pg, limits.statementTimeout, code);
    if (!facts.ok) {
        d.error = siteFactsError(facts);
        return d;
    }
    const fleet::Site* site = facts.site(code);
    if (!site) {
        d.error = {ReadError::Kind::NotFound, QStringLiteral("no site %1").arg(code.left(100))};
        return d;
    }
    d.site = siteRow(*site);
    d.description = site->description;
    std::vector<fleet::Deployment> deployments = facts.deploymentsAt(code);
    if (deployments.size() > std::size_t(limits.mostDeployments)) {
        d.error = {ReadError::Kind::TooLarge,
                   QStringLiteral("more than %1 deployments").arg(limits.mostDeployments)};
        return d;
    }
    std::vector<DeploymentVisit> visits;
    if (!readDeploymentVisits(pg, deployments, limits, visits, d.error))
        return d;
    takeDeployments(d.site, deployments, visits, 0, deployments.size());
    for (const fleet::Deployment& dep : deployments)
        d.deployments.push_back({dep.unit, dep.fromMs, dep.toMs});
    for (auto n = facts.notes.rbegin(); n != facts.notes.rend(); ++n) {
        if (noteSite(facts, *n) != code)
            continue;
        if (d.notes.size() >= std::size_t(limits.mostNotes)) {
            d.moreNotes = true;
            break;
        }
        d.notes.push_back(siteNote(*n));
    }
    if (!d.notes.empty())
        d.site.lastNote = d.notes.front();
    const fleet::VisitIntervals intervals = fleet::readVisitIntervals(pg, limits.statementTimeout);
    if (!intervals.ok) {
        d.error =
            unavailable(QStringLiteral("visit intervals not read"), intervals.error.toStdString());
        return d;
    }
    d.organisationIntervalDays = intervals.organisation;
    return d;
}

namespace {

// A site's series read whole from the derived copy (series::readSiteSeriesFromCopy), or none
// when the copy does not hold it as its facts stand (error left None: built from the facts
// as before) or its door is closed.
std::shared_ptr<const series::SiteSeries>
siteSeriesFromCopy(const std::string& conninfo, const QString& code, const ReadLimits& limits,
                   ReadError& error, std::string& behind) {
    if (!series::siteCopyOpen())
        return nullptr;
    ReadConnections::Lease lease = leaseFor(conninfo, limits, error);
    if (!lease)
        return nullptr;
    const platform::Result<series::SiteCopyPlan> plan =
        series::planSiteFromCopy(*lease, code.toStdString(), limits.statementTimeout);
    if (!plan) {
        behind = plan.error().text;
        return nullptr; // read as before, which tells what is wrong with the server
    }
    if (!plan.value().behind.empty()) {
        behind = plan.value().behind;
        return nullptr;
    }
    platform::Result<series::SiteSeries> read =
        series::readSiteSeriesFromCopy(*lease, plan.value(), limits.statementTimeout);
    if (!read) {
        behind = read.error().text;
        return nullptr;
    }
    return std::make_shared<const series::SiteSeries>(std::move(read.value()));
}

} // namespace

std::shared_ptr<const series::SiteSeries>
readSiteSeries(const std::string& conninfo, const QString& code, const ReadLimits& limits,
               ReadError& error, std::string* behind, const SiteCopyBehind* known) {
    // What the series is built from: the site's facts (read here unless the caller's plan
    // read them) and its units' series' signatures.
    fleet::SiteFacts read;
    const fleet::SiteFacts& facts = known ? known->facts : read;
    SiteSeriesSignature signature;
    {
        ReadConnections::Lease lease = leaseFor(conninfo, limits, error);
        if (!lease)
            return nullptr;
        if (!known)
            read = fleet::readSiteFacts(*lease, limits.statementTimeout, code);
        if (!facts.ok) {
            error = siteFactsError(facts);
            return nullptr;
        }
        if (!facts.site(code)) {
            error = {ReadError::Kind::NotFound, QStringLiteral("no site %1").arg(code.left(100))};
            return nullptr;
        }
        signature.facts = facts.factsRead;
        signature.newestArrival = facts.newestArrival;
        QStringList units;
        for (const fleet::Deployment& d : facts.deploymentsAt(code))
            if (!units.contains(d.unit))
                units << d.unit;
        long long records = 0;
        for (const QString& unit : units) {
            // A unit deployed but nothing downloaded from it yet holds no series.
            if (!heldSeries(*lease, &unit, limits, signature.series, error))
                return nullptr;
        }
        for (const HeldSeries& h : signature.series)
            records += h.signature.facts;
        if (records > limits.mostRecords) {
            error = {ReadError::Kind::TooLarge, QStringLiteral("the units at %1 hold more than %2 "
                                                               "records")
                                                    .arg(code.left(100))
                                                    .arg(limits.mostRecords)};
            return nullptr;
        }
    }
    SiteSeriesCache& cache = SiteSeriesCache::shared();
    if (SiteSeriesCache::Held kept = cache.find(code, signature))
        return kept;
    // Read from the derived copy where it holds every unit's series as its facts stand: the
    // same series, with nothing derived per request.
    std::string why = known ? known->why : std::string();
    if (std::shared_ptr<const series::SiteSeries> copied =
            known ? nullptr : siteSeriesFromCopy(conninfo, code, limits, error, why)) {
        cache.keep(code, signature, copied);
        return copied;
    }
    if (error.failed())
        return nullptr;
    if (behind)
        *behind = why;
    // Every data set of every unit deployed there, held while the site's series is built.
    std::vector<std::shared_ptr<const series::ServerSeries>> held;
    std::vector<series::UnitSource> sources;
    for (const HeldSeries& h : signature.series) {
        std::shared_ptr<const series::ServerSeries> one =
            readDerivedSeries(conninfo, h.unit, h.dataSet, limits, error);
        if (!one)
            return nullptr;
        sources.push_back({h.unit.toStdString(), one->source()});
        held.push_back(std::move(one));
    }
    auto built = std::make_shared<const series::SiteSeries>(
        series::buildSiteSeries(facts, code.toStdString(), sources));
    cache.keep(code, signature, built);
    return built;
}

SitesRead readSites(const std::string& conninfo, const ReadLimits& limits) {
    SitesRead r;
    ReadConnections::Lease lease = leaseFor(conninfo, limits, r.error);
    if (!lease)
        return r;
    r.facts = fleet::readSiteFacts(*lease, limits.statementTimeout);
    if (!r.facts.ok)
        r.error = unavailable(QStringLiteral("sites not read"), r.facts.error.toStdString());
    return r;
}

} // namespace office

// SPDX-License-Identifier: GPL-3.0-or-later
#include "fleet/server_history.h"

#include "fleet/laptop_roles.h"
#include "fleet/pg_connection.h"
#include "fleet/server_schema.h"

#include <QJsonDocument>

#include <algorithm>
#include <limits>

namespace fleet {

namespace {

constexpr const char* kEntryColumns =
    "id::text, kind, (extract(epoch FROM occurred_at) * 1000)::bigint, "
    "(extract(epoch FROM received_at) * 1000)::bigint, laptop, payload::text, "
    "coalesce(laptop_id::text, '') ";

HistoryEntry entryOf(const PgResult& r, int i, const QString& thisLaptop) {
    HistoryEntry e;
    e.id = QString::fromStdString(r.value(i, 0));
    e.kind = QString::fromStdString(r.value(i, 1));
    e.occurredAt = std::stoll(r.value(i, 2));
    e.receivedAt = std::stoll(r.value(i, 3));
    e.laptop = QString::fromStdString(r.value(i, 4));
    e.otherLaptop = e.laptop != thisLaptop;
    e.payload = QJsonDocument::fromJson(QByteArray::fromStdString(r.value(i, 5))).object();
    e.laptopId = QString::fromStdString(r.value(i, 6));
    return e;
}

// Connects and checks the schema; false with the operator's reason in `why`.
bool open(PgConnection& pg, const std::string& conninfo, std::chrono::milliseconds timeout,
          QString& why) {
    if (!pg.connect(conninfo, timeout, timeout)) {
        // The windows say "server not reachable" for a failure that may pass, and the reason
        // otherwise (a refused password, a certificate not accepted).
        why = (pg.errorTransient() ? QStringLiteral("server not reachable: ") : QString()) +
              QString::fromStdString(pg.error());
        return false;
    }
    const SchemaCheck check = checkServerSchema(pg);
    if (check.state != SchemaCheck::State::Matches) {
        why = check.message;
        return false;
    }
    if (check.serverVersion < kOldestServerSchemaRead) {
        why = QStringLiteral("the server's schema is version %1, older than this program reads "
                             "(%2): its owner runs \"xrq-series admin init-server\"")
                  .arg(check.serverVersion)
                  .arg(kOldestServerSchemaRead);
        return false;
    }
    return true;
}

// The unit's clock sets, every laptop's, oldest first; false with `message` said when not read.
bool readClockSets(PgConnection& pg, const QString& unit, std::chrono::milliseconds timeout,
                   std::vector<ServerClockSet>& out, QString& message) {
    const PgResult c = pg.exec(
        "SELECT (extract(epoch FROM occurred_at) * 1000)::bigint, payload->>'sent', "
        "payload->>'utc_offset' FROM xrq.owned_events WHERE unit = $1 AND kind = 'clock_set' "
        "ORDER BY occurred_at, arrival",
        {PgParam::text(unit.toStdString())}, timeout);
    if (!c.ok()) {
        message = QStringLiteral("clock sets not read: ") + QString::fromStdString(c.error());
        return false;
    }
    for (int i = 0; i < c.rows(); ++i) {
        ServerClockSet set;
        set.atMs = std::stoll(c.value(i, 0));
        set.sent = QString::fromStdString(c.value(i, 1));
        if (!c.isNull(i, 2))
            set.utcOffsetSeconds = std::stoi(c.value(i, 2));
        out.push_back(std::move(set));
    }
    return true;
}

// A series record row's first columns, as both tables give them: segment, position, hash
// (or identity), laptop, payload, and the time it was recorded (ms).
ServerSeriesRecord recordAt(const PgResult& r, int i) {
    ServerSeriesRecord rec;
    rec.segment = std::stoll(r.value(i, 0));
    rec.position = std::stoll(r.value(i, 1));
    rec.chainHash = QString::fromStdString(r.value(i, 2));
    rec.laptop = QString::fromStdString(r.value(i, 3));
    rec.payload = QJsonDocument::fromJson(QByteArray::fromStdString(r.value(i, 4))).object();
    rec.occurredAt = std::stoll(r.value(i, 5));
    return rec;
}

// When the server received a record row (its received_at in ms, then its arrival), from
// column `at` on; the earliest time when a column does not read as a number.
ServerSeen seenAt(const PgResult& r, int i, int at) {
    bool ms = false, arrival = false;
    const qlonglong received = QString::fromStdString(r.value(i, at)).toLongLong(&ms);
    const qlonglong n = QString::fromStdString(r.value(i, at + 1)).toLongLong(&arrival);
    return {ms ? std::int64_t(received) : std::numeric_limits<std::int64_t>::min(),
            arrival ? std::int64_t(n) : 0};
}

} // namespace

ServerHistory readUnitHistory(const std::string& conninfo, const QString& unit,
                              const QString& thisLaptop, std::chrono::milliseconds timeout,
                              int stopFd, int most) {
    ServerHistory h;
    PgConnection pg(stopFd);
    if (!open(pg, conninfo, timeout, h.message))
        return h;
    const PgResult r = pg.exec(
        std::string("SELECT ") + kEntryColumns +
            "FROM xrq.owned_unit_history WHERE unit = $1 ORDER BY occurred_at DESC, arrival DESC" +
            (most > 0 ? " LIMIT " + std::to_string(most + 1) : std::string()),
        {PgParam::text(unit.toStdString())}, timeout);
    if (!r.ok()) {
        h.message = QStringLiteral("history not read: ") + QString::fromStdString(r.error());
        return h;
    }
    const int rows = most > 0 ? std::min(r.rows(), most) : r.rows();
    h.more = rows < r.rows();
    h.entries.reserve(std::size_t(rows));
    for (int i = 0; i < rows; ++i)
        h.entries.push_back(entryOf(r, i, thisLaptop));
    std::vector<DisownedRole> disowned;
    if (!readDisownedRoles(pg, timeout, disowned, h.message))
        return h;
    h.leftOut = disownedNote(disowned);
    h.ok = true;
    return h;
}

ServerUnits readUnits(const std::string& conninfo, std::chrono::milliseconds timeout, int stopFd) {
    ServerUnits u;
    PgConnection pg(stopFd);
    if (!open(pg, conninfo, timeout, u.message))
        return u;
    // What the xrq.units view derives, by unit and laptop first: the view's count(DISTINCT
    // laptop) sorts every event, which over a million events takes the better part of a
    // second; two hashed groupings take a fraction of it. Room for the 10,000s of groups in
    // memory, for this session only.
    PgResult r = pg.exec("SET work_mem = '64MB'", {}, timeout);
    if (r.ok())
        r = pg.exec("SELECT unit, (extract(epoch FROM pg_catalog.max(last_seen)) * 1000)::bigint, "
                    "pg_catalog.sum(visits)::bigint, pg_catalog.count(*) "
                    "FROM (SELECT unit, laptop, pg_catalog.max(occurred_at) AS last_seen, "
                    "pg_catalog.count(*) FILTER (WHERE kind = 'visit') AS visits "
                    "FROM xrq.owned_events GROUP BY unit, laptop) per_laptop "
                    "GROUP BY unit ORDER BY unit",
                    {}, timeout);
    if (!r.ok()) {
        u.message = QStringLiteral("units not read: ") + QString::fromStdString(r.error());
        return u;
    }
    u.units.reserve(std::size_t(r.rows()));
    for (int i = 0; i < r.rows(); ++i)
        u.units.push_back({QString::fromStdString(r.value(i, 0)), std::stoll(r.value(i, 1)),
                           std::stoll(r.value(i, 2)), std::stoi(r.value(i, 3))});
    u.ok = true;
    return u;
}

OtherRecords otherLaptopsRecords(const std::string& conninfo, const QString& unit,
                                 const LaptopSelf& self, std::chrono::milliseconds timeout,
                                 int stopFd) {
    OtherRecords out;
    PgConnection pg(stopFd);
    if (!open(pg, conninfo, timeout, out.message))
        return out;
    // By the records, never by the laptops' clocks: per data set, segment and laptop, the last
    // record another laptop pushed. A laptop from before identities is told by its name.
    const PgResult r = pg.exec(
        "SELECT DISTINCT ON (r.data_set, r.segment, r.laptop_id, r.laptop) r.data_set, "
        "r.segment, r.position, r.identity, r.laptop, r.payload->>'line' "
        "FROM xrq.owned_series_places r WHERE r.unit = $1 AND CASE WHEN r.laptop_id IS NULL "
        "THEN r.laptop <> $3 ELSE r.laptop_id <> $2::uuid END "
        "AND EXISTS (SELECT FROM xrq.owned_events e WHERE e.unit = r.unit AND e.kind = 'download' "
        "AND e.payload @> '{\"safe\": true}'::jsonb AND CASE WHEN r.laptop_id IS NULL "
        "THEN e.laptop = r.laptop ELSE e.laptop_id = r.laptop_id END) "
        "ORDER BY r.data_set, r.segment, r.laptop_id, r.laptop, r.position DESC LIMIT 1000",
        {PgParam::text(unit.toStdString()), PgParam::text(self.id.toStdString()),
         PgParam::text(self.name.toStdString())},
        timeout);
    if (!r.ok()) {
        out.message = QStringLiteral("records not read: ") + QString::fromStdString(r.error());
        return out;
    }
    out.records.reserve(std::size_t(r.rows()));
    for (int i = 0; i < r.rows(); ++i)
        out.records.push_back({QString::fromStdString(r.value(i, 0)), std::stoll(r.value(i, 1)),
                               std::stoll(r.value(i, 2)), QString::fromStdString(r.value(i, 3)),
                               QString::fromStdString(r.value(i, 5)),
                               QString::fromStdString(r.value(i, 4))});
    out.ok = true;
    return out;
}

ServerSeries readSeriesRecords(const std::string& conninfo, const QString& unit,
                               const QString& dataSet, std::chrono::milliseconds timeout) {
    PgConnection pg;
    QString why;
    if (!open(pg, conninfo, timeout, why)) {
        ServerSeries s;
        s.message = why;
        return s;
    }
    return readSeriesRecords(pg, unit, dataSet, timeout);
}

ServerSeries readSeriesRecords(PgConnection& pg, const QString& unit, const QString& dataSet,
                               std::chrono::milliseconds timeout) {
    ServerSeries s;
    const PgResult r =
        pg.exec("SELECT segment, position, identity, laptop, payload::text, "
                "(extract(epoch FROM occurred_at) * 1000)::bigint, occurrence, after, "
                "after_occurrence, (extract(epoch FROM received_at) * 1000)::bigint, arrival "
                "FROM xrq.owned_series_facts WHERE unit = $1 AND data_set = $2 "
                "ORDER BY arrival",
                {PgParam::text(unit.toStdString()), PgParam::text(dataSet.toStdString())}, timeout);
    if (!r.ok()) {
        s.message = QStringLiteral("records not read: ") + QString::fromStdString(r.error());
        return s;
    }
    s.records.reserve(static_cast<std::size_t>(r.rows()));
    for (int i = 0; i < r.rows(); ++i) {
        ServerSeriesRecord rec = recordAt(r, i);
        rec.occurrence = std::stoll(r.value(i, 6));
        rec.after = QString::fromStdString(r.value(i, 7));
        rec.afterOccurrence = std::stoll(r.value(i, 8));
        rec.seen = seenAt(r, i, 9);
        s.records.push_back(std::move(rec));
    }
    const PgResult old =
        pg.exec("SELECT segment, position, chain_hash, laptop, payload::text, "
                "(extract(epoch FROM occurred_at) * 1000)::bigint, "
                "(extract(epoch FROM received_at) * 1000)::bigint, arrival "
                "FROM xrq.owned_series_records WHERE unit = $1 AND data_set = $2 "
                "ORDER BY segment, position, arrival",
                {PgParam::text(unit.toStdString()), PgParam::text(dataSet.toStdString())}, timeout);
    if (!old.ok()) {
        s.message = QStringLiteral("records not read: ") + QString::fromStdString(old.error());
        return s;
    }
    s.byPlace.reserve(static_cast<std::size_t>(old.rows()));
    for (int i = 0; i < old.rows(); ++i) {
        s.byPlace.push_back(recordAt(old, i));
        s.byPlace.back().seen = seenAt(old, i, 6);
    }
    if (!readClockSets(pg, unit, timeout, s.clockSets, s.message))
        return s;
    std::vector<DisownedRole> disowned;
    if (!readDisownedRoles(pg, timeout, disowned, s.message))
        return s;
    s.leftOut = disownedNote(disowned);
    s.ok = true;
    return s;
}

ServerClockSets readUnitClockSets(const std::string& conninfo, const QString& unit,
                                  std::chrono::milliseconds timeout) {
    ServerClockSets out;
    PgConnection pg;
    if (!open(pg, conninfo, timeout, out.message))
        return out;
    out.ok = readClockSets(pg, unit, timeout, out.clockSets, out.message);
    return out;
}

QString historyLabel(const HistoryEntry& entry) {
    return entry.otherLaptop ? QStringLiteral("%1 (%2)").arg(entry.kind, entry.laptop) : entry.kind;
}

} // namespace fleet

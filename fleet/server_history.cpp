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

const std::string kEntryColumns = "id::text, kind, " + msSql("occurred_at") + ", " +
                                  msSql("received_at") +
                                  ", laptop, payload::text, coalesce(laptop_id::text, '') ";

// A payload as the server gives it (jsonb's text): an object, or nothing.
std::optional<QJsonObject> payloadOf(const std::string& text) {
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(text), &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject())
        return std::nullopt;
    return doc.object();
}

// A row of entries' columns; nothing with `why` when a value of it cannot be read.
std::optional<HistoryEntry> entryOf(const PgResult& r, int i, const QString& thisLaptop,
                                    QString& why) {
    HistoryEntry e;
    e.id = QString::fromStdString(r.value(i, 0));
    e.kind = QString::fromStdString(r.value(i, 1));
    const std::optional<std::int64_t> at = msAt(r, i, 2), received = msAt(r, i, 3);
    const std::optional<QJsonObject> payload = payloadOf(r.value(i, 5));
    if (!at || !received || !payload) {
        why = e.kind + QStringLiteral(": ") +
              (!at ? QStringLiteral("occurred_at is not a time (%1)")
                         .arg(QString::fromStdString(r.value(i, 2)).left(20))
               : !received ? QStringLiteral("received_at is not a time")
                           : QStringLiteral("payload is not a JSON object read whole"));
        return std::nullopt;
    }
    e.occurredAt = *at;
    e.receivedAt = *received;
    e.laptop = QString::fromStdString(r.value(i, 4));
    e.otherLaptop = e.laptop != thisLaptop;
    e.payload = *payload;
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
// A clock set whose time or offset cannot be read is left out and counted in `unread`: a
// wrong offset would put every record after it at a wrong time.
bool readClockSets(PgConnection& pg, const QString& unit, std::chrono::milliseconds timeout,
                   std::vector<ServerClockSet>& out, UnreadFacts& unread, QString& message) {
    const PgResult c =
        pg.exec("SELECT " + msSql("occurred_at") +
                    ", payload->>'sent', payload->>'utc_offset', 'role ' || pushed_by, "
                    "pg_catalog.jsonb_typeof(payload->'utc_offset') FROM xrq.owned_events "
                    "WHERE unit = $1 AND kind = 'clock_set' ORDER BY occurred_at, arrival",
                {PgParam::text(unit.toStdString())}, timeout);
    if (!c.ok()) {
        message = QStringLiteral("clock sets not read: ") + QString::fromStdString(c.error());
        return false;
    }
    for (int i = 0; i < c.rows(); ++i) {
        ServerClockSet set;
        const std::optional<std::int64_t> at = msAt(c, i, 0);
        QString why;
        if (!at)
            why = QStringLiteral("occurred_at is not a time");
        set.atMs = at.value_or(0);
        set.sent = QString::fromStdString(c.value(i, 1));
        // A JSON null (or no offset at all) is a clock set without a known zone, as a laptop
        // sends it; any other value must be one.
        const std::string type = c.value(i, 4);
        if (at && !c.isNull(i, 2) && type != "null") {
            if (type != "number")
                why = QStringLiteral("utc_offset is not a number");
            else if (const platform::Result<int> offset = utcOffsetOf(c.value(i, 2)))
                set.utcOffsetSeconds = *offset;
            else
                why = QString::fromStdString(offset.text());
        }
        if (!why.isEmpty()) {
            unread.add(QString::fromStdString(c.value(i, 3)), QStringLiteral("clock set: ") + why);
            continue;
        }
        out.push_back(std::move(set));
    }
    return true;
}

// When the server received a record row (its received_at in ms, then its arrival), from
// column `at` on; the earliest time when a column does not read as one (a row the server
// holds without them sorts first, as the oldest).
ServerSeen seenAt(const PgResult& r, int i, int at) {
    return {msAt(r, i, at).value_or(std::numeric_limits<std::int64_t>::min()),
            integerAt(r, i, at + 1, 0, std::numeric_limits<std::int64_t>::max()).value_or(0)};
}

// The SQL columns recordAt reads, of either series table (`hash` its identity column).
std::string recordColumns(const char* hash) {
    return std::string("segment, position, ") + hash + ", laptop, payload::text, " +
           msSql("occurred_at") + ", 'role ' || pushed_by, " + msSql("received_at") + ", arrival";
}
constexpr int kRecordPusher = 6;
constexpr int kRecordSeen = 7; // received_at, then arrival (seenAt)

// A series record row's first columns, as both tables give them: segment, position, hash
// (or identity), laptop, payload, and the time it was recorded (ms); nothing with `why` when
// one cannot be read.
std::optional<ServerSeriesRecord> recordAt(const PgResult& r, int i, QString& why) {
    constexpr std::int64_t kMost = std::numeric_limits<std::int64_t>::max();
    ServerSeriesRecord rec;
    const auto segment = integerAt(r, i, 0, 0, kMost), position = integerAt(r, i, 1, 0, kMost);
    const auto at = msAt(r, i, 5);
    const std::optional<QJsonObject> payload = payloadOf(r.value(i, 4));
    if (!segment || !position || !at || !payload) {
        why = QStringLiteral("series record: ") +
              (!at        ? QStringLiteral("occurred_at is not a time")
               : !payload ? QStringLiteral("payload is not a JSON object read whole")
                          : QStringLiteral("segment or position out of range"));
        return std::nullopt;
    }
    rec.segment = *segment;
    rec.position = *position;
    rec.chainHash = QString::fromStdString(r.value(i, 2));
    rec.laptop = QString::fromStdString(r.value(i, 3));
    rec.payload = *payload;
    rec.occurredAt = *at;
    rec.pushedBy = QString::fromStdString(r.value(i, kRecordPusher));
    rec.seen = seenAt(r, i, kRecordSeen);
    return rec;
}

// The pusher of each unread entry, by id: its role where the server names it, else its
// laptop's name.
void tellUnread(PgConnection& pg, const std::vector<std::pair<QString, QString>>& idAndLaptop,
                const std::vector<QString>& whys, std::chrono::milliseconds timeout,
                UnreadFacts& unread) {
    std::vector<QString> ids;
    for (const auto& [id, laptop] : idAndLaptop)
        ids.push_back(id);
    const std::map<QString, QString> roles = pushersOf(pg, ids, timeout);
    for (std::size_t k = 0; k < idAndLaptop.size(); ++k) {
        const auto found = roles.find(idAndLaptop[k].first);
        unread.add(found != roles.end() ? found->second
                                        : QStringLiteral("laptop ") + idAndLaptop[k].second,
                   whys[k]);
    }
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
    std::vector<std::pair<QString, QString>> skipped;
    std::vector<QString> whys;
    for (int i = 0; i < rows; ++i) {
        QString why;
        if (std::optional<HistoryEntry> e = entryOf(r, i, thisLaptop, why)) {
            h.entries.push_back(std::move(*e));
        } else {
            skipped.emplace_back(QString::fromStdString(r.value(i, 0)),
                                 QString::fromStdString(r.value(i, 4)));
            whys.push_back(why);
        }
    }
    tellUnread(pg, skipped, whys, timeout, h.unread);
    const platform::Result<QString> leftOut = readDisownedNote(pg, timeout);
    if (!leftOut) {
        h.message = QString::fromStdString(leftOut.text());
        return h;
    }
    h.leftOut = *leftOut;
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
    // A fact stamped by a clock ahead (or at 'infinity') is no unit's last sight of it.
    PgResult r = pg.exec("SET work_mem = '64MB'", {}, timeout);
    if (r.ok())
        r = pg.exec("SELECT unit, " + msSql("pg_catalog.max(last_seen)") +
                        ", pg_catalog.sum(visits)::bigint, pg_catalog.count(*) "
                        "FROM (SELECT unit, laptop, pg_catalog.max(occurred_at) FILTER (WHERE " +
                        timeTakenSql("") +
                        ") AS last_seen, "
                        "pg_catalog.count(*) FILTER (WHERE kind = 'visit') AS visits "
                        "FROM xrq.owned_events GROUP BY unit, laptop) per_laptop "
                        "GROUP BY unit ORDER BY unit",
                    {}, timeout);
    if (!r.ok()) {
        u.message = QStringLiteral("units not read: ") + QString::fromStdString(r.error());
        return u;
    }
    u.units.reserve(std::size_t(r.rows()));
    constexpr std::int64_t kMost = std::numeric_limits<std::int64_t>::max();
    for (int i = 0; i < r.rows(); ++i) {
        const auto visits = integerAt(r, i, 2, 0, kMost);
        const auto laptops = integerAt(r, i, 3, 0, std::numeric_limits<int>::max());
        if (!visits || !laptops) {
            u.unread.add(QStringLiteral("unit ") + QString::fromStdString(r.value(i, 0)),
                         QStringLiteral("its counts are not numbers"));
            continue;
        }
        // No fact of it at a time taken (all ahead or infinite): last seen never.
        u.units.push_back({QString::fromStdString(r.value(i, 0)), msAt(r, i, 1).value_or(0),
                           *visits, int(*laptops)});
    }
    const platform::Result<QString> leftOut = readDisownedNote(pg, timeout);
    if (!leftOut) {
        u.message = QString::fromStdString(leftOut.text());
        return u;
    }
    u.leftOut = *leftOut;
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
    constexpr std::int64_t kMost = std::numeric_limits<std::int64_t>::max();
    for (int i = 0; i < r.rows(); ++i) {
        const auto segment = integerAt(r, i, 1, 0, kMost), position = integerAt(r, i, 2, 0, kMost);
        if (!segment || !position || r.isNull(i, 5)) {
            out.unread.add(QStringLiteral("laptop ") + QString::fromStdString(r.value(i, 4)),
                           QStringLiteral("series record: no line, or its place out of range"));
            continue;
        }
        out.records.push_back({QString::fromStdString(r.value(i, 0)), *segment, *position,
                               QString::fromStdString(r.value(i, 3)),
                               QString::fromStdString(r.value(i, 5)),
                               QString::fromStdString(r.value(i, 4))});
    }
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
        pg.exec("SELECT " + recordColumns("identity") +
                    ", occurrence, after, after_occurrence FROM xrq.owned_series_facts "
                    "WHERE unit = $1 AND data_set = $2 ORDER BY arrival",
                {PgParam::text(unit.toStdString()), PgParam::text(dataSet.toStdString())}, timeout);
    if (!r.ok()) {
        s.message = QStringLiteral("records not read: ") + QString::fromStdString(r.error());
        return s;
    }
    constexpr std::int64_t kMost = std::numeric_limits<std::int64_t>::max();
    s.records.reserve(static_cast<std::size_t>(r.rows()));
    for (int i = 0; i < r.rows(); ++i) {
        QString why;
        std::optional<ServerSeriesRecord> rec = recordAt(r, i, why);
        const auto occurrence = integerAt(r, i, 9, 0, kMost);
        const auto afterOccurrence = integerAt(r, i, 11, 0, kMost);
        if (!rec || !occurrence || !afterOccurrence) {
            s.unread.add(QString::fromStdString(r.value(i, kRecordPusher)),
                         rec ? QStringLiteral("series record: occurrence out of range") : why);
            continue;
        }
        rec->occurrence = *occurrence;
        rec->after = QString::fromStdString(r.value(i, 10));
        rec->afterOccurrence = *afterOccurrence;
        s.records.push_back(std::move(*rec));
    }
    const PgResult old =
        pg.exec("SELECT " + recordColumns("chain_hash") +
                    " FROM xrq.owned_series_records WHERE unit = $1 AND data_set = $2 "
                    "ORDER BY segment, position, arrival",
                {PgParam::text(unit.toStdString()), PgParam::text(dataSet.toStdString())}, timeout);
    if (!old.ok()) {
        s.message = QStringLiteral("records not read: ") + QString::fromStdString(old.error());
        return s;
    }
    s.byPlace.reserve(static_cast<std::size_t>(old.rows()));
    for (int i = 0; i < old.rows(); ++i) {
        QString why;
        if (std::optional<ServerSeriesRecord> rec = recordAt(old, i, why))
            s.byPlace.push_back(std::move(*rec));
        else
            s.unread.add(QString::fromStdString(old.value(i, kRecordPusher)), why);
    }
    if (!readClockSets(pg, unit, timeout, s.clockSets, s.clockSetsUnread, s.message))
        return s;
    const platform::Result<QString> leftOut = readDisownedNote(pg, timeout);
    if (!leftOut) {
        s.message = QString::fromStdString(leftOut.text());
        return s;
    }
    s.leftOut = *leftOut;
    s.ok = true;
    return s;
}

ServerClockSets readUnitClockSets(const std::string& conninfo, const QString& unit,
                                  std::chrono::milliseconds timeout) {
    ServerClockSets out;
    PgConnection pg;
    if (!open(pg, conninfo, timeout, out.message))
        return out;
    out.ok = readClockSets(pg, unit, timeout, out.clockSets, out.unread, out.message);
    return out;
}

QString historyLabel(const HistoryEntry& entry) {
    return entry.otherLaptop ? QStringLiteral("%1 (%2)").arg(entry.kind, entry.laptop) : entry.kind;
}

} // namespace fleet

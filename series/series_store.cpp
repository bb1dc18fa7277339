// SPDX-License-Identifier: GPL-3.0-or-later
#include "series/series_store.h"

#include "series/store_db.h"
#include "series/store_schema.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace series {

using namespace detail;

std::string takenText(const SetTaken& t) {
    std::string text = t.name + (t.ordinal > 0 ? " (" + std::to_string(t.ordinal + 1) + ")" : "") +
                       ": " + std::to_string(t.added) +
                       (t.added == 1 ? " new record, " : " new records, ") +
                       std::to_string(t.held) + " already held";
    if (t.provisional && t.added > 0)
        text += ", the new ones provisional (the download was not called safe)";
    if (t.confirmed > 0)
        text += ", " + std::to_string(t.confirmed) + " provisional confirmed";
    if (t.replaced > 0)
        text += ", " + std::to_string(t.replaced) + " provisional replaced";
    if (t.disputed > 0)
        text += ", " + std::to_string(t.disputed) +
                (t.disputed == 1 ? " record disputed (another record said at its place)"
                                 : " records disputed (other records said at their places)");
    if (t.settled > 0)
        text += ", " + std::to_string(t.settled) +
                (t.settled == 1 ? " dispute settled" : " disputes settled");
    if (t.joined > 0)
        text += t.joined == 1
                    ? "; a segment joined (the same memory)"
                    : "; " + std::to_string(t.joined) + " segments joined (the same memory)";
    if (t.newSegment && t.afterClear)
        text += "; a new segment: the unit was cleared since";
    else if (t.newSegment)
        text += "; a new segment: " + t.reason;
    if (t.apart)
        text += " (provisional, apart: the download was not called safe)";
    if (t.fewer)
        text += "; the unit holds fewer records than before";
    return text;
}

std::string ApplyResult::text() const {
    if (!ok)
        return "The series did not take the download: " + error;
    if (replayed)
        return "The series already holds this download";
    std::string out;
    for (const SetTaken& t : sets)
        out += (out.empty() ? "" : "; ") + takenText(t);
    return out.empty() ? "The series took no records (no data set)" : out;
}

SeriesStore::SeriesStore() = default;

SeriesStore::~SeriesStore() {
    close();
}

void SeriesStore::setFaultHook(std::function<void(const char*)> hook) {
    faultHook() = std::move(hook);
}

int SeriesStore::rulesVersion() {
    if (!m_db)
        return 0;
    if (m_db->version < 3)
        return m_db->version;
    QSqlQuery q(m_db->db);
    if (q.exec(QStringLiteral("SELECT value FROM meta WHERE key = 'rules'")) && q.next())
        return q.value(0).toInt();
    return m_db->version;
}

bool SeriesStore::isOpen() const {
    return m_db != nullptr;
}

void SeriesStore::close() {
    if (!m_db)
        return;
    // The handle let go before the kit removes its connection.
    m_db->db = QSqlDatabase();
    m_db->store.close();
    delete m_db;
    m_db = nullptr;
}

platform::Result<void> SeriesStore::connect(const std::string& path,
                                            const storage::OpenOptions& options) {
    close();
    m_path = path;
    m_db = new Db;
    auto store = storage::open(path, options);
    if (!store) {
        close();
        return store.error();
    }
    m_db->store = std::move(*store);
    m_db->db = m_db->store.db();
    m_db->version = m_db->store.version();
    return {};
}

namespace {

// What every open of the store asks of the kit: its own schema, the writer's busy wait.
storage::OpenOptions storeOptions(storage::Access access) {
    storage::OpenOptions o;
    o.access = access;
    o.busyMs = storage::busy::kWriter;
    o.schemaVersion = kSchemaVersion;
    o.connectionPrefix = QStringLiteral("xrq-series");
    return o;
}

} // namespace

platform::Result<void> SeriesStore::open(const std::string& path) {
    // Write-ahead log and synchronous=FULL: a download taken is on the disk before anyone is
    // told, and readers of the series never hold up its writes; the whole file checked, so
    // that a damaged store is rebuilt rather than written into.
    storage::OpenOptions o = storeOptions(storage::Access::ReadWrite);
    o.journal = storage::Journal::Wal;
    o.sync = storage::Sync::Full;
    o.quickCheck = true;
    // The name this laptop's records carry: fleet.ini beside the store, else the host name.
    const auto slash = path.rfind('/');
    const std::string settingsFolder =
        slash == std::string::npos ? "./" : path.substr(0, slash + 1);
    o.steps = migrationSteps(settingsFolder);
    if (auto opened = connect(path, o); !opened)
        return platform::makeError(opened.kind(), path + ": " + opened.text());
    m_db->settingsFolder = settingsFolder;
    return {};
}

platform::Result<void> SeriesStore::openToRead(const std::string& path) {
    if (auto opened = connect(path, storeOptions(storage::Access::ReadOnly)); !opened)
        return platform::makeError(opened.kind(), path + ": " + opened.text());
    if (m_db->version == 0) {
        close();
        return platform::makeError(platform::ErrorKind::Corrupt, path + ": holds no series");
    }
    return {};
}

platform::Result<void> SeriesStore::openToKeep(const std::string& path) {
    // The file as its owner left it: never made here, its journal and sync not touched.
    storage::OpenOptions o = storeOptions(storage::Access::ReadWrite);
    o.create = false;
    o.journal = storage::Journal::Keep;
    o.sync = storage::Sync::Keep;
    if (auto opened = connect(path, o); !opened)
        return platform::makeError(opened.kind(), path + ": " + opened.text());
    if (m_db->version != kSchemaVersion) {
        const int version = m_db->version;
        close();
        if (version == 0)
            return platform::makeError(platform::ErrorKind::Corrupt, path + ": holds no series");
        return platform::makeError(version > kSchemaVersion ? platform::ErrorKind::TooNew
                                                            : platform::ErrorKind::Invalid,
                                   path + ": made by another version");
    }
    return {};
}

bool SeriesStore::hasDownload(const std::string& serial, const std::string& keptPath) {
    if (!m_db || keptPath.empty())
        return false;
    QSqlQuery q(m_db->db);
    q.prepare(QStringLiteral("SELECT 1 FROM downloads WHERE serial = ? AND path = ?"));
    q.bindValue(0, blob(serial));
    q.bindValue(1, blob(keptPath));
    return m_db->exec(q) && q.next();
}

platform::Result<bool> SeriesStore::saidWhereDisagreed(const std::string& serial,
                                                       const std::string& keptPath) {
    if (!m_db || m_db->version < 3)
        return platform::makeError(platform::ErrorKind::Internal, "the series store is not open");
    QSqlQuery q(m_db->db);
    q.prepare(QStringLiteral("SELECT 1 FROM versions v JOIN downloads d ON d.id = v.download_id "
                             "WHERE d.serial = ? AND d.path = ? LIMIT 1"));
    q.bindValue(0, blob(serial));
    q.bindValue(1, blob(keptPath));
    if (!m_db->exec(q))
        return m_db->failure(m_path + ": ");
    return q.next();
}

std::vector<SeriesInfo> SeriesStore::list() {
    std::vector<SeriesInfo> out;
    if (!m_db)
        return out;
    QSqlQuery q(m_db->db);
    q.setForwardOnly(true);
    if (!q.exec(QStringLiteral(
            "SELECT s.id, s.serial, s.name, s.ordinal, s.usual_interval,"
            " (SELECT COUNT(*) FROM segments g WHERE g.series_id = s.id AND g.seq >= 0),"
            " (SELECT COALESCE(SUM(records), 0) FROM segments g WHERE g.series_id = s.id"
            "  AND g.seq >= 0),"
            " (SELECT COALESCE(SUM(records - confirmed), 0) FROM segments g WHERE g.series_id = "
            "s.id AND g.seq >= 0),"
            " (SELECT COALESCE(SUM(c.bytes), 0) FROM chunks c JOIN segments g ON c.segment_id = "
            "g.id"
            "  WHERE g.series_id = s.id AND g.seq >= 0)"
            " FROM series s ORDER BY s.serial, s.name, s.ordinal")))
        return out;
    while (q.next()) {
        SeriesInfo info;
        info.id = q.value(0).toLongLong();
        info.serial = bytesOf(q.value(1));
        info.name = bytesOf(q.value(2));
        info.ordinal = q.value(3).toInt();
        info.usualInterval = q.value(4).toDouble();
        info.segments = q.value(5).toInt();
        info.records = q.value(6).toULongLong();
        info.provisional = q.value(7).toULongLong();
        info.bytes = q.value(8).toULongLong();
        out.push_back(std::move(info));
    }
    q.finish();
    for (SeriesInfo& info : out) {
        std::set<std::pair<int, std::uint64_t>> disputed;
        if (m_db->disputedPlaces(info.id, disputed))
            info.disputed = disputed.size();
        // The titles the latest download with a title line brought (none in a store of an
        // older schema, read only: its series is rebuilt before it is written again).
        QSqlQuery t(m_db->db);
        t.prepare(QStringLiteral("SELECT t.line FROM titles t JOIN downloads d ON d.id = "
                                 "t.download_id WHERE t.series_id = ? ORDER BY d.at DESC, d.id "
                                 "DESC LIMIT 1"));
        t.bindValue(0, qint64(info.id));
        if (t.exec() && t.next())
            info.columnTitles = bytesOf(t.value(0));
    }
    return out;
}

std::map<int, std::string> SeriesStore::segmentTitles(std::int64_t seriesId) {
    std::map<int, std::string> out;
    if (!m_db)
        return out;
    // Per segment, the title line of the latest download that brought records to it.
    QSqlQuery q(m_db->db);
    q.setForwardOnly(true);
    q.prepare(QStringLiteral(
        "SELECT g.seq, t.line FROM titles t JOIN downloads d ON d.id = t.download_id"
        " JOIN chunks c ON c.download_id = t.download_id JOIN segments g ON g.id = c.segment_id"
        " WHERE t.series_id = ? AND g.series_id = t.series_id"
        " GROUP BY g.seq, t.download_id ORDER BY g.seq, d.at, d.id"));
    q.bindValue(0, qint64(seriesId));
    if (!q.exec())
        return out;
    while (q.next())
        out[q.value(0).toInt() + 1] = bytesOf(q.value(1));
    return out;
}

std::optional<SeriesInfo> SeriesStore::find(const std::string& serial, const std::string& name,
                                            int ordinal) {
    for (SeriesInfo& info : list())
        if (info.serial == serial && info.name == name && info.ordinal == ordinal)
            return std::move(info);
    return std::nullopt;
}

std::vector<ClockFact> SeriesStore::clockSets(const std::string& serial) {
    std::vector<ClockFact> out;
    if (!m_db || m_db->version < 3)
        return out;
    QSqlQuery q(m_db->db);
    q.prepare(
        QStringLiteral("SELECT at, utc_offset, sent FROM clock_sets WHERE serial = ? ORDER BY at"));
    q.bindValue(0, blob(serial));
    if (!m_db->exec(q))
        return out;
    while (q.next())
        out.push_back(clockFactAt(q, 0));
    // The organisation's, where any were learnt.
    std::vector<ClockFact> learnt;
    if (q.exec(QString::fromLatin1(kHasLearntClockSets)) && q.next()) {
        q.prepare(QStringLiteral(
            "SELECT at, utc_offset, sent FROM learnt_clock_sets WHERE serial = ? ORDER BY at"));
        q.bindValue(0, blob(serial));
        if (m_db->exec(q))
            while (q.next())
                learnt.push_back(clockFactAt(q, 0));
    }
    return mergeClockSets(std::move(out), learnt);
}

platform::Result<std::size_t> SeriesStore::keepLearntClockSets(const std::string& serial,
                                                               const std::vector<ClockFact>& sets) {
    if (!m_db || m_db->version < 3)
        return platform::makeError(platform::ErrorKind::Internal, "the series store is not open");
    Db& db = *m_db;
    auto fail = [&]() -> platform::Result<std::size_t> {
        platform::Error error = db.failure();
        db.run("ROLLBACK");
        return error;
    };
    if (!db.run("BEGIN IMMEDIATE"))
        return fail();
    // Learnt facts, never changed: a set comes again from the server as it was.
    if (!db.run("CREATE TABLE IF NOT EXISTS learnt_clock_sets(serial BLOB NOT NULL, at INTEGER "
                "NOT NULL, utc_offset INTEGER, sent BLOB NOT NULL)") ||
        !db.run("CREATE UNIQUE INDEX IF NOT EXISTS learnt_clock_sets_once ON "
                "learnt_clock_sets(serial, at, sent, ifnull(utc_offset, 'none'))"))
        return fail();
    QSqlQuery q(db.db);
    q.prepare(QStringLiteral("INSERT OR IGNORE INTO learnt_clock_sets(serial, at, utc_offset, "
                             "sent) VALUES(?, ?, ?, ?)"));
    std::size_t added = 0;
    for (const ClockFact& c : sets) {
        q.bindValue(0, blob(serial));
        q.bindValue(1, qint64(c.atMs));
        q.bindValue(2, c.offsetSeconds ? QVariant(*c.offsetSeconds) : QVariant());
        q.bindValue(3, blob(c.sent));
        if (!db.exec(q))
            return fail();
        added += std::size_t(q.numRowsAffected());
    }
    if (!db.run("COMMIT"))
        return fail();
    return added;
}

platform::Result<std::vector<std::pair<std::string, ClockFact>>> SeriesStore::learntClockSets() {
    using Sets = std::vector<std::pair<std::string, ClockFact>>;
    if (!m_db)
        return platform::makeError(platform::ErrorKind::Internal, "the series store is not open");
    QSqlQuery q(m_db->db);
    q.setForwardOnly(true);
    auto failed = [&]() -> platform::Result<Sets> {
        return platform::makeError(storage::kindOf(q.lastError()),
                                   m_path + ": " + q.lastError().text().toStdString());
    };
    if (!q.exec(QString::fromLatin1(kHasLearntClockSets)))
        return failed();
    if (!q.next()) // none was ever learnt
        return q.lastError().isValid() ? failed() : Sets{};
    q.finish();
    if (!q.exec(QStringLiteral(
            "SELECT serial, at, utc_offset, sent FROM learnt_clock_sets ORDER BY serial, at")))
        return failed();
    Sets sets;
    while (q.next())
        sets.push_back({bytesOf(q.value(0)), clockFactAt(q, 1)});
    // A read that ended on damage half way carries nothing rather than part.
    if (q.lastError().isValid())
        return failed();
    return sets;
}

platform::Result<void> SeriesStore::notePruned(const PrunedDownload& pruned) {
    if (!m_db || m_db->version < 3)
        return platform::makeError(platform::ErrorKind::Internal, "the series store is not open");
    QSqlQuery q(m_db->db);
    q.prepare(
        QStringLiteral("INSERT OR REPLACE INTO pruned(serial, path, held_by) VALUES(?, ?, ?)"));
    q.bindValue(0, blob(pruned.serial));
    q.bindValue(1, blob(pruned.path));
    q.bindValue(2, blob(pruned.heldBy));
    if (!m_db->exec(q))
        return m_db->failure();
    return {};
}

std::vector<PrunedDownload> SeriesStore::pruned() {
    std::vector<PrunedDownload> out;
    if (!m_db || m_db->version < 3)
        return out;
    QSqlQuery q(m_db->db);
    if (!q.exec(QStringLiteral("SELECT serial, path, held_by FROM pruned ORDER BY rowid")))
        return out;
    while (q.next())
        out.push_back({bytesOf(q.value(0)), bytesOf(q.value(1)), bytesOf(q.value(2))});
    return out;
}

std::vector<Note> SeriesStore::notes(std::int64_t seriesId) {
    std::vector<Note> out;
    if (!m_db)
        return out;
    QSqlQuery q(m_db->db);
    q.prepare(QStringLiteral("SELECT n.segment, n.record, n.text, d.path FROM notes n JOIN "
                             "downloads d ON d.id = n.download_id WHERE n.series_id = ? ORDER "
                             "BY n.id"));
    q.bindValue(0, qint64(seriesId));
    if (!m_db->exec(q))
        return out;
    while (q.next())
        out.push_back(Note{q.value(0).toInt(), q.value(1).toULongLong(),
                           q.value(2).toString().toStdString(), bytesOf(q.value(3))});
    return out;
}

bool SeriesStore::forEachRecord(std::int64_t seriesId,
                                const std::function<bool(const RecordRef&)>& each) {
    if (!m_db)
        return false;
    std::map<std::int64_t, std::string> paths;
    std::map<std::int64_t, std::int64_t> taken;
    {
        QSqlQuery q(m_db->db);
        q.setForwardOnly(true);
        if (!q.exec(QStringLiteral("SELECT id, path, at FROM downloads")))
            return false;
        while (q.next()) {
            paths[q.value(0).toLongLong()] = bytesOf(q.value(1));
            taken[q.value(0).toLongLong()] = q.value(2).toLongLong();
        }
    }
    std::set<std::pair<int, std::uint64_t>> disputed;
    std::map<std::pair<int, std::uint64_t>, std::string> shown;
    if (!m_db->disputedPlaces(seriesId, disputed, &shown))
        return false;
    QSqlQuery q(m_db->db);
    q.setForwardOnly(true);
    q.prepare(QStringLiteral(
        "SELECT g.seq, g.confirmed, c.first, c.download_id, c.utc_offset, c.date_order, c.data "
        "FROM segments g JOIN chunks c ON c.segment_id = g.id WHERE g.series_id = ? "
        "AND g.seq >= 0 ORDER BY g.seq, c.first"));
    q.bindValue(0, qint64(seriesId));
    if (!m_db->exec(q))
        return false;
    RecordRef ref;
    bool going = true;
    while (going && q.next()) {
        ref.segment = q.value(0).toInt() + 1;
        const std::uint64_t confirmed = q.value(1).toULongLong();
        ref.index = q.value(2).toULongLong();
        ref.download = &paths[q.value(3).toLongLong()];
        ref.downloadAtMs = taken[q.value(3).toLongLong()];
        const int seq = q.value(0).toInt();
        ref.offsetSeconds =
            q.value(4).isNull() ? std::nullopt : std::optional<int>(q.value(4).toInt());
        ref.dateOrder = static_cast<viewer::DateOrder>(q.value(5).toInt());
        const QByteArray data = q.value(6).toByteArray();
        const bool ok = decodeChunk(data, [&](std::uint8_t flags, std::string_view line) {
            ref.line = line;
            ref.timeFlags = flags;
            ref.provisional = ref.index >= confirmed;
            ref.disputed = !disputed.empty() && disputed.count({seq, ref.index});
            if (!shown.empty()) {
                const auto settled = shown.find({seq, ref.index});
                if (settled != shown.end())
                    ref.line = settled->second;
            }
            going = each(ref);
            ++ref.index;
            return going;
        });
        if (!ok)
            return false;
    }
    return going;
}

} // namespace series

// SPDX-License-Identifier: GPL-3.0-or-later
#include "register/unit_register.h"

#include "register/register_outbox.h"

#include "fleet/fleet_settings.h"
#include "fleet/outbox.h"
#include "platform/durable_file.h"
#include "storage/sqlite_store.h"

#include <QDateTime>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QUuid>
#include <QVariant>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <sys/stat.h>
#include <unistd.h>

namespace unitreg {

namespace {

// Each schema version is the one before plus its step. A file of version n runs the steps
// after n; a new file runs them all. Steps are never edited once released: a change is a new
// step.
// Whole: the register's schema as one table of steps, never edited once released.
const std::vector<std::vector<const char*>>& schemaSteps() {
    static const std::vector<std::vector<const char*>> steps = {
        // 1: units, visits and the events of a visit.
        {
            "CREATE TABLE units(id INTEGER PRIMARY KEY, serial BLOB NOT NULL UNIQUE,"
            " first_seen INTEGER NOT NULL, last_seen INTEGER NOT NULL)",
            "CREATE TABLE visits(id INTEGER PRIMARY KEY, unit_id INTEGER NOT NULL"
            " REFERENCES units(id), at INTEGER NOT NULL, port INTEGER, device BLOB)",
            "CREATE TABLE battery(id INTEGER PRIMARY KEY, unit_id INTEGER NOT NULL"
            " REFERENCES units(id), at INTEGER NOT NULL, volts REAL, celsius REAL, reply BLOB)",
            "CREATE TABLE clock_sets(id INTEGER PRIMARY KEY, unit_id INTEGER NOT NULL"
            " REFERENCES units(id), at INTEGER NOT NULL, sent BLOB)",
            "CREATE TABLE downloads(id INTEGER PRIMARY KEY, unit_id INTEGER NOT NULL"
            " REFERENCES units(id), started INTEGER NOT NULL, ended INTEGER, bytes INTEGER,"
            " sets INTEGER, complete INTEGER NOT NULL, why TEXT)",
            "CREATE TABLE download_files(download_id INTEGER NOT NULL REFERENCES downloads(id),"
            " seq INTEGER NOT NULL, path BLOB NOT NULL, PRIMARY KEY(download_id, seq))",
            "CREATE TABLE clears(id INTEGER PRIMARY KEY, unit_id INTEGER NOT NULL"
            " REFERENCES units(id), at INTEGER NOT NULL, confirmed INTEGER NOT NULL)",
            "CREATE INDEX visits_by_unit ON visits(unit_id, at)",
            "CREATE INDEX battery_by_unit ON battery(unit_id, at)",
            "CREATE INDEX clock_sets_by_unit ON clock_sets(unit_id, at)",
            "CREATE INDEX downloads_by_unit ON downloads(unit_id, started)",
            "CREATE INDEX clears_by_unit ON clears(unit_id, at)",
        },
        // 2: whether a download's files were read back and matched, and its kept raw file.
        // Downloads recorded before count as not verified.
        {
            "ALTER TABLE downloads ADD COLUMN verified INTEGER NOT NULL DEFAULT 0",
            "ALTER TABLE downloads ADD COLUMN kept_file BLOB",
        },
        // 3: every event's identity (a UUID given when it happened; older rows have none), so
        // that an event written twice is kept once; a download's port, the verdict's reasons
        // (a JSON array), the line errors and each data set's line count; identifications
        // that name the unit of a download made without a serial number.
        {
            "ALTER TABLE visits ADD COLUMN event_id TEXT",
            "ALTER TABLE battery ADD COLUMN event_id TEXT",
            "ALTER TABLE clock_sets ADD COLUMN event_id TEXT",
            "ALTER TABLE downloads ADD COLUMN event_id TEXT",
            "ALTER TABLE clears ADD COLUMN event_id TEXT",
            "CREATE UNIQUE INDEX visits_by_event ON visits(event_id)",
            "CREATE UNIQUE INDEX battery_by_event ON battery(event_id)",
            "CREATE UNIQUE INDEX clock_sets_by_event ON clock_sets(event_id)",
            "CREATE UNIQUE INDEX downloads_by_event ON downloads(event_id)",
            "CREATE UNIQUE INDEX clears_by_event ON clears(event_id)",
            "ALTER TABLE downloads ADD COLUMN port INTEGER",
            "ALTER TABLE downloads ADD COLUMN reasons TEXT",
            "ALTER TABLE downloads ADD COLUMN line_errors TEXT",
            "CREATE TABLE download_sets(download_id INTEGER NOT NULL REFERENCES downloads(id),"
            " seq INTEGER NOT NULL, name BLOB NOT NULL, lines INTEGER NOT NULL,"
            " PRIMARY KEY(download_id, seq))",
            "CREATE TABLE identifications(id INTEGER PRIMARY KEY, event_id TEXT NOT NULL UNIQUE,"
            " download_event TEXT NOT NULL, unit_id INTEGER NOT NULL REFERENCES units(id),"
            " at INTEGER NOT NULL)",
            "CREATE INDEX identifications_by_unit ON identifications(unit_id)",
        },
        // 4: a clock set's UTC offset and the computer's time zone (NULL before: the series
        // works the offset out from the text and the instant).
        {
            "ALTER TABLE clock_sets ADD COLUMN utc_offset INTEGER",
            "ALTER TABLE clock_sets ADD COLUMN time_zone TEXT",
        },
        // 5: the outbox of facts waiting to be shared (fleet/outbox.h), which the migration
        // makes and fills with the events recorded before (migrate()).
        {},
        // 6: downloads judged again by later line rules on their kept raw copy and found no
        // longer safe; and the downloads called safe before this step, each waiting to be
        // judged again once (a download leaves the list when it has been).
        {
            "CREATE TABLE judged_again(id INTEGER PRIMARY KEY, event_id TEXT NOT NULL UNIQUE,"
            " download_event TEXT NOT NULL, unit_id INTEGER NOT NULL REFERENCES units(id),"
            " at INTEGER NOT NULL, download_started INTEGER NOT NULL, reasons TEXT NOT NULL)",
            "CREATE INDEX judged_again_by_download ON judged_again(download_event)",
            "CREATE TABLE judge_again(download_event TEXT PRIMARY KEY)",
            "INSERT INTO judge_again(download_event) SELECT event_id FROM downloads"
            " WHERE verified != 0 AND event_id IS NOT NULL AND kept_file IS NOT NULL"
            " AND length(kept_file) > 0",
        },
    };
    return steps;
}

QByteArray blob(const std::string& bytes) {
    return QByteArray(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

std::string bytes(const QVariant& value) {
    return value.toByteArray().toStdString();
}

// What to do about a failure, from the kit's kind of it (storage::kindOf: SQLite's result
// codes, written once there).
Failure failureOfKind(platform::ErrorKind kind) {
    switch (kind) {
    case platform::ErrorKind::Busy:
        return Failure::Busy;
    case platform::ErrorKind::Io:
        return Failure::Io;
    case platform::ErrorKind::Full:
        return Failure::Full;
    case platform::ErrorKind::Corrupt:
        return Failure::Damage;
    default:
        return Failure::Other;
    }
}

Failure failureOf(const QSqlError& error) {
    return failureOfKind(storage::kindOf(error));
}

QString reasonsJson(const std::vector<std::string>& reasons) {
    QJsonArray array;
    for (const std::string& r : reasons)
        array.append(QString::fromUtf8(r.data(), static_cast<qsizetype>(r.size())));
    return QString::fromUtf8(QJsonDocument(array).toJson(QJsonDocument::Compact));
}

std::vector<std::string> reasonsOfJson(const QString& json) {
    std::vector<std::string> out;
    for (const QJsonValue& v : QJsonDocument::fromJson(json.toUtf8()).array())
        out.push_back(v.toString().toUtf8().toStdString());
    return out;
}

// units.sqlite -> units-damaged-20261103-104200.sqlite (with -1, -2 ... when taken), its
// journal files beside it under the same name, so that the old write-ahead log is never
// replayed into the new file.
bool moveAside(const std::string& path, std::string& movedTo, std::string& why) {
    const std::string folder = platform::folderOf(path);
    const std::string stamp =
        QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss")).toStdString();
    for (int n = 0; n < 100; ++n) {
        const std::string target = folder + "/units-damaged-" + stamp +
                                   (n ? "-" + std::to_string(n) : std::string()) + ".sqlite";
        if (platform::renameNoReplace(path, target)) {
            for (const char* companion : {"-wal", "-shm"}) {
                struct stat st {};
                if (::lstat((path + companion).c_str(), &st) == 0)
                    platform::renameNoReplace(path + companion, target + companion);
            }
            platform::syncFolder(folder);
            movedTo = target;
            return true;
        }
        if (errno != EEXIST) {
            why = std::strerror(errno);
            return false;
        }
    }
    why = "no free name to move it to";
    return false;
}

} // namespace

struct UnitRegister::Db {
    explicit Db(storage::Store opened) : store(std::move(opened)) {}
    storage::Store store;
    QSqlDatabase& db = store.db();
};

UnitRegister::UnitRegister() = default;

UnitRegister::~UnitRegister() {
    close();
}

void UnitRegister::close() {
    m_open = false;
    delete m_db; // the store's connection goes with it
    m_db = nullptr;
}

bool UnitRegister::fail(const QString& what) {
    m_lastError = what.toStdString();
    m_lastFailure = Failure::Other;
    return false;
}

bool UnitRegister::fail(const QSqlError& error) {
    m_lastError = error.text().toStdString();
    m_lastFailure = failureOf(error);
    return false;
}

bool isPassing(Failure failure) {
    return failure == Failure::Busy || failure == Failure::Io || failure == Failure::Full;
}

std::string newEventId() {
    return QUuid::createUuid().toString(QUuid::WithoutBraces).toStdString();
}

OpenOutcome UnitRegister::open(const std::string& path, int busyMs) {
    close();
    m_path = path;
    m_busyMs = busyMs;
    bool damaged = false;
    OpenOutcome outcome = openFile(path, busyMs, damaged);
    if (!damaged)
        return outcome;
    const int version = outcome.foundVersion;
    close();
    // Only damage is damage: a report of corruption that a fresh look does not confirm (a
    // read that failed on its way from the disk, say) leaves the file where it is.
    if (!damageConfirmed()) {
        outcome.retryable = true;
        return outcome;
    }
    std::string movedTo, why;
    if (!moveAside(path, movedTo, why)) {
        outcome.state = OpenOutcome::State::Unavailable;
        outcome.message = "The unit register " + path +
                          " is damaged and could not be moved aside (" + why +
                          "); visits are not recorded.";
        return outcome;
    }
    outcome = openFile(path, busyMs, damaged);
    outcome.foundVersion = version;
    outcome.movedTo = movedTo;
    if (outcome.state == OpenOutcome::State::Open) {
        outcome.state = OpenOutcome::State::OpenAfterMovingAside;
        outcome.message = "The unit register " + path + " was damaged. It has been kept as " +
                          movedTo + " and a new register has been started.";
    }
    return outcome;
}

bool UnitRegister::damageConfirmed() {
    if (m_path.empty())
        return false;
    // A look as it is: nothing set on the file, nothing made.
    storage::OpenOptions look;
    look.create = false;
    look.busyMs = m_busyMs;
    look.journal = storage::Journal::Keep;
    look.sync = storage::Sync::Keep;
    look.quickCheck = true;
    look.connectionPrefix = QStringLiteral("unitreg-check");
    const auto opened = storage::open(m_path, look);
    // Not a database at all, or quick_check finding damage, on a second look.
    return !opened && opened.kind() == platform::ErrorKind::Corrupt;
}

OpenOutcome UnitRegister::openFile(const std::string& path, int busyMs, bool& damaged) {
    OpenOutcome outcome;
    damaged = false;
    auto unavailable = [&](const std::string& why) {
        close();
        m_lastError = why;
        outcome.state = OpenOutcome::State::Unavailable;
        outcome.retryable = isPassing(m_lastFailure);
        outcome.message =
            "The unit register " + path + " cannot be used: " + why +
            (outcome.retryable ? ". Events are kept and written when it can be used again."
                               : ". Visits are not recorded.");
        return outcome;
    };
    m_lastFailure = Failure::Other;
    // The kit checks the file and its folder before SQLite sees them, reads the version (a
    // newer program's file is left as it is), sets write-ahead logging (another copy of the
    // program reads and writes meanwhile), synchronous=FULL (every commit reaches the disk
    // before the next event: a crash or a power cut loses at most the event being written)
    // and foreign keys, runs quick_check and the missing steps in one transaction.
    storage::OpenOptions options;
    options.busyMs = busyMs;
    options.foreignKeys = true;
    options.quickCheck = true;
    options.schemaVersion = kSchemaVersion;
    options.steps = migrationSteps();
    options.connectionPrefix = QStringLiteral("unitreg");
    auto opened = storage::open(path, options);
    if (!opened) {
        m_lastFailure = failureOfKind(opened.kind());
        damaged = m_lastFailure == Failure::Damage;
        return unavailable(opened.text());
    }
    m_db = new Db(std::move(*opened));
    outcome.foundVersion = m_db->store.foundVersion();
    m_lastFailure = Failure::None;
    m_open = true;
    outcome.state = OpenOutcome::State::Open;
    return outcome;
}

int UnitRegister::schemaVersion() {
    if (!m_db)
        return -1;
    QSqlQuery q(m_db->db);
    if (!q.exec(QStringLiteral("PRAGMA user_version")) || !q.next()) {
        fail(q.lastError());
        return -1;
    }
    return q.value(0).toInt();
}

namespace {
// The step (0-based) that adds the outbox.
constexpr int kOutboxStep = 4;
} // namespace

std::vector<storage::Step> UnitRegister::migrationSteps() {
    std::vector<storage::Step> out;
    const auto& steps = schemaSteps();
    for (std::size_t step = 0; step < steps.size(); ++step) {
        storage::Step statements = storage::statements(steps[step]);
        if (static_cast<int>(step) != kOutboxStep) {
            out.push_back(std::move(statements));
            continue;
        }
        // Every event recorded so far goes into the new outbox once, by its identity, in the
        // migration's transaction: a file is migrated with all its events waiting, or not at all.
        out.push_back([this, statements = std::move(statements)](
                          QSqlDatabase& db, int found) -> platform::Result<void> {
            if (auto created = fleet::Outbox::createTables(db); !created)
                return created;
            if (auto enqueued = enqueueEarlierEvents(db, laptop()); !enqueued)
                return enqueued;
            return statements(db, found);
        });
    }
    return out;
}

bool UnitRegister::begin() {
    if (!m_db)
        return fail(QStringLiteral("the register is not open"));
    QSqlQuery q(m_db->db);
    // The write lock is taken at once, so that a transaction never has to upgrade a read
    // lock while another copy writes (which SQLite can only answer with "busy").
    if (!q.exec(QStringLiteral("BEGIN IMMEDIATE")))
        return fail(q.lastError());
    return true;
}

bool UnitRegister::commit() {
    QSqlQuery q(m_db->db);
    if (!q.exec(QStringLiteral("COMMIT")))
        return fail(q.lastError());
    return true;
}

void UnitRegister::rollback() {
    if (!m_db)
        return;
    QSqlQuery q(m_db->db);
    q.exec(QStringLiteral("ROLLBACK"));
}

template <class F> bool UnitRegister::inTransaction(F&& body) {
    if (!m_open)
        return fail(QStringLiteral("the register is not open"));
    if (m_inBulk)
        return body();
    if (!begin())
        return false;
    if (!body()) {
        rollback();
        return false;
    }
    return commit();
}

std::int64_t UnitRegister::unitId(const std::string& serial, std::int64_t at) {
    QSqlQuery q(m_db->db);
    q.prepare(QStringLiteral(
        "INSERT INTO units(serial, first_seen, last_seen) VALUES(?, ?, ?) ON CONFLICT(serial) "
        "DO UPDATE SET last_seen = max(last_seen, excluded.last_seen),"
        " first_seen = min(first_seen, excluded.first_seen)"));
    q.addBindValue(blob(serial));
    q.addBindValue(qint64(at));
    q.addBindValue(qint64(at));
    if (!q.exec()) {
        fail(q.lastError());
        return 0;
    }
    q.prepare(QStringLiteral("SELECT id FROM units WHERE serial = ?"));
    q.addBindValue(blob(serial));
    if (!q.exec() || !q.next()) {
        fail(q.lastError());
        return 0;
    }
    return q.value(0).toLongLong();
}

namespace {

// Runs a prepared statement with its values bound in order.
bool run(QSqlQuery& q, const QString& sql, std::initializer_list<QVariant> values) {
    if (!q.prepare(sql))
        return false;
    for (const QVariant& v : values)
        q.addBindValue(v);
    return q.exec();
}

} // namespace

bool UnitRegister::insertOnce(const QString& sql, const std::vector<QVariant>& values,
                              bool& written) {
    QSqlQuery q(m_db->db);
    if (!q.prepare(sql))
        return fail(q.lastError());
    for (const QVariant& v : values)
        q.addBindValue(v);
    if (!q.exec())
        return fail(q.lastError());
    written = q.numRowsAffected() > 0;
    return true;
}

bool UnitRegister::insertEvent(const std::string& id, const std::string& serial, std::int64_t at,
                               const char* sql, const std::vector<QVariant>& values,
                               const FactOf& fact) {
    const std::string eventId = id.empty() ? newEventId() : id;
    return inTransaction([&] {
        const std::int64_t unit = unitId(serial, at);
        if (!unit)
            return false;
        std::vector<QVariant> all{QString::fromStdString(eventId), qint64(unit)};
        all.insert(all.end(), values.begin(), values.end());
        bool written = false;
        if (!insertOnce(QString::fromLatin1(sql), all, written))
            return false;
        // An event written before (a retry, a journal replayed) waits in the outbox already.
        return !written || share(fact(eventId));
    });
}

QString UnitRegister::laptop() const {
    return fleet::readFleetSettings(platform::folderOf(m_path) + "/").laptop;
}

bool UnitRegister::share(const fleet::Fact& fact) {
    auto queued = fleet::Outbox::enqueue(m_db->db, fact);
    if (queued)
        return true;
    // A full disk or a lock is told and retried like any other write; a fact that cannot be
    // shared (Invalid, no SQLite error) is a fault of ours.
    m_lastFailure = failureOfKind(queued.kind());
    m_lastError = queued.text();
    return false;
}

bool UnitRegister::recordVisit(const Visit& visit) {
    return insertEvent(visit.id, visit.serial, visit.at,
                       "INSERT INTO visits(event_id, unit_id, at, port, device)"
                       " VALUES(?, ?, ?, ?, ?) ON CONFLICT(event_id) DO NOTHING",
                       {qint64(visit.at), visit.port, blob(visit.device)},
                       [&](const std::string& id) { return visitFact(visit, id, laptop()); });
}

bool UnitRegister::recordBattery(const BatteryReading& reading) {
    return insertEvent(reading.id, reading.serial, reading.at,
                       "INSERT INTO battery(event_id, unit_id, at, volts, celsius, reply)"
                       " VALUES(?, ?, ?, ?, ?, ?) ON CONFLICT(event_id) DO NOTHING",
                       {qint64(reading.at), reading.volts, reading.celsius, blob(reading.reply)},
                       [&](const std::string& id) { return batteryFact(reading, id, laptop()); });
}

bool UnitRegister::recordClockSet(const ClockSet& set) {
    return insertEvent(set.id, set.serial, set.at,
                       "INSERT INTO clock_sets(event_id, unit_id, at, sent, utc_offset, time_zone)"
                       " VALUES(?, ?, ?, ?, ?, ?) ON CONFLICT(event_id) DO NOTHING",
                       {qint64(set.at), blob(set.sent),
                        set.utcOffsetSeconds ? QVariant(*set.utcOffsetSeconds) : QVariant(),
                        QString::fromStdString(set.timeZone)},
                       [&](const std::string& id) { return clockSetFact(set, id, laptop()); });
}

bool UnitRegister::recordClear(const Clear& clear) {
    return insertEvent(clear.id, clear.serial, clear.at,
                       "INSERT INTO clears(event_id, unit_id, at, confirmed) VALUES(?, ?, ?, ?)"
                       " ON CONFLICT(event_id) DO NOTHING",
                       {qint64(clear.at), int(clear.confirmed)},
                       [&](const std::string& id) { return clearFact(clear, id, laptop()); });
}

bool UnitRegister::recordDownload(const Download& d) {
    const std::string eventId = d.id.empty() ? newEventId() : d.id;
    return inTransaction([&] {
        const std::int64_t unit = unitId(d.serial, std::max(d.started, d.ended));
        if (!unit)
            return false;
        bool written = false;
        if (!insertOnce(
                QStringLiteral("INSERT INTO downloads(event_id, unit_id, started, ended, bytes,"
                               " sets, complete, why, verified, kept_file, port, reasons,"
                               " line_errors) VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"
                               " ON CONFLICT(event_id) DO NOTHING"),
                {QString::fromStdString(eventId), qint64(unit), qint64(d.started), qint64(d.ended),
                 qint64(d.bytes), d.sets, int(d.complete), QString::fromLocal8Bit(d.why.c_str()),
                 int(d.verified), d.keptFile.empty() ? QVariant() : QVariant(blob(d.keptFile)),
                 d.port > 0 ? QVariant(d.port) : QVariant(), reasonsJson(d.reasons),
                 QString::fromStdString(d.lineErrors)},
                written))
            return false;
        if (!written)
            return true; // recorded before, with its files and sets
        QSqlQuery q(m_db->db);
        if (!run(q, QStringLiteral("SELECT id FROM downloads WHERE event_id = ?"),
                 {QString::fromStdString(eventId)}) ||
            !q.next())
            return fail(q.lastError());
        const qint64 id = q.value(0).toLongLong();
        int seq = 0;
        for (const std::string& file : d.files)
            if (!run(q,
                     QStringLiteral(
                         "INSERT INTO download_files(download_id, seq, path) VALUES(?, ?, ?)"),
                     {id, seq++, blob(file)}))
                return fail(q.lastError());
        seq = 0;
        for (const Download::SetLines& set : d.setLines)
            if (!run(q,
                     QStringLiteral("INSERT INTO download_sets(download_id, seq, name, lines)"
                                    " VALUES(?, ?, ?, ?)"),
                     {id, seq++, blob(set.name), set.lines}))
                return fail(q.lastError());
        const QString name = laptop();
        if (!share(downloadFact(d, eventId, name)))
            return false;
        const std::optional<fleet::Fact> kept = keptFact(d, eventId, name);
        return !kept || share(*kept);
    });
}

bool UnitRegister::recordIdentification(const Identification& i) {
    if (i.serial.empty() || i.downloadId.empty())
        return fail(QStringLiteral("an identification names a unit and a download"));
    const std::string eventId = i.id.empty() ? newEventId() : i.id;
    return inTransaction([&] {
        const std::int64_t unit = unitId(i.serial, i.at);
        if (!unit)
            return false;
        bool written = false;
        if (!insertOnce(
                QStringLiteral("INSERT INTO identifications(event_id, download_event, unit_id, at)"
                               " VALUES(?, ?, ?, ?) ON CONFLICT(event_id) DO NOTHING"),
                {QString::fromStdString(eventId), QString::fromStdString(i.downloadId),
                 qint64(unit), qint64(i.at)},
                written))
            return false;
        return !written || share(linkFact(i, eventId, laptop()));
    });
}

bool UnitRegister::recordJudgedAgain(const JudgedAgain& j) {
    if (j.downloadId.empty())
        return fail(QStringLiteral("a download judged again names its download"));
    const std::string eventId = j.id.empty() ? newEventId() : j.id;
    return inTransaction([&] {
        const std::int64_t unit = unitId(j.serial, j.at);
        if (!unit)
            return false;
        bool written = false;
        if (!insertOnce(
                QStringLiteral("INSERT INTO judged_again(event_id, download_event,"
                               " unit_id, at, download_started, reasons)"
                               " VALUES(?, ?, ?, ?, ?, ?) ON CONFLICT(event_id) DO NOTHING"),
                {QString::fromStdString(eventId), QString::fromStdString(j.downloadId),
                 qint64(unit), qint64(j.at), qint64(j.downloadStarted), reasonsJson(j.reasons)},
                written))
            return false;
        bool left = false;
        if (!insertOnce(QStringLiteral("DELETE FROM judge_again WHERE download_event = ?"),
                        {QString::fromStdString(j.downloadId)}, left))
            return false;
        return !written || share(judgedAgainFact(j, eventId, laptop()));
    });
}

std::vector<KeptToJudge> UnitRegister::keptToJudgeAgain() {
    std::vector<KeptToJudge> out;
    if (!m_open)
        return out;
    QSqlQuery q(m_db->db);
    q.setForwardOnly(true);
    if (!q.exec(QStringLiteral(
            "SELECT d.event_id, u.serial, d.kept_file, d.started FROM judge_again j"
            " JOIN downloads d ON d.event_id = j.download_event JOIN units u ON u.id = d.unit_id"
            " ORDER BY d.started, d.id"))) {
        fail(q.lastError());
        return out;
    }
    while (q.next())
        out.push_back({q.value(0).toString().toStdString(), bytes(q.value(1)), bytes(q.value(2)),
                       q.value(3).toLongLong()});
    return out;
}

bool UnitRegister::judgedAgainStillSafe(const std::string& downloadId) {
    return inTransaction([&] {
        bool left = false;
        return insertOnce(QStringLiteral("DELETE FROM judge_again WHERE download_event = ?"),
                          {QString::fromStdString(downloadId)}, left);
    });
}

std::vector<UnitSummary> UnitRegister::units() {
    std::vector<UnitSummary> out;
    if (!m_open)
        return out;
    QSqlQuery q(m_db->db);
    q.setForwardOnly(true);
    // Each subquery is one seek in its table's (unit, time) index.
    if (!q.exec(QStringLiteral(
            "SELECT u.serial, u.first_seen, u.last_seen,"
            " (SELECT count(*) FROM visits v WHERE v.unit_id = u.id),"
            " (SELECT max(at) FROM visits v WHERE v.unit_id = u.id),"
            " d.started, d.complete, b.at, b.volts, b.celsius"
            " FROM units u"
            " LEFT JOIN downloads d ON d.id = (SELECT id FROM downloads WHERE unit_id = u.id"
            "  ORDER BY started DESC, id DESC LIMIT 1)"
            " LEFT JOIN battery b ON b.id = (SELECT id FROM battery WHERE unit_id = u.id"
            "  ORDER BY at DESC, id DESC LIMIT 1)"
            " ORDER BY u.last_seen DESC, u.id DESC"))) {
        fail(q.lastError());
        return out;
    }
    while (q.next()) {
        UnitSummary s;
        s.serial = bytes(q.value(0));
        s.firstSeen = q.value(1).toLongLong();
        s.lastSeen = q.value(2).toLongLong();
        s.visits = q.value(3).toInt();
        if (!q.value(4).isNull())
            s.lastVisit = q.value(4).toLongLong();
        if (!q.value(5).isNull()) {
            s.lastDownload = q.value(5).toLongLong();
            s.lastDownloadComplete = q.value(6).toInt() != 0;
        }
        if (!q.value(7).isNull()) {
            s.lastBatteryAt = q.value(7).toLongLong();
            s.lastVolts = q.value(8).toDouble();
            s.lastCelsius = q.value(9).toDouble();
        }
        out.push_back(std::move(s));
    }
    return out;
}

// Whole: one unit's events from each table into one list, each query beside its rows' reading.
std::vector<UnitEvent> UnitRegister::history(const std::string& serial) {
    std::vector<UnitEvent> out;
    if (!m_open)
        return out;
    QSqlQuery q(m_db->db);
    q.setForwardOnly(true);
    // `sql` with every '?' the serial number.
    auto select = [&](const char* sql) {
        q.prepare(QString::fromLatin1(sql));
        for (const char* c = sql; *c; ++c)
            if (*c == '?')
                q.addBindValue(blob(serial));
        if (!q.exec()) {
            fail(q.lastError());
            return false;
        }
        return true;
    };
    if (select("SELECT v.at, v.port, v.device FROM visits v JOIN units u ON u.id = v.unit_id"
               " WHERE u.serial = ? ORDER BY v.id"))
        while (q.next()) {
            UnitEvent e;
            e.kind = EventKind::Visit;
            e.at = q.value(0).toLongLong();
            e.port = q.value(1).isNull() ? -1 : q.value(1).toInt();
            e.device = bytes(q.value(2));
            out.push_back(std::move(e));
        }
    for (const BatteryReading& r : batteryHistory(serial)) {
        UnitEvent e;
        e.kind = EventKind::Battery;
        e.at = r.at;
        e.volts = r.volts;
        e.celsius = r.celsius;
        e.reply = r.reply;
        out.push_back(std::move(e));
    }
    if (select("SELECT c.at, c.sent FROM clock_sets c JOIN units u ON u.id = c.unit_id"
               " WHERE u.serial = ? ORDER BY c.id"))
        while (q.next()) {
            UnitEvent e;
            e.kind = EventKind::ClockSet;
            e.at = q.value(0).toLongLong();
            e.sent = bytes(q.value(1));
            out.push_back(std::move(e));
        }
        // The unit's own downloads and those of a unit without a serial number that a later
        // identification named as this one.
#define XRQ_DOWNLOADS_OF                                                                           \
    " JOIN units u ON u.id = d.unit_id WHERE (u.serial = ? OR d.event_id IN"                       \
    " (SELECT i.download_event FROM identifications i JOIN units w ON w.id = i.unit_id"            \
    " WHERE w.serial = ?))"
    std::map<qint64, std::vector<std::string>> files;
    if (select("SELECT f.download_id, f.path FROM download_files f"
               " JOIN downloads d ON d.id = f.download_id" XRQ_DOWNLOADS_OF
               " ORDER BY f.download_id, f.seq"))
        while (q.next())
            files[q.value(0).toLongLong()].push_back(bytes(q.value(1)));
    std::map<qint64, std::vector<Download::SetLines>> sets;
    if (select("SELECT s.download_id, s.name, s.lines FROM download_sets s"
               " JOIN downloads d ON d.id = s.download_id" XRQ_DOWNLOADS_OF
               " ORDER BY s.download_id, s.seq"))
        while (q.next())
            sets[q.value(0).toLongLong()].push_back({bytes(q.value(1)), q.value(2).toInt()});
    const std::string downloads = std::string("SELECT d.id, d.event_id, u.serial, ") +
                                  kDownloadColumns +
                                  " FROM downloads d" XRQ_DOWNLOADS_OF " ORDER BY d.id";
    if (select(downloads.c_str()))
        while (q.next()) {
            UnitEvent e;
            e.kind = EventKind::Download;
            Download& d = e.download;
            d = downloadOfRow(q, 3);
            d.serial = bytes(q.value(2));
            d.id = q.value(1).toString().toStdString();
            e.identifiedLater = d.serial != serial;
            e.at = d.started;
            const qint64 row = q.value(0).toLongLong();
            if (auto found = files.find(row); found != files.end())
                d.files = std::move(found->second);
            if (auto found = sets.find(row); found != sets.end())
                d.setLines = std::move(found->second);
            out.push_back(std::move(e));
        }
#undef XRQ_DOWNLOADS_OF
    if (select("SELECT j.at, j.download_event, j.download_started, j.reasons FROM judged_again j"
               " JOIN units u ON u.id = j.unit_id WHERE u.serial = ? ORDER BY j.id"))
        while (q.next()) {
            UnitEvent e;
            e.kind = EventKind::JudgedAgain;
            e.at = q.value(0).toLongLong();
            e.download.id = q.value(1).toString().toStdString();
            e.download.started = q.value(2).toLongLong();
            e.download.serial = serial;
            e.download.reasons = reasonsOfJson(q.value(3).toString());
            out.push_back(std::move(e));
        }
    if (select("SELECT c.at, c.confirmed FROM clears c JOIN units u ON u.id = c.unit_id"
               " WHERE u.serial = ? ORDER BY c.id"))
        while (q.next()) {
            UnitEvent e;
            e.kind = EventKind::Clear;
            e.at = q.value(0).toLongLong();
            e.confirmed = q.value(1).toInt() != 0;
            out.push_back(std::move(e));
        }
    // Newest first; events of the same moment keep the order they happened in, reversed.
    std::stable_sort(out.begin(), out.end(),
                     [](const UnitEvent& a, const UnitEvent& b) { return a.at < b.at; });
    std::reverse(out.begin(), out.end());
    return out;
}

std::vector<BatteryReading> UnitRegister::batteryHistory(const std::string& serial) {
    std::vector<BatteryReading> out;
    if (!m_open)
        return out;
    QSqlQuery q(m_db->db);
    q.setForwardOnly(true);
    q.prepare(QStringLiteral("SELECT b.at, b.volts, b.celsius, b.reply FROM battery b"
                             " JOIN units u ON u.id = b.unit_id WHERE u.serial = ?"
                             " ORDER BY b.at, b.id"));
    q.addBindValue(blob(serial));
    if (!q.exec()) {
        fail(q.lastError());
        return out;
    }
    while (q.next()) {
        BatteryReading r;
        r.serial = serial;
        r.at = q.value(0).toLongLong();
        r.volts = q.value(1).toDouble();
        r.celsius = q.value(2).toDouble();
        r.reply = bytes(q.value(3));
        out.push_back(std::move(r));
    }
    return out;
}

std::optional<LastDownload> UnitRegister::lastDownload(const std::string& serial) {
    if (!m_open)
        return std::nullopt;
    QSqlQuery q(m_db->db);
    q.prepare(QStringLiteral("SELECT d.started, d.complete FROM downloads d"
                             " JOIN units u ON u.id = d.unit_id WHERE u.serial = ?"
                             " ORDER BY d.started DESC, d.id DESC LIMIT 1"));
    q.addBindValue(blob(serial));
    if (!q.exec()) {
        fail(q.lastError());
        return std::nullopt;
    }
    if (!q.next())
        return std::nullopt;
    return LastDownload{q.value(0).toLongLong(), q.value(1).toInt() != 0};
}

std::int64_t nowMs() {
    return QDateTime::currentMSecsSinceEpoch();
}

} // namespace unitreg

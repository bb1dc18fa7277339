// SPDX-License-Identifier: GPL-3.0-or-later
#include "register/unit_register.h"

#include "unit/instrument_commands.h" // formatOneDecimal: the captions' own rounding

#include <QDateTime>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
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
        // 3: a clock set's UTC offset and the computer's time zone (NULL before: the series
        // works the offset out from the text and the instant).
        {
            "ALTER TABLE clock_sets ADD COLUMN utc_offset INTEGER",
            "ALTER TABLE clock_sets ADD COLUMN time_zone TEXT",
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

bool isDamage(const QSqlError& error) {
    // SQLITE_CORRUPT and SQLITE_NOTADB.
    const QString code = error.nativeErrorCode();
    return code == QLatin1String("11") || code == QLatin1String("26");
}

std::string folderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash + 1);
}

bool syncFolder(const std::string& folder) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

// Renames without ever replacing what is at `to`.
bool moveNoReplace(const std::string& from, const std::string& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS)
        return false;
    // A file system without the flag: a hard link cannot replace either.
    if (::link(from.c_str(), to.c_str()) != 0)
        return false;
    return ::unlink(from.c_str()) == 0;
}

// units.sqlite -> units-damaged-20261103-104200.sqlite (with -1, -2 ... when taken), its
// journal files beside it under the same name, so that the old write-ahead log is never
// replayed into the new file.
bool moveAside(const std::string& path, std::string& movedTo, std::string& why) {
    const std::string folder = folderOf(path);
    const std::string stamp =
        QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss")).toStdString();
    for (int n = 0; n < 100; ++n) {
        const std::string target = folder + "units-damaged-" + stamp +
                                   (n ? "-" + std::to_string(n) : std::string()) + ".sqlite";
        if (moveNoReplace(path, target)) {
            for (const char* companion : {"-wal", "-shm"}) {
                struct stat st {};
                if (::lstat((path + companion).c_str(), &st) == 0)
                    moveNoReplace(path + companion, target + companion);
            }
            syncFolder(folder);
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

std::atomic<int> connectionCounter{0};

} // namespace

struct UnitRegister::Db {
    QString name;
    QSqlDatabase db;
};

UnitRegister::UnitRegister() = default;

UnitRegister::~UnitRegister() {
    close();
}

void UnitRegister::close() {
    m_open = false;
    if (!m_db)
        return;
    const QString name = m_db->name;
    m_db->db.close();
    delete m_db;
    m_db = nullptr;
    QSqlDatabase::removeDatabase(name);
}

bool UnitRegister::fail(const QString& what) {
    m_lastError = what.toStdString();
    return false;
}

OpenOutcome UnitRegister::open(const std::string& path, int busyMs) {
    close();
    m_path = path;
    bool damaged = false;
    OpenOutcome outcome = openFile(path, busyMs, damaged);
    if (!damaged)
        return outcome;
    const int version = outcome.foundVersion;
    close();
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

OpenOutcome UnitRegister::openFile(const std::string& path, int busyMs, bool& damaged) {
    OpenOutcome outcome;
    damaged = false;
    auto unavailable = [&](const std::string& why) {
        close();
        m_lastError = why;
        outcome.state = OpenOutcome::State::Unavailable;
        outcome.message =
            "The unit register " + path + " cannot be used: " + why + ". Visits are not recorded.";
        return outcome;
    };
    // The file and its folder are checked first, so that SQLite never opens a file it may
    // only read (it would, silently) or follows a link planted in its place.
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) {
        if (!S_ISREG(st.st_mode))
            return unavailable("it is not a regular file");
        const int fd = ::open(path.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            return unavailable(std::strerror(errno));
        ::close(fd);
    } else if (errno != ENOENT) {
        return unavailable(std::strerror(errno));
    }
    const std::string folder = folderOf(path);
    if (::access(folder.c_str(), W_OK | X_OK) != 0)
        return unavailable("its folder " + folder + " is not writable (" + std::strerror(errno) +
                           ")");

    m_db = new Db;
    m_db->name = QStringLiteral("unitreg-%1").arg(++connectionCounter);
    m_db->db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_db->name);
    if (!m_db->db.isValid())
        return unavailable("the SQLite driver of Qt SQL (libqt6sql6-sqlite) is missing");
    m_db->db.setDatabaseName(QFile::decodeName(QByteArray::fromStdString(path)));
    m_db->db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(busyMs));
    if (!m_db->db.open())
        return unavailable(m_db->db.lastError().text().toStdString());

    QSqlQuery q(m_db->db);
    // The first statement reads the file's header: a file that is not a database says so
    // here. Write-ahead logging lets another copy of the program read and write meanwhile.
    if (!q.exec(QStringLiteral("PRAGMA journal_mode=WAL")) || !q.next()) {
        damaged = isDamage(q.lastError());
        return unavailable(q.lastError().text().toStdString());
    }
    if (q.value(0).toString().compare(QLatin1String("wal"), Qt::CaseInsensitive) != 0)
        return unavailable("SQLite would not use write-ahead logging on it");
    // Every commit reaches the disk before the next event: a crash or a power cut loses at
    // most the event being written.
    q.exec(QStringLiteral("PRAGMA synchronous=FULL"));
    q.exec(QStringLiteral("PRAGMA foreign_keys=ON"));
    if (!q.exec(QStringLiteral("PRAGMA quick_check")) || !q.next()) {
        damaged = isDamage(q.lastError());
        return unavailable(q.lastError().text().toStdString());
    }
    if (q.value(0).toString() != QLatin1String("ok")) {
        damaged = true;
        return unavailable("SQLite finds it damaged (" + q.value(0).toString().toStdString() + ")");
    }
    q.finish();
    const int version = schemaVersion();
    outcome.foundVersion = version;
    if (version < 0)
        return unavailable(m_lastError);
    if (version > kSchemaVersion)
        return unavailable("it was written by a newer version of the program (schema " +
                           std::to_string(version) + ")");
    std::string why;
    if (version < kSchemaVersion && !migrate(version, why)) {
        damaged = why.empty();
        return unavailable(why.empty() ? m_lastError : why);
    }
    m_open = true;
    outcome.state = OpenOutcome::State::Open;
    return outcome;
}

int UnitRegister::schemaVersion() {
    if (!m_db)
        return -1;
    QSqlQuery q(m_db->db);
    if (!q.exec(QStringLiteral("PRAGMA user_version")) || !q.next()) {
        fail(q.lastError().text());
        return -1;
    }
    return q.value(0).toInt();
}

bool UnitRegister::migrate(int from, std::string& why) {
    if (!begin()) {
        why = m_lastError;
        return false;
    }
    // Another copy may have migrated the file between our look and our lock.
    const int now = schemaVersion();
    if (now < 0 || now > kSchemaVersion) {
        rollback();
        why = now < 0 ? m_lastError : "it was migrated by a newer version of the program";
        return false;
    }
    (void)from;
    QSqlQuery q(m_db->db);
    const auto& steps = schemaSteps();
    for (int step = now; step < kSchemaVersion; ++step) {
        for (const char* sql : steps[static_cast<std::size_t>(step)]) {
            if (!q.exec(QString::fromLatin1(sql))) {
                const QSqlError error = q.lastError();
                rollback();
                // A file whose tables do not match its version is not ours to repair.
                why = isDamage(error)
                          ? std::string()
                          : "its tables do not match schema version " + std::to_string(step) +
                                " (" + error.text().toStdString() + ")";
                if (why.empty())
                    m_lastError = error.text().toStdString();
                return false;
            }
        }
    }
    // A pragma takes no parameters; the number is our own constant.
    if (!q.exec(QStringLiteral("PRAGMA user_version=%1").arg(kSchemaVersion)) || !commit()) {
        why = q.lastError().text().toStdString();
        rollback();
        return false;
    }
    return true;
}

bool UnitRegister::begin() {
    if (!m_db)
        return fail(QStringLiteral("the register is not open"));
    QSqlQuery q(m_db->db);
    // The write lock is taken at once, so that a transaction never has to upgrade a read
    // lock while another copy writes (which SQLite can only answer with "busy").
    if (!q.exec(QStringLiteral("BEGIN IMMEDIATE")))
        return fail(q.lastError().text());
    return true;
}

bool UnitRegister::commit() {
    QSqlQuery q(m_db->db);
    if (!q.exec(QStringLiteral("COMMIT")))
        return fail(q.lastError().text());
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
        fail(q.lastError().text());
        return 0;
    }
    q.prepare(QStringLiteral("SELECT id FROM units WHERE serial = ?"));
    q.addBindValue(blob(serial));
    if (!q.exec() || !q.next()) {
        fail(q.lastError().text());
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

bool UnitRegister::insertEvent(const std::string& serial, std::int64_t at, const char* sql,
                               const std::vector<QVariant>& values) {
    if (serial.empty())
        return fail(QStringLiteral("no serial number"));
    return inTransaction([&] {
        const std::int64_t unit = unitId(serial, at);
        if (!unit)
            return false;
        QSqlQuery q(m_db->db);
        q.prepare(QString::fromLatin1(sql));
        q.addBindValue(qint64(unit));
        for (const QVariant& v : values)
            q.addBindValue(v);
        return q.exec() || fail(q.lastError().text());
    });
}

bool UnitRegister::recordVisit(const Visit& visit) {
    return insertEvent(visit.serial, visit.at,
                       "INSERT INTO visits(unit_id, at, port, device) VALUES(?, ?, ?, ?)",
                       {qint64(visit.at), visit.port, blob(visit.device)});
}

bool UnitRegister::recordBattery(const BatteryReading& reading) {
    return insertEvent(
        reading.serial, reading.at,
        "INSERT INTO battery(unit_id, at, volts, celsius, reply) VALUES(?, ?, ?, ?, ?)",
        {qint64(reading.at), reading.volts, reading.celsius, blob(reading.reply)});
}

bool UnitRegister::recordClockSet(const ClockSet& set) {
    return insertEvent(
        set.serial, set.at,
        "INSERT INTO clock_sets(unit_id, at, sent, utc_offset, time_zone) VALUES(?, ?, ?, ?, ?)",
        {qint64(set.at), blob(set.sent),
         set.utcOffsetSeconds ? QVariant(*set.utcOffsetSeconds) : QVariant(),
         QString::fromStdString(set.timeZone)});
}

bool UnitRegister::recordClear(const Clear& clear) {
    return insertEvent(clear.serial, clear.at,
                       "INSERT INTO clears(unit_id, at, confirmed) VALUES(?, ?, ?)",
                       {qint64(clear.at), int(clear.confirmed)});
}

bool UnitRegister::recordDownload(const Download& d) {
    if (d.serial.empty())
        return fail(QStringLiteral("no serial number"));
    return inTransaction([&] {
        const std::int64_t unit = unitId(d.serial, std::max(d.started, d.ended));
        QSqlQuery q(m_db->db);
        if (!unit ||
            !run(q,
                 QStringLiteral("INSERT INTO downloads(unit_id, started, ended, bytes, sets,"
                                " complete, why, verified, kept_file)"
                                " VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?)"),
                 {qint64(unit), qint64(d.started), qint64(d.ended), qint64(d.bytes), d.sets,
                  int(d.complete), QString::fromLocal8Bit(d.why.c_str()), int(d.verified),
                  d.keptFile.empty() ? QVariant() : QVariant(blob(d.keptFile))}))
            return fail(q.lastError().text());
        const qint64 id = q.lastInsertId().toLongLong();
        int seq = 0;
        for (const std::string& file : d.files)
            if (!run(q,
                     QStringLiteral(
                         "INSERT INTO download_files(download_id, seq, path) VALUES(?, ?, ?)"),
                     {id, seq++, blob(file)}))
                return fail(q.lastError().text());
        return true;
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
        fail(q.lastError().text());
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

std::vector<UnitEvent> UnitRegister::history(const std::string& serial) {
    std::vector<UnitEvent> out;
    if (!m_open)
        return out;
    QSqlQuery q(m_db->db);
    q.setForwardOnly(true);
    auto select = [&](const char* sql) {
        q.prepare(QString::fromLatin1(sql));
        q.addBindValue(blob(serial));
        if (!q.exec()) {
            fail(q.lastError().text());
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
    std::map<qint64, std::vector<std::string>> files;
    if (select("SELECT f.download_id, f.path FROM download_files f"
               " JOIN downloads d ON d.id = f.download_id JOIN units u ON u.id = d.unit_id"
               " WHERE u.serial = ? ORDER BY f.download_id, f.seq"))
        while (q.next())
            files[q.value(0).toLongLong()].push_back(bytes(q.value(1)));
    if (select("SELECT d.id, d.started, d.ended, d.bytes, d.sets, d.complete, d.why,"
               " d.verified, d.kept_file FROM downloads d JOIN units u ON u.id = d.unit_id"
               " WHERE u.serial = ? ORDER BY d.id"))
        while (q.next()) {
            UnitEvent e;
            e.kind = EventKind::Download;
            Download& d = e.download;
            d.serial = serial;
            d.started = e.at = q.value(1).toLongLong();
            d.ended = q.value(2).toLongLong();
            d.bytes = q.value(3).toULongLong();
            d.sets = q.value(4).toInt();
            d.complete = q.value(5).toInt() != 0;
            d.why = q.value(6).toString().toLocal8Bit().toStdString();
            d.verified = q.value(7).toInt() != 0;
            d.keptFile = bytes(q.value(8));
            auto found = files.find(q.value(0).toLongLong());
            if (found != files.end())
                d.files = std::move(found->second);
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
        fail(q.lastError().text());
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
        fail(q.lastError().text());
        return std::nullopt;
    }
    if (!q.next())
        return std::nullopt;
    return LastDownload{q.value(0).toLongLong(), q.value(1).toInt() != 0};
}

std::int64_t nowMs() {
    return QDateTime::currentMSecsSinceEpoch();
}

// --- texts ------------------------------------------------------------------------------------

QString serialText(const std::string& serial) {
    return QString::fromLatin1(serial.data(), static_cast<qsizetype>(serial.size()));
}

QString localTimeText(std::int64_t ms, bool withSeconds) {
    return QDateTime::fromMSecsSinceEpoch(ms).toString(
        withSeconds ? QStringLiteral("yyyy-MM-dd HH:mm:ss") : QStringLiteral("yyyy-MM-dd HH:mm"));
}

QString eventKindText(EventKind kind) {
    switch (kind) {
    case EventKind::Visit:
        return QStringLiteral("Connect");
    case EventKind::Battery:
        return QStringLiteral("Battery");
    case EventKind::ClockSet:
        return QStringLiteral("Clock set");
    case EventKind::Download:
        return QStringLiteral("Download");
    case EventKind::Clear:
        return QStringLiteral("Clear memory");
    }
    return {};
}

namespace {

QString byteCount(std::uint64_t n) {
    if (n < 1000)
        return QStringLiteral("%1 bytes").arg(n);
    if (n < 1000 * 1000)
        return QStringLiteral("%1 kB").arg(double(n) / 1e3, 0, 'f', 1);
    return QStringLiteral("%1 MB").arg(double(n) / 1e6, 0, 'f', 2);
}

QString pathText(const std::string& path) {
    return QFile::decodeName(QByteArray::fromStdString(path));
}

} // namespace

QString eventDetails(const UnitEvent& e) {
    switch (e.kind) {
    case EventKind::Visit:
        return (e.port > 0 ? QStringLiteral("COM%1").arg(e.port) : QStringLiteral("no port")) +
               (e.device.empty() ? QString() : QStringLiteral(" (%1)").arg(pathText(e.device)));
    case EventKind::Battery:
        return QString::fromStdString(formatOneDecimal(e.volts) + " V, " +
                                      formatOneDecimal(e.celsius) + " C");
    case EventKind::ClockSet:
        return QStringLiteral("set to ") + serialText(e.sent);
    case EventKind::Download: {
        const Download& d = e.download;
        QString text = d.complete ? QStringLiteral("complete") : QStringLiteral("incomplete");
        if (!d.why.empty())
            text += QStringLiteral(" (%1)").arg(QString::fromLocal8Bit(d.why.c_str()));
        text += QStringLiteral(", %1 data set%2, %3")
                    .arg(d.sets)
                    .arg(d.sets == 1 ? "" : "s")
                    .arg(byteCount(d.bytes));
        text += d.verified ? QStringLiteral(", verified") : QStringLiteral(", not verified");
        return text;
    }
    case EventKind::Clear:
        return e.confirmed ? QStringLiteral("confirmed by the unit")
                           : QStringLiteral("not confirmed by the unit");
    }
    return {};
}

QString lastDownloadText(const std::optional<LastDownload>& last) {
    if (!last)
        return QStringLiteral("not downloaded yet");
    return QStringLiteral("last downloaded %1, %2")
        .arg(QDateTime::fromMSecsSinceEpoch(last->started).toString(QStringLiteral("yyyy-MM-dd")),
             last->complete ? QStringLiteral("complete") : QStringLiteral("incomplete"));
}

namespace {

QString csvField(const QString& text) {
    if (!text.contains(QLatin1Char(',')) && !text.contains(QLatin1Char('"')) &&
        !text.contains(QLatin1Char('\n')) && !text.contains(QLatin1Char('\r')))
        return text;
    QString quoted = text;
    quoted.replace(QLatin1String("\""), QLatin1String("\"\""));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

} // namespace

QByteArray historyCsv(const std::string& serial, const std::vector<UnitEvent>& events) {
    QString out = QStringLiteral(
        "Serial,Time,Event,Details,Port,Device,Volts,Celsius,Reply,Clock sent,Bytes,Data sets,"
        "Files,Kept file,Complete,Why,Verified,Confirmed\r\n");
    const QString unit = csvField(serialText(serial));
    for (const UnitEvent& e : events) {
        QStringList f;
        f << unit << localTimeText(e.at, true) << eventKindText(e.kind)
          << csvField(eventDetails(e));
        const bool download = e.kind == EventKind::Download;
        const bool battery = e.kind == EventKind::Battery;
        f << (e.kind == EventKind::Visit && e.port > 0 ? QString::number(e.port) : QString());
        f << csvField(pathText(e.device));
        f << (battery ? QString::number(e.volts, 'g', 15) : QString());
        f << (battery ? QString::number(e.celsius, 'g', 15) : QString());
        f << csvField(serialText(e.reply)) << csvField(serialText(e.sent));
        QStringList files;
        for (const std::string& file : e.download.files)
            files << pathText(file);
        f << (download ? QString::number(e.download.bytes) : QString());
        f << (download ? QString::number(e.download.sets) : QString());
        f << csvField(files.join(QLatin1Char('\n'))) << csvField(pathText(e.download.keptFile));
        f << (download ? QString(e.download.complete ? "yes" : "no") : QString());
        f << csvField(QString::fromLocal8Bit(e.download.why.c_str()));
        f << (download ? QString(e.download.verified ? "yes" : "no") : QString());
        f << (e.kind == EventKind::Clear ? QString(e.confirmed ? "yes" : "no") : QString());
        out += f.join(QLatin1Char(',')) + QStringLiteral("\r\n");
    }
    return out.toUtf8();
}

} // namespace unitreg

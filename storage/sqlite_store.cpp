// SPDX-License-Identifier: GPL-3.0-or-later
#include "storage/sqlite_store.h"

#include "platform/durable_file.h"

#include <QFile>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace storage {

using platform::errnoError;
using platform::Error;
using platform::ErrorKind;
using platform::makeError;
using platform::Result;

namespace {

std::atomic<int> connectionCounter{0};

// Runs one statement whose answer is not needed; its error when it fails.
Result<void> run(QSqlDatabase& db, const QString& sql) {
    QSqlQuery q(db);
    if (!q.exec(sql))
        return errorOf(q.lastError());
    return {};
}

// The first row's first value of a pragma.
Result<QVariant> pragma(QSqlDatabase& db, const QString& sql) {
    QSqlQuery q(db);
    if (!q.exec(sql) || !q.next())
        return errorOf(q.lastError());
    return q.value(0);
}

Result<int> userVersion(QSqlDatabase& db) {
    auto v = pragma(db, QStringLiteral("PRAGMA user_version"));
    if (!v)
        return v.error();
    return v->toInt();
}

// Before SQLite sees the file: SQLite would follow a link planted in its place, and would open
// a file it may only read, read-only and in silence, failing at the first write instead.
// True when the file is not there yet (and will be made).
Result<bool> lookBeforeWriting(const std::string& path, bool create) {
    bool missing = false;
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) {
        if (!S_ISREG(st.st_mode))
            return makeError(ErrorKind::Refused, "it is not a regular file");
        const int fd = ::open(path.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            const int err = errno;
            return errnoError(err, std::strerror(err));
        }
        ::close(fd);
    } else if (errno == ENOENT) {
        if (!create)
            return makeError(ErrorKind::NotFound, "it does not exist");
        missing = true;
    } else {
        const int err = errno;
        return errnoError(err, std::strerror(err));
    }
    const std::string folder = platform::folderOf(path);
    if (::access(folder.c_str(), W_OK | X_OK) != 0) {
        const int err = errno;
        return makeError(err == ENOENT ? ErrorKind::NotFound : ErrorKind::Refused,
                         "its folder " + folder + " is not writable (" + std::strerror(err) + ")");
    }
    return missing;
}

QString syncPragma(Sync sync) {
    switch (sync) {
    case Sync::Full:
        return QStringLiteral("PRAGMA synchronous=FULL");
    case Sync::Normal:
        return QStringLiteral("PRAGMA synchronous=NORMAL");
    case Sync::Off:
        return QStringLiteral("PRAGMA synchronous=OFF");
    case Sync::Keep:
        break;
    }
    return {};
}

// The missing steps in one transaction; the version is looked at again under the lock.
Result<int> migrate(QSqlDatabase& db, const OpenOptions& options) {
    if (auto begun = run(db, QStringLiteral("BEGIN IMMEDIATE")); !begun)
        return begun.error();
    auto rollback = [&](Error error) -> Result<int> {
        QSqlQuery(db).exec(QStringLiteral("ROLLBACK"));
        return error;
    };
    auto found = userVersion(db);
    if (!found)
        return rollback(found.error());
    const int from = *found;
    if (from > options.schemaVersion)
        return rollback(
            makeError(ErrorKind::TooNew, "it was migrated by a newer version of the program"));
    for (int step = from; step < options.schemaVersion; ++step) {
        auto done = options.steps[static_cast<std::size_t>(step)](db, from);
        if (!done) {
            Error error = done.error();
            // Statements a file's tables refuse: not the disk, the file is not as its version says.
            if (error.kind == ErrorKind::Invalid)
                error.text = "its tables do not match schema version " + std::to_string(step) +
                             " (" + error.text + ")";
            return rollback(std::move(error));
        }
    }
    // A pragma takes no parameters; the number is the opener's own constant.
    if (auto set = run(db, QStringLiteral("PRAGMA user_version=%1").arg(options.schemaVersion));
        !set)
        return rollback(set.error());
    if (auto committed = run(db, QStringLiteral("COMMIT")); !committed)
        return rollback(committed.error());
    return from;
}

// Asks for write-ahead logging. A new file takes it with its first write, and a failed sync
// there leaves it in the rollback journal without an error; asked again, SQLite switches.
constexpr int kWalAttempts = 3;

Result<void> useWal(QSqlDatabase& db) {
    QString mode;
    for (int attempt = 0; attempt < kWalAttempts && mode != QLatin1String("wal"); ++attempt) {
        auto answer = pragma(db, QStringLiteral("PRAGMA journal_mode=WAL"));
        if (!answer)
            return answer.error();
        mode = answer->toString().toLower();
    }
    if (mode != QLatin1String("wal"))
        return makeError(ErrorKind::Refused, "SQLite would not use write-ahead logging on it");
    return {};
}

} // namespace

Step statements(std::vector<const char*> sql) {
    return [sql = std::move(sql)](QSqlDatabase& db, int) -> Result<void> {
        for (const char* statement : sql)
            if (auto done = run(db, QString::fromLatin1(statement)); !done)
                return done;
        return {};
    };
}

QString qtPath(const std::string& path) {
    return QFile::decodeName(QByteArray::fromStdString(path));
}

ErrorKind kindOf(const QSqlError& error) {
    bool ok = false;
    const int code = error.nativeErrorCode().toInt(&ok) & 0xff;
    if (!ok)
        return ErrorKind::Invalid;
    switch (code) {
    case 5: // SQLITE_BUSY
    case 6: // SQLITE_LOCKED
        return ErrorKind::Busy;
    case 7:  // SQLITE_NOMEM: passes when memory is given back
    case 10: // SQLITE_IOERR
    case 14: // SQLITE_CANTOPEN: the file or its journal could not be opened just now
    case 15: // SQLITE_PROTOCOL: a lock race in the write-ahead log
        return ErrorKind::Io;
    case 13: // SQLITE_FULL
        return ErrorKind::Full;
    case 11: // SQLITE_CORRUPT
    case 26: // SQLITE_NOTADB
        return ErrorKind::Corrupt;
    default:
        return ErrorKind::Invalid;
    }
}

Error errorOf(const QSqlError& error) {
    return makeError(kindOf(error), error.text().toStdString());
}

Store::Store(Store&& other) noexcept
    : m_db(std::move(other.m_db)), m_name(std::move(other.m_name)), m_path(std::move(other.m_path)),
      m_foundVersion(other.m_foundVersion), m_version(other.m_version), m_created(other.m_created) {
    other.m_db = QSqlDatabase();
    other.m_name.clear();
}

Store& Store::operator=(Store&& other) noexcept {
    if (this != &other) {
        close();
        m_db = std::move(other.m_db);
        m_name = std::move(other.m_name);
        m_path = std::move(other.m_path);
        m_foundVersion = other.m_foundVersion;
        m_version = other.m_version;
        m_created = other.m_created;
        other.m_db = QSqlDatabase();
        other.m_name.clear();
    }
    return *this;
}

Store::~Store() {
    close();
}

void Store::close() {
    if (m_name.isEmpty())
        return;
    m_db.close();
    m_db = QSqlDatabase(); // the last handle goes before the connection is removed
    QSqlDatabase::removeDatabase(m_name);
    m_name.clear();
}

// Whole: one opening in the order SQLite needs it: header, pragmas, schema steps, sync.
Result<Store> open(const std::string& path, const OpenOptions& options) {
    const bool writing = options.access == Access::ReadWrite;
    if (writing && options.schemaVersion >= 0 && !options.steps.empty() &&
        options.steps.size() != static_cast<std::size_t>(options.schemaVersion))
        return makeError(ErrorKind::Internal, "the store's schema steps do not reach its version");
    bool created = false;
    if (writing) {
        auto look = lookBeforeWriting(path, options.create);
        if (!look)
            return look.error();
        created = *look;
    } else {
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0) {
            const int err = errno;
            return errnoError(err, err == ENOENT ? "it does not exist" : std::strerror(err));
        }
    }

    Store store;
    store.m_path = path;
    store.m_name = QStringLiteral("%1-%2").arg(options.connectionPrefix).arg(++connectionCounter);
    store.m_db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), store.m_name);
    if (!store.m_db.isValid())
        return makeError(ErrorKind::Internal,
                         "the SQLite driver of Qt SQL (libqt6sql6-sqlite) is missing");
    store.m_db.setDatabaseName(qtPath(path));
    store.m_db.setConnectOptions((writing ? QString() : QStringLiteral("QSQLITE_OPEN_READONLY;")) +
                                 QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(options.busyMs));
    if (!store.m_db.open())
        return errorOf(store.m_db.lastError());
    store.m_created = created;

    // The first statement reads the file's header: a file that is no database says so here,
    // and a newer program's store is refused before anything is set on it.
    auto found = userVersion(store.m_db);
    if (!found)
        return found.error();
    store.m_foundVersion = store.m_version = *found;
    if (options.schemaVersion >= 0 && *found > options.schemaVersion)
        return makeError(ErrorKind::TooNew,
                         "it was written by a newer version of the program (schema " +
                             std::to_string(*found) + ")");

    if (writing) {
        if (options.journal == Journal::Wal) {
            if (auto wal = useWal(store.m_db); !wal)
                return wal.error();
        }
        if (options.sync != Sync::Keep) {
            if (auto set = run(store.m_db, syncPragma(options.sync)); !set)
                return set.error();
        }
        if (options.foreignKeys) {
            if (auto set = run(store.m_db, QStringLiteral("PRAGMA foreign_keys=ON")); !set)
                return set.error();
        }
    }
    if (options.quickCheck) {
        auto check = pragma(store.m_db, QStringLiteral("PRAGMA quick_check"));
        if (!check)
            return check.error();
        if (check->toString() != QLatin1String("ok"))
            return makeError(ErrorKind::Corrupt,
                             "SQLite finds it damaged (" + check->toString().toStdString() + ")");
    }
    if (writing && options.schemaVersion >= 0 && !options.steps.empty() &&
        store.m_version < options.schemaVersion) {
        auto migrated = migrate(store.m_db, options);
        if (!migrated)
            return migrated.error();
        store.m_version = options.schemaVersion;
        // A new file takes write-ahead logging for good with its first write: asked again.
        if (options.journal == Journal::Wal) {
            if (auto wal = useWal(store.m_db); !wal)
                return wal.error();
        }
    }
    // The name of a store just made reaches the disk before anything in it is called kept.
    // An opener that may make the file (its owner) syncs the folder on every open, so that a
    // sync that failed at the making is done by the next open; a folder with nothing new to
    // write syncs at once. One that never makes it leaves that to the owner.
    if (writing && options.create && !platform::syncFolder(platform::folderOf(path))) {
        const int err = errno;
        return errnoError(err, "its folder " + platform::folderOf(path) + " could not be synced (" +
                                   std::strerror(err) + ")");
    }
    return store;
}

} // namespace storage

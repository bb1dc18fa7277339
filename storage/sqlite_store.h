// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The one way our programs open a SQLite store (the unit register, the series, the outboxes in
// them, what the pusher and the tools read): the path's decoding, the pragmas, how long to wait
// for another program's lock, the schema's steps by `user_version`, read-only opening, Qt's
// connection names and the durable file rules. Every opener says what it needs in OpenOptions;
// what each choice means is said here once.
//
// Threads: Qt SQL lets a connection be used only on the thread that made it. A Store is opened,
// used and closed (destroyed) on one thread; two threads open two Stores.

#include "platform/result.h"

#include <QSqlDatabase>
#include <QString>

#include <functional>
#include <string>
#include <vector>

class QSqlError;

namespace storage {

// How long a statement waits for another connection's lock before it gives Busy. The waits
// are what each opener had before they came here; each is the longest its caller can stand.
namespace busy {
// A background pass (the pusher) that tries again on its next pass: the program's own writer
// (a download, an event) comes first, so the pass gives way quickly rather than hold it up.
inline constexpr int kNextPass = 250;
// The register (its writer thread's default) and the count of facts waiting shown in a status
// line: another copy of the program writes an event in milliseconds; two seconds cover a
// checkpoint or a slow disk, and a longer hold is told and tried again by the caller.
inline constexpr int kShort = 2000;
// The series (one transaction takes a whole download, which may run for seconds on a large
// unit) and the tools reading the register beside it: nobody is kept waiting on a window.
inline constexpr int kWriter = 5000;
} // namespace busy

enum class Access {
    ReadWrite, // made when missing (unless OpenOptions::create is false)
    ReadOnly,  // never made, never altered: a missing file is NotFound
};

// The journal. WAL lets readers (the office, the tools, the windows) read while one writer
// writes, and is kept in the file once set; Keep leaves whatever the file has (a reader of a
// file some other opener owns).
enum class Journal { Keep, Wal };

// When a commit is on the disk. Full: every commit is synced before it returns, so a power cut
// loses at most the transaction being written (the register's events, the series' downloads).
// Normal: in WAL mode a power cut may lose the last commits but never damages the file (the
// pusher only removes facts the server confirmed: one that comes back is sent again and the
// server keeps it once). Off: the benchmarks' fills only, never the program. Keep: as it is.
enum class Sync { Keep, Full, Normal, Off };

// One schema step: from version `from` to `from + 1`, inside the migration's transaction
// (BEGIN IMMEDIATE already taken). `found` is the version the file had under the lock, for a
// step that writes what an earlier version knew.
using Step = std::function<platform::Result<void>(QSqlDatabase& db, int found)>;
// A step of plain statements, run in order.
Step statements(std::vector<const char*> sql);

struct OpenOptions {
    Access access = Access::ReadWrite;
    // For ReadWrite: whether a missing file is made (else NotFound, and nothing is created).
    bool create = true;
    int busyMs = busy::kWriter;
    Journal journal = Journal::Wal; // ReadOnly: always Keep
    Sync sync = Sync::Full;         // ReadOnly: always Keep
    bool foreignKeys = false;
    // PRAGMA quick_check on opening: a damaged file is Corrupt (its words say what SQLite found).
    bool quickCheck = false;
    // The version this program writes; -1: the opener has no schema of its own (a file another
    // opener owns), and the version is only read. A file whose version is higher is refused as
    // TooNew, before anything is set on it.
    int schemaVersion = -1;
    // ReadWrite with schemaVersion >= 0: steps[v] takes version v to v + 1; all missing steps
    // run in one transaction, so a file is migrated whole or not at all. Empty: an older file is
    // opened as it is, for the caller to judge (Store::foundVersion()).
    std::vector<Step> steps = {};
    // The start of Qt's connection name ("unitreg", "xrq-series"...), made unique per open.
    QString connectionPrefix = QStringLiteral("xrq-store");
};

// An open store. Move-only; closing (or destroying) it removes its Qt connection.
class Store {
public:
    Store() = default;
    Store(Store&& other) noexcept;
    Store& operator=(Store&& other) noexcept;
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;
    ~Store();

    bool isOpen() const { return !m_name.isEmpty(); }
    QSqlDatabase& db() { return m_db; }
    const QString& connectionName() const { return m_name; }
    const std::string& path() const { return m_path; }
    // The file's user_version when it was opened, before any step ran, and now.
    int foundVersion() const { return m_foundVersion; }
    int version() const { return m_version; }
    // Whether this open made the file.
    bool created() const { return m_created; }
    void close();

private:
    friend platform::Result<Store> open(const std::string& path, const OpenOptions& options);
    QSqlDatabase m_db;
    QString m_name;
    std::string m_path;
    int m_foundVersion = 0;
    int m_version = 0;
    bool m_created = false;
};

// Opens the store at `path` (bytes as the file system names it, as our paths are held).
// The words of an error do not name the file: the caller says which store it is.
//
// ReadWrite, in this order: the file must be a regular file we may write (a link or a file we
// may only read is Refused: SQLite would otherwise follow it or open it read-only in silence),
// its folder writable; user_version is read (a file that is no database is Corrupt; a newer
// one TooNew, left untouched); the journal, sync and foreign keys are set; the quick check
// runs; missing steps run in one BEGIN IMMEDIATE transaction (the version looked at again
// under the lock: another program may have migrated it meanwhile); and, where the opener may
// make the file (`create`), the folder that names it is synced (platform/durable_file) so that
// a new store's name survives a power cut.
// A lock held past busyMs is Busy; a full disk Full; an I/O failure Io.
platform::Result<Store> open(const std::string& path, const OpenOptions& options);

// A path as Qt takes it: the one decoding of our byte paths (QFile::decodeName).
QString qtPath(const std::string& path);

// What a failed SQLite call means, by its primary result code: Busy (BUSY, LOCKED), Io (IOERR,
// NOMEM, CANTOPEN, PROTOCOL), Full (FULL), Corrupt (CORRUPT, NOTADB), else Invalid (the
// statement or the file's tables are wrong, not the disk).
platform::ErrorKind kindOf(const QSqlError& error);
// kindOf and the error's text.
platform::Error errorOf(const QSqlError& error);

} // namespace storage

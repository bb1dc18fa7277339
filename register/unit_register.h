// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The unit register: an SQLite file ("units.sqlite" in the program's files folder) that keeps
// every unit the program has talked to, each visit (a Connect), each battery reading, clock
// set, download and clearing. This class is the database itself, used from one thread: the
// schema and its forward migrations, one transaction per recorded event, and the queries the
// Units window and the main window ask. The program runs it on a thread of its own
// (register_writer.h); tests and the benchmark call it directly.
//
// Serial numbers and paths are bytes as the unit and the file system gave them: they are
// stored as blobs through bound parameters, never pasted into SQL, and shown as Latin-1.
// Times are milliseconds since the epoch (UTC); shown in local time.

#include "storage/sqlite_store.h"

#include <QSqlError>
#include <QString>
#include <QVariant>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace fleet {
struct Fact;
}

namespace unitreg {

// The file name in the program's files folder.
inline constexpr const char* kFileName = "units.sqlite";
// The schema this program writes; older files are migrated forward on open.
inline constexpr int kSchemaVersion = 6;

// Every event carries its identity from the moment it happens (a random UUID, text), so that
// writing it again (a retry, a journal replayed twice) is harmless: the register keeps the
// first. An event handed to the register without one gets one there.
std::string newEventId();

// An empty serial number stands for a unit that gave none (a download, a clearing, a reading
// whose serial-number read got no answer): such events go under "no serial number".
struct Visit {
    std::string serial;
    std::int64_t at = 0;
    int port = -1;
    std::string device;
    std::string id = {}; // the event's identity (newEventId()); given when handed in if empty
};

struct BatteryReading {
    std::string serial;
    std::int64_t at = 0;
    double volts = 0;
    double celsius = 0;
    std::string reply;   // the unit's answer as received
    std::string id = {}; // the event's identity (newEventId()); given when handed in if empty
};

struct ClockSet {
    std::string serial;
    std::int64_t at = 0;
    std::string sent; // the clock text sent, the computer's local time
    // The computer's UTC offset for that text and its time zone: the unit's clock keeps this
    // offset until it is set again (the series converts its records with it).
    std::optional<int> utcOffsetSeconds = {};
    std::string timeZone = {};
    std::string id = {}; // the event's identity (newEventId()); given when handed in if empty
};

// One download, however it ended. The caller fills it from the download's outcome.
struct Download {
    std::string serial; // empty: the unit gave no serial number
    std::int64_t started = 0;
    std::int64_t ended = 0;
    std::uint64_t bytes = 0;
    int sets = 0;
    std::vector<std::string> files; // data files written, in order
    std::string keptFile;           // the kept raw download, empty when none
    bool complete = false;
    std::string why; // how it ended when not complete (or a note such as "No data in XRQ")
    bool verified = false;
    // Why the download was not called safe, one sentence each (empty when it was), and what
    // the verdict found: each data set's name with its line count, and the line errors the
    // device reported during the capture ("none", "not checked", or the counts).
    std::vector<std::string> reasons;
    struct SetLines {
        std::string name;
        int lines = 0;
    };
    std::vector<SetLines> setLines;
    std::string lineErrors;
    int port = -1;       // the COM number it came over, -1 when not known
    std::string id = {}; // the event's identity (newEventId()); given when handed in if empty
};

struct Clear {
    std::string serial;
    std::int64_t at = 0;
    bool confirmed = false; // the unit answered the last step
    std::string id = {};    // the event's identity (newEventId()); given when handed in if empty
};

// A fact added later: the download `downloadId`, from a unit that gave no serial number, was
// followed by `serial` naming itself on the same port. The download's own row stays as it was.
struct Identification {
    std::string id;
    std::string downloadId;
    std::string serial;
    std::int64_t at = 0;
};

// A fact added later: the download `downloadId`, called safe when it was made, is no longer
// safe by the line rules of a later program, judged again on its kept raw copy (`reasons`).
// The download's own row stays as it was; the series takes it as not safe from then on.
struct JudgedAgain {
    std::string id;
    std::string downloadId;
    std::string serial;
    std::int64_t at = 0;
    std::int64_t downloadStarted = 0;
    std::vector<std::string> reasons;
};

// A download called safe by an earlier program, waiting to be judged again on its kept copy.
struct KeptToJudge {
    std::string downloadId; // its event's identity
    std::string serial;
    std::string keptFile;
    std::int64_t started = 0;
};

// A row of the Units window.
struct UnitSummary {
    std::string serial;
    std::int64_t firstSeen = 0;
    std::int64_t lastSeen = 0;
    int visits = 0;
    std::optional<std::int64_t> lastVisit;
    std::optional<std::int64_t> lastDownload;
    bool lastDownloadComplete = false;
    std::optional<std::int64_t> lastBatteryAt;
    double lastVolts = 0;
    double lastCelsius = 0;
};

enum class EventKind { Visit, Battery, ClockSet, Download, Clear, JudgedAgain };

// One line of a unit's history. Only the fields of its kind are filled.
struct UnitEvent {
    EventKind kind = EventKind::Visit;
    std::int64_t at = 0;
    int port = -1;
    std::string device;
    double volts = 0;
    double celsius = 0;
    std::string reply;
    std::string sent;
    // A download, or for JudgedAgain the download judged again (its identity and start) with
    // the reasons found then.
    Download download;
    bool confirmed = false;
    // A download of a unit that gave no serial number, named by a later identification.
    bool identifiedLater = false;
};

struct LastDownload {
    std::int64_t started = 0;
    bool complete = false;
};

// What happened when the register was opened; `message` is for the operator.
struct OpenOutcome {
    enum class State { Open, OpenAfterMovingAside, Unavailable };
    State state = State::Unavailable;
    // Unavailable for now (another program's lock, an I/O error, a full disk): worth trying
    // again; the file is left as it is.
    bool retryable = false;
    std::string message;   // empty when opened as it was
    std::string movedTo;   // where a damaged file went
    int foundVersion = -1; // the file's schema version before migration
};

// Why the last call failed, as far as what to do about it goes.
enum class Failure {
    None,
    Busy,   // another program holds the lock (SQLITE_BUSY, SQLITE_LOCKED)
    Io,     // the disk or the file system failed a read, write or sync (SQLITE_IOERR...)
    Full,   // no room left (SQLITE_FULL)
    Damage, // SQLite reports the file itself corrupt (SQLITE_CORRUPT, SQLITE_NOTADB)
    Other,  // anything else: the call or the file's tables are wrong, not the disk
};
// Busy, Io and Full pass: they are retried and told, never taken for a damaged file.
bool isPassing(Failure failure);

class UnitRegister {
public:
    UnitRegister();
    ~UnitRegister();
    UnitRegister(const UnitRegister&) = delete;
    UnitRegister& operator=(const UnitRegister&) = delete;

    // Opens (or creates) the register. A file that cannot be read or written is left as it
    // is; a damaged one is moved aside under a timestamped name and a new one made. Waits at
    // most `busyMs` for another copy of the program that holds the write lock.
    OpenOutcome open(const std::string& path, int busyMs = 2000);
    void close();
    bool isOpen() const { return m_open; }
    const std::string& path() const { return m_path; }
    // The reason of the last failed call, for the run log, and its kind.
    const std::string& lastError() const { return m_lastError; }
    Failure lastFailure() const { return m_lastFailure; }
    // After a call failed with Damage: whether a fresh look (PRAGMA quick_check on a
    // connection of its own) confirms that the file is damaged.
    bool damageConfirmed();

    // Each is one transaction (unless inside bulk()); false when it could not be written.
    // An event whose identity is recorded already is not written again (and is true).
    bool recordVisit(const Visit& visit);
    bool recordBattery(const BatteryReading& reading);
    bool recordClockSet(const ClockSet& set);
    bool recordDownload(const Download& download);
    bool recordClear(const Clear& clear);
    bool recordIdentification(const Identification& identification);
    // A download judged again that is no longer safe: the fact, and the download leaves the
    // downloads waiting to be judged again, in one transaction.
    bool recordJudgedAgain(const JudgedAgain& judged);
    // The downloads an earlier program called safe that are still to be judged again (once,
    // after the upgrade), oldest first; and one of them judged again and still safe.
    std::vector<KeptToJudge> keptToJudgeAgain();
    bool judgedAgainStillSafe(const std::string& downloadId);

    // Many events in one transaction (imports, the benchmark): `body` returns whether to keep
    // them.
    template <class F> bool bulk(F&& body) {
        if (!begin())
            return false;
        m_inBulk = true;
        const bool keep = body();
        m_inBulk = false;
        return keep ? commit() : (rollback(), false);
    }

    std::vector<UnitSummary> units();
    // Every event of one unit, newest first.
    std::vector<UnitEvent> history(const std::string& serial);
    // Battery readings of one unit, oldest first.
    std::vector<BatteryReading> batteryHistory(const std::string& serial);
    std::optional<LastDownload> lastDownload(const std::string& serial);
    int schemaVersion();

private:
    struct Db;
    OpenOutcome openFile(const std::string& path, int busyMs, bool& damaged);
    // The schema's steps for the storage kit (storage::open), oldest first.
    std::vector<storage::Step> migrationSteps();
    bool begin();
    bool commit();
    void rollback();
    // Finds or adds the unit and moves its last-seen time; 0 on failure.
    std::int64_t unitId(const std::string& serial, std::int64_t at);
    template <class F> bool inTransaction(F&& body);
    // The fact of an event, by its identity, for the outbox.
    using FactOf = std::function<fleet::Fact(const std::string& id)>;
    // One row of `sql`, whose first parameter is the unit's id, then `values`; its fact goes
    // into the outbox in the same transaction when the row is new.
    bool insertEvent(const std::string& id, const std::string& serial, std::int64_t at,
                     const char* sql, const std::vector<QVariant>& values, const FactOf& fact);
    // Puts `fact` into the outbox, inside the current transaction.
    bool share(const fleet::Fact& fact);
    // The name this laptop's facts carry: fleet.ini beside the register, else the host name.
    // Read for each event, so that a name changed in Setup counts from the next one on.
    QString laptop() const;
    bool fail(const QString& what);
    bool fail(const QSqlError& error);
    // One row of an event table; `written` false when its identity was there already.
    bool insertOnce(const QString& sql, const std::vector<QVariant>& values, bool& written);

    Db* m_db = nullptr;
    bool m_open = false;
    bool m_inBulk = false;
    std::string m_path;
    std::string m_lastError;
    Failure m_lastFailure = Failure::None;
    int m_busyMs = 2000;
};

// Now, as the register keeps times.
std::int64_t nowMs();

} // namespace unitreg

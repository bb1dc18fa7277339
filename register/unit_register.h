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

#include <QString>
#include <QVariant>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace unitreg {

// The file name in the program's files folder.
inline constexpr const char* kFileName = "units.sqlite";
// The schema this program writes; older files are migrated forward on open.
inline constexpr int kSchemaVersion = 3;

struct Visit {
    std::string serial;
    std::int64_t at = 0;
    int port = -1;
    std::string device;
};

struct BatteryReading {
    std::string serial;
    std::int64_t at = 0;
    double volts = 0;
    double celsius = 0;
    std::string reply; // the unit's answer as received
};

struct ClockSet {
    std::string serial;
    std::int64_t at = 0;
    std::string sent; // the clock text sent, the computer's local time
    // The computer's UTC offset for that text and its time zone: the unit's clock keeps this
    // offset until it is set again (the series converts its records with it).
    std::optional<int> utcOffsetSeconds;
    std::string timeZone;
};

// One download, however it ended. The caller fills it from the download's outcome.
struct Download {
    std::string serial;
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
};

struct Clear {
    std::string serial;
    std::int64_t at = 0;
    bool confirmed = false; // the unit answered the last step
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

enum class EventKind { Visit, Battery, ClockSet, Download, Clear };

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
    Download download;
    bool confirmed = false;
};

struct LastDownload {
    std::int64_t started = 0;
    bool complete = false;
};

// What happened when the register was opened; `message` is for the operator.
struct OpenOutcome {
    enum class State { Open, OpenAfterMovingAside, Unavailable };
    State state = State::Unavailable;
    std::string message;   // empty when opened as it was
    std::string movedTo;   // where a damaged file went
    int foundVersion = -1; // the file's schema version before migration
};

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
    // The reason of the last failed call, for the run log.
    const std::string& lastError() const { return m_lastError; }

    // Each is one transaction (unless inside bulk()); false when it could not be written.
    // An event without a serial number is not recorded.
    bool recordVisit(const Visit& visit);
    bool recordBattery(const BatteryReading& reading);
    bool recordClockSet(const ClockSet& set);
    bool recordDownload(const Download& download);
    bool recordClear(const Clear& clear);

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
    bool migrate(int from, std::string& why);
    bool begin();
    bool commit();
    void rollback();
    // Finds or adds the unit and moves its last-seen time; 0 on failure.
    std::int64_t unitId(const std::string& serial, std::int64_t at);
    template <class F> bool inTransaction(F&& body);
    // One row of `sql`, whose first parameter is the unit's id, then `values`.
    bool insertEvent(const std::string& serial, std::int64_t at, const char* sql,
                     const std::vector<QVariant>& values);
    bool fail(const QString& what);

    Db* m_db = nullptr;
    bool m_open = false;
    bool m_inBulk = false;
    std::string m_path;
    std::string m_lastError;
};

// Now, as the register keeps times.
std::int64_t nowMs();

// Texts shown in the windows.
QString serialText(const std::string& serial); // Latin-1, one character per byte
QString localTimeText(std::int64_t msSinceEpoch, bool withSeconds = false);
QString eventKindText(EventKind kind);
QString eventDetails(const UnitEvent& event);
// "last downloaded 2026-11-03, complete"; "not downloaded yet" when none.
QString lastDownloadText(const std::optional<LastDownload>& last);
// The history as CSV (RFC 4180 quoting), one line per event, newest first, in UTF-8.
QByteArray historyCsv(const std::string& serial, const std::vector<UnitEvent>& events);

} // namespace unitreg

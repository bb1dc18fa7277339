// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The series store: "series.sqlite" in the program's files folder, through Qt SQL. For every
// unit (serial number) and data set (its name and its place among the download's sets of
// that name) one series of records in segments (overlap.h says when a segment ends). A
// download is taken in one transaction (write-ahead log, synchronous=FULL), so a process
// killed in the middle leaves the series as it was, and a download taken is on the disk
// before anyone is told.
//
// Compact by design: a segment's records are kept in chunks, each a blob of the records one
// download brought (a flags byte, a length and the line's bytes per record), so a record
// costs its bytes and about two more. What the series says about them (provisional, flags,
// times) lives beside them. Where downloads said different records at one place (overlap.h's
// isolated differences), every download's statement there is kept ("versions": which
// download said what) and the chunk shows the settled one (overlap.h's settledStatement), or
// the one held first while the place is disputed.
//
// A download not called safe never makes a confirmed segment: where it would start one, its
// records stand apart, provisional, as the last segment, until a safe download confirms
// them (it follows them) or replaces them (it follows the segment before, or starts one).
//
// Derived data: the kept raw downloads and the unit register are the facts, and rebuild()
// (series_rebuild.h) makes the same store from them. One thread at a time per object.
//
// The store's files: series_store.cpp (opening, reading), series_store_apply.cpp (apply),
// store_db.h (the connection's statements), store_schema.h (tables, migrations),
// chunk_codec.h (the records' blobs), held_reader.h (a segment's records by place),
// span_reader.h (what sharing reads), series_merge.h (the pure merge).

#include "series/download_records.h"
#include "series/download_text.h"
#include "series/record_time.h"

#include "platform/result.h"
#include "storage/sqlite_store.h"

#include <QString>
#include <cstdint>

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace series {

inline constexpr const char* kFileName = "series.sqlite";
// The rules that made a store's series (3: alignment with isolated differences, records
// apart; 4: differences tolerated by the evidence of overlap.h, copies of one memory joined,
// series_merge.h; a set's title line its column titles, never a record, namesColumns): a
// store made by older rules is rebuilt once.
inline constexpr int kRulesVersion = 4;

// One download to take.
struct DownloadInput {
    std::string serial;
    std::string keptPath;  // the kept raw download: its identity (empty: not kept)
    std::int64_t atMs = 0; // when it started, UTC
    bool safe = false;     // the verdict called it safe
};

// What one data set of a download did to its series.
struct SetTaken {
    std::string name;
    int ordinal = 0; // 0 for the first set of this name in the download, 1 for the second ...
    std::size_t added = 0;
    std::size_t held = 0;
    bool provisional = false;  // added as provisional (the download was not called safe)
    std::size_t confirmed = 0; // provisional records this download confirmed
    std::size_t replaced = 0;  // provisional records this download replaced
    bool newSegment = false;   // d started a new segment (not the series' first)
    bool afterClear = false;   // ... because the unit was cleared since
    std::size_t differsAt = 0; // ... or because it differs from the last one here
    std::string reason;        // ... said for the operator ("differs at record 6")
    bool apart = false;        // ... provisional, apart (the download was not called safe)
    std::size_t disputed = 0;  // places this download disputed (it said another record there)
    std::size_t settled = 0;   // disputed places this download settled
    bool fewer = false;        // the unit holds fewer records than before
    bool wrapped = false;      // joined by the wrap rule
    std::size_t joined = 0;    // earlier segments it showed to be the same memory, joined
};
// "SITE1: 48 new records, 312 already held", and what else happened.
std::string takenText(const SetTaken& taken);

struct ApplyResult {
    bool ok = false;
    std::string error;
    bool replayed = false; // this kept download was taken before: nothing done
    std::vector<SetTaken> sets;
    // One line for the operator (the sets' texts joined).
    std::string text() const;
};

struct SeriesInfo {
    std::int64_t id = 0;
    std::string serial;
    std::string name;
    int ordinal = 0;
    std::uint64_t records = 0;
    int segments = 0;
    std::uint64_t provisional = 0;
    std::uint64_t disputed = 0; // places where downloads said different records
    std::uint64_t bytes = 0;    // the records' bytes
    double usualInterval = 0;   // seconds, 0 when unknown
    // The set's title line as the latest download with one sent it (Latin-1 bytes; its
    // fields by fieldsOf); empty when none came.
    std::string columnTitles;
};

// A kept download `xrq-series prune-kept --remove` removed: a later safe one holds it wholly.
struct PrunedDownload {
    std::string serial, path, heldBy;
};

struct Note {
    int segment = 0;          // 1-based
    std::uint64_t record = 0; // 1-based within the segment
    std::string text;
    std::string download;
};

// One record as the store hands it out (valid during the callback).
struct RecordRef {
    int segment = 0;         // 1-based
    std::uint64_t index = 0; // 0-based within its segment
    std::string_view line;
    std::uint8_t timeFlags = 0;
    bool provisional = false;
    bool disputed = false;            // downloads said different records at this place
    bool repeated = false;            // its bytes after the bytes before it stand elsewhere too
    std::optional<int> offsetSeconds; // the offset of the download's time rule
    std::int64_t downloadAtMs = 0;    // when the download that brought it was taken
    viewer::DateOrder dateOrder = viewer::DateOrder::YMD;
    const std::string* download = nullptr; // the kept download's path
};

class SeriesStore {
public:
    SeriesStore();
    ~SeriesStore();
    SeriesStore(const SeriesStore&) = delete;
    SeriesStore& operator=(const SeriesStore&) = delete;

    // Opens or creates the store. A file that is no store is told as Corrupt (then rebuild);
    // a lock held past the wait as Busy, a full disk as Full.
    platform::Result<void> open(const std::string& path);
    // Opens an existing store to read it only (the viewer, the Units window's export): no
    // schema is made, nothing is written, and a reader never waits for the program's writes.
    // A file that is no store (or holds no series) is Corrupt, told apart from one that cannot
    // be read now (Busy past the wait, TooNew when made by a newer program, Refused when not
    // ours to read).
    platform::Result<void> openToRead(const std::string& path);
    // Opens an existing store of this schema to keep what is learnt beside its series
    // (keepLearntClockSets): no schema is made and the whole file is not checked.
    platform::Result<void> openToKeep(const std::string& path);
    void close();
    bool isOpen() const;
    // The version whose rules made the series the store holds (kept through a migration of
    // its schema; a new or rebuilt store's is kRulesVersion): below kRulesVersion, made by
    // older rules (series_apply.h rebuilds it once).
    int rulesVersion();
    const std::string& path() const { return m_path; }

    // Takes a download's data sets in one transaction. A kept download taken before is not
    // taken again. The records are read as a stream: of each only its hash is held while it
    // is aligned, and its bytes are read again from `download` where they are stored.
    ApplyResult apply(const DownloadInput& in, DownloadRecords& download, const UnitFacts& facts);
    // The same over sets held in memory.
    ApplyResult apply(const DownloadInput& in, const DownloadSets& sets, const UnitFacts& facts);
    // Whether this kept download has been taken.
    bool hasDownload(const std::string& serial, const std::string& keptPath);
    // Whether this kept download said a record at a place where downloads disagreed: its word
    // counts there for what the place shows, so a rebuild must read it again (never pruned).
    platform::Result<bool> saidWhereDisagreed(const std::string& serial,
                                              const std::string& keptPath);

    std::vector<SeriesInfo> list();
    std::optional<SeriesInfo> find(const std::string& serial, const std::string& name,
                                   int ordinal = 0);
    std::vector<Note> notes(std::int64_t seriesId);
    // Each segment's title line (1-based segment: the latest download that brought records
    // to it with one); segments without one are not there.
    std::map<int, std::string> segmentTitles(std::int64_t seriesId);
    // The unit's clock sets: this laptop's, as the register had them when its last download
    // was taken, and the organisation's learnt from its server (learnt_clock_sets.h).
    std::vector<ClockFact> clockSets(const std::string& serial);
    // Keeps the organisation's clock sets of a unit as learnt, each once; gives how many were
    // not kept before. A store made before it gets their table here.
    platform::Result<std::size_t> keepLearntClockSets(const std::string& serial,
                                                      const std::vector<ClockFact>& sets);
    // Every unit's clock sets learnt, for a rebuild to carry over: an error when they cannot
    // be read (never a part of them); none learnt is an empty list.
    platform::Result<std::vector<std::pair<std::string, ClockFact>>> learntClockSets();
    // Kept downloads removed as wholly held by a later one, known so to a rebuild.
    platform::Result<void> notePruned(const PrunedDownload& pruned);
    std::vector<PrunedDownload> pruned();
    // Every record of a series in order; false from `each` stops (then false is returned).
    bool forEachRecord(std::int64_t seriesId, const std::function<bool(const RecordRef&)>& each);

    // Test seam: called at named points inside apply's transaction ("chunk written").
    static void setFaultHook(std::function<void(const char*)> hook);

    // The connection and its statements: known by name to the store's own helpers only (its
    // definition is store_db.h's).
    struct Db;

private:
    // Every open: a connection of its own to `path` through the storage kit (with the
    // schema's steps where `options` holds them), closed again when it fails.
    platform::Result<void> connect(const std::string& path, const storage::OpenOptions& options);

    Db* m_db = nullptr;
    std::string m_path;
};

} // namespace series

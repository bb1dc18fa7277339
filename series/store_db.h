// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The series store's connection and its statements (SeriesStore::Db), known to the store's
// own files only (series_store.cpp, series_store_apply.cpp, store_schema.cpp): the segments,
// their chunks, what downloads said at disputed places, notes, and the segments' records put
// in the outbox (share). Every member runs inside the caller's transaction where it writes;
// false means `error` says why and the caller rolls back.

#include "series/chunk_codec.h"
#include "series/series_store.h"

#include "fleet/fleet_settings.h"

#include "storage/sqlite_store.h"

#include <QByteArray>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>
#include <QVariant>

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace series::detail {

// A segment joined into another (series_merge.h) keeps its row and chunks, which the outbox's
// spans may still name, under a seq below 0 (-1 - its id); every reader of the series passes
// it by.
struct Segment {
    std::int64_t id = 0;
    int seq = 0;
    std::uint64_t records = 0;
    std::uint64_t confirmed = 0;
    std::int64_t lastDownloadAt = 0;
    std::uint64_t shared = 0; // records 0 .. shared - 1 are in the outbox
    QByteArray sharedChain;   // the chained hash after them
};

// The test seam of SeriesStore::setFaultHook, and its call at a named point.
std::function<void(const char*)>& faultHook();
void fault(const char* where);

QByteArray blob(std::string_view bytes);
std::string bytesOf(const QVariant& v);
// A clock set as the store's two tables of them hold it: at, utc_offset and sent, from
// column `first` of the row `q` is on.
ClockFact clockFactAt(const QSqlQuery& q, int first);
// Whether the store has the table of the clock sets learnt from the server (made with the
// first ones learnt).
inline constexpr const char* kHasLearntClockSets =
    "SELECT 1 FROM sqlite_master WHERE name = 'learnt_clock_sets'";

} // namespace series::detail

namespace series {

struct SeriesStore::Db {
    using Segment = detail::Segment;

    storage::Store store; // the kit's open, which owns the Qt connection
    QSqlDatabase db;      // its handle
    std::string error;
    platform::ErrorKind errorKind = platform::ErrorKind::Internal; // what `error` tells, in kind
    // The last failure as a Result's error, its words after `prefix`.
    platform::Error failure(const std::string& prefix = {}) const {
        return platform::makeError(errorKind, prefix + error);
    }
    // fleet.ini's folder: the name this laptop's records carry, read at each download so
    // that a name changed in Setup counts from the next one on.
    std::string settingsFolder;
    QString thisLaptop() const { return fleet::readFleetSettings(settingsFolder).laptop; }
    int version = 0; // the schema the file holds (a reader's may be older than ours)

    // Keeps `failed` as the last failure: false, for `return fail(...)`.
    bool fail(const platform::Error& failed) {
        error = failed.text;
        errorKind = failed.kind;
        return false;
    }
    bool exec(QSqlQuery& q);
    bool run(const char* sql);

    // The last segment of `series` before seq `below`, if any.
    bool segmentBelow(std::int64_t series, int below, std::optional<Segment>& out);

    bool lastSegment(std::int64_t series, std::optional<Segment>& out);

    bool saveSegment(const Segment& s);

    bool newSegment(std::int64_t series, int seq, std::int64_t at, Segment& s);

    // The chunk of `s` that holds records on both sides of place `at`, if any, in `q`
    // (id, first, count, download_id, utc_offset, date_order, data).
    bool chunkAcross(const Segment& s, std::uint64_t at, QSqlQuery& q);

    // A chunk's records after it was cut: its first `count`, `bytes` of lines, as `data`.
    bool rewriteChunk(std::int64_t id, std::uint64_t count, std::uint64_t bytes,
                      const QByteArray& data);

    // Cuts a segment back to its first `keep` records.
    bool truncate(Segment& s, std::uint64_t keep);

    // A download's new records written into a segment's chunks as they are read: a chunk
    // is written once it holds kChunkRecords records or kChunkBytes bytes.
    class ChunkWriter {
    public:
        ChunkWriter(Db& db, Segment& s, std::int64_t download, const TimeRule& rule,
                    viewer::DateOrder order)
            : m_db(db), m_segment(s), m_download(download), m_rule(rule), m_order(order) {}
        bool add(std::uint8_t flags, std::string_view line) {
            detail::putRecord(m_data, flags, line);
            m_bytes += line.size();
            ++m_count;
            return (m_count < detail::kChunkRecords &&
                    std::size_t(m_data.size()) < detail::kChunkBytes) ||
                   write();
        }
        // The last chunk, however few it holds.
        bool finish() { return m_count == 0 || write(); }

    private:
        bool write();

        Db& m_db;
        Segment& m_segment;
        std::int64_t m_download;
        const TimeRule& m_rule;
        viewer::DateOrder m_order;
        QSqlQuery m_insert;
        bool m_prepared = false;
        QByteArray m_data;
        std::uint64_t m_bytes = 0;
        std::size_t m_count = 0;
    };

    // The records of `s` from `at` on go to a segment of their own after it (its seq is the
    // next: `s` is the last one), with what is said of them.
    bool split(std::int64_t series, Segment& s, std::uint64_t at, std::int64_t when, Segment& rest);

    // The segment before `s` in its series, if any.
    bool segmentBefore(std::int64_t series, const Segment& s, std::optional<Segment>& out);

    // A segment of provisional records replaced: its chunks, versions, notes and itself.
    bool dropSegment(std::int64_t series, const Segment& s);

    // What downloads said at a segment's disputed places (and once disputed), by place.
    struct Said {
        std::string line;
        bool safe = false;
    };
    using Versions = std::map<std::uint64_t, std::vector<Said>>;
    bool versions(std::int64_t segment, Versions& out);
    static int settledOf(const std::vector<Said>& said);
    static bool disputed(const std::vector<Said>& said) { return settledOf(said) < 0; }
    // The places of a series where downloads disagree: (segment seq, place); and the line
    // each place that was disputed and is settled shows (`shown`, when asked for).
    using Place = std::pair<int, std::uint64_t>;
    bool disputedPlaces(std::int64_t series, std::set<Place>& out,
                        std::map<Place, std::string>* shown = nullptr);
    bool state(std::int64_t segment, std::uint64_t place, std::int64_t download, bool safe,
               std::string_view line);

    // The record at a place shows another line (a dispute settled for it): its chunk is
    // written again.
    bool rewrite(std::int64_t segment, std::uint64_t place, std::string_view line);

    bool note(std::int64_t series, std::int64_t download, int segment, std::uint64_t record,
              const std::string& text);

    // The download taken, as the series' statements name it.
    bool addDownload(const DownloadInput& in, std::int64_t& id);

    // The unit's clock sets as the register has them at this download.
    bool keepClockSets(const std::string& serial, const std::vector<ClockFact>& sets);

    // The series of a unit's data set, made where there is none yet.
    bool seriesOf(const std::string& serial, const std::string& name, int ordinal,
                  std::int64_t& id);

    // The series' segments in order, joined ones left out.
    bool segmentsOf(std::int64_t series, std::vector<Segment>& out);

    // Segment `y` joined into `t` (after it in the series) at `t`'s place `at`: where they say
    // different records, or where either was disputed, what `y` said there counts with what
    // was said at `t`'s place (its versions moved there), and the place shows what is settled;
    // `y` stands aside (its chunks kept), the segments after it move up one, its notes go with
    // its records, and `t` tells of the join. Counts what it disputed and settled.
    bool joinSegment(std::int64_t series, const Segment& y, Segment& t, std::uint64_t at,
                     std::size_t differing, std::int64_t download, std::size_t& disputedNow,
                     std::size_t& settledNow);

    // Puts the segment's confirmed records not yet shared into the outbox, in the caller's
    // transaction, and moves its shared count (the caller saves the segment): rows of
    // kRecordsPerRow records that name them in the chunks (readSharedSpan reads them when
    // they are pushed), so a download pays a row per thousand records, not a copy of each.
    // The chain is worked out here all the same: each row's first hash is its identity, and
    // the segment keeps the last.
    bool share(const std::string& serial, const std::string& name, int ordinal, Segment& s,
               std::int64_t occurredAt, const QString& laptop);

    // Every confirmed record of a store made before the outbox, once (the migration's
    // transaction).
    bool shareEarlier();
};

} // namespace series

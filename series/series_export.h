// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A series, or a time range of it, as CSV (RFC 4180, UTF-8, CR LF): comment lines ("# ...")
// naming the unit, the data set, the time rule and the flags; then a title row and one row
// per record: the unit's time as sent, UTC (ISO 8601, "Z"), the offset used, the record's
// fields as the unit separated them (at commas, blanks around them trimmed), the flags, and
// the kept download the record came from. Flags never change or drop a record: times that go
// backwards, repeated times, a gap over ten times the usual interval, segment starts,
// provisional records, disputed places (downloads said different records there; the row
// shows the one held first until a download settles it), repeated records (its bytes after
// the bytes of the record before it stand at another place too: both kept), offsets unknown
// or ambiguous, clocks ahead (a UTC after the download that brought it: none written).

#include "series/series_store.h"

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace series {

struct ExportRange {
    // UTC seconds (a record without UTC is compared by its unit time). Unset: open.
    std::optional<double> from, to;
};

// Reads "2026-06-01", "2026-06-01T08:00:00" or "...Z" as UTC seconds.
bool parseRangeTime(std::string_view text, double& seconds);

// Streams the CSV to `sink` in pieces (false from it stops the export). Returns the rows
// written, or -1 when the store failed or the sink stopped.
long long exportCsv(SeriesStore& store, const SeriesInfo& info, const ExportRange& range,
                    const std::function<bool(std::string_view)>& sink);

// A series wherever it is held (the local store, the organisation's server): what it is, its
// notes, and its records in order (false from `each` stops; false back when reading failed).
struct RecordSource {
    SeriesInfo info;
    std::vector<Note> notes;
    std::function<bool(const std::function<bool(const RecordRef&)>& each)> forEachRecord;
    // The unit's clock sets known: each record's UTC is worked out from them (RecordClock).
    std::vector<ClockFact> clockSets;
};
long long exportCsv(const RecordSource& source, const ExportRange& range,
                    const std::function<bool(std::string_view)>& sink);
// Every record of a source in order with its UTC by its own clock (RecordClock over the
// source's clock sets: a pass over the records first, then this one), for a reader that
// wants the instants without the CSV (a plot). False when reading failed or `each` stopped.
bool forEachRecordUtc(const RecordSource& source,
                      const std::function<bool(const RecordRef&, bool parsed, double unitSeconds,
                                               const RecordClock::Utc& utc)>& each);
// The store's records of `info`; the store must outlive the source.
RecordSource storeSource(SeriesStore& store, const SeriesInfo& info);

// The export written into the file at `path`: under a temporary name beside it, synced, named
// (taking the place of a file there only with `replace`, which the operator confirmed) and its
// folder synced before it counts as written. On failure nothing is left behind and a file
// that was there is as it was. `stop` (any thread) ends it early.
struct FileExport {
    bool ok = false;
    long long rows = 0;
    std::string error; // what failed, for the operator: "<path>: <reason>"
};
FileExport exportToFile(const RecordSource& source, const ExportRange& range,
                        const std::string& path, bool replace,
                        const std::function<bool()>& stop = {});

// The flags of a record as the export writes them ("segment start; provisional"), in one
// place for the export and the list.
class RecordFlags {
public:
    explicit RecordFlags(double usualInterval) : m_usual(usualInterval) {}
    // Flags of the next record in order, its UTC as RecordClock gave it (the steps between
    // records are judged on UTC where both are known).
    std::string next(const RecordRef& record, bool parsed, double unitSeconds,
                     const RecordClock::Utc& utc);

private:
    double m_usual;
    int m_segment = 0;
    bool m_havePrevious = false;
    double m_previous = 0;
    bool m_previousKnown = false;
    double m_previousUtc = 0;
};

// Each flag of a record's flags text ("segment start; provisional") in turn.
template <class Each> void forEachFlag(std::string_view flags, Each&& each) {
    while (!flags.empty()) {
        const auto end = flags.find("; ");
        each(flags.substr(0, end));
        if (end == std::string_view::npos)
            break;
        flags.remove_prefix(end + 2);
    }
}

// The flags a plot marks at the record itself ("disputed; gap"): all of them but a segment's
// start, which has its line across the plot, and an offset the register never knew, which
// belongs to whole downloads (a plot's notes count it). One rule for the viewer and the
// office's plots.
std::string pointFlags(std::string_view flags);

// Latin-1 bytes as UTF-8.
void appendUtf8(std::string& out, std::string_view latin1);

} // namespace series

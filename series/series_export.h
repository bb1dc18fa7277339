// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A series, or a time range of it, as CSV (RFC 4180, UTF-8, CR LF), in one of two layouts.
// Plain (the default): one title row and nothing else, so that any tool reads it with no
// options: the unit's time in ISO 8601 without an offset (it is the unit's own clock), UTC in
// ISO 8601 with "Z", the offset in minutes, each field after the record's time stamp under
// its column title (the set's title line; "field_N" where none came), numbers as the unit
// sent them, the flags in words, and the kept download by its file name and when it was
// taken, never a laptop's path. What the series says about itself (unit, data set, counts,
// time rule, flags, notes, downloads) goes into a metadata file beside it in the W3C's
// tabular metadata vocabulary ("<name>.csv-metadata.json", exportMetadata), which names each
// column, its type and its title. Classic: comment lines ("# ...") with the same, then a title
// row, then one row per record: the unit's time as sent, UTC, the offset used, the record's
// fields as the unit separated them, the flags and the kept download's path.
// In both, a cell taken from the unit or a laptop's payload never runs in a spreadsheet and
// never breaks a row: text that begins with '=', '+', '-', '@', TAB or CR gets a single quote
// before it (numbers are left as they are), and a CR or LF inside it is written as a blank;
// comment lines get the same blanks. Flags never change or drop a record: times that go
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

enum class ExportLayout { Plain, Classic };
// "plain", "classic"; false for any other word.
bool parseExportLayout(std::string_view word, ExportLayout& layout);

// What an export wrote, for its metadata file: its columns and what the series says.
struct ExportColumn {
    std::string name;     // a plain name for programs (letters, digits, '_')
    std::string title;    // the title row's cell (UTF-8)
    std::string datatype; // "dateTime", "dateTimeStamp", "integer", "number", "string"
    std::string about;    // what it holds, in words
};
struct ExportDescription {
    std::vector<ExportColumn> columns;
    std::vector<std::string> said;   // what the classic layout's comment lines say (UTF-8)
    std::vector<std::string> source; // the kept downloads: "file name (taken UTC)"
    std::string title;               // "XRQ series: unit ..., data set ..."
    long long rows = 0;
};
// The metadata file of a plain export written as `csvName` (a file name, no folder): JSON in
// the W3C's vocabulary for tabular data on the web.
std::string exportMetadata(const ExportDescription& described, const std::string& csvName);

// Streams the CSV to `sink` in pieces (false from it stops the export). Returns the rows
// written, or -1 when the store failed or the sink stopped. `described` (optional) is filled
// for the metadata file.
long long exportCsv(SeriesStore& store, const SeriesInfo& info, const ExportRange& range,
                    const std::function<bool(std::string_view)>& sink,
                    ExportLayout layout = ExportLayout::Plain,
                    ExportDescription* described = nullptr);

// A series wherever it is held (the local store, the organisation's server): what it is, its
// notes, and its records in order (false from `each` stops; false back when reading failed).
struct RecordSource {
    SeriesInfo info;
    std::vector<Note> notes;
    std::function<bool(const std::function<bool(const RecordRef&)>& each)> forEachRecord;
    // The unit's clock sets known: each record's UTC is worked out from them (RecordClock).
    std::vector<ClockFact> clockSets;
    // Each segment's title line (1-based segment), where known; info.columnTitles serves
    // the segments not here.
    std::map<int, std::string> segmentTitles;
};
long long exportCsv(const RecordSource& source, const ExportRange& range,
                    const std::function<bool(std::string_view)>& sink,
                    ExportLayout layout = ExportLayout::Plain,
                    ExportDescription* described = nullptr);
// The column titles of a series' fields, one per field of its widest record (Latin-1 bytes
// as sent; empty where no title line names that field): where segments' title lines differ
// at a field, their titles joined with " / ", in the segments' order.
std::vector<std::string> fieldTitles(const RecordSource& source, std::size_t fields);
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
// folder synced before it counts as written; a plain export's metadata file
// (metadataPathOf) the same way beside it. On failure nothing is left behind and a file that
// was there is as it was. `stop` (any thread) ends it early.
struct FileExport {
    bool ok = false;
    long long rows = 0;
    std::string error;    // what failed, for the operator: "<path>: <reason>"
    std::string metadata; // the metadata file written (plain layout)
};
FileExport exportToFile(const RecordSource& source, const ExportRange& range,
                        const std::string& path, bool replace,
                        const std::function<bool()>& stop = {},
                        ExportLayout layout = ExportLayout::Plain);
// "<path>-metadata.json": where the metadata of the CSV at `path` is looked for.
std::string metadataPathOf(const std::string& csvPath);

// One CSV cell of text the unit or a payload gave (Latin-1 unless `latin1` is false): quoted
// where it holds a quote or a comma, a CR or LF written as a blank, and text that a
// spreadsheet would run ('=', '+', '-', '@', TAB, CR first) with a single quote before it;
// a number is written as it is.
void appendCell(std::string& out, std::string_view text, bool latin1 = true);

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

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A series as the organisation's server holds it, derived from every laptop's shared records
// of one unit and data set, ready for the same CSV export as the local store
// (series_export.h). Blocking, with the connection's deadline.
//
// The server holds facts only; the series is derived from their union by deriveSeries, the
// one function for it (xrq-series export --service, the Units window, the office's view).
// Each laptop's segments are read back as chains (a record at its place under the record
// before it whose bytes its identity was made with, series_share.h, or whose chained hash an
// older version's record continues), and the chains are put together with
// the alignment the laptops' own series use (overlap.h): a chain that a series derived so far
// holds at some place (or holds that series) is the same memory, one row per place; one
// that fits none is a segment of its own (a clear one laptop missed, another laptop's visit
// after a clear, a rebuild that numbered its segments otherwise). Every physical record
// once, in the unit's order: where laptops said different records at one place, the row
// shows the one said most (the first one while they tie) and is flagged disputed; a record
// whose bytes and the bytes of the record before it stand at two places is flagged
// repeated (a clock reset to its default date), never merged.

#include "series/series_export.h"
#include "series/series_share.h"

#include "fleet/server_history.h"

#include <string>
#include <vector>

namespace series {

struct DerivedRecord {
    ServerRecord record; // segment, position: its place in the derived series (0-based)
    bool disputed = false;
    bool repeated = false;
};
struct DerivedSeries {
    std::vector<DerivedRecord> records; // in the unit's order
    int segments = 0;
    std::size_t disputed = 0;
    std::size_t repeated = 0;
};
// `facts` in the server's order (by segment, position, then arrival).
DerivedSeries deriveSeries(const std::vector<fleet::ServerSeriesRecord>& facts);

class ServerSeries {
public:
    // Reads the series; false with `why` when the server could not be read or holds none.
    bool read(const std::string& conninfo, const std::string& serial, const std::string& name,
              int ordinal, std::string& why);
    // Valid while this object lives.
    RecordSource source() const;

private:
    SeriesInfo m_info;
    std::vector<Note> m_notes;
    DerivedSeries m_series;
    std::vector<ClockFact> m_clockSets;
};

} // namespace series

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A series as the organisation's server holds it, derived from every laptop's shared records
// of one unit and data set, ready for the same CSV export as the local store
// (series_export.h). Blocking, with the connection's deadline.
//
// The server holds facts only; the series is derived from their union by deriveSeries, the
// one function for it (xrq-series export --service, the Units window, the office's view).
// A record's key on the server is what it is on every laptop (its unit, data set, identity
// and occurrence, series_share.h) with the record before it on the laptop that pushed it:
// two laptops holding the same records push the same keys, and the server keeps each once,
// whatever segments each numbered them in. The records are linked into chains by the record
// before each (the first one its laptop says, where several laptops said other records
// there), and the chains are put together with the alignment the laptops' own series use
// (overlap.h): a chain that a series derived so far holds at some place (or holds that
// series) is the same memory, one row per place; one that fits none is a segment of its own
// (a clear one laptop missed, another laptop's visit after a clear). Every physical record
// once, in the unit's order: where laptops said different records at one place, both stay
// and the row shows the one said first, flagged disputed (a laptop's series settles a place
// by the downloads that agree; on the server a second laptop's equal fact is the same row, so
// the place stays disputed: what each laptop said is its own fact); a record
// whose bytes and the bytes of the record before it stand at two places is flagged
// repeated (a clock reset to its default date), never merged.

#include "series/series_export.h"
#include "series/series_share.h"

#include "fleet/pg_connection.h"
#include "fleet/server_history.h"
#include "platform/result.h"

#include <chrono>
#include <map>

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
    // Facts left out (their index in the facts given, and why): a payload that is no
    // record's, an identity that is not that of its bytes.
    std::vector<std::pair<std::size_t, std::string>> unread;
    // Not derived within DeriveBounds: why ("too many chains ...", "took too long ..."), and
    // then no records.
    std::string failed;
};

// What deriving one series may cost. Facts come from every laptop role, and a role may insert
// what it likes: the work must not grow without bound with them. Putting chains together
// compares each chain with the segments derived so far, so the work grows with the square of
// the chains; a unit's real series has a chain per segment a laptop pushed and one per place
// where laptops disagreed: some hundreds over years of visits, where 20,000 chains is already
// a flood of junk. The deadline bounds the rest (rows that all
// name one record before them, long disputes): 60 s by default, as long as the read of a
// large series may take; the office gives its statement timeout.
struct DeriveBounds {
    std::size_t mostChains = 20000;
    std::chrono::milliseconds mostTime{60000};
};

// `facts` (xrq.series_facts' rows, each with its identity, occurrence and the record before
// it) in the order the server received them.
DerivedSeries deriveSeries(const std::vector<fleet::ServerSeriesRecord>& facts,
                           const DeriveBounds& bounds = {});

// The rows an older version pushed to xrq.series_records, keyed by their laptop's segment and
// position (the chained hash over its segment, or the identity), as the keyed facts
// deriveSeries takes: each laptop's segment followed place by place as it said it. `facts`
// by segment, position, then arrival. What admin init-server puts beside them.
std::vector<fleet::ServerSeriesRecord>
factsOfPlaces(const std::vector<fleet::ServerSeriesRecord>& facts);

// admin init-server's step (fleet::InitOptions::deriveRecords): every unit's and data set's
// rows of xrq.series_records keyed by factsOfPlaces into xrq.series_facts beside them, on the
// owner's connection, inside its transaction; rows already there are kept (a second run adds
// only what is new). `told`: how many it added, or why it failed.
bool keyOlderRecords(fleet::PgConnection& connection, std::chrono::milliseconds timeout,
                     QString& told);

class ServerSeries {
public:
    ServerSeries() = default;
    explicit ServerSeries(DeriveBounds bounds) : m_bounds(bounds) {}
    // Reads the series. Errors: Server when the server could not be read, Invalid when its
    // facts are not derived within the bounds (notDerived says why), NotFound when it holds
    // no records of the series.
    platform::Result<void> read(const std::string& conninfo, const std::string& serial,
                                const std::string& name, int ordinal);
    // The same on a connection already open, its schema checked.
    platform::Result<void> read(fleet::PgConnection& connection, const std::string& serial,
                                const std::string& name, int ordinal);
    // Valid while this object lives.
    RecordSource source() const;
    // What the server's readers left out (a disowned laptop role's facts); empty if nothing.
    const std::string& leftOut() const { return m_leftOut; }
    // The facts of the series (its records and the unit's clock sets) the read skipped as
    // unreadable; told by whoever shows the series.
    fleet::UnreadFacts unread() const {
        fleet::UnreadFacts all = m_unread;
        all.add(m_clockSetsUnread);
        return all;
    }
    // The records' alone, and the unit's clock sets' alone (the same for each of its series).
    const fleet::UnreadFacts& recordsUnread() const { return m_unread; }
    const fleet::UnreadFacts& clockSetsUnread() const { return m_clockSetsUnread; }
    // Why the last read's facts were not derived within the bounds (DeriveBounds), or empty.
    const std::string& notDerived() const { return m_series.failed; }

private:
    platform::Result<void> take(const fleet::ServerSeries& held, const std::string& serial,
                                const std::string& name, int ordinal);
    // Each segment's title line, and the records without one an older version shared.
    void takeTitles();
    SeriesInfo m_info;
    std::vector<Note> m_notes;
    DerivedSeries m_series;
    std::vector<ClockFact> m_clockSets;
    std::string m_leftOut;
    std::map<int, std::string> m_segmentTitles;
    DeriveBounds m_bounds;
    fleet::UnreadFacts m_unread;
    fleet::UnreadFacts m_clockSetsUnread;
};

} // namespace series

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The series' records as facts for the organisation's server (fleet/fact.h), and back.
//
// A record is identified by what it is, the same on every laptop that holds it whatever
// visits, clears, wraps, rebuilds or lost stores each laptop saw: XXH3's 128 bits (32 hex
// digits) of the bytes of the record before it in the unit's memory and its own bytes
// (recordIdentity; at a segment's start, of its own bytes alone). Its unit and data set go
// with it as the server's key does, and its segment and position travel with it as what
// orders it on this laptop. A record changed on the line changes its own identity and the
// next one's, never those after them. Versions before this one identified a record by a
// hash chained over its segment's records (RecordChain, still read back from the server's
// older rows). Only confirmed records are shared: a provisional record may still be
// replaced, so it goes when a safe download confirms it. A rebuild shares the same records
// under the same identities again (harmless: the server keeps each identity once).
//
// The payload is the record's bytes ("line", Latin-1 as text); what this laptop says of it
// goes under "info", which the server keeps but does not compare between laptops: the kept
// download it came from, the date order and offset it was read with, its time flags, a note
// on it, the series' usual interval, and with a span's first record its segment's title line
// ("titles", Latin-1 as text: the set's column titles, never a record). To keep a download's write
// small, "info" is written only where the download, offset, order or flags change from the record
// before in the same outbox span, or a note or the interval goes with the record (the first record
// of each span has it whole); a reader carries download, offset, order and flags forward along the
// segment.

#include "series/series_store.h"

#include "fleet/fact.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace series {

// The data set's name on the server: the name as Latin-1 text, and for the second and later
// sets of that name in a download, a unit separator (U+001F) and the set's number.
QString sharedDataSet(const std::string& name, int ordinal);
// The reverse: a data set's name (Latin-1 bytes) and ordinal as the server names it; the
// ordinal -1 when the server's mark carries no number.
std::pair<std::string, int> dataSetOfShared(const QString& shared);

// A record's identity (lower-case hex), from the record before it (empty at a segment's
// start) and its own bytes.
inline constexpr std::size_t kIdentityHexSize = 32;
void recordIdentity(std::string_view before, std::string_view line, char* hex);
QString recordIdentity(std::string_view before, std::string_view line);

// How many records before a record in its segment have the same identity (by its first 64
// bits), counted along the segment from its start: with the identity and the record before
// it, what keeps equal records after equal records (a clock reset to its default date) apart
// on the server. 0 for nearly every record.
class OccurrenceCount {
public:
    // The occurrence of the next record, whose identity is `hex`; then counts it.
    std::uint32_t next(const char* hex);
    std::uint32_t next(const QString& hex);
    // How many records it has counted.
    std::uint64_t counted() const { return m_counted; }
    void clear();

private:
    // Sorted, with the recent ones counted beside them until there are enough to merge: about
    // eight bytes a record.
    std::vector<std::uint64_t> m_sorted;
    std::unordered_map<std::uint64_t, std::uint32_t> m_recent;
    std::uint64_t m_counted = 0;
};

// The hash chained over a segment's records (older versions' identities).
class RecordChain {
public:
    static constexpr std::size_t kHexSize = 32;
    // `before`: the raw hash after the records before (empty at a segment's start).
    explicit RecordChain(const QByteArray& before = {});
    // Takes the next record; writes its hash (lower-case hex) into `hex`.
    void next(std::string_view line, char* hex);
    QString next(std::string_view line);
    // Back to a segment's start.
    void restart() { m_buffer.clear(); }
    // The raw hash after the last record taken (empty at a segment's start).
    QByteArray last() const;

private:
    // The raw hash before the next record, then the record: hashed whole, with no
    // allocation per record once it has grown to the longest record.
    std::string m_buffer;
};

// One record as it is shared.
struct SharedRecord {
    std::string_view line;
    std::uint8_t timeFlags = 0;
    std::optional<int> offsetSeconds;
    viewer::DateOrder dateOrder = viewer::DateOrder::YMD;
    std::string download; // the kept download's path (information)
    std::vector<std::string> notes;
    double usualInterval = 0; // the series' usual interval, when this record tells it
    std::string_view titles;  // its segment's title line, when this record tells it
};

// Appends the record's payload JSON to `out`; with `info`, what this laptop says of it.
void appendRecordPayload(QByteArray& out, const SharedRecord& record, bool info);

// A record read back from the server, ordered by segment and position.
struct ServerRecord {
    int segment = 0; // 0-based
    std::uint64_t position = 0;
    std::string line;
    std::uint8_t timeFlags = 0;
    std::optional<int> offsetSeconds;
    viewer::DateOrder dateOrder = viewer::DateOrder::YMD;
    std::string download;
    std::vector<std::string> notes;
    double usualInterval = 0;
    std::string titles;          // its segment's title line, when its info says it
    std::int64_t occurredAt = 0; // ms: the download that confirmed it
};
// The record of a payload, what its "info" leaves out taken from `before` (the record before
// it in the segment, or null at its start); Invalid when it is no record's: no line, or an
// "info" whose values are not what a laptop writes (a date order, an offset in whole seconds
// within ±14 h, a finite interval of at most a year).
platform::Result<ServerRecord> recordFromPayload(const QJsonObject& payload,
                                                 const ServerRecord* before);

} // namespace series

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The time a unit meant by a record's stamp. The unit's clock has no time zone: it shows the
// computer's local time of the moment it was last set. So a record is put in UTC with the
// UTC offset in force when the unit's clock was last set before the download that first
// brought the record, not with the offset of the record's own date (a clock set in summer
// and read in winter is still on summer time). A record that seems older than that clock set
// was stamped under an earlier setting: older than every known setting, its offset is
// unknown; between two settings whose offsets differ, which applies cannot be told and the
// record is flagged ambiguous. Stamps are read by the viewer's parser (time_stamps/time_stamps.h).
// Pure functions.

#include "time_stamps/time_stamps.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace series {

// A clock set of the unit, as the register has it.
struct ClockFact {
    std::int64_t atMs = 0;            // UTC instant of the set
    std::optional<int> offsetSeconds; // the computer's UTC offset then, when recorded
    std::string sent;                 // the clock text sent ("YY-MM-DD HH:MM:SS", local)
};

// What the register knows of one unit that the series needs, each list oldest first.
struct UnitFacts {
    std::vector<ClockFact> clockSets;
    std::vector<std::int64_t> clearsMs; // clears the unit confirmed after "Y"
};

// `known` and `more` together, oldest first, a set both hold once (the same instant, text
// and offset: this laptop's own sets come back from the server as the organisation's).
std::vector<ClockFact> mergeClockSets(std::vector<ClockFact> known,
                                      const std::vector<ClockFact>& more);

// The offset of a clock set: the recorded one, else the one its text and instant imply
// (rounded to a quarter hour); none when neither is known.
std::optional<int> offsetOf(const ClockFact& set);

// The rule for the records a download at `downloadMs` brings.
struct TimeRule {
    bool known = false; // a clock set with a known offset came before the download
    int offsetSeconds = 0;
    std::int64_t setAtMs = 0;
    // The settings before that one: instant and offset (nullopt: unknown), oldest first.
    std::vector<std::pair<std::int64_t, std::optional<int>>> earlier;
};
TimeRule timeRuleFor(const UnitFacts& facts, std::int64_t downloadMs);

// Per record, fixed when the record is first taken (and worked out again, per record, by
// RecordClock below when a series is read).
enum RecordFlag : std::uint8_t {
    kAmbiguousOffset = 1, // between two clock settings with different offsets
    kOffsetUnknown = 2,   // older than every known clock setting (or none known)
    kClockAhead = 4,      // its UTC would be after the download that brought it
};
std::uint8_t timeFlags(const TimeRule& rule, bool parsed, double unitSeconds);

// How far a unit's clock may drift from the time it was set to before it is set again.
inline constexpr double kDriftSeconds = 300;

// The UTC of each record by its own clock, never stored: worked out from the clock sets known
// whenever a series is read. A record of unit time T stands under clock set k (offset o_k)
// when set_k <= T - o_k < set_k+1 (the next set, or the download that brought it; a drift of
// kDriftSeconds tolerated); the latest such set gives its UTC. Two that fit with different
// offsets (a clock put back an hour repeats that hour) are told apart by the record's order
// among its neighbours where that decides: along a segment the set in force never goes back,
// and a unit time that goes backwards means a set between the two records; else the record
// is flagged ambiguous (the latest set's UTC is written). None fits: offset unknown, and
// when its UTC under the last set would be after the download that brought it, clock ahead;
// a UTC after that download is never written (the unit's clock was ahead).
// Two passes over the records in the series' order: add each, resolve, then ask utc().
class RecordClock {
public:
    explicit RecordClock(const std::vector<ClockFact>& sets);

    struct Utc {
        bool known = false;
        double seconds = 0;     // UTC, when known
        int offsetSeconds = 0;  // the offset it was put in UTC with, when known
        std::uint8_t flags = 0; // kAmbiguousOffset, kOffsetUnknown, kClockAhead
    };
    // Pass one: the next record (its segment, 1-based; its stamp when it has one).
    void add(int segment, bool parsed, double unitSeconds, std::int64_t broughtAtMs);
    // Between the passes: the neighbours decide what they can.
    void resolve();
    // Pass two: the record added as the index-th (0-based), with its stamp again.
    Utc utc(std::size_t index, bool parsed, double unitSeconds, std::int64_t broughtAtMs) const;
    // One record on its own, no neighbours asked.
    Utc alone(bool parsed, double unitSeconds, std::int64_t broughtAtMs) const;

private:
    static constexpr std::uint16_t kNone = 0xFFFF;
    struct Set {
        double at = 0; // UTC seconds
        std::optional<int> offset;
    };
    struct Fit {
        std::uint16_t early = kNone, late = kNone; // the earliest and latest sets that fit
        std::uint8_t bits = 0;                     // kSegmentStart, kBackwards
    };
    static constexpr std::uint8_t kSegmentStart = 1, kBackwards = 2;
    Fit fit(double unitSeconds, std::int64_t broughtAtMs) const;
    Utc of(const Fit& f, bool parsed, double unitSeconds, std::int64_t broughtAtMs) const;

    std::vector<Set> m_sets;    // by instant
    std::vector<int> m_offsets; // each known offset once
    std::vector<Fit> m_fits;
    int m_segment = 0;
    bool m_havePrevious = false;
    double m_previous = 0;
};

// The record's time stamp as sent: its first cell, or its first two when the first is a
// date and the second a clock ("26-06-01,08:00:00"). Empty view when it has none.
std::string_view stampText(std::string_view record);
// The stamp read in `order` as wall-clock seconds since 1970; false when it does not parse.
bool unitSeconds(std::string_view record, viewer::DateOrder order, double& seconds);
// The date order every readable stamp of the records allows, the unit's own first.
viewer::DateOrder chooseDateOrder(const std::vector<std::string_view>& records);
// The same over records handed in one at a time (a download read as a stream).
class DateOrderChoice {
public:
    void add(std::string_view record);
    viewer::DateOrder chosen() const;

private:
    viewer::DateOrders m_allowed = static_cast<viewer::DateOrders>(viewer::DateOrder::YMD) |
                                   static_cast<viewer::DateOrders>(viewer::DateOrder::DMY) |
                                   static_cast<viewer::DateOrders>(viewer::DateOrder::MDY);
};

// "2026-06-01T08:00:00Z" of UTC seconds (whole seconds, fractions kept when present).
std::string isoUtc(double seconds);
// The same appended to `out`, with no string of its own (a CSV's million rows).
void appendIsoUtc(std::string& out, double seconds);
// "+01:00"
std::string offsetText(int seconds);

// The usual interval between records: the median of the positive steps of their stamps
// (0 when fewer than two stamps read).
double usualInterval(const std::vector<double>& seconds);
// The same over stamps handed in one at a time: each step counted by its length, so a
// unit that logs at a few intervals costs a few counts, not a value per record.
class UsualInterval {
public:
    void add(double seconds);
    double value() const;

private:
    bool m_any = false;
    double m_last = 0;
    std::uint64_t m_steps = 0;
    std::map<double, std::uint64_t> m_count; // positive steps by length
};

// `s` without the blanks and tabs at its ends (a field of a record, a time stamp).
std::string_view trimmed(std::string_view s);

} // namespace series

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Where a download's records for a data set (d) stand against the series' last segment (h):
// d is aligned with h place by place, from an expected place, never by a general diff.
//   - a clear of the unit recorded since the segment's last download: d starts a new segment;
//   - d stands at h's place 0 (the memory was not cleared): d[i] is h[i]; the records past
//     h's end are new. d shorter than h is h's beginning (nothing new, a cut download); a
//     complete d shorter than h means the unit holds fewer records than before;
//   - d stands at h's place t, the last k = |h| - t records of h, k >= kWrapOverlap (a memory
//     that wraps): the records after those are new; a cut d (not complete) may end before
//     h's end, holding kWrapOverlap records or more: nothing is new;
//   - otherwise d starts a new segment, and why is told.
// Place 0 is tried before the wrap (a d that is both explains itself wholly), and of the wrap
// places the earliest (the largest overlap, adding least); but a complete d that would end
// inside h at place 0 with records that differ goes to a wrap place where it matches wholly.
//
// At a place, d may differ from h at isolated records (a digit changed on a line without
// parity): differencesTolerated below is the one rule for how many, and why. A record equal
// to a version another download gave at that place (`known`) matches. Where the first
// records differ (two within kIsolation), it is another memory. The last record held that
// differs must have its kIsolation matching after it unless d ends there: where d goes on
// past h, it could be another memory's. Equal records at different places are never
// matched: only the place decides.
// Pure logic, no storage: the alignment only asks whether d's record i is h's record at a
// place (or a version known there), in order of place nearly always (a store reads h chunk
// by chunk, and holds of d only a hash of each record).

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace series {

inline constexpr std::size_t kWrapOverlap = 16;

// The evidence that d placed over h is the same memory although some records differ.
//
// What a difference looks like: the line has no parity, so a byte changed on it changes one
// record; at a byte error rate of 1e-5 or less a record of about 40 bytes arrives changed at
// most about once in 2,500, two changed records sit hundreds apart, and the records around a
// changed one match at their places. Another memory does not look like that: a unit cleared
// since (a clear this laptop did not see) logs new times and differs from its first record
// on; another unit's records differ everywhere; a reordering (records moved, a segment read
// twice) differs at two places close together. So:
//   - every differing record is isolated: the kIsolation records before it and after it
//     match (or d or h begins or ends before that many); two within kIsolation are another
//     memory (a reordering, a new memory's first records);
//   - at most max(1, overlap / kRecordsPerDifference) records differ: one in a hundred, 25
//     times the worst line's rate, and always one;
//   - from an overlap of kMinEvidence records: a difference needs a record beside it that
//     matches at its place. A single record held that differs says nothing of where d
//     stands (a new memory's first record differs from the old one's just the same), while
//     one matching record places d as surely as the alignment places any download with no
//     difference at all (an equal record at its place is the same memory). Below it, d
//     starts a new segment, and a later download that holds both joins them again
//     (series_merge.h).
inline constexpr std::size_t kIsolation = 8;
inline constexpr std::size_t kRecordsPerDifference = 100;
inline constexpr std::size_t kMinEvidence = 2;
// How many isolated differing records an overlap of `overlap` records tolerates.
constexpr std::size_t differencesTolerated(std::size_t overlap) {
    if (overlap < kMinEvidence)
        return 0;
    return overlap / kRecordsPerDifference > 1 ? overlap / kRecordsPerDifference : 1;
}

struct HeldRecords {
    std::size_t size = 0;
    // The record at a place (0-based), shown version; valid until the next call.
    std::function<std::string_view(std::size_t place)> at;
    // Whether `line` is another version known at `place` (a disputed place); may be empty.
    std::function<bool(std::size_t place, std::string_view line)> known;
};

struct Alignment {
    enum class Kind {
        Append,     // d[from..] follows h
        Nothing,    // d is h's beginning: nothing new
        NewSegment, // d starts a segment of its own
    };
    Kind kind = Kind::Append;
    std::size_t start = 0; // Append, Nothing: h's place of d's first record
    std::size_t from = 0;  // Append: the first new record of d (d[0..from) are held)
    bool fewer = false;    // Nothing: d is complete and shorter than h
    bool wrapped = false;  // Append by the wrap rule (start > 0)
    // Append, Nothing: the records of d (their index) that differ from every version held
    // at their place, each isolated; and those that match another version than the shown one.
    std::vector<std::size_t> differing;
    std::vector<std::size_t> otherVersion;
    // NewSegment: d and h (at place 0) first differ at this record (1-based; 0: after a
    // clear, or a series without records), and why no place would do, for the operator.
    std::size_t differsAt = 0;
    bool afterClear = false;
    std::string reason;
};

// What the alignment asks of d (by index) and h (by place).
struct AlignmentQuestions {
    std::size_t held = 0; // |h|
    std::size_t size = 0; // |d|
    // Whether d's record i is the record h shows at `place`.
    std::function<bool(std::size_t i, std::size_t place)> same;
    // Whether d's record i is another version known at `place`; may be empty.
    std::function<bool(std::size_t i, std::size_t place)> known;
};
Alignment alignDownload(const AlignmentQuestions& q, bool clearedSince, bool dComplete);

// The same with h read through `at` and d held.
Alignment alignDownload(const HeldRecords& h, const std::vector<std::string_view>& d,
                        bool clearedSince, bool dComplete);

// What the downloads said at one place, once it has been disputed: each statement a line and
// whether its download was called safe (or the record it gave was confirmed by one).
struct Statement {
    std::string_view line;
    bool safe = false;
};
// The statement whose line the place shows: the line said most often, counting only safe
// downloads' statements where there is one; -1 when two lines are said equally often (the
// place is disputed). A later download that agrees with one version settles it.
int settledStatement(const std::vector<Statement>& said);

// The same over records held in memory (tests, small segments).
Alignment alignDownload(const std::vector<std::string_view>& h,
                        const std::vector<std::string_view>& d, bool clearedSince, bool dComplete);

} // namespace series

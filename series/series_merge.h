// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Where a download goes in a series, and what it joins there: the decision, as a function over
// a view of the records held (each segment's records by place, as hashes), with no storage.
// The series store (series_store.cpp) reads its segments through such a view and only
// applies the plan, in the download's one transaction; the tests ask it over records held in
// memory.
//
// The download is aligned (overlap.h) with the series' last segment; a safe one that does not
// follow provisional records there may follow what was confirmed before them (and replaces
// them); records apart (a segment of provisional records only) are replaced by a download
// that follows the segment before them, or by the series' first download when they began
// it. Otherwise the download starts a segment.
//
// Copies join again: a segment the download goes into (or starts) may hold, at its places,
// an earlier segment whole: the same memory, split off by a difference too early to tell (a
// changed record among the first records held) or by an older version's rules. A safe
// download that holds such a segment's first records (so that its records stand at the
// places the download brought) joins it: aligned by the same rule (overlap.h) with the
// segment as the download left it, wholly inside it, nothing cleared between. Where the two
// say different records, both stay as what was said at the place, disputed until a later
// download settles it (settledStatement). Records apart and segments from before a clear are
// never joined.

#include "series/overlap.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace series {

// One segment as the merge sees it.
struct SegmentView {
    std::uint64_t records = 0;
    std::uint64_t confirmed = 0; // records 0 .. confirmed - 1 are confirmed
    std::int64_t lastDownloadAt = 0;
    // The hash of the record the segment shows at a place (the settled version, where one is).
    std::function<std::uint64_t(std::size_t place)> shown;
    // Whether `hash` is another version said at `place`; may be empty.
    std::function<bool(std::size_t place, std::uint64_t hash)> known;
};

struct DownloadView {
    const std::vector<std::uint64_t>* hashes = nullptr; // recordHash of each record, in order
    std::int64_t atMs = 0;
    bool safe = false;
    bool complete = false;            // not cut
    std::vector<std::int64_t> clears; // the unit's clears known (UTC ms)
};

// A segment joined into the target: it stands at `place` of the target as the download
// leaves it; `differing` are its records (by index) that differ from what the target shows
// there (each isolated, overlap.h).
struct SegmentJoin {
    std::size_t segment = 0; // its index in the view
    std::size_t place = 0;
    std::vector<std::size_t> differing;
};

struct MergePlan {
    enum class Kind {
        Skip,       // nothing taken (an empty data set where it would start a segment)
        First,      // the series' first segment (or, records apart replaced, its only one)
        NewSegment, // a segment of its own after the last one kept
        Into,       // into segment `target`, by `alignment`
    };
    Kind kind = Kind::Skip;
    std::size_t target = 0;
    // Into: the target's records the download was aligned with; below the target's size,
    // the target keeps only these (its confirmed ones: the provisional after them replaced).
    std::uint64_t alignedWith = 0;
    std::optional<std::size_t> replace; // a segment of records apart that the download replaces
    Alignment alignment;                // Into: where; NewSegment: why not (its reason)
    // Segments that are the same memory as the target once the download is in it, by
    // descending index (the order to apply them in).
    std::vector<SegmentJoin> joins;
};

// `segments` in the series' order (the last one last).
MergePlan planDownload(const std::vector<SegmentView>& segments, const DownloadView& d);

// The records of the target after the download is in it, as a view (what joins are aligned
// against): its first `alignedWith` records, then the download's new ones; the download's
// statements at the places it holds count as versions said there.
SegmentView targetAfter(const std::vector<SegmentView>& segments, const MergePlan& plan,
                        const DownloadView& d);

// Whether `y` stands wholly inside `t` at one of its places, by the alignment's rule; where.
std::optional<SegmentJoin> joinOf(const SegmentView& t, const SegmentView& y);

// The operator's words for a join: "the same memory as segment 3 ...".
std::string joinReason(std::size_t differing);

} // namespace series

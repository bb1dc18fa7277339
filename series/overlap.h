// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Where a download's records for a data set (d) stand against the series' last segment (h),
// record by record, byte for byte, by position:
//   - a clear of the unit recorded since the segment's last download: d starts a new segment;
//   - d begins with the whole of h (the memory was not cleared): the records after it are new;
//   - d is h's own beginning (nothing new, or a cut download): nothing is new; a complete d
//     shorter than h means the unit holds fewer records than before;
//   - d begins with the last k records of h, k >= kWrapOverlap (a memory that wraps): the
//     records after those are new;
//   - otherwise d starts a new segment, which differs from h at its first unequal record.
// "d is h's beginning" is tried before the wrap: a d that is both explains itself wholly.
// Only as much of h as d can meet is needed: its first and last min(|h|, |d|) records.
// Pure logic, no storage.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace series {

inline constexpr std::size_t kWrapOverlap = 16;

struct SegmentView {
    std::size_t size = 0;               // records in h
    std::vector<std::string_view> head; // h's first min(|h|, |d|) records
    std::vector<std::string_view> tail; // h's last min(|h|, |d|) records
};

struct Overlap {
    enum class Kind {
        Append,     // d[from..] follows h
        Nothing,    // d is h's beginning: nothing new
        NewSegment, // d starts a segment of its own
    };
    Kind kind = Kind::Append;
    std::size_t from = 0; // Append: the first new record of d
    // Nothing: d is complete and shorter than h.
    bool fewer = false;
    // Append by the wrap rule (d's first `from` records are h's last).
    bool wrapped = false;
    // NewSegment: d and h first differ at this record (1-based; 0: after a clear, or a
    // series without records).
    std::size_t differsAt = 0;
    bool afterClear = false;
};

Overlap matchDownload(const SegmentView& h, const std::vector<std::string_view>& d,
                      bool clearedSince, bool dComplete);

} // namespace series

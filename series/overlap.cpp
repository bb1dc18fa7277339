// SPDX-License-Identifier: GPL-3.0-or-later
#include "series/overlap.h"

#include <algorithm>

namespace series {

namespace {

bool equalRange(const std::vector<std::string_view>& a, std::size_t aFrom,
                const std::vector<std::string_view>& b, std::size_t bFrom, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i)
        if (a[aFrom + i] != b[bFrom + i])
            return false;
    return true;
}

} // namespace

Overlap matchDownload(const SegmentView& h, const std::vector<std::string_view>& d,
                      bool clearedSince, bool dComplete) {
    Overlap out;
    const std::size_t n = h.size;
    if (n == 0) {
        out.kind = Overlap::Kind::Append;
        out.from = 0;
        return out;
    }
    if (clearedSince) {
        out.kind = Overlap::Kind::NewSegment;
        out.afterClear = true;
        return out;
    }
    const std::size_t m = std::min(n, d.size());
    // The whole of h, then more (or exactly h: nothing more).
    if (d.size() >= n && equalRange(d, 0, h.head, 0, n)) {
        out.kind = Overlap::Kind::Append;
        out.from = n;
        return out;
    }
    // d is h's beginning.
    if (d.size() < n && equalRange(d, 0, h.head, 0, d.size())) {
        out.kind = Overlap::Kind::Nothing;
        out.fewer = dComplete;
        return out;
    }
    // The wrap: the largest k with d[0..k) == h[n-k..n). Candidates are the places in h's
    // tail that hold d's first record, the earliest (largest k) first.
    if (m >= kWrapOverlap) {
        for (std::size_t t = 0; t < h.tail.size(); ++t) {
            const std::size_t k = h.tail.size() - t;
            if (k < kWrapOverlap)
                break;
            if (k > d.size() || h.tail[t] != d[0])
                continue;
            if (equalRange(d, 0, h.tail, t, k)) {
                out.kind = Overlap::Kind::Append;
                out.from = k;
                out.wrapped = true;
                return out;
            }
        }
    }
    out.kind = Overlap::Kind::NewSegment;
    std::size_t i = 0;
    while (i < m && d[i] == h.head[i])
        ++i;
    out.differsAt = i + 1;
    return out;
}

} // namespace series

// SPDX-License-Identifier: GPL-3.0-or-later
// The overlap rule on its own: where a download's records stand against a segment.
#include "series/overlap.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using series::Overlap;

namespace {

std::vector<std::string> records(int from, int to, const char* prefix = "r") {
    std::vector<std::string> out;
    for (int i = from; i < to; ++i)
        out.push_back(prefix + std::to_string(i));
    return out;
}

std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Overlap match(const std::vector<std::string>& h, const std::vector<std::string>& d,
              bool cleared = false, bool complete = true) {
    series::SegmentView view;
    view.size = h.size();
    const std::size_t m = std::min(h.size(), d.size());
    for (std::size_t i = 0; i < m; ++i)
        view.head.emplace_back(h[i]);
    for (std::size_t i = h.size() - m; i < h.size(); ++i)
        view.tail.emplace_back(h[i]);
    const std::vector<std::string_view> dv(d.begin(), d.end());
    return series::matchDownload(view, dv, cleared, complete);
}

struct Case {
    const char* what;
    std::vector<std::string> h, d;
    bool cleared, complete;
    Overlap::Kind kind;
    std::size_t from;      // Append
    bool fewer;            // Nothing
    std::size_t differsAt; // NewSegment
};

} // namespace

TEST(SeriesOverlap, EachCaseOfTheRule) {
    using K = Overlap::Kind;
    const std::vector<Case> cases = {
        {"first download", {}, records(0, 5), false, true, K::Append, 0, false, 0},
        {"same again", records(0, 5), records(0, 5), false, true, K::Append, 5, false, 0},
        {"grown", records(0, 5), records(0, 8), false, true, K::Append, 5, false, 0},
        {"cut, h's beginning", records(0, 50), records(0, 20), false, false, K::Nothing, 0, false,
         0},
        {"complete and shorter", records(0, 50), records(0, 20), false, true, K::Nothing, 0, true,
         0},
        {"empty and complete", records(0, 5), {}, false, true, K::Nothing, 0, true, 0},
        {"wrapped, 20 held", records(0, 100), records(80, 100) + records(0, 5, "n"), false, true,
         K::Append, 20, false, 0},
        {"wrapped, exactly 16", records(0, 100), records(84, 100) + records(0, 5, "n"), false, true,
         K::Append, 16, false, 0},
        {"15 in common is too few", records(0, 100), records(85, 100) + records(0, 5, "n"), false,
         true, K::NewSegment, 0, false, 1},
        {"cleared since", records(0, 5), records(0, 8), true, true, K::NewSegment, 0, false, 0},
        {"differs in the middle", records(0, 400), records(0, 311) + records(0, 100, "x"), false,
         true, K::NewSegment, 0, false, 312},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Overlap o = match(c.h, c.d, c.cleared, c.complete);
        ASSERT_EQ(o.kind, c.kind);
        if (c.kind == K::Append) {
            EXPECT_EQ(o.from, c.from);
        }
        if (c.kind == K::Nothing) {
            EXPECT_EQ(o.fewer, c.fewer);
        }
        if (c.kind == K::NewSegment) {
            EXPECT_EQ(o.afterClear, c.cleared);
            EXPECT_EQ(o.differsAt, c.differsAt);
        }
    }
}

TEST(SeriesOverlap, EqualLinesAtDifferentPlacesAllStay) {
    // Matching is by position: repeated lines are matched where they stand, not merged.
    const std::vector<std::string> h = {"a", "a", "a", "b"};
    const Overlap grown = match(h, {"a", "a", "a", "b", "a", "a"});
    ASSERT_EQ(grown.kind, Overlap::Kind::Append);
    EXPECT_EQ(grown.from, 4u); // both new "a" records are taken
    // The same lines in another order differ where they first differ.
    const Overlap other = match(h, {"a", "a", "b", "a", "a"});
    ASSERT_EQ(other.kind, Overlap::Kind::NewSegment);
    EXPECT_EQ(other.differsAt, 3u);
}

TEST(SeriesOverlap, WrapTakesTheLargestOverlap) {
    // A memory of one repeated line: every place matches; the longest overlap adds least.
    const std::vector<std::string> h(40, "same");
    std::vector<std::string> d(30, "same");
    d.push_back("new");
    const Overlap o = match(h, d);
    ASSERT_EQ(o.kind, Overlap::Kind::Append);
    EXPECT_EQ(o.from, 30u);
}

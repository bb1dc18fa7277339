// SPDX-License-Identifier: GPL-3.0-or-later
// The alignment on its own: where a download's records stand against a segment, and the
// isolated differences it tolerates there.
#include "record_lines.h"
#include "series/overlap.h"

#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

using series::Alignment;
using testsupport::operator+;

namespace {

std::vector<std::string> records(int from, int to, const char* prefix = "r") {
    std::vector<std::string> out;
    for (int i = from; i < to; ++i)
        out.push_back(prefix + std::to_string(i));
    return out;
}

// `v` with the records at `places` changed (a digit on a line without parity).
std::vector<std::string> changed(std::vector<std::string> v, std::vector<std::size_t> places) {
    for (const std::size_t p : places)
        v[p] += "9";
    return v;
}

Alignment align(const std::vector<std::string>& h, const std::vector<std::string>& d,
                bool cleared = false, bool complete = true,
                const std::map<std::size_t, std::string>& known = {}) {
    const std::vector<std::string_view> hv(h.begin(), h.end());
    const std::vector<std::string_view> dv(d.begin(), d.end());
    series::HeldRecords held;
    held.size = h.size();
    held.at = [&](std::size_t p) { return hv[p]; };
    if (!known.empty())
        held.known = [&](std::size_t p, std::string_view line) {
            const auto it = known.find(p);
            return it != known.end() && it->second == line;
        };
    return series::alignDownload(held, dv, cleared, complete);
}

struct Case {
    const char* what;
    std::vector<std::string> h, d;
    bool cleared, complete;
    Alignment::Kind kind;
    std::size_t start, from; // Append, Nothing
    bool fewer;              // Nothing
    const char* differing;   // Append, Nothing: the records of d that differ
    std::size_t differsAt;   // NewSegment
    const char* reason;      // NewSegment
};

} // namespace

TEST(SeriesAlignment, EachCaseOfTheRule) {
    using K = Alignment::Kind;
    const auto h200 = records(0, 200);
    const std::vector<Case> cases = {
        {"first download", {}, records(0, 5), false, true, K::Append, 0, 0, false, "", 0, ""},
        {"same again", records(0, 5), records(0, 5), false, true, K::Append, 0, 5, false, "", 0,
         ""},
        {"grown", records(0, 5), records(0, 8), false, true, K::Append, 0, 5, false, "", 0, ""},
        {"cut, h's beginning", records(0, 50), records(0, 20), false, false, K::Nothing, 0, 0,
         false, "", 0, ""},
        {"complete and shorter", records(0, 50), records(0, 20), false, true, K::Nothing, 0, 0,
         true, "", 0, ""},
        {"empty and complete", records(0, 5), {}, false, true, K::Nothing, 0, 0, true, "", 0, ""},
        {"wrapped, 20 held", records(0, 100), records(80, 100) + records(0, 5, "n"), false, true,
         K::Append, 80, 20, false, "", 0, ""},
        {"wrapped, exactly 16", records(0, 100), records(84, 100) + records(0, 5, "n"), false, true,
         K::Append, 84, 16, false, "", 0, ""},
        {"15 in common is too few", records(0, 100), records(85, 100) + records(0, 5, "n"), false,
         true, K::NewSegment, 0, 0, false, "", 1,
         "differs at records 1 and 2, fewer than 8 records apart"},
        {"cleared since", records(0, 5), records(0, 8), true, true, K::NewSegment, 0, 0, false, "",
         0, "the unit was cleared"},
        {"differs in the middle", records(0, 400), records(0, 311) + records(0, 100, "x"), false,
         true, K::NewSegment, 0, 0, false, "", 312,
         "differs at records 312 and 313, fewer than 8 records apart"},
        // A damaged visit between clean ones: one record changed, anywhere it is isolated.
        {"one changed record of 100", records(0, 100), changed(records(0, 150), {2}), false, true,
         K::Append, 0, 100, false, "2", 0, ""},
        {"the first record changed", h200, changed(records(0, 250), {0}), false, true, K::Append, 0,
         200, false, "0", 0, ""},
        {"two changed, 9 apart, of 200", h200, changed(records(0, 200), {20, 29}), false, true,
         K::Append, 0, 200, false, "20 29", 0, ""},
        {"two changed, 8 apart", h200, changed(records(0, 200), {20, 28}), false, true,
         K::NewSegment, 0, 0, false, "", 21,
         "differs at records 21 and 29, fewer than 8 records apart"},
        {"two of 150 is more than one in a hundred", records(0, 150),
         changed(records(0, 150), {20, 60}), false, true, K::NewSegment, 0, 0, false, "", 21,
         "differs at 2 of the 150 records held, more than 1 (first at record 21)"},
        {"two of 199 are too many", records(0, 199), changed(records(0, 199), {20, 160}), false,
         true, K::NewSegment, 0, 0, false, "", 21,
         "differs at 2 of the 199 records held, more than 1 (first at record 21)"},
        {"one of 99 is tolerated", records(0, 99), changed(records(0, 140), {50}), false, true,
         K::Append, 0, 99, false, "50", 0, ""},
        {"one of 2: the record beside it places d", records(0, 2), changed(records(0, 2), {0}),
         false, true, K::Append, 0, 2, false, "0", 0, ""},
        {"the only record held differs", records(0, 1), changed(records(0, 2), {0}), false, true,
         K::NewSegment, 0, 0, false, "", 1, "differs at record 1, the only record held there"},
        {"three of 300, each isolated", records(0, 300), changed(records(0, 300), {5, 150, 290}),
         false, true, K::Append, 0, 300, false, "5 150 290", 0, ""},
        {"changed near the end of a cut download", h200, changed(records(0, 150), {147}), false,
         false, K::Nothing, 0, 0, false, "147", 0, ""},
        {"the last record held changed, more follows", records(0, 100),
         changed(records(0, 120), {97}), false, true, K::NewSegment, 0, 0, false, "", 98,
         "differs at record 98, fewer than 8 records before the records held end"},
        {"a cut download of a memory that wrapped", h200, records(100, 150), false, false,
         K::Nothing, 100, 0, false, "", 0, ""},
        {"... but not a complete one", h200, records(100, 150), false, true, K::NewSegment, 0, 0,
         false, "", 1, "differs at records 1 and 2, fewer than 8 records apart"},
        {"a wrap with a changed record", h200,
         changed(records(100, 200) + records(0, 10, "n"), {50}), false, true, K::Append, 100, 100,
         false, "50", 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Alignment a = align(c.h, c.d, c.cleared, c.complete);
        ASSERT_EQ(a.kind, c.kind) << a.reason;
        if (c.kind == K::Append) {
            EXPECT_EQ(a.start, c.start);
            EXPECT_EQ(a.from, c.from);
            EXPECT_EQ(a.wrapped, c.start > 0);
        }
        if (c.kind == K::Nothing) {
            EXPECT_EQ(a.start, c.start);
            EXPECT_EQ(a.fewer, c.fewer);
        }
        if (c.kind == K::NewSegment) {
            EXPECT_EQ(a.afterClear, c.cleared);
            EXPECT_EQ(a.differsAt, c.differsAt);
            EXPECT_EQ(a.reason, c.reason);
        } else {
            std::vector<std::size_t> differing;
            std::istringstream places(c.differing);
            for (std::size_t p; places >> p;)
                differing.push_back(p);
            EXPECT_EQ(a.differing, differing);
        }
    }
}

TEST(SeriesAlignment, EqualLinesAtDifferentPlacesAllStay) {
    // Matching is by place: repeated lines are matched where they stand, not merged.
    const std::vector<std::string> h = {"a", "a", "a", "b"};
    const Alignment grown = align(h, {"a", "a", "a", "b", "a", "a"});
    ASSERT_EQ(grown.kind, Alignment::Kind::Append);
    EXPECT_EQ(grown.from, 4u); // both new "a" records are taken
    // The same lines in another order differ where they first differ.
    const Alignment other = align(h, {"a", "a", "b", "a", "a"});
    ASSERT_EQ(other.kind, Alignment::Kind::NewSegment);
    EXPECT_EQ(other.differsAt, 3u);
}

TEST(SeriesAlignment, WrapTakesTheLargestOverlap) {
    // A memory of one repeated line: every place matches; the longest overlap adds least.
    const std::vector<std::string> h(40, "same");
    std::vector<std::string> d(30, "same");
    d.push_back("new");
    const Alignment a = align(h, d);
    ASSERT_EQ(a.kind, Alignment::Kind::Append);
    EXPECT_EQ(a.from, 30u);
}

TEST(SeriesAlignment, AVersionAnotherDownloadSaidMatches) {
    // Place 40 is disputed: the record this download says there is one already said.
    const auto h = records(0, 100);
    const auto d = changed(records(0, 120), {40, 60});
    const Alignment a = align(h, d, false, true, {{40, d[40]}});
    ASSERT_EQ(a.kind, Alignment::Kind::Append) << a.reason;
    EXPECT_EQ(a.otherVersion, std::vector<std::size_t>{40});
    EXPECT_EQ(a.differing, std::vector<std::size_t>{60}); // 1 of 100 new: tolerated
}

TEST(SeriesAlignment, WhatAPlaceShowsByWhatTheDownloadsSaid) {
    using series::Statement;
    struct Row {
        const char* what;
        std::vector<Statement> said;
        int shown; // -1: disputed
    };
    const std::vector<Row> rows = {
        {"one download", {{"a", true}}, 0},
        {"two safe ones differ", {{"a", true}, {"b", true}}, -1},
        {"a third agrees with the first", {{"a", true}, {"b", true}, {"a", true}}, 0},
        {"... or with the second", {{"a", true}, {"b", true}, {"b", true}}, 1},
        {"an unsafe one does not outvote a safe one", {{"a", true}, {"b", false}, {"b", false}}, 0},
        {"unsafe ones only", {{"a", false}, {"b", false}}, -1},
        {"a tie again", {{"a", true}, {"b", true}, {"a", true}, {"b", true}}, -1},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        EXPECT_EQ(series::settledStatement(r.said), r.shown);
    }
}

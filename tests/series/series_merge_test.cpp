// SPDX-License-Identifier: GPL-3.0-or-later
// The merge's decision (series_merge.h) over series held in memory: swept over every small
// memory and every place of a damaged record, and the cases that must stay apart.
#include "memory_series.h"
#include "record_lines.h"

#include <gtest/gtest.h>

using testsupport::lines;
using testsupport::MemorySeries;

namespace {

std::vector<std::string> changedAt(std::vector<std::string> v, std::size_t place) {
    v[place] += "9"; // a digit more: a byte changed on a line without parity
    return v;
}
std::vector<std::string> nulAt(std::vector<std::string> v, std::size_t place) {
    v[place][3] = '\0'; // inside its time: the download is not called safe
    return v;
}

// A series whose only segment shows `truth`, confirmed, with no place disputed.
::testing::AssertionResult onceEach(const MemorySeries& s, const std::vector<std::string>& truth) {
    if (s.segments.size() != 1)
        return ::testing::AssertionFailure() << s.segments.size() << " segments";
    if (s.rows() != truth)
        return ::testing::AssertionFailure()
               << s.rows().size() << " rows, not the truth's " << truth.size();
    if (s.segments[0].confirmed != truth.size())
        return ::testing::AssertionFailure() << s.segments[0].confirmed << " confirmed";
    if (s.disputedPlaces() != 0)
        return ::testing::AssertionFailure() << s.disputedPlaces() << " places disputed";
    return ::testing::AssertionSuccess();
}

} // namespace

// Every held size from 1 to 250, a second visit of 1.5 times as many with one record changed
// (or a NUL in its time) at every place, clean visits after: each record once, the change
// flagged where two downloads disagree, then settled.
TEST(SeriesMergeSweep, OneDamagedRecordAtEverySizeAndPlace) {
    struct Damage {
        const char* what;
        std::vector<std::string> (*at)(std::vector<std::string>, std::size_t);
        bool safe;
    };
    const Damage damages[] = {{"a changed record", changedAt, true},
                              {"a NUL in a record's time", nulAt, false}};
    // Short records (a time and a number, no allocation each) and their hashes worked out
    // once: the sweep is over the decision, not over copies.
    const std::vector<std::string> all = lines(0, 502, "00:00, ");
    std::vector<std::uint64_t> allHashes;
    for (const std::string& line : all)
        allHashes.push_back(series::recordHash(line));
    std::vector<std::vector<std::string>> truth(all.size() + 1);
    std::vector<std::vector<std::uint64_t>> truthHashes(all.size() + 1);
    for (std::size_t k = 0; k <= all.size(); ++k) {
        truth[k].assign(all.begin(), all.begin() + std::ptrdiff_t(k));
        truthHashes[k].assign(allHashes.begin(), allHashes.begin() + std::ptrdiff_t(k));
    }
    const auto clean = [&](MemorySeries& s, int k) { s.take(truth[k], truthHashes[k], true); };
    std::size_t runs = 0;
    for (const Damage& damage : damages)
        for (int n = 1; n <= 250; ++n) {
            const int m = (3 * n + 1) / 2;
            for (int p = 0; p < m; ++p, ++runs) {
                SCOPED_TRACE(std::string(damage.what) + ": " + std::to_string(n) + " held, " +
                             std::to_string(m) + " at the second visit, record " +
                             std::to_string(p + 1));
                MemorySeries s;
                clean(s, n);
                std::vector<std::string> second = damage.at(truth[m], std::size_t(p));
                std::vector<std::uint64_t> secondHashes = truthHashes[m];
                secondHashes[p] = series::recordHash(second[p]);
                s.take(second, secondHashes, damage.safe);
                if (damage.safe && s.segments.size() == 1) {
                    // Placed over the records held: flagged where the first visit said another.
                    ASSERT_EQ(s.rows().size(), std::size_t(m));
                    ASSERT_EQ(s.disputedPlaces(), p < n ? 1u : 0u);
                }
                clean(s, 2 * n);
                if (damage.safe && p >= n) {
                    // Only the second visit held it before: one against one until another comes.
                    ASSERT_EQ(s.segments.size(), 1u);
                    ASSERT_EQ(s.disputedPlaces(), 1u);
                    clean(s, 2 * n + 1);
                    ASSERT_TRUE(onceEach(s, truth[2 * n + 1]));
                } else {
                    ASSERT_TRUE(onceEach(s, truth[2 * n]));
                }
            }
        }
    EXPECT_GT(runs, 90'000u);
}

// What is another memory stays apart; what is the same joins.
TEST(SeriesMergeCases, SameMemoryOrAnother) {
    struct Visit {
        std::vector<std::string> records;
        bool safe = true;
        bool clearBefore = false; // a clear this laptop made before it
    };
    struct Case {
        const char* what;
        std::vector<Visit> visits;
        std::size_t segments, rows, disputed;
    };
    const auto r = [](int to) { return lines(0, to); };
    const std::vector<Case> cases = {
        {"two changes far apart (2 of 250 tolerated)",
         {{r(250)}, {changedAt(changedAt(r(300), 20), 200)}},
         1,
         300,
         2},
        {"... then a clean visit settles both",
         {{r(250)}, {changedAt(changedAt(r(300), 20), 200)}, {r(320)}},
         1,
         320,
         0},
        {"two changes of 150 are too many",
         {{r(150)}, {changedAt(changedAt(r(150), 20), 100)}},
         2,
         300,
         0},
        {"two changes close together: another memory",
         {{r(100)}, {changedAt(changedAt(r(150), 20), 25)}},
         2,
         250,
         0},
        {"... and a clean visit joins the first again: both held once",
         {{r(100)}, {changedAt(changedAt(r(150), 20), 25)}, {r(160)}},
         2,
         310,
         0},
        {"a cleared unit: a new segment, never joined",
         {{r(30)}, {r(40), true, true}, {r(50)}},
         2,
         80,
         0},
        {"another memory (a clear not seen here)",
         {{r(30)}, {lines(0, 40, "26-07-01 00:00:00, ")}, {lines(0, 50, "26-07-01 00:00:00, ")}},
         2,
         80,
         0},
        {"a changed first record of two held, joined by the next",
         {{r(2)}, {changedAt(r(3), 0)}, {r(4)}},
         1,
         4,
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        MemorySeries s;
        for (const Visit& v : c.visits) {
            if (v.clearBefore)
                s.clears.push_back(1'000'000 + 1000 * std::int64_t(s.clears.size() + 1) + 500);
            s.take(v.records, v.safe);
        }
        EXPECT_EQ(s.segments.size(), c.segments);
        EXPECT_EQ(s.rows().size(), c.rows);
        EXPECT_EQ(s.disputedPlaces(), c.disputed);
    }
}

// Two segments of one memory, as an older rule left them (a changed record among fewer than
// a hundred split them): the next safe download holds both and joins them, each record once.
TEST(SeriesMergeCases, CopiesAnOlderRuleLeftJoinAgain) {
    MemorySeries s;
    s.take(lines(0, 80), true);
    const auto second = changedAt(lines(0, 120), 2);
    s.segments.push_back({});
    for (const std::string& line : second) {
        s.segments.back().lines.push_back(line);
        s.segments.back().hashes.push_back(series::recordHash(line));
    }
    s.segments.back().confirmed = second.size();
    s.segments.back().lastDownloadAt = 1'001'500;
    const series::MergePlan plan = s.take(lines(0, 160), true);
    ASSERT_EQ(plan.joins.size(), 1u);
    EXPECT_EQ(plan.joins[0].segment, 0u);
    EXPECT_EQ(plan.joins[0].place, 0u);
    EXPECT_TRUE(onceEach(s, lines(0, 160))); // record 3: two against one, settled
}

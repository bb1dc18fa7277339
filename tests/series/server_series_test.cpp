// SPDX-License-Identifier: GPL-3.0-or-later
// The server's series derived from every laptop's shared records (deriveSeries), whatever
// segments each laptop numbered them in: every physical record once, disputed where laptops
// said different records at one place, repeated where equal records follow equal records.
#include "record_lines.h"
#include "series/server_series.h"

#include <QJsonDocument>
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <tuple>

using namespace series;

namespace {

using testsupport::lines;
using testsupport::operator+;

// One laptop's segment as it pushes it: each record with its identity, occurrence and the
// record before it (`chained`: as an older version pushed it, keyed by its place with the
// hash chained over the segment, and put beside the others as admin init-server does).
std::vector<fleet::ServerSeriesRecord> segment(const char* laptop, int seq,
                                               const std::vector<std::string>& records,
                                               std::int64_t at, bool chained = false) {
    std::vector<fleet::ServerSeriesRecord> out;
    RecordChain chain;
    OccurrenceCount counts;
    for (std::size_t i = 0; i < records.size(); ++i) {
        fleet::ServerSeriesRecord r;
        r.segment = seq;
        r.position = std::int64_t(i);
        const QString identity = recordIdentity(
            i > 0 ? std::string_view(records[i - 1]) : std::string_view(), records[i]);
        r.chainHash = chained ? chain.next(records[i]) : identity;
        r.occurrence = counts.next(identity);
        if (i > 0) {
            r.after = out.back().chainHash;
            r.afterOccurrence = out.back().occurrence;
        }
        r.laptop = QString::fromLatin1(laptop);
        r.occurredAt = at;
        SharedRecord s;
        s.line = records[i];
        s.download = std::string(laptop) + "/kept";
        QByteArray payload;
        appendRecordPayload(payload, s, i == 0);
        r.payload = QJsonDocument::fromJson(payload).object();
        out.push_back(std::move(r));
    }
    return chained ? factsOfPlaces(out) : out;
}

// The server's rows: each key once (the first pushed), in the order they arrived.
DerivedSeries derive(std::vector<std::vector<fleet::ServerSeriesRecord>> laptops) {
    std::vector<fleet::ServerSeriesRecord> all;
    for (auto& l : laptops)
        for (auto& r : l) {
            const bool held = std::any_of(all.begin(), all.end(), [&](const auto& o) {
                return std::tie(o.chainHash, o.occurrence, o.after, o.afterOccurrence) ==
                       std::tie(r.chainHash, r.occurrence, r.after, r.afterOccurrence);
            });
            if (!held) {
                all.push_back(std::move(r));
                all.back().seen = {0, std::int64_t(all.size())}; // the server's arrival
            }
        }
    return deriveSeries(all);
}

std::vector<std::string> linesOf(const DerivedSeries& s) {
    std::vector<std::string> out;
    for (const DerivedRecord& r : s.records)
        out.push_back(r.record.line);
    return out;
}

std::vector<std::string> with(std::vector<std::string> v, std::size_t place, std::string line) {
    v[place] = std::move(line);
    return v;
}

} // namespace

// Laptop A downloads 100 records and clears the unit; laptop B, which never knew of that
// clear, downloads the 50 logged since: both its segment 0, both shown.
TEST(ServerSeriesDerived, AClearOneLaptopMissed) {
    const DerivedSeries s =
        derive({segment("a", 0, lines(0, 100), 1), segment("b", 0, lines(100, 150), 2)});
    EXPECT_EQ(linesOf(s), lines(0, 150));
    EXPECT_EQ(s.segments, 2);
    EXPECT_EQ(s.disputed, 0u);
}

TEST(ServerSeriesDerived, TheSameRecordsUnderOtherSegmentNumbersAreKeptOnce) {
    // B rebuilt its store or lost it: its segments are numbered otherwise. C is an older
    // version, which named its records by a hash chained over its segment.
    const DerivedSeries s =
        derive({segment("a", 0, lines(0, 100), 1), segment("b", 3, lines(0, 150), 2),
                segment("a", 1, lines(0, 120), 3), segment("c", 0, lines(0, 160), 4, true)});
    EXPECT_EQ(linesOf(s), lines(0, 160));
    EXPECT_EQ(s.segments, 1);
    // The same records at the same places: the same identities, whoever holds them.
    const auto a = segment("a", 0, lines(0, 100), 1), b = segment("b", 0, lines(0, 100), 2);
    for (std::size_t i = 0; i < a.size(); ++i)
        EXPECT_EQ(a[i].chainHash, b[i].chainHash);
    // Pushed by both, under other segment numbers: one row each on the server.
    std::set<std::tuple<QString, std::int64_t, QString, std::int64_t>> keys;
    for (const auto& laptop :
         {segment("a", 0, lines(0, 100), 1), segment("b", 3, lines(0, 150), 2)})
        for (const auto& r : laptop)
            keys.emplace(r.chainHash, r.occurrence, r.after, r.afterOccurrence);
    EXPECT_EQ(keys.size(), 150u);
}

TEST(ServerSeriesDerived, AChainThatHoldsRecordsBeforeAndAfterAnother) {
    // A saw the memory only after it wrapped; B holds it from its start; C joins the two.
    const DerivedSeries s =
        derive({segment("a", 0, lines(100, 200), 1), segment("b", 0, lines(0, 150), 2)});
    EXPECT_EQ(linesOf(s), lines(0, 200));
    EXPECT_EQ(s.segments, 1);
    const DerivedSeries joined =
        derive({segment("a", 0, lines(300, 400), 1), segment("b", 1, lines(0, 200), 2),
                segment("c", 2, lines(150, 350), 3)});
    EXPECT_EQ(linesOf(joined), lines(0, 400));
    EXPECT_EQ(joined.segments, 1);
}

TEST(ServerSeriesDerived, SegmentsStartedInsideAnothersRecordsJoinIt) {
    // B holds the memory whole; A and C each started a segment of their own a few records
    // apart inside it (a clear each missed, then a wrap), and A pushed first: the records
    // from C's start up to A's are C's and B's alone, too few to place without those after.
    const DerivedSeries s =
        derive({segment("a", 0, lines(722, 1122), 1), segment("b", 1, lines(188, 923), 2),
                segment("c", 2, lines(719, 1119), 3)});
    EXPECT_EQ(linesOf(s), lines(188, 1122));
    EXPECT_EQ(s.segments, 1);
    EXPECT_EQ(s.disputed, 0u);
}

TEST(ServerSeriesDerived, LaptopsThatDisagreeAtOnePlace) {
    const auto changed = with(lines(0, 100), 50, "26-06-01 00:00:00, 5O");
    DerivedSeries s = derive({segment("a", 0, lines(0, 100), 1), segment("b", 0, changed, 2)});
    ASSERT_EQ(s.records.size(), 100u);
    EXPECT_EQ(s.disputed, 1u);
    EXPECT_TRUE(s.records[50].disputed);
    EXPECT_EQ(s.records[50].record.line, lines(0, 100)[50]); // the one said first
    // A third laptop agrees with the first: its facts are the first one's rows, and what the
    // second said stays beside them, disputed.
    s = derive({segment("a", 0, lines(0, 100), 1), segment("b", 0, changed, 2),
                segment("c", 1, lines(0, 110), 3)});
    EXPECT_EQ(linesOf(s), lines(0, 110));
    EXPECT_EQ(s.disputed, 1u);
    EXPECT_TRUE(s.records[50].disputed);
}

TEST(ServerSeriesDerived, EqualRecordsAfterEqualRecordsAtTwoPlacesStayTwoRows) {
    // A clock reset to its default date: the same twenty records again.
    const auto twice = lines(0, 20) + lines(0, 20);
    const DerivedSeries s = derive({segment("a", 0, twice, 1), segment("b", 0, twice, 2)});
    EXPECT_EQ(linesOf(s), twice);
    // The first of the second run follows another record than the first of the first.
    EXPECT_EQ(s.repeated, 38u);
    EXPECT_FALSE(s.records[0].repeated);
    EXPECT_FALSE(s.records[20].repeated);
    EXPECT_TRUE(s.records[21].repeated);
}

// What orders laptops' chains is when the server received them, never the time a laptop
// stamped them with: a laptop whose clock says 1970 (or one that lies) pushing after another
// puts nothing of its own before the records the server had first.
TEST(ServerSeriesDerived, ALaptopsClockDoesNotOrderTheChains) {
    constexpr std::int64_t k1970 = 0, kNow = 1765188000000, kFar = 253402300799000;
    const auto changed = with(lines(0, 100), 50, "26-06-01 00:00:00, 5O");
    struct Case {
        const char* what;
        std::vector<std::vector<fleet::ServerSeriesRecord>> pushed;
        std::vector<std::string> shown;
        std::size_t disputed;
    };
    const Case cases[] = {
        {"a chain of its own, dated 1970",
         {segment("a", 0, lines(0, 100), kNow), segment("b", 0, lines(100, 150), k1970)},
         lines(0, 150),
         0},
        {"another record at one place, dated 1970",
         {segment("a", 0, lines(0, 100), kNow), segment("b", 0, changed, k1970)},
         lines(0, 100),
         1},
        {"the honest laptop's clock far ahead",
         {segment("a", 0, lines(0, 100), kFar), segment("b", 0, changed, kNow)},
         lines(0, 100),
         1},
        {"the forger first: its records are the ones said first",
         {segment("b", 0, changed, kNow), segment("a", 0, lines(0, 100), k1970)},
         changed,
         1},
    };
    for (const Case& c : cases) {
        const DerivedSeries s = derive(c.pushed);
        EXPECT_EQ(linesOf(s), c.shown) << c.what;
        EXPECT_EQ(s.disputed, c.disputed) << c.what;
    }
}

// SPDX-License-Identifier: GPL-3.0-or-later
// What the office keeps of the server's series: only under the signature of the facts it was
// derived from, so that a laptop's new push is read anew.
#include "office/series_counts.h"

#include <gtest/gtest.h>

namespace office {
namespace {

TEST(OfficeCache, KeptOnlyForTheSameFacts) {
    SeriesCountCache counts;
    const SeriesSignature pushed{300, 41}, more{301, 42}, sameCountOtherFacts{300, 77};
    SeriesCounts c;
    c.records = 299;
    c.disputed = 1;
    counts.keep(QStringLiteral("SITE3"), QStringLiteral("TEMP"), pushed, c);
    ASSERT_TRUE(counts.find(QStringLiteral("SITE3"), QStringLiteral("TEMP"), pushed));
    EXPECT_EQ(counts.find(QStringLiteral("SITE3"), QStringLiteral("TEMP"), pushed)->disputed, 1);
    for (const SeriesSignature& other : {more, sameCountOtherFacts})
        EXPECT_FALSE(counts.find(QStringLiteral("SITE3"), QStringLiteral("TEMP"), other));
    // Unit and data set apart, whatever their characters.
    EXPECT_FALSE(counts.find(QStringLiteral("SITE3T"), QStringLiteral("EMP"), pushed));
    EXPECT_FALSE(counts.find(QStringLiteral("SITE3"),
                             QStringLiteral("TEMP\x1f"
                                            "2"),
                             pushed));

    DerivedSeriesCache derived;
    auto first = std::make_shared<const series::ServerSeries>();
    auto second = std::make_shared<const series::ServerSeries>();
    derived.keep(QStringLiteral("SITE3"), QStringLiteral("TEMP"), pushed, first);
    EXPECT_EQ(derived.find(QStringLiteral("SITE3"), QStringLiteral("TEMP"), pushed), first);
    EXPECT_EQ(derived.find(QStringLiteral("SITE3"), QStringLiteral("TEMP"), more), nullptr);
    derived.keep(QStringLiteral("SITE3"), QStringLiteral("TEMP"), more, second);
    EXPECT_EQ(derived.find(QStringLiteral("SITE3"), QStringLiteral("TEMP"), more), second);
    EXPECT_EQ(derived.find(QStringLiteral("SITE3"), QStringLiteral("TEMP"), pushed), nullptr);
}

// A series kept is taken without reading its signature only by the reader (the role) that
// read it, and only within the bound; a signature it read again that differs keeps it from
// being taken so.
TEST(OfficeCache, TakenUnreadOnlyByItsReaderWithinTheBound) {
    DerivedSeriesCache derived;
    const SeriesSignature pushed{300, 41}, more{301, 42};
    const QString unit = QStringLiteral("SITE3"), set = QStringLiteral("TEMP");
    const std::string viewer = "service=office_viewer", other = "service=office_other";
    auto kept = std::make_shared<const series::ServerSeries>();
    derived.keep(unit, set, pushed, kept, viewer);
    struct Case {
        const char* what;
        std::string reader;
        std::chrono::milliseconds within;
        bool taken;
    };
    const Case cases[] = {
        {"its reader, within an hour", viewer, std::chrono::hours(1), true},
        {"its reader, after the bound", viewer, std::chrono::milliseconds(-1), false},
        {"another role", other, std::chrono::hours(1), false},
        {"no reader", {}, std::chrono::hours(1), false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(derived.findRecent(unit, set, c.reader, c.within) == kept, c.taken) << c.what;
    // Kept without a reader (as before): never taken unread.
    derived.keep(unit, set, pushed, kept);
    EXPECT_EQ(derived.findRecent(unit, set, viewer, std::chrono::hours(1)), nullptr);
    // Another reader's read of the same signature makes it that reader's.
    derived.sawSignature(unit, set, pushed, other);
    EXPECT_EQ(derived.findRecent(unit, set, other, std::chrono::hours(1)), kept);
    // A read of another signature does not: the facts changed, the series is read again.
    derived.sawSignature(unit, set, more, viewer);
    EXPECT_EQ(derived.findRecent(unit, set, viewer, std::chrono::hours(1)), nullptr);
}

// A site's series of `rows` rows of one property.
std::shared_ptr<const series::SiteSeries> siteSeries(int rows) {
    auto s = std::make_shared<series::SiteSeries>();
    s->properties.resize(1);
    for (int i = 0; i < rows; ++i) {
        series::SiteRow row;
        row.utc = double(i);
        row.unit = "U1";
        row.dataSet = "SET";
        row.values = {1.5};
        row.raw = {"1.5"};
        s->rows.push_back(std::move(row));
    }
    return s;
}

TEST(OfficeCache, ASitesSeriesKeptUnderWhatItIsBuiltFromAndBoundedInMemory) {
    const SiteSeriesSignature built{5,
                                    900,
                                    {{QStringLiteral("U1"), QStringLiteral("SET"), {300, 41, 0}},
                                     {QStringLiteral("U2"), QStringLiteral("SET"), {10, 44, 0}}}};
    const auto one = siteSeries(1000);
    const std::size_t bytes = one->bytes();
    SiteSeriesCache cache(bytes * 2 + bytes / 2); // room for two of them
    cache.keep(QStringLiteral("RIVER-03"), built, one);
    EXPECT_EQ(cache.find(QStringLiteral("RIVER-03"), built), one);
    EXPECT_FALSE(cache.find(QStringLiteral("RIVER-04"), built));
    // Any change of what it is built from: a new site fact, a unit's new push, a unit's
    // series more or fewer, a disowned role.
    std::vector<SiteSeriesSignature> changed(6, built);
    changed[0].facts = 6;
    changed[1].newestArrival = 901;
    changed[2].series[1].signature.facts = 11;
    changed[3].series.push_back({QStringLiteral("U3"), QStringLiteral("SET"), {1, 45, 0}});
    changed[4].series.pop_back();
    changed[5].series[0].signature.trust = 1;
    for (std::size_t i = 0; i < changed.size(); ++i)
        EXPECT_FALSE(cache.find(QStringLiteral("RIVER-03"), changed[i])) << i;

    // Kept again under a new signature: the old one is gone, not counted twice.
    cache.keep(QStringLiteral("RIVER-03"), changed[0], one);
    EXPECT_FALSE(cache.find(QStringLiteral("RIVER-03"), built));
    EXPECT_EQ(cache.bytesKept(), bytes);
    // A third site's series goes over the bound: the oldest kept goes first.
    cache.keep(QStringLiteral("LAKE-1"), built, siteSeries(1000));
    cache.keep(QStringLiteral("WEIR-2"), built, siteSeries(1000));
    EXPECT_FALSE(cache.find(QStringLiteral("RIVER-03"), changed[0]));
    EXPECT_TRUE(cache.find(QStringLiteral("LAKE-1"), built));
    EXPECT_TRUE(cache.find(QStringLiteral("WEIR-2"), built));
    EXPECT_LE(cache.bytesKept(), bytes * 2 + bytes / 2);
    // One larger than the whole bound is never kept, and takes nothing else out.
    cache.keep(QStringLiteral("BIG"), built, siteSeries(4000));
    EXPECT_FALSE(cache.find(QStringLiteral("BIG"), built));
    EXPECT_TRUE(cache.find(QStringLiteral("WEIR-2"), built));
}

} // namespace
} // namespace office

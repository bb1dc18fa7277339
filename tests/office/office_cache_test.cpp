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

} // namespace
} // namespace office

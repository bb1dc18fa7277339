// SPDX-License-Identifier: GPL-3.0-or-later
// The time a unit meant: offsets from clock sets, summer time, none, unparseable stamps.
#include "series/record_time.h"

#include <gtest/gtest.h>

using namespace series;

namespace {

// Milliseconds of a UTC date and time.
std::int64_t utcMs(int y, int mo, int d, int h, int mi = 0, int s = 0) {
    std::int64_t days = 0;
    viewer::civilDays(y, mo, d, days);
    return ((days * 86400) + h * 3600 + mi * 60 + s) * 1000;
}

double wall(std::string_view record) {
    double s = 0;
    EXPECT_TRUE(unitSeconds(record, viewer::DateOrder::YMD, s)) << record;
    return s;
}

} // namespace

TEST(SeriesTime, OffsetOfAClockSet) {
    // Recorded, or implied by the text sent and the instant (to the quarter hour).
    EXPECT_EQ(offsetOf({utcMs(2026, 7, 1, 12), 7200, ""}), 7200);
    EXPECT_EQ(offsetOf({utcMs(2026, 7, 1, 12, 0, 1), std::nullopt, "26-07-01 14:00:00"}), 7200);
    EXPECT_EQ(offsetOf({utcMs(2026, 1, 1, 12), std::nullopt, "26-01-01 06:30:00"}), -19800);
    EXPECT_EQ(offsetOf({utcMs(2026, 1, 1, 12), std::nullopt, "not a time"}), std::nullopt);
}

TEST(SeriesTime, TheOffsetOfTheLastClockSetNotOfTheRecordsDate) {
    // Set in summer (UTC+2), downloaded in winter: the winter records are still on summer time.
    UnitFacts facts;
    facts.clockSets.push_back({utcMs(2026, 7, 1, 12), 7200, "26-07-01 14:00:00"});
    const TimeRule rule = timeRuleFor(facts, utcMs(2026, 12, 1, 9));
    ASSERT_TRUE(rule.known);
    EXPECT_EQ(rule.offsetSeconds, 7200);
    const double u = wall("26-12-01 10:00:00, 12.5, 3");
    EXPECT_EQ(timeFlags(rule, true, u), 0);
    EXPECT_EQ(isoUtc(u - rule.offsetSeconds), "2026-12-01T08:00:00Z");
}

TEST(SeriesTime, ClockSetsBeforeAndAfterASummerTimeChange) {
    UnitFacts facts;
    facts.clockSets.push_back({utcMs(2026, 10, 20, 12), 7200, "26-10-20 14:00:00"}); // summer
    facts.clockSets.push_back({utcMs(2026, 11, 2, 12), 3600, "26-11-02 13:00:00"});  // winter
    // A download before the second set: the summer offset.
    EXPECT_EQ(timeRuleFor(facts, utcMs(2026, 10, 30, 9)).offsetSeconds, 7200);
    // After it: the winter offset; records from before the second set were stamped under the
    // summer setting, which cannot be told for sure: flagged.
    const TimeRule rule = timeRuleFor(facts, utcMs(2026, 11, 10, 9));
    EXPECT_EQ(rule.offsetSeconds, 3600);
    EXPECT_EQ(timeFlags(rule, true, wall("26-11-05 10:00:00")), 0);
    EXPECT_EQ(timeFlags(rule, true, wall("26-10-25 10:00:00")), kAmbiguousOffset);
    // Older than every known setting: offset unknown.
    EXPECT_EQ(timeFlags(rule, true, wall("26-10-01 10:00:00")), kOffsetUnknown);
    // Two settings with the same offset leave nothing ambiguous.
    UnitFacts same;
    same.clockSets.push_back({utcMs(2026, 1, 5, 12), 3600, ""});
    same.clockSets.push_back({utcMs(2026, 2, 5, 12), 3600, ""});
    EXPECT_EQ(timeFlags(timeRuleFor(same, utcMs(2026, 3, 1, 0)), true, wall("26-01-20 00:00:00")),
              0);
}

TEST(SeriesTime, NoClockSetAndUnparseableStamps) {
    const TimeRule none = timeRuleFor({}, utcMs(2026, 3, 1, 0));
    EXPECT_FALSE(none.known);
    EXPECT_EQ(timeFlags(none, true, wall("26-02-01 00:00:00")), kOffsetUnknown);
    // A set after the download does not count.
    UnitFacts later;
    later.clockSets.push_back({utcMs(2026, 4, 1, 0), 3600, ""});
    EXPECT_FALSE(timeRuleFor(later, utcMs(2026, 3, 1, 0)).known);
    double s = 0;
    for (const char* record : {"Date, Volts", "", "26-13-01 00:00:00, 1", "hello, 26-01-01"})
        EXPECT_FALSE(unitSeconds(record, viewer::DateOrder::YMD, s)) << record;
    EXPECT_EQ(timeFlags(none, false, 0), 0);
}

TEST(SeriesTime, StampsInTheLayoutsTheViewerReads) {
    EXPECT_EQ(stampText("26-06-01 08:00:00, 12.7, 8.1"), "26-06-01 08:00:00");
    EXPECT_EQ(stampText("2026-06-01T08:00:00,1"), "2026-06-01T08:00:00");
    EXPECT_EQ(stampText("01.06.2026, 08:00, 3"), "01.06.2026, 08:00");
    EXPECT_EQ(stampText("Date, Time, Volts"), "");
    double a = 0, b = 0;
    ASSERT_TRUE(unitSeconds("01.06.2026, 08:00, 3", viewer::DateOrder::DMY, a));
    ASSERT_TRUE(unitSeconds("26-06-01 08:00:00", viewer::DateOrder::YMD, b));
    EXPECT_EQ(a, b);
    // The order every stamp allows: 14 is no month and 40 no day.
    const std::vector<std::string_view> dmy = {"01/02/26 00:00", "14/02/40 00:00"};
    EXPECT_EQ(chooseDateOrder(dmy), viewer::DateOrder::DMY);
    EXPECT_EQ(offsetText(-19800), "-05:30");
    EXPECT_EQ(usualInterval({0, 60, 120, 120, 180, 100000}), 60);
}

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

namespace {

// "YY-MM-DD HH:MM:SS" of wall-clock seconds.
std::string stamp(double wallSeconds) {
    const std::string iso = isoUtc(wallSeconds); // 2026-03-01T10:00:00Z
    return iso.substr(2, 8) + " " + iso.substr(11, 8);
}

struct Timed {
    std::string utc; // empty: none written
    int offset = 0;
    std::uint8_t flags = 0;
};

// Each record's UTC by RecordClock, the records in one segment, all brought at `brought`.
std::vector<Timed> times(const UnitFacts& facts, const std::vector<double>& unit,
                         std::int64_t brought) {
    RecordClock clock(facts.clockSets);
    for (const double u : unit)
        clock.add(1, true, u, brought);
    clock.resolve();
    std::vector<Timed> out;
    for (std::size_t i = 0; i < unit.size(); ++i) {
        const RecordClock::Utc t = clock.utc(i, true, unit[i], brought);
        out.push_back({t.known ? isoUtc(t.seconds) : "", t.known ? t.offsetSeconds : 0, t.flags});
    }
    return out;
}

} // namespace

// A unit set at +09:00, then at +01:00: the eight hours it was put back come twice, and the
// records' order tells which time each was stamped in.
TEST(SeriesRecordClock, EachRecordUnderTheClockSetItWasStampedUnder) {
    UnitFacts facts;
    facts.clockSets.push_back({utcMs(2026, 3, 1, 0), 9 * 3600, "26-03-01 09:00:00"});
    facts.clockSets.push_back({utcMs(2026, 3, 2, 0), 3600, "26-03-02 01:00:00"});
    std::vector<double> unit;
    std::vector<std::string> expected;
    for (int h = 10; h <= 32; ++h) { // unit 03-01 10:00 .. 03-02 08:00, under +09:00
        unit.push_back(wall("26-03-01 00:00:00") + h * 3600.0);
        expected.push_back(isoUtc(unit.back() - 9 * 3600));
    }
    for (int h = 1; h <= 12; ++h) { // unit 03-02 01:00 .. 12:00, under +01:00
        unit.push_back(wall("26-03-02 00:00:00") + h * 3600.0);
        expected.push_back(isoUtc(unit.back() - 3600));
    }
    const auto got = times(facts, unit, utcMs(2026, 3, 2, 12));
    for (std::size_t i = 0; i < got.size(); ++i) {
        SCOPED_TRACE(stamp(unit[i]));
        EXPECT_EQ(got[i].utc, expected[i]);
        EXPECT_EQ(got[i].flags, 0);
    }
    // On its own, a record of the hours that came twice cannot be told: ambiguous, and the
    // latest set's UTC.
    const RecordClock clock(facts.clockSets);
    const RecordClock::Utc alone =
        clock.alone(true, wall("26-03-02 03:00:00"), utcMs(2026, 3, 2, 12));
    EXPECT_EQ(alone.flags, kAmbiguousOffset);
    EXPECT_EQ(isoUtc(alone.seconds), "2026-03-02T02:00:00Z");
}

TEST(SeriesRecordClock, NoneFitsAndAClockAhead) {
    UnitFacts facts;
    facts.clockSets.push_back({utcMs(2026, 3, 1, 0), 3600, ""});
    const auto got = times(facts,
                           {wall("26-02-20 00:00:00"),  // before every set: unknown
                            wall("26-03-01 02:00:00"),  // 01:00Z
                            wall("26-03-01 12:03:00"),  // 11:03Z, the download at 11:00Z
                            wall("26-03-01 13:00:00")}, // 12:00Z: ahead
                           utcMs(2026, 3, 1, 11));
    EXPECT_EQ(got[0].utc, "");
    EXPECT_EQ(got[0].flags, kOffsetUnknown);
    EXPECT_EQ(got[1].utc, "2026-03-01T01:00:00Z");
    EXPECT_EQ(got[1].offset, 3600);
    EXPECT_EQ(got[2].utc, "") << "a UTC after the download is never written";
    EXPECT_EQ(got[2].flags, kClockAhead);
    EXPECT_EQ(got[3].utc, "");
    EXPECT_EQ(got[3].flags, kClockAhead);
}

// Set in summer (+02:00); the laptop's zone changes to winter time, the unit's clock does
// not; set again at +01:00 later. A record stamped before that second set, brought by a
// download after it, is still on the summer setting: only that one fits it.
TEST(SeriesRecordClock, ADaylightSavingChangeThatNoClockSetFollowed) {
    UnitFacts facts;
    facts.clockSets.push_back({utcMs(2026, 10, 19, 22), 7200, "26-10-20 00:00:00"});
    facts.clockSets.push_back({utcMs(2026, 11, 2, 9), std::nullopt, "26-11-02 10:00:00"});
    const auto got = times(facts,
                           {wall("26-10-24 20:40:00"),  // before the zone changed (10-25)
                            wall("26-10-30 12:00:00"),  // after it: still +02:00
                            wall("26-11-03 06:00:00")}, // after the second set
                           utcMs(2026, 11, 3, 8));
    EXPECT_EQ(got[0].utc, "2026-10-24T18:40:00Z");
    EXPECT_EQ(got[0].flags, 0);
    EXPECT_EQ(got[1].utc, "2026-10-30T10:00:00Z");
    EXPECT_EQ(got[2].utc, "2026-11-03T05:00:00Z");
    EXPECT_EQ(got[2].offset, 3600);
}

// SPDX-License-Identifier: GPL-3.0-or-later
// How a read's time-outs are planned from the port's COMMTIMEOUTS, case by case.
#include "platform/read_timeouts.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;
using platform::ReadPlan;
using win::MAXDWORD;

namespace {

struct Case {
    const char* what;
    win::COMMTIMEOUTS timeouts;
    win::DWORD count;
    ReadPlan plan;
};

constexpr std::chrono::milliseconds kCap{std::int64_t(1) << 40};

} // namespace

TEST(ReadTimeouts, PlansEachKindOfRead) {
    const Case cases[] = {
        {"no time-outs: waits for the whole count", {0, 0, 0, 0, 0}, 10, {}},
        {"interval MAXDWORD, totals 0: what is queued, at once",
         {MAXDWORD, 0, 0, 0, 0},
         10,
         {true, false, {}, {}}},
        {"the first byte ends it, within the constant",
         {MAXDWORD, MAXDWORD, 500, 0, 0},
         10,
         {false, true, {}, 500ms}},
        {"return-on-any needs a constant: without one the totals rule",
         {MAXDWORD, MAXDWORD, 0, 0, 0},
         10,
         {false, false, {}, 42949672950ms}},
        {"return-on-any needs a constant below MAXDWORD",
         {MAXDWORD, MAXDWORD, MAXDWORD, 0, 0},
         1,
         {false, false, {}, std::chrono::milliseconds(2ull * MAXDWORD)}},
        {"interval MAXDWORD with a multiplier: no interval, a total",
         {MAXDWORD, 5, 0, 0, 0},
         8,
         {false, false, {}, 40ms}},
        {"an interval alone", {50, 0, 0, 0, 0}, 10, {false, false, 50ms, {}}},
        {"multiplier per byte plus constant", {0, 10, 100, 0, 0}, 8, {false, false, {}, 180ms}},
        {"interval and total together", {20, 1, 1000, 0, 0}, 24, {false, false, 20ms, 1024ms}},
        {"a total beyond any clock is capped",
         {0, MAXDWORD, MAXDWORD, 0, 0},
         MAXDWORD,
         {false, false, {}, kCap}},
        {"write time-outs do not count", {0, 0, 0, 7, 7}, 10, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const ReadPlan got = platform::planRead(c.timeouts, c.count);
        EXPECT_EQ(got.immediate, c.plan.immediate);
        EXPECT_EQ(got.returnOnAny, c.plan.returnOnAny);
        EXPECT_EQ(got.interval, c.plan.interval);
        EXPECT_EQ(got.total, c.plan.total);
    }
}

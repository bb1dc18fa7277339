// When a waiter that hands input over reads the next arrival: a lone one at once, a stream's
// after a short hold that never lets much gather.
#include "platform/arrival_pacer.h"

#include <gtest/gtest.h>

using platform::ArrivalPacer;
using namespace std::chrono_literals;

namespace {
const ArrivalPacer::Clock::time_point t0{std::chrono::hours(1)};
}

TEST(ArrivalPacer, ALoneArrivalIsReadAtOnceAndAStreamAfterAHold) {
    ArrivalPacer pacer;
    EXPECT_FALSE(pacer.holdUntil()) << "nothing came yet";
    pacer.arrived(t0, 1);
    EXPECT_FALSE(pacer.holdUntil()) << "the first arrival ever";
    pacer.arrived(t0 + 3s, 20);
    EXPECT_FALSE(pacer.holdUntil()) << "after a quiet spell: a reply or a keystroke";

    // A unit's data at 19200 bit/s: 20 bytes every 10 ms.
    pacer.arrived(t0 + 3s + 10ms, 20);
    ASSERT_TRUE(pacer.holdUntil());
    EXPECT_EQ(*pacer.holdUntil(), t0 + 3s + 10ms + ArrivalPacer::kHoldOff);
    // What gathered meanwhile comes a little later than the hold: still a stream.
    const auto afterHold = t0 + 3s + 10ms + ArrivalPacer::kHoldOff + 2ms;
    pacer.arrived(afterHold, 100);
    ASSERT_TRUE(pacer.holdUntil());
    EXPECT_EQ(*pacer.holdUntil(), afterHold + ArrivalPacer::kHoldOff);

    pacer.arrived(afterHold, 0); // a read that found nothing is no arrival
    EXPECT_TRUE(pacer.holdUntil());
    pacer.arrived(afterHold + ArrivalPacer::kStreamGap + 1ms, 5);
    EXPECT_FALSE(pacer.holdUntil()) << "the stream paused";
}

TEST(ArrivalPacer, AFastLineIsHeldOnlyAsLongAsAFewBufferfulsTake) {
    ArrivalPacer pacer;
    // 4 KB every millisecond, or at the same instant: not held at all.
    pacer.arrived(t0, 4096);
    pacer.arrived(t0 + 1ms, 4096);
    EXPECT_FALSE(pacer.holdUntil());
    pacer.arrived(t0 + 1ms, 4096);
    EXPECT_FALSE(pacer.holdUntil());

    // 115200 bit/s in 10 ms pieces: the whole hold gathers no more than the bound.
    pacer.arrived(t0 + 1s, 115);
    pacer.arrived(t0 + 1s + 10ms, 115);
    ASSERT_TRUE(pacer.holdUntil());
    EXPECT_EQ(*pacer.holdUntil() - (t0 + 1s + 10ms), ArrivalPacer::kHoldOff);

    // 1 MB/s: held only as long as the bound takes at that rate.
    pacer.arrived(t0 + 2s, 1000);
    pacer.arrived(t0 + 2s + 1ms, 1000);
    ASSERT_TRUE(pacer.holdUntil());
    const auto hold = *pacer.holdUntil() - (t0 + 2s + 1ms);
    EXPECT_GE(hold, ArrivalPacer::kShortest);
    EXPECT_LT(hold, ArrivalPacer::kHoldOff);
    const double gathered = 1000.0 * std::chrono::duration<double>(hold).count() / 0.001;
    EXPECT_NEAR(gathered, double(ArrivalPacer::kHoldBytes), 1.0);
}

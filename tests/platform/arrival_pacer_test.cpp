// SPDX-License-Identifier: GPL-3.0-or-later
// When a waiter that hands input over reads the next arrival: a lone one at once, a stream's
// after a short hold that never lets much gather.
#include "platform/arrival_pacer.h"

#include <gtest/gtest.h>

using platform::ArrivalPacer;
using namespace std::chrono_literals;

TEST(ArrivalPacer, ALoneArrivalIsReadAtOnceAStreamAfterAHoldAFastLineHardlyHeld) {
    const ArrivalPacer::Clock::time_point t0{1h};
    ArrivalPacer pacer;
    pacer.arrived(t0, 1);
    pacer.arrived(t0 + 3s, 20);
    EXPECT_FALSE(pacer.holdUntil()) << "after a quiet spell: a reply or a keystroke";

    // 19200 bit/s: 20 bytes every 10 ms; then what gathered during the hold.
    pacer.arrived(t0 + 3s + 10ms, 20);
    EXPECT_EQ(pacer.holdUntil(), t0 + 3s + 10ms + ArrivalPacer::kHoldOff);
    const auto afterHold = t0 + 3s + 10ms + ArrivalPacer::kHoldOff + 2ms;
    pacer.arrived(afterHold, 100);
    pacer.arrived(afterHold + 1ms, 0); // a read that found nothing is no arrival
    EXPECT_EQ(pacer.holdUntil(), afterHold + ArrivalPacer::kHoldOff);
    pacer.arrived(afterHold + ArrivalPacer::kStreamGap + 1ms, 5);
    EXPECT_FALSE(pacer.holdUntil()) << "the stream paused";

    // A full tty buffer at once, or every millisecond: not held.
    pacer.arrived(t0 + 5s, 4096);
    pacer.arrived(t0 + 5s, 4096);
    EXPECT_FALSE(pacer.holdUntil());
    pacer.arrived(t0 + 5s + 1ms, 4096);
    EXPECT_FALSE(pacer.holdUntil());
    // 1 MB/s: held only as long as the bound takes to gather at that rate.
    pacer.arrived(t0 + 6s, 1000);
    pacer.arrived(t0 + 6s + 1ms, 1000);
    ASSERT_TRUE(pacer.holdUntil());
    const double held = std::chrono::duration<double>(*pacer.holdUntil() - (t0 + 6s + 1ms)).count();
    EXPECT_NEAR(1000.0 * held / 0.001, double(ArrivalPacer::kHoldBytes), 1.0);
}

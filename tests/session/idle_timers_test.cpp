// SPDX-License-Identifier: GPL-3.0-or-later
// Idle with the port open, none of the session's timers is left running: a pause's timer and
// an exchange's time-out stop once their job is done.
#include "session_fixture.h"

#include "platform/app_timer.h"

namespace {

using sessiontest::SessionFixture;
using IdleTimers = SessionFixture;

TEST_F(IdleTimers, PauseAndExchangeTimersStopWhenTheirJobIsDone) {
    EXPECT_FALSE(form->DelayTimer->isRunning());
    EXPECT_FALSE(form->SerialTimer->isRunning());
    openSession(); // includes the opening pause
    EXPECT_FALSE(form->DelayTimer->isRunning());

    form->DelayMs(20);
    EXPECT_TRUE(form->DelayDone);
    EXPECT_FALSE(form->DelayTimer->isRunning());

    // An exchange that is answered, and one that times out.
    sessiontest::soon([&] { pty.writeMaster("x>"); }, 20);
    char reply[8] = {};
    EXPECT_EQ(form->iWaitForStringNUntilTermination("", '>', 5000, reply, 8), 0);
    EXPECT_FALSE(form->SerialTimer->isRunning());
    EXPECT_EQ(form->iWaitForChar("", '#', '>', 50), -1);
    EXPECT_FALSE(form->SerialTimer->isRunning());
    EXPECT_FALSE(form->DelayTimer->isRunning());
}

} // namespace

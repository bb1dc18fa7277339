// SPDX-License-Identifier: GPL-3.0-or-later
// The session's device goes without a removal message (a pty that closes): the session learns
// it from its component, says so once in the run log, asks for a rescan and reopens later.
#include "session_fixture.h"

#include "comport/Comport.h"
#include "support/slowdown.h"
#include "support/wait.h"

#include <QElapsedTimer>
#include <QSocketNotifier>

namespace {

using sessiontest::SessionFixture;
using Vanish = SessionFixture;

using testsupport::runEventsFor;
using testsupport::waitUntil;

bool endsWith(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

TEST_F(Vanish, AnIdlePortThatGoesClosesTheSessionOnceAndTheNextExchangeReopens) {
    openSession();
    std::vector<int> vanished;
    QObject::connect(form.get(), &TFormSerial::portVanished, [&](int n) { vanished.push_back(n); });
    newLog();
    QElapsedTimer clock;
    clock.start();
    pty.closeMaster();
    ASSERT_TRUE(waitUntil([&] { return !form->PortOpen; }));
    EXPECT_LT(clock.elapsed(), testsupport::scaledMs(2000));
    EXPECT_FALSE(form->SerialCom->Active());
    EXPECT_TRUE(form->LostDevice());
    runEventsFor(300); // nothing more may follow
    EXPECT_EQ(vanished, std::vector<int>{sessiontest::kPort});
    const auto lines = newLog();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(endsWith(lines[0], ") Comm GONE COM5: the device has gone; the port is closed"))
        << lines[0];
    EXPECT_TRUE(dialogs.shown.empty()) << lastBox();

    // The unit is back on the same number: the next exchange opens the port anew.
    testsupport::PtyPair back;
    ASSERT_TRUE(back.ok());
    back.linkAs(tree.ports(), sessiontest::kPort);
    // Answers when the command arrives: the reopen pumps events before anything is sent, and
    // until the port is open the master only reports the hang-up of a slave nobody holds.
    QSocketNotifier unitEnd(back.masterFd(), QSocketNotifier::Read);
    unitEnd.setEnabled(false);
    static const char opened = 0;
    form->SerialCom->SetAfterOpen(TOpenCloseEvent::fromCallable(
        &opened, &unitEnd, [&](TCustomComPort*) { unitEnd.setEnabled(true); }));
    QObject::connect(&unitEnd, &QSocketNotifier::activated, [&] {
        unitEnd.setEnabled(false);
        EXPECT_EQ(back.readMaster(1), "A");
        back.writeMaster("Bat: 1:2>");
    });
    char reply[64] = {};
    EXPECT_EQ(form->iWaitForStringNUntilTermination("A", '>', 10000, reply, 63), 0) << lastBox();
    EXPECT_STREQ(reply, "Bat: 1:2>");
    EXPECT_TRUE(form->PortOpen);
    EXPECT_FALSE(form->LostDevice());
}

TEST_F(Vanish, ADeviceThatGoesDuringTheOpeningPauseLeavesTheSessionClosed) {
    ASSERT_TRUE(pty.ok());
    pty.linkAs(tree.ports(), sessiontest::kPort);
    static const char opened = 0;
    // The unit's end hangs up as soon as the port is open, inside the 250 ms pause.
    form->SerialCom->SetAfterOpen(TOpenCloseEvent::fromCallable(
        &opened, form.get(), [&](TCustomComPort*) { pty.closeMaster(); }));
    EXPECT_EQ(form->iOpenPort(), 1);
    EXPECT_FALSE(form->PortOpen);
    ASSERT_FALSE(dialogs.shown.empty());
    EXPECT_EQ(lastBox(), "Unable to open COM5.\nThe device went away while the port was being "
                         "opened.");
    EXPECT_TRUE(waitUntil([&] { return !form->SerialCom->Active(); }));
    // Nothing is sent on a port the session does not hold; the wait runs out as its time-out.
    EXPECT_EQ(form->iWaitForChar("!", '>', 0, 300), -1);
    EXPECT_FALSE(form->PortOpen);
}

TEST_F(Vanish, AWaitEndsWithItsTimeOutWhenTheDeviceGoesAndShowsNoBox) {
    openSession();
    sessiontest::soon([&] {
        EXPECT_EQ(pty.readMaster(1), "F");
        pty.writeMaster("part of a download\r\n");
        pty.closeMaster();
    });
    QElapsedTimer clock;
    clock.start();
    EXPECT_EQ(form->iCaptureTo("F", '>', 30000), 1);
    EXPECT_LT(clock.elapsed(), 10000) << "the capture waited out its time-out on a gone port";
    EXPECT_EQ(form->LastWaitEnd(), TFormSerial::WaitEnd::LineGone);
    EXPECT_FALSE(form->PortOpen);
    EXPECT_TRUE(dialogs.shown.empty()) << lastBox();
}

TEST_F(Vanish, APurgeAlsoDropsTheFilterForASerialNumbersLatePrompt) {
    openSession();
    // The serial number is complete at its eighth character; its '>' is still to come.
    sessiontest::soon([&] {
        EXPECT_EQ(pty.readMaster(1), "R");
        pty.writeMaster("#ABCD1234");
    });
    char serial[9] = {};
    ASSERT_EQ(form->iWaitForStringNBetweenChars("R", '#', '>', 10000, serial, 8), 0);
    // The prompt never comes; the next exchange purges, and its own '>' must end it.
    sessiontest::soon([&] {
        EXPECT_EQ(pty.readMaster(1), "A");
        pty.writeMaster(":12.5:20.0>");
    });
    char reply[64] = {};
    QElapsedTimer clock;
    clock.start();
    EXPECT_EQ(form->iWaitForStringNUntilTermination("A", '>', 5000, reply, 63), 0);
    EXPECT_STREQ(reply, ":12.5:20.0>");
}

} // namespace

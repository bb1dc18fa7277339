// SPDX-License-Identifier: GPL-3.0-or-later
// Opening, closing and probing the session's port over ptys in a temporary port folder.
#include "session_fixture.h"

#include "comport/Comport.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

using sessiontest::SessionFixture;
using Session = SessionFixture;

TEST_F(Session, OpenCloseAndReopenLogTheCloseLineWithPortAndSpeed) {
    openSession();
    EXPECT_EQ(form->SerialCom->DeviceName(), "\\\\.\\COM5");
    EXPECT_EQ(newLog(), (std::vector<std::string>{"(:00263) Open serial port",
                                                  "(:00384) Comm CLOSE inactive"}));

    // Reopening closes first; the session is open again afterwards.
    ASSERT_EQ(form->iOpenPort(), 0) << lastBox();
    EXPECT_EQ(newLog(), (std::vector<std::string>{"(:00263) Open serial port",
                                                  "(:00384) Comm CLOSE active (5:19200)"}));
    EXPECT_TRUE(form->PortOpen);
    EXPECT_TRUE(form->SerialCom->Active());

    EXPECT_EQ(form->iClosePort(), 0);
    EXPECT_FALSE(form->PortOpen);
    EXPECT_FALSE(form->SerialCom->Active());
    EXPECT_EQ(newLog(), (std::vector<std::string>{"(:00384) Comm CLOSE active (5:19200)"}));
    EXPECT_TRUE(dialogs.shown.empty()) << lastBox();
}

TEST_F(Session, BytesSentDuringTheOpeningPauseAreDiscarded) {
    ASSERT_TRUE(pty.ok());
    pty.linkAs(tree.ports(), sessiontest::kPort);
    pty.writeMaster("stale>");
    ASSERT_EQ(form->iOpenPort(), 0) << lastBox();
    char buffer[16] = {};
    // A fresh answer is all that is stored; the stale prompt neither ends nor pollutes it.
    sessiontest::soon([&] { pty.writeMaster("ok>"); });
    EXPECT_EQ(form->iWaitForStringNUntilTermination("", '>', 10000, buffer, 15), 0);
    EXPECT_STREQ(buffer, "ok>");
}

TEST_F(Session, OpenFailuresTellTheOperatorAndLeaveTheSessionClosed) {
    // Missing port: the plain message.
    form->ComPortNumber = 7;
    EXPECT_EQ(form->iOpenPort(), 1);
    ASSERT_EQ(dialogs.shown.size(), 1u);
    EXPECT_EQ(dialogs.shown[0].kind, dialogs::BoxKind::Error);
    EXPECT_EQ(dialogs.shown[0].text, "Unable to open COM7.");
    EXPECT_FALSE(form->PortOpen);
    EXPECT_EQ(form->ComPortNumber, 7);

    // Held by another open (as another program's lock would): the in-use explanation.
    ASSERT_TRUE(pty.ok());
    const std::string link = pty.linkAs(tree.ports(), 8);
    const int holder = ::open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
    form->ComPortNumber = 8;
    EXPECT_EQ(form->iProbePort(8), 1);
    EXPECT_EQ(form->iOpenPort(), 1);
    EXPECT_EQ(dialogs.shown.back().text.rfind("Unable to open COM8. Port in use. Other", 0), 0u)
        << lastBox();
    EXPECT_FALSE(form->PortOpen);
    ::close(holder);
    EXPECT_EQ(form->iProbePort(8), 0);
    EXPECT_EQ(form->iProbePort(9), 2);

    // No port selected: the internal-error report, the component untouched.
    dialogs.shown.clear();
    form->ComPortNumber = -1;
    const std::string deviceBefore = form->SerialCom->DeviceName();
    EXPECT_EQ(form->iOpenPort(), 1);
    ASSERT_EQ(dialogs.shown.size(), 1u);
    EXPECT_EQ(dialogs.shown[0].kind, dialogs::BoxKind::InternalError);
    EXPECT_EQ(dialogs.shown[0].text, "Invalid COM port. Please run Setup. (fSerial.cpp:268)");
    EXPECT_EQ(form->SerialCom->DeviceName(), deviceBefore);
    EXPECT_EQ(form->iClosePort(), 1);
    EXPECT_EQ(dialogs.shown.back().text,
              "Invalid COM port. Please run Options Setup. (fSerial.cpp:389)");
}

TEST_F(Session, DelayMsKeepsEventsFlowingAndEnds) {
    bool ticked = false;
    sessiontest::soon([&] { ticked = true; }, 10);
    form->DelayMs(200);
    EXPECT_TRUE(ticked);
    EXPECT_TRUE(form->DelayDone);
    form->DelayMs(0); // must end too
}

} // namespace

// SPDX-License-Identifier: GPL-3.0-or-later
// comport-echo over a pseudo-terminal: it writes back what it receives, and when the device
// goes away it reports the port error and exits non-zero promptly.
#include "support/child_process.h"
#include "support/pty_pair.h"

#include <QElapsedTimer>
#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;

TEST(ComportEcho, EchoesAndExitsWhenTheDeviceGoesAway) {
    testsupport::PtyPair pty;
    ASSERT_TRUE(pty.ok());
    testsupport::ChildProcess echo(XRQ_BIN_DIR "/comport-echo", {pty.slavePath()});
    ASSERT_TRUE(echo.started());
    // Ready once it says so on its error channel.
    ASSERT_TRUE(echo.waitForError("echoing", 20s))
        << "comport-echo did not start: " << echo.errorOutput();

    ASSERT_TRUE(pty.writeMaster("ping\r\n"));
    EXPECT_EQ(pty.readMaster(6), "ping\r\n");
    const std::string binary("\x00\xFF\x7F\x80", 4);
    ASSERT_TRUE(pty.writeMaster(binary));
    EXPECT_EQ(pty.readMaster(4), binary);

    QElapsedTimer sinceGone;
    sinceGone.start();
    pty.closeMaster();
    ASSERT_TRUE(echo.waitForExit(20s));
    // The operator's "within a second" is checked loosely: loaded test machines are slow.
    EXPECT_LT(sinceGone.elapsed(), 10000);
    EXPECT_TRUE(echo.exitedNormally());
    EXPECT_NE(echo.exitCode(), 0);
    EXPECT_NE(echo.errorOutput().find("error 5:"), std::string::npos) << echo.errorOutput();
}

} // namespace

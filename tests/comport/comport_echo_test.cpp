// comport-echo over a pseudo-terminal: it writes back what it receives, and when the device
// goes away it reports the port error and exits non-zero promptly.
#include "support/pty_pair.h"

#include <QElapsedTimer>
#include <QProcess>
#include <gtest/gtest.h>

namespace {

TEST(ComportEcho, EchoesAndExitsWhenTheDeviceGoesAway) {
    testsupport::PtyPair pty;
    ASSERT_TRUE(pty.ok());
    QProcess echo;
    echo.setProcessChannelMode(QProcess::SeparateChannels);
    echo.setReadChannel(QProcess::StandardError);
    echo.start(QStringLiteral(XRQ_BIN_DIR "/comport-echo"),
               {QString::fromStdString(pty.slavePath())});
    ASSERT_TRUE(echo.waitForStarted(20000));
    // Ready once it says so on its error channel.
    QByteArray said;
    while (!said.contains("echoing")) {
        ASSERT_TRUE(echo.waitForReadyRead(20000)) << "comport-echo did not start: " << said.data();
        said += echo.readAllStandardError();
    }

    ASSERT_TRUE(pty.writeMaster("ping\r\n"));
    EXPECT_EQ(pty.readMaster(6), "ping\r\n");
    const std::string binary("\x00\xFF\x7F\x80", 4);
    ASSERT_TRUE(pty.writeMaster(binary));
    EXPECT_EQ(pty.readMaster(4), binary);

    QElapsedTimer sinceGone;
    sinceGone.start();
    pty.closeMaster();
    ASSERT_TRUE(echo.waitForFinished(20000));
    // The operator's "within a second" is checked loosely: loaded test machines are slow.
    EXPECT_LT(sinceGone.elapsed(), 10000);
    EXPECT_EQ(echo.exitStatus(), QProcess::NormalExit);
    EXPECT_NE(echo.exitCode(), 0);
    const QByteArray err = said + echo.readAllStandardError();
    EXPECT_TRUE(err.contains("error 5:")) << err.toStdString();
}

} // namespace

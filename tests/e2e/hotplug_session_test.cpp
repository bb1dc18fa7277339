// SPDX-License-Identifier: GPL-3.0-or-later
// The session follows the hardware: a unit process killed outright, a download cut off by an
// unplug, ports behind two levels of links, and ports another program holds without a lock.
#include "e2e_fixture.h"

#include "support/child_process.h"
#include "support/slowdown.h"
#include "widgets/status_panel.h"

#include <QElapsedTimer>
#include <QStatusBar>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <unistd.h>

using namespace e2e;
namespace fs = std::filesystem;

namespace {

class Hardware : public ProgramRun {};

// The simulator as a process of its own, linked as COMn in the program's port folder.
std::unique_ptr<testsupport::ChildProcess> startSimProcess(const std::string& link) {
    return std::make_unique<testsupport::ChildProcess>(
        XRQ_BIN_DIR "/xrq-unit-sim", std::vector<std::string>{"--link", link, "--unpaced"});
}

TEST_F(Hardware, UnitKilledOutrightIsNoticedAndReachedAgainWithoutARestart) {
    startProgram();
    const std::string link = portFolder + "COM4";
    auto unit = startSimProcess(link);
    ASSERT_TRUE(unit->started());
    ASSERT_TRUE(waitUntil([&] {
        return shownText("Com port COM4 added to system!") && FormSerial->ComPortNumber == 4;
    })) << unit->errorOutput();
    // A pty's number is free again once both of its ends are closed, and a test running
    // beside this one would take it at once: COM4 would name a device again and rightly not
    // be announced as removed. Holding the slave end keeps the number taken; its node still
    // goes with the master.
    const int heldSlave = ::open(link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(heldSlave, 0) << std::strerror(errno);
    struct CloseAtEnd {
        int fd;
        ~CloseAtEnd() { ::close(fd); }
    } closeAtEnd{heldSlave};
    connectOk();
    ASSERT_TRUE(FormSerial->PortOpen);

    // SIGKILL: the pty's master goes with the process, its link stays behind, dangling.
    const std::size_t boxes = boxMark();
    const std::size_t mark = logMark();
    unit.reset();
    ASSERT_TRUE(fs::is_symlink(link));
    QElapsedTimer clock;
    clock.start();
    ASSERT_TRUE(waitUntil([&] { return !FormSerial->PortOpen; }, testsupport::scaledMs(5000)));
    EXPECT_LT(clock.elapsed(), testsupport::scaledMs(2000));
    ASSERT_TRUE(waitUntil([&] { return shownText("Selected com port removed.", boxes); }));
    const auto lines = logSince(mark);
    EXPECT_TRUE(logged(lines, "Comm GONE COM4: the device has gone; the port is closed"));
    EXPECT_EQ(countShown("Com port COM4 removed from system!", boxes), 1);
    for (const auto& [kind, text] : boxesSince(boxes, true))
        EXPECT_TRUE(kind == BoxKind::Info || kind == BoxKind::Warning) << text;

    // The same unit started again on the same link: announced, and Connect reaches it.
    unit = startSimProcess(link);
    ASSERT_TRUE(waitUntil([&] {
        return countShown("Com port COM4 added to system!", boxes) == 1 &&
               FormSerial->ComPortNumber == 4;
    })) << unit->errorOutput();
    connectOk();
    EXPECT_TRUE(FormSerial->PortOpen);
}

TEST_F(Hardware, UnplugMidDownloadKeepsEveryByteAndSaysWhereTheyAre) {
    const auto sets = sim::generateDataSets(3, 60);
    sim::SimOptions o = unpaced(sets);
    o.faults.hangUpAfterBytes = 2345;
    sim::PtyUnit& unit = plugUnit(1, o);
    startProgram();
    connectOk();

    const std::size_t mark = logMark();
    const std::uint64_t before = unit.bytesSent();
    collect(defaultDataDir);
    ASSERT_TRUE(waitUntil([&] { return unit.hungUp(); }));
    EXPECT_GT(unit.bytesSent() - before, 2345u); // the serial number's reply came first
    EXPECT_EQ(unit.bytesSentSinceDownload(), 2345u);
    EXPECT_EQ(intermediate().size(), 2345u) << "bytes that came before the unplug were lost";

    const std::string path = work + "_$XRQInt.txt";
    // The outcome line of the status panel, which menu hovers cannot wipe.
    const QString status = FormXRQMain->StatusPanel1->outcome();
    EXPECT_TRUE(status.startsWith("Download interrupted: ")) << status.toStdString();
    EXPECT_TRUE(status.contains("2.3 kB")) << status.toStdString();
    EXPECT_TRUE(status.endsWith(QString::fromStdString("kept in " + path))) << status.toStdString();
    bool inLog = false;
    for (const auto& line : logSince(mark))
        inLog = inLog || line == status.toStdString();
    EXPECT_TRUE(inLog) << "the status line is not in the run log";
}

} // namespace

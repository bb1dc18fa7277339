// SPDX-License-Identifier: GPL-3.0-or-later
// A simulated unit over a real pty: the link, exchanges, pacing, line faults, state across
// restarts, and the xrq-unit-sim program itself.
#include "line_client.h"
#include "tools/sim/pty_unit.h"
#include "tools/sim/state_file.h"
#include "tools/sim/unit_model.h"

#include <gtest/gtest.h>

#include <QProcess>
#include <QTemporaryDir>

#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using Steady = std::chrono::steady_clock;

namespace {

class PtyUnitTest : public ::testing::Test {
protected:
    std::string link(const std::string& name = "ports/COM3") {
        return m_dir.filePath(QString::fromStdString(name)).toStdString();
    }
    sim::SimOptions options() {
        sim::SimOptions o;
        o.linkPath = link();
        o.baud = 0;
        return o;
    }
    QTemporaryDir m_dir;
};

std::string downloadOf(LineClient& line) {
    line.send("F");
    return line.readUntil('>');
}

} // namespace

TEST_F(PtyUnitTest, LinksItselfAnswersAndRemovesTheLink) {
    auto o = options();
    o.dataSets = sim::generateDataSets(1, 3);
    auto unit = sim::PtyUnit::start(o);
    ASSERT_TRUE(fs::is_symlink(link()));
    EXPECT_EQ(fs::read_symlink(link()), unit->slavePath());
    {
        LineClient line(link());
        struct Exchange {
            std::string command;
            char end;
            std::string reply;
        } exchanges[] = {
            {"R", '>', "\r\nXRQ S/N #XRQ10472>"},
            {"!", '>', "\r\n>"},
            {"A", '>', "\r\nBat: 12.61 V  Temp: 21.4 C\r\n>"},
            {"*", '~', "~"},
            {"C", '?', "?"},
        };
        for (const auto& e : exchanges) {
            line.send(e.command);
            EXPECT_EQ(line.readUntil(e.end), e.reply) << e.command;
        }
        line.send("Y");
        EXPECT_EQ(line.readUntil('>'), "\r\nMemory cleared\r\n>");
        EXPECT_TRUE(unit->memory().empty());
        EXPECT_EQ(unit->clearCount(), 1);

        // Clock text sent byte by byte, as the program's send loop does.
        line.send("S");
        EXPECT_EQ(line.readUntil('>'), "\r\n>");
        for (char c : std::string("26-03-21 07:05:09"))
            line.send(std::string(1, c));
        ASSERT_TRUE(unit->waitForReceived("07:05:09", 10s));
        line.send("!");
        line.readUntil('>'); // the clock text has been taken once this answer comes
        EXPECT_EQ(unit->clockSetCount(), 1);
        EXPECT_EQ(unit->unitClockText().substr(0, 14), "26-03-21 07:05");
        EXPECT_EQ(unit->received(), "R!A*CYS26-03-21 07:05:09!");
    }
    unit->stop();
    EXPECT_FALSE(fs::exists(fs::symlink_status(link())));
    unit->stop(); // again: nothing more happens
}

TEST_F(PtyUnitTest, TheProgramMayCloseAndReopenThePort) {
    auto unit = sim::PtyUnit::start(options());
    for (int i = 0; i < 3; ++i) {
        LineClient line(link());
        line.send("R");
        EXPECT_EQ(line.readUntil('>'), "\r\nXRQ S/N #XRQ10472>") << "open " << i;
    }
    EXPECT_TRUE(unit->running());
}

// A program killed while it held the port (exclusive, never given back): a real port is free
// again after its last close, and so is the simulated one, under the same link; the unit goes
// on with what it was sending, as a real unit does when its program goes away.
TEST_F(PtyUnitTest, AProgramKilledHoldingThePortLeavesTheUnitReachable) {
    auto o = options();
    o.baud = 115200;
    o.dataSets = sim::generateDataSets(2, 200, 0, 1);
    auto unit = sim::PtyUnit::start(o);
    const std::string first = unit->slavePath();
    {
        const int fd = ::open(link().c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::ioctl(fd, TIOCEXCL), 0);
        ASSERT_EQ(::write(fd, "F", 1), 1);
        pollfd p{fd, POLLIN, 0};
        ASSERT_EQ(::poll(&p, 1, 10000), 1);
        ::close(fd); // as a kill leaves it: still exclusive
    }
    if (::geteuid() != 0) { // root opens an exclusive tty all the same
        EXPECT_TRUE(unit->waitForNewPty(first, 20s));
    }
    EXPECT_EQ(fs::read_symlink(link()), unit->slavePath());
    LineClient line(link());
    const std::string rest = line.readUntil('>', std::chrono::seconds(30));
    ASSERT_FALSE(rest.empty());
    EXPECT_EQ(rest.back(), '>');
    line.send("R");
    EXPECT_EQ(line.readUntil('>'), "\r\nXRQ S/N #XRQ10472>");
}

TEST_F(PtyUnitTest, LinkPlaceRules) {
    // A link left by a killed simulator (its pty gone) is taken over.
    fs::create_directories(fs::path(link()).parent_path());
    fs::create_symlink("/dev/pts/999999", link());
    auto unit = sim::PtyUnit::start(options());
    EXPECT_EQ(fs::read_symlink(link()), unit->slavePath());

    // A live link (another unit, a real adapter) or a plain file is never replaced.
    std::string error;
    try {
        sim::PtyUnit::start(options());
    } catch (const std::runtime_error& e) {
        error = e.what();
    }
    EXPECT_NE(error.find("already points at " + unit->slavePath()), std::string::npos) << error;
    EXPECT_EQ(fs::read_symlink(link()), unit->slavePath());
    std::ofstream(link("ports/COM4")) << "mine";
    auto o4 = options();
    o4.linkPath = link("ports/COM4");
    EXPECT_THROW(sim::PtyUnit::start(o4), std::runtime_error);
    EXPECT_TRUE(fs::is_regular_file(link("ports/COM4")));

    // Someone replaced our link meanwhile: stopping leaves theirs alone.
    fs::remove(link());
    fs::create_symlink("/dev/null", link());
    unit->stop();
    EXPECT_EQ(fs::read_symlink(link()), "/dev/null");
}

TEST_F(PtyUnitTest, PacesTheOutputAtTheBaudRate) {
    auto o = options();
    o.baud = 9600; // 960 bytes/s
    o.rawDownload = std::string(959, 'x') + ">";
    auto unit = sim::PtyUnit::start(o);
    LineClient line(link());
    auto t0 = Steady::now();
    std::string dl = downloadOf(line);
    auto took = Steady::now() - t0;
    EXPECT_EQ(dl.size(), 960u);
    // A lower bound only: a loaded machine may be slower, never faster.
    EXPECT_GE(took, 800ms);
}

TEST_F(PtyUnitTest, LongUnpacedDownloadArrivesWhole) {
    auto o = options();
    o.dataSets = sim::generateDataSets(20, 500);
    o.chunkBytes = 1000;
    auto unit = sim::PtyUnit::start(o);
    LineClient line(link());
    std::string dl = downloadOf(line);
    ASSERT_FALSE(dl.empty());
    EXPECT_EQ(dl.back(), '>');
    // Four lines before the sets; per set its header, records and a blank line.
    EXPECT_EQ(std::count(dl.begin(), dl.end(), '\n'), 4 + 20 * 502);
    ASSERT_TRUE(unit->waitUntilIdle(10s)); // the count follows each write's return
    EXPECT_EQ(unit->bytesSent(), dl.size());
}

TEST_F(PtyUnitTest, DownloadFallsSilentAfterNBytes) {
    auto o = options();
    o.dataSets = sim::generateDataSets(2, 50);
    o.faults.silentAfterBytes = 300;
    auto unit = sim::PtyUnit::start(o);
    LineClient line(link());
    line.send("F");
    std::string dl = line.readCount(300);
    ASSERT_TRUE(unit->waitUntilIdle(10s));
    dl += line.readAvailable(); // everything sent is in the pty now
    EXPECT_EQ(dl.size(), 300u);
    EXPECT_EQ(dl.find('>'), std::string::npos);
    // The unit itself lives on and answers the next command.
    line.send("!");
    EXPECT_EQ(line.readUntil('>'), "\r\n>");
}

TEST_F(PtyUnitTest, DownloadPausesAtAByte) {
    auto o = options();
    o.rawDownload = std::string(200, 'x') + ">";
    o.faults.pauseAtByte = 100;
    o.faults.pauseMs = 600;
    auto unit = sim::PtyUnit::start(o);
    LineClient line(link());
    line.send("F");
    std::string first = line.readCount(100);
    auto t0 = Steady::now();
    std::string rest = line.readUntil('>');
    EXPECT_GE(Steady::now() - t0, 400ms);
    EXPECT_EQ(first.size() + rest.size(), 201u);
    EXPECT_EQ(first.size(), 100u);
}

TEST_F(PtyUnitTest, HangUpClosesThePtyAndRemovesTheLink) {
    auto o = options();
    o.dataSets = sim::generateDataSets(2, 50);
    o.faults.hangUpAfterBytes = 250;
    auto unit = sim::PtyUnit::start(o);
    LineClient line(link());
    line.send("F");
    std::string dl = line.readCount(1000);
    EXPECT_TRUE(line.waitForHangUp());
    EXPECT_EQ(dl.size(), 250u);
    EXPECT_TRUE(unit->waitUntilStopped(10s));
    EXPECT_TRUE(unit->hungUp());
    EXPECT_FALSE(fs::exists(fs::symlink_status(link())));
    unit->stop();
}

TEST_F(PtyUnitTest, FaultsCanChangeWhileRunning) {
    auto unit = sim::PtyUnit::start(options());
    LineClient line(link());
    sim::FaultOptions f;
    f.ignoredCommands = "R";
    unit->setFaults(f);
    line.send("R!");
    EXPECT_EQ(line.readUntil('>'), "\r\n>"); // only the "!" was answered
    unit->setFaults({});
    line.send("R");
    EXPECT_EQ(line.readUntil('>'), "\r\nXRQ S/N #XRQ10472>");
}

TEST_F(PtyUnitTest, StateSurvivesARestart) {
    auto o = options();
    o.stateFile = link("state.txt");
    o.dataSets = sim::generateDataSets(2, 5);
    o.serialNumber = "FIRST001";
    {
        auto unit = sim::PtyUnit::start(o);
        LineClient line(link());
        line.send("S");
        line.readUntil('>');
        line.send("20-01-02 03:04:05*");
        line.readUntil('~');
        line.send("C");
        line.readUntil('?');
        line.send("Y");
        line.readUntil('>');
        EXPECT_EQ(unit->clockSetCount(), 1);
    }
    o.serialNumber = "SECOND02";
    o.dataSets = sim::generateDataSets(3, 5);
    auto unit = sim::PtyUnit::start(o);
    EXPECT_EQ(unit->serialNumber(), "FIRST001");
    EXPECT_TRUE(unit->memory().empty());
    EXPECT_EQ(unit->unitClockText().substr(0, 5), "20-01");
}

TEST_F(PtyUnitTest, RefusesToStartWhatCannotWorkAndLeavesNothingBehind) {
    auto o = options();
    o.serialNumber = "AB>12"; // would end the serial-number reply early
    EXPECT_THROW(sim::PtyUnit::start(o), std::runtime_error);
    o = options();
    o.stateFile = link("no/such/folder/state.txt"); // every change would be lost
    EXPECT_THROW(sim::PtyUnit::start(o), std::runtime_error);
    EXPECT_FALSE(fs::exists(fs::symlink_status(link())));
}

// The program as the operator runs it.
TEST_F(PtyUnitTest, ProgramLinksAnswersAndCleansUpOnSigterm) {
    QProcess sim;
    sim.setProgram(XRQ_BIN_DIR "/xrq-unit-sim");
    sim.setArguments({"--link", QString::fromStdString(link()), "--serial", "AB12", "--empty"});
    sim.start();
    ASSERT_TRUE(sim.waitForStarted(10000));
    // It prints its port once the link exists.
    ASSERT_TRUE(sim.waitForReadyRead(30000));
    std::string out = sim.readAllStandardOutput().toStdString();
    EXPECT_NE(out.find("link:   " + link()), std::string::npos) << out;
    ASSERT_TRUE(fs::is_symlink(link()));
    {
        LineClient line(link());
        line.send("R");
        EXPECT_EQ(line.readUntil('>'), "\r\nXRQ S/N #AB12>");
    }
    sim.terminate(); // SIGTERM
    ASSERT_TRUE(sim.waitForFinished(30000));
    EXPECT_EQ(sim.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(sim.exitCode(), 0);
    EXPECT_FALSE(fs::exists(fs::symlink_status(link())));
}

TEST_F(PtyUnitTest, ProgramTakesThePortFromTheSavedSettings) {
    std::string folder = m_dir.path().toStdString() + "/";
    struct Case {
        std::string ini;
        int port;
    } cases[] = {
        {"[Serial]\r\nPort=5\r\n", 5},
        {"[data]\nport=9\n[SERIAL]\n  PORT = 0x0C \n", 12}, // names in any case, hex
        {"[Serial]\nPort=5abc\n", 1},                       // not a number: the default
        {"[Serial]\nPort=300\n", 1},
        {"[Other]\nPort=4\n", 1},
    };
    for (const Case& c : cases) {
        std::ofstream(folder + "XRQ.ini", std::ios::binary) << c.ini;
        QProcess sim;
        sim.setProgram(XRQ_BIN_DIR "/xrq-unit-sim");
        sim.setArguments({"--folder", QString::fromStdString(folder), "--port", "settings"});
        sim.start();
        ASSERT_TRUE(sim.waitForReadyRead(30000)) << c.ini;
        std::string com = "COM" + std::to_string(c.port);
        EXPECT_NE(sim.readAllStandardOutput().indexOf(("XRQ unit on " + com).c_str()), -1) << c.ini;
        EXPECT_TRUE(fs::is_symlink(folder + "ports/" + com)) << c.ini;
        sim.terminate();
        ASSERT_TRUE(sim.waitForFinished(30000));
        EXPECT_FALSE(fs::exists(fs::symlink_status(folder + "ports/" + com)));
        std::ifstream in(folder + "XRQ.ini", std::ios::binary);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), c.ini)
            << "the settings are only read";
    }
}

TEST_F(PtyUnitTest, ProgramRefusesABadOption) {
    QProcess sim;
    sim.setProgram(XRQ_BIN_DIR "/xrq-unit-sim");
    sim.setArguments({"--link", QString::fromStdString(link()), "--baud", "fast"});
    sim.start();
    ASSERT_TRUE(sim.waitForFinished(30000));
    EXPECT_EQ(sim.exitCode(), 2);
    EXPECT_NE(sim.readAllStandardError().indexOf("--baud wants"), -1);
    EXPECT_FALSE(fs::exists(fs::symlink_status(link())));
}

// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/dos_devices.h"
#include "support/fake_device_tree.h"
#include "support/pty_pair.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

using testsupport::FakeDeviceTree;
using testsupport::PtyPair;

namespace {

struct Answer {
    win::DWORD count;
    win::DWORD error;
    std::string target; // first run
};

Answer query(const char* name, win::DWORD size = 200) {
    std::string buf(size, '\x7f');
    win::SetLastError(0);
    win::DWORD n = win::QueryDosDeviceA(name, buf.data(), size);
    return {n, win::GetLastError(), n ? std::string(buf.c_str()) : std::string()};
}

std::vector<std::string> runs(const char* buf, win::DWORD n) {
    std::vector<std::string> out;
    std::string cur;
    for (win::DWORD i = 0; i < n; ++i) {
        if (buf[i] == '\0') {
            out.push_back(cur);
            cur.clear();
        } else {
            cur += buf[i];
        }
    }
    return out;
}

} // namespace

TEST(PortsQuery, ExistingMissingAndUnusableEntries) {
    FakeDeviceTree tree;
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    pty.linkAs(tree.ports(), 5);
    ::symlink((tree.ports() + "/nowhere").c_str(), (tree.ports() + "/COM6").c_str());
    std::ofstream(tree.ports() + "/plain") << "x";
    ::symlink((tree.ports() + "/plain").c_str(), (tree.ports() + "/COM7").c_str());

    Answer a = query("COM5");
    EXPECT_EQ(a.target, pty.slavePath());
    EXPECT_EQ(a.count, pty.slavePath().size() + 2) << "one run plus the closing NUL";

    for (const char* missing : {"COM6", "COM7", "COM8", "COM257", "COM0", "LPT1", ""}) {
        Answer m = query(missing);
        EXPECT_EQ(m.count, 0u) << missing;
        EXPECT_EQ(m.error, win::ERROR_FILE_NOT_FOUND) << missing;
    }

    Answer tight = query("COM5", static_cast<win::DWORD>(pty.slavePath().size() + 1));
    EXPECT_EQ(tight.count, 0u);
    EXPECT_EQ(tight.error, win::ERROR_INSUFFICIENT_BUFFER);
}

TEST(PortsQuery, HeldPortIsRefusedAndTheHolderKeepsItsPort) {
    FakeDeviceTree tree;
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    pty.linkAs(tree.ports(), 12);
    int holder = ::open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);

    for (int i = 0; i < 3; ++i) {
        Answer a = query("COM12");
        EXPECT_EQ(a.count, 0u);
        EXPECT_EQ(a.error, win::ERROR_ACCESS_DENIED);
    }
    // The holder still has its lock and its data path.
    int other = ::open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(other, 0);
    EXPECT_NE(::flock(other, LOCK_EX | LOCK_NB), 0);
    ::close(other);
    ASSERT_TRUE(pty.writeMaster("ping"));
    pollfd p{holder, POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 10000), 1);
    char buf[8] = {};
    EXPECT_EQ(::read(holder, buf, sizeof buf), 4);

    ::close(holder);
    EXPECT_EQ(query("COM12").target, pty.slavePath()) << "free again once the holder closed";
}

TEST(PortsQuery, ProbeLeavesNoExclusiveModeBehind) {
    FakeDeviceTree tree;
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    pty.linkAs(tree.ports(), 3);
    int keep = ::open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(keep, 0);
    ASSERT_NE(query("COM3").count, 0u);
    int excl = -1;
    ASSERT_EQ(::ioctl(keep, TIOCGEXCL, &excl), 0);
    EXPECT_EQ(excl, 0);
    ::close(keep);
}

TEST(PortsQuery, PhantomSerialPortsDoNotExist) {
    FakeDeviceTree tree;
    PtyPair a, b, c;
    ASSERT_TRUE(a.ok() && b.ok() && c.ok());
    tree.linkDevice("ttyS0", a.slavePath());
    tree.addSysfsTty("ttyS0", true, 0); // unknown UART: phantom
    tree.linkDevice("ttyS1", b.slavePath());
    tree.addSysfsTty("ttyS1", true, 4); // 16550A
    tree.linkDevice("ttyUSB2", c.slavePath());
    tree.addSysfsTty("ttyUSB2", true);

    EXPECT_EQ(query("COM1").error, win::ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(query("COM2").target, b.slavePath());
    EXPECT_EQ(query("COM35").target, c.slavePath());
    // Reached through a port-folder link the phantom is still a phantom.
    ::symlink((tree.dev() + "/ttyS0").c_str(), (tree.ports() + "/COM100").c_str());
    EXPECT_EQ(query("COM100").error, win::ERROR_FILE_NOT_FOUND);
}

TEST(PortsQuery, AllNamesListsComPortsThenSerialTtysOnce) {
    FakeDeviceTree tree;
    PtyPair s0, s1, usb, held, extra;
    ASSERT_TRUE(s0.ok() && s1.ok() && usb.ok() && held.ok() && extra.ok());
    tree.linkDevice("ttyS0", s0.slavePath());
    tree.addSysfsTty("ttyS0", true, 0);
    tree.linkDevice("ttyS1", s1.slavePath());
    tree.addSysfsTty("ttyS1", true, 4);
    tree.linkDevice("ttyUSB0", usb.slavePath());
    tree.addSysfsTty("ttyUSB0", true);
    tree.addSysfsTty("tty3", false);   // a virtual console: no backing device
    tree.addSysfsTty("ttyUSB9", true); // sysfs knows it, the device folder has no node
    held.linkAs(tree.ports(), 97);
    extra.linkAs(tree.ports(), 5);
    int holder = ::open(held.slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);

    std::vector<char> buf(65535);
    win::DWORD n = win::QueryDosDeviceA(nullptr, buf.data(), 65535);
    ASSERT_GT(n, 1u);
    EXPECT_EQ(buf[n - 1], '\0');
    EXPECT_EQ(buf[n - 2], '\0') << "ended by an extra NUL";
    std::vector<std::string> expected{"COM2", "COM5", "COM33", "COM97", "ttyS1", "ttyUSB0", ""};
    EXPECT_EQ(runs(buf.data(), n), expected);

    win::SetLastError(0);
    EXPECT_EQ(win::QueryDosDeviceA(nullptr, buf.data(), 10), 0u);
    EXPECT_EQ(win::GetLastError(), win::ERROR_INSUFFICIENT_BUFFER);
    ::close(holder);
}

TEST(PortsQuery, DevicesMapBackToTheirComNumbers) {
    FakeDeviceTree tree;
    PtyPair usb, acm, sim;
    ASSERT_TRUE(usb.ok() && acm.ok() && sim.ok());
    std::string usbNode = tree.linkDevice("ttyUSB1", usb.slavePath());
    tree.linkDevice("ttyACM0", acm.slavePath());
    sim.linkAs(tree.ports(), 150);
    const platform::PortTable t = tree.table();

    EXPECT_EQ(platform::comNumberForDevice(t, usbNode), 34);
    EXPECT_EQ(platform::comNumberForDevice(t, acm.slavePath()), 65);
    EXPECT_EQ(platform::comNumberForDevice(t, sim.slavePath()), 150);
    // An operator's entry for the same device wins over the default number.
    ::symlink(usbNode.c_str(), (tree.ports() + "/COM200").c_str());
    EXPECT_EQ(platform::comNumberForDevice(t, usb.slavePath()), 200);
    EXPECT_EQ(platform::comNumberForDevice(t, tree.dev() + "/none"), std::nullopt);

    struct Case {
        const char* tty;
        std::optional<int> n;
    } cases[] = {{"ttyS0", 1},     {"ttyS31", 32},   {"ttyS32", std::nullopt},  {"ttyUSB0", 33},
                 {"ttyUSB1", 200}, {"ttyACM31", 96}, {"ttyAMA0", std::nullopt}, {"", std::nullopt}};
    for (const auto& c : cases)
        EXPECT_EQ(platform::comNumberForTtyName(t, c.tty), c.n) << c.tty;
    // A folder entry COM1 that is some other device hides ttyS0's default number.
    sim.linkAs(tree.ports(), 1);
    EXPECT_EQ(platform::comNumberForTtyName(t, "ttyS0"), std::nullopt);
}

TEST(PortsQuery, NaturalOrderOfDeviceNames) {
    std::vector<std::string> names{"ttyUSB10", "ttyS10", "ttyS2", "ttyUSB1", "ttyS0", "ttyACM0"};
    std::sort(names.begin(), names.end(), platform::naturalLess);
    std::vector<std::string> expected{"ttyACM0", "ttyS0", "ttyS2", "ttyS10", "ttyUSB1", "ttyUSB10"};
    EXPECT_EQ(names, expected);
}

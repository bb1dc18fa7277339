// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/default_comm_config.h"
#include "support/fake_device_tree.h"
#include "support/pty_pair.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

using testsupport::FakeDeviceTree;
using testsupport::PtyPair;

namespace {

// The kernel's settings of the slave, seen through a descriptor of our own.
struct Slave {
    int fd;
    explicit Slave(const std::string& path)
        : fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)) {}
    ~Slave() {
        if (fd >= 0)
            ::close(fd);
    }
    termios get() const {
        termios t{};
        tcgetattr(fd, &t);
        return t;
    }
    void set(const termios& t) const { tcsetattr(fd, TCSANOW, &t); }
};

win::COMMCONFIG read(const char* name) {
    win::COMMCONFIG cc{};
    win::DWORD size = sizeof cc;
    EXPECT_TRUE(win::GetDefaultCommConfigA(name, &cc, &size)) << name << " " << win::GetLastError();
    EXPECT_EQ(size, 52u);
    return cc;
}

} // namespace

TEST(DefaultCommConfig, ReadsWhatTheKernelKeepsForThePort) {
    FakeDeviceTree tree;
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    pty.linkAs(tree.ports(), 9);
    Slave slave(pty.slavePath());
    ASSERT_GE(slave.fd, 0);
    termios t = slave.get();
    cfsetspeed(&t, B9600);
    t.c_cflag |= CSTOPB; // a pty keeps 8 data bits and no parity whatever is asked
    t.c_iflag |= IXON;
    t.c_iflag &= ~IXOFF;
    slave.set(t);

    for (const char* name : {"COM9", "\\\\.\\COM9"}) {
        win::COMMCONFIG cc = read(name);
        EXPECT_EQ(cc.dwSize, 52u);
        EXPECT_EQ(cc.dcb.DCBlength, 28u);
        EXPECT_EQ(cc.dcb.BaudRate, 9600u);
        EXPECT_EQ(cc.dcb.ByteSize, 8);
        EXPECT_EQ(cc.dcb.Parity, win::NOPARITY);
        EXPECT_EQ(cc.dcb.StopBits, win::TWOSTOPBITS);
        EXPECT_TRUE(cc.dcb.Flags & win::DCB_fOutX);
        EXPECT_FALSE(cc.dcb.Flags & win::DCB_fInX);
        EXPECT_EQ(cc.dcb.XonChar, 0x11);
        EXPECT_EQ(cc.dcb.XoffChar, 0x13);
    }
    EXPECT_EQ(read(pty.slavePath().c_str()).dcb.BaudRate, 9600u) << "a path works as well";
}

TEST(DefaultCommConfig, WritesTheKernelSettingsAndReadsThemBack) {
    FakeDeviceTree tree;
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    pty.linkAs(tree.ports(), 9);
    win::COMMCONFIG cc = read("COM9");
    cc.dcb.BaudRate = 57600;
    cc.dcb.ByteSize = 8;
    cc.dcb.Parity = win::NOPARITY;
    cc.dcb.StopBits = win::ONESTOPBIT;
    cc.dcb.Flags |= win::DCB_fOutX | win::DCB_fInX;
    ASSERT_TRUE(win::SetDefaultCommConfigA("COM9", &cc, sizeof cc)) << win::GetLastError();

    Slave slave(pty.slavePath());
    termios t = slave.get();
    EXPECT_EQ(read("COM9").dcb.BaudRate, 57600u);
    EXPECT_EQ(t.c_cflag & CSIZE, tcflag_t(CS8));
    EXPECT_FALSE(t.c_cflag & PARENB);
    EXPECT_FALSE(t.c_cflag & CSTOPB);
    EXPECT_TRUE((t.c_iflag & IXON) && (t.c_iflag & IXOFF));

    cc.dcb.BaudRate = 31250; // no classic code: carried as a free rate
    ASSERT_TRUE(win::SetDefaultCommConfigA("COM9", &cc, sizeof cc));
    EXPECT_EQ(read("COM9").dcb.BaudRate, 31250u);

    // What the device does not take is refused, and the half-taken rate is put back.
    cc.dcb.BaudRate = 4800;
    cc.dcb.ByteSize = 7;
    cc.dcb.Parity = win::EVENPARITY;
    EXPECT_FALSE(win::SetDefaultCommConfigA("COM9", &cc, sizeof cc));
    EXPECT_EQ(win::GetLastError(), win::ERROR_INVALID_PARAMETER);
    EXPECT_EQ(read("COM9").dcb.BaudRate, 31250u);
}

TEST(DefaultCommConfig, FailuresCarryTheirCodesAndChangeNothing) {
    FakeDeviceTree tree;
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    pty.linkAs(tree.ports(), 9);
    win::COMMCONFIG good = read("COM9");
    win::COMMCONFIG cc{};
    win::DWORD size = 51;

    EXPECT_FALSE(win::GetDefaultCommConfigA("COM9", &cc, &size));
    EXPECT_EQ(win::GetLastError(), win::ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(size, 52u);
    for (const char* unknown : {"COM77", "COM0", "NUL", "", "/nonexistent/tty"}) {
        size = sizeof cc;
        EXPECT_FALSE(win::GetDefaultCommConfigA(unknown, &cc, &size)) << unknown;
        EXPECT_EQ(win::GetLastError(), win::ERROR_FILE_NOT_FOUND) << unknown;
        EXPECT_FALSE(win::SetDefaultCommConfigA(unknown, &good, sizeof good)) << unknown;
    }
    EXPECT_FALSE(win::GetDefaultCommConfigA(nullptr, &cc, &size));
    EXPECT_EQ(win::GetLastError(), win::ERROR_INVALID_PARAMETER);

    win::COMMCONFIG bad = good;
    bad.dcb.ByteSize = 9;
    EXPECT_FALSE(win::SetDefaultCommConfigA("COM9", &bad, sizeof bad));
    EXPECT_EQ(win::GetLastError(), win::ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(win::SetDefaultCommConfigA("COM9", &good, 20));
    EXPECT_EQ(win::GetLastError(), win::ERROR_INVALID_PARAMETER);

    // Another program holds the port: reading is harmless, writing would change its live line.
    Slave holder(pty.slavePath());
    ASSERT_EQ(::flock(holder.fd, LOCK_EX | LOCK_NB), 0);
    win::COMMCONFIG other = read("COM9");
    const win::DWORD rateBefore = other.dcb.BaudRate;
    other.dcb.BaudRate = other.dcb.BaudRate == 1200 ? 2400 : 1200;
    EXPECT_FALSE(win::SetDefaultCommConfigA("COM9", &other, sizeof other));
    EXPECT_EQ(win::GetLastError(), win::ERROR_ACCESS_DENIED);
    EXPECT_EQ(read("COM9").dcb.BaudRate, rateBefore);
}

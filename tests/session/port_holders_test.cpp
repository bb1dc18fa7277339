// SPDX-License-Identifier: GPL-3.0-or-later
// Who holds a port is found without opening it: other processes' descriptors (programs that
// take no lock), locks, UUCP lock files. Listing and refreshing open nothing; the session's
// own open refuses a port someone else holds.
#include "session_fixture.h"

#include "comport/Comport.h"
#include "platform/dos_devices.h"
#include "support/child_process.h"

#include <QComboBox>

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <fstream>

namespace {

using sessiontest::SessionFixture;
using Holders = SessionFixture;

// Watches a node for opens: every open of the device shows as an IN_OPEN event.
class OpenWatch {
public:
    explicit OpenWatch(const std::string& path) {
        m_fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (m_fd < 0 || ::inotify_add_watch(m_fd, path.c_str(), IN_OPEN) < 0)
            ADD_FAILURE() << "cannot watch " << path;
    }
    ~OpenWatch() { ::close(m_fd); }
    // True when an open came within `ms` (consumes what is queued).
    bool opened(int ms) {
        pollfd p{m_fd, POLLIN, 0};
        if (::poll(&p, 1, ms) <= 0)
            return false;
        char buf[4096];
        while (::read(m_fd, buf, sizeof buf) > 0) {
        }
        return true;
    }

private:
    int m_fd = -1;
};

std::vector<std::string> entries(QComboBox& combo) {
    std::vector<std::string> out;
    for (int i = 0; i < combo.count(); ++i)
        out.push_back(combo.itemText(i).toStdString());
    return out;
}

TEST_F(Holders, APortAnotherProgramHoldsWithoutALockIsInUseAndNotOpened) {
    ASSERT_TRUE(pty.ok());
    pty.linkAs(tree.ports(), sessiontest::kPort);
    OpenWatch watch(pty.slavePath());
    // A shell redirect, as a script that talks to the port would do: no lock, no TIOCEXCL.
    testsupport::ChildProcess holder("/bin/sh", {"-c", "exec sleep 60 <>" + pty.slavePath()});
    ASSERT_TRUE(holder.started());
    ASSERT_TRUE(watch.opened(10000)) << "the holder did not open the port";

    QComboBox combo;
    form->ListComPorts(&combo);
    EXPECT_EQ(entries(combo), std::vector<std::string>{"COM5 *"});
    EXPECT_EQ(form->iProbePort(sessiontest::kPort), 1);
    EXPECT_EQ(form->iOpenPort(), 1);
    EXPECT_FALSE(form->PortOpen);
    EXPECT_FALSE(form->SerialCom->Active());
    ASSERT_FALSE(dialogs.shown.empty());
    EXPECT_EQ(lastBox().rfind("Unable to open COM5. Port in use.", 0), 0u) << lastBox();
    EXPECT_FALSE(watch.opened(0)) << "the port was opened although another program holds it";
}

TEST_F(Holders, ListingAndRefreshingOpenNoDeviceButTheSessionsOwnOpenDoes) {
    ASSERT_TRUE(pty.ok());
    pty.linkAs(tree.ports(), sessiontest::kPort);
    OpenWatch watch(pty.slavePath());
    QComboBox combo;
    form->ComPortNumber = 99;
    ASSERT_EQ(form->iRefreshComPorts(&combo), 0);
    EXPECT_EQ(form->ComPortNumber, sessiontest::kPort);
    std::string device;
    form->UseSelectedComPort(&combo, device);
    char target[200];
    EXPECT_GT(win::QueryDosDeviceA("COM5", target, sizeof target), 0u);
    EXPECT_FALSE(watch.opened(200)) << "listing opened the device";

    ASSERT_EQ(form->iOpenPort(), 0) << lastBox();
    EXPECT_TRUE(watch.opened(0));
    // The session's own open is what the list calls connected.
    form->ListComPorts(&combo);
    EXPECT_EQ(entries(combo), std::vector<std::string>{"COM5 (connected)"});
}

TEST_F(Holders, UucpLockFilesCountWhileTheirProcessLives) {
    ASSERT_TRUE(pty.ok());
    QTemporaryDir locks;
    const platform::PortTable table(tree.dev(), tree.sys(), tree.ports(),
                                    locks.path().toStdString());
    const std::string node = pty.slavePath();
    const std::string lockFile =
        locks.path().toStdString() + "/LCK.." + node.substr(node.find_last_of('/') + 1);
    EXPECT_FALSE(platform::heldByAnother(node, table));
    std::ofstream(lockFile) << "      " << ::getpid() << "\n"; // HDB style: ten columns
    EXPECT_TRUE(platform::heldByAnother(node, table));
    EXPECT_EQ(platform::probeDevice(node, table).state, platform::DeviceState::InUse);
    std::ofstream(lockFile, std::ios::trunc) << "2147483646\n"; // no such process
    EXPECT_FALSE(platform::heldByAnother(node, table));
}

} // namespace

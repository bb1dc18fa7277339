// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/exception_guard.h"
#include "platform/hotplug_watcher.h"
#include "support/exception_boxes.h"
#include "support/fake_device_tree.h"
#include "support/pty_pair.h"
#include "support/wait.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <set>
#include <stdexcept>

using platform::HotplugWatcher;
using testsupport::FakeDeviceTree;
using testsupport::PtyPair;

namespace {

struct Seen {
    win::UINT msg;
    win::WPARAM event;
    win::DWORD deviceType;
    win::DWORD size;
    std::u16string name;
};

// Records every message the watcher hands over, as the serial form would read it.
struct Recorder {
    std::vector<Seen> seen;
    void attach(HotplugWatcher& w) {
        w.setHandler([this](win::TMessage& m) {
            m.Result = 1;
            auto* hdr = reinterpret_cast<const win::DEV_BROADCAST_HDR*>(m.LParam);
            auto* port = reinterpret_cast<const win::DEV_BROADCAST_PORTW*>(m.LParam);
            seen.push_back({m.Msg, m.WParam, hdr->dbch_devicetype, port->dbcp_size,
                            std::u16string(port->dbcp_name)});
        });
    }
};

// Runs the event loop until `count` messages have been seen or a generous deadline passed.
bool waitForCount(HotplugWatcher&, const Recorder& r, std::size_t count, int deadlineMs = 20000) {
    return testsupport::waitUntil([&] { return r.seen.size() >= count; }, deadlineMs);
}

constexpr win::WPARAM kArrival = win::DBT_DEVICEARRIVAL;
constexpr win::WPARAM kRemoval = win::DBT_DEVICEREMOVECOMPLETE;

} // namespace

TEST(HotplugWatcher, PortFolderLinksArriveAndLeaveAsDeviceChangeMessages) {
    FakeDeviceTree tree;
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    HotplugWatcher watcher(tree.table());
    ASSERT_TRUE(watcher.watchingPortFolder());
    Recorder rec;
    rec.attach(watcher);

    // Entries that are not port names are ignored.
    std::FILE* f = std::fopen((tree.ports() + "/notes.txt").c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
    ::symlink(pty.slavePath().c_str(), (tree.ports() + "/COM01").c_str());

    std::string link = pty.linkAs(tree.ports(), 97);
    ASSERT_TRUE(waitForCount(watcher, rec, 1));
    EXPECT_EQ(rec.seen[0].msg, win::WM_DEVICECHANGE);
    EXPECT_EQ(rec.seen[0].event, kArrival);
    EXPECT_EQ(rec.seen[0].deviceType, win::DBT_DEVTYP_PORT);
    EXPECT_EQ(rec.seen[0].name, u"COM97");
    EXPECT_EQ(rec.seen[0].size, 12u + 6 * 2) << "header plus the name and its NUL";

    std::filesystem::rename(link, tree.ports() + "/COM128");
    ASSERT_TRUE(waitForCount(watcher, rec, 3));
    EXPECT_EQ(rec.seen[1].event, kRemoval);
    EXPECT_EQ(rec.seen[1].name, u"COM97");
    EXPECT_EQ(rec.seen[2].event, kArrival);
    EXPECT_EQ(rec.seen[2].name, u"COM128");

    std::filesystem::remove(tree.ports() + "/COM128");
    ASSERT_TRUE(waitForCount(watcher, rec, 4));
    EXPECT_EQ(rec.seen[3].event, kRemoval);
    EXPECT_EQ(rec.seen[3].name, u"COM128");
    EXPECT_EQ(rec.seen.size(), 4u);
}

TEST(HotplugWatcher, PortFolderMadeLaterIsPickedUp) {
    FakeDeviceTree tree;
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    const std::string folder = tree.dev() + "/../later/ports";
    std::filesystem::create_directories(tree.dev() + "/../later");
    HotplugWatcher watcher(platform::PortTable(tree.dev(), tree.sys(), folder + "/"));
    EXPECT_FALSE(watcher.watchingPortFolder());
    Recorder rec;
    rec.attach(watcher);

    std::filesystem::create_directory(folder);
    pty.linkAs(folder, 7);
    ASSERT_TRUE(waitForCount(watcher, rec, 1));
    EXPECT_TRUE(watcher.watchingPortFolder());
    EXPECT_EQ(rec.seen[0].event, kArrival);
    EXPECT_EQ(rec.seen[0].name, u"COM7");
}

TEST(HotplugWatcher, KernelTtyEventsAskForARescanThatAnnouncesComNumbers) {
    FakeDeviceTree tree;
    PtyPair pty;
    PtyPair other;
    ASSERT_TRUE(pty.ok() && other.ok());
    // The operator's COM120 names ttyUSB5; ttyUSB5's default COM38 is not announced then.
    ::symlink((tree.dev() + "/ttyUSB5").c_str(), (tree.ports() + "/COM120").c_str());
    HotplugWatcher watcher(tree.table(), nullptr, 50);
    Recorder rec;
    rec.attach(watcher);

    auto feed = [&](std::string text) { watcher.handleKernelDatagram(text.data(), text.size()); };
    using namespace std::string_literals;
    tree.linkDevice("ttyUSB3", pty.slavePath());
    tree.linkDevice("ttyUSB5", other.slavePath());
    feed("add@/devices/pci0/usb1/1-1/1-1:1.0/ttyUSB3/tty/ttyUSB3\0ACTION=add\0DEVPATH=/x\0"
         "SUBSYSTEM=tty\0MAJOR=188\0MINOR=3\0DEVNAME=ttyUSB3\0SEQNUM=4711\0"s);
    ASSERT_TRUE(waitForCount(watcher, rec, 2));
    EXPECT_EQ(rec.seen[0].event, kArrival);
    EXPECT_EQ(rec.seen[0].name, u"COM36");
    EXPECT_EQ(rec.seen[1].event, kArrival);
    EXPECT_EQ(rec.seen[1].name, u"COM120");

    // The device goes without a change in any watched folder (its link dangles): only the
    // kernel's event tells. Other subsystems, other actions and udev's re-sent datagrams
    // ask for nothing.
    other.vanish();
    feed("add@/devices/x/1-1\0ACTION=add\0SUBSYSTEM=usb\0DEVNAME=bus/usb/001/002\0"s);
    feed("change@/devices/x/ttyUSB3\0ACTION=change\0SUBSYSTEM=tty\0DEVNAME=ttyUSB3\0"s);
    feed("libudev\0\xfe\xed\xca\xfe ACTION=add\0SUBSYSTEM=tty\0DEVNAME=ttyUSB0\0"s);
    feed(""s);
    EXPECT_FALSE(waitForCount(watcher, rec, 3, 600)) << "a rescan without a tty event";

    // One burst of events, one rescan: the removal of a link's target is announced under
    // the port folder's number, once.
    feed("remove@/devices/x/ttyUSB5\0ACTION=remove\0SUBSYSTEM=tty\0DEVNAME=/dev/ttyUSB5\0"s);
    feed("remove@/devices/x/ttyUSB5\0ACTION=remove\0SUBSYSTEM=tty\0DEVNAME=/dev/ttyUSB5\0"s);
    ASSERT_TRUE(waitForCount(watcher, rec, 3));
    EXPECT_FALSE(waitForCount(watcher, rec, 4, 600));
    EXPECT_EQ(rec.seen[2].event, kRemoval);
    EXPECT_EQ(rec.seen[2].name, u"COM120");
}

TEST(HotplugWatcher, TwoLevelLinksAreAnnouncedUnderThePortFolderNumberOnceEach) {
    // port folder COM9 -> <dev>/serial/by-id/usb-XRQ -> pty, as udev's by-id link does it:
    // the operator's link stays, udev's link comes and goes with the adapter.
    FakeDeviceTree tree;
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    const std::string byId = tree.dev() + "/serial/by-id/usb-Quorvant_XRQ-if00-port0";
    std::filesystem::create_directories(tree.dev() + "/serial/by-id");
    ASSERT_EQ(::symlink(byId.c_str(), (tree.ports() + "/COM9").c_str()), 0);
    HotplugWatcher watcher(tree.table(), nullptr, 50);
    EXPECT_TRUE(watcher.announcedPorts().empty());
    Recorder rec;
    rec.attach(watcher);

    for (int round = 0; round < 2; ++round) {
        ASSERT_EQ(::symlink(pty.slavePath().c_str(), byId.c_str()), 0);
        ASSERT_TRUE(waitForCount(watcher, rec, 2 * round + 1));
        ASSERT_EQ(::unlink(byId.c_str()), 0);
        ASSERT_TRUE(waitForCount(watcher, rec, 2 * round + 2));
    }
    EXPECT_FALSE(waitForCount(watcher, rec, 5, 600));
    ASSERT_EQ(rec.seen.size(), 4u);
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(rec.seen[i].event, i % 2 == 0 ? kArrival : kRemoval) << i;
        EXPECT_EQ(rec.seen[i].name, u"COM9") << i;
    }
}

TEST(HotplugWatcher, TheSessionsOwnVanishedDeviceIsFoundByARescan) {
    // A pty that closes makes no uevent and its link stays: only the session can tell.
    FakeDeviceTree tree;
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    pty.linkAs(tree.ports(), 3);
    HotplugWatcher watcher(tree.table(), nullptr, 50);
    EXPECT_EQ(watcher.announcedPorts(), std::set<int>{3});
    Recorder rec;
    rec.attach(watcher);
    pty.vanish(); // the slave node goes with the master; the link dangles
    watcher.requestRescan();
    ASSERT_TRUE(waitForCount(watcher, rec, 1));
    EXPECT_EQ(rec.seen[0].event, kRemoval);
    EXPECT_EQ(rec.seen[0].name, u"COM3");
}

TEST(HotplugWatcher, FailingHandlerIsReportedAndLaterMessagesStillCome) {
    FakeDeviceTree tree;
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    HotplugWatcher watcher(tree.table());
    testsupport::ExceptionBoxes boxes;
    const std::vector<std::string>& reported = boxes.messages;
    int calls = 0;
    watcher.setHandler([&](win::TMessage&) {
        if (++calls == 1)
            throw std::runtime_error("handler broke");
    });
    pty.linkAs(tree.ports(), 4);
    pty.linkAs(tree.ports(), 5);
    watcher.rescan();
    EXPECT_EQ(calls, 2);
    ASSERT_EQ(reported.size(), 1u);
    EXPECT_NE(reported[0].find("handler broke"), std::string::npos);
}

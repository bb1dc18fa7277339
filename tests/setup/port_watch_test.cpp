// SPDX-License-Identifier: GPL-3.0-or-later
// Ports that come and go: device-change messages as the serial form receives them, and the
// whole road from a link made or removed in the port folder to the form's reaction, also
// while an exchange with the unit is waiting.
#include "port_folder_fixture.h"

#include "dialogs/run_log.h"
#include "platform/device_change.h"
#include "platform/hotplug_watcher.h"
#include "serial/fSerial_ports.h"

#include <QFile>
#include <QTimer>

#include <cstdio>
#include <fstream>
#include <sstream>

using dialogs::BoxKind;
using setuptest::PortFolderTest;
using setuptest::waitUntil;

namespace {

class PortWatchTest : public PortFolderTest {
protected:
    void SetUp() override {
        PortFolderTest::SetUp();
        savedLog = LogFilePath;
        LogFilePath = root() + "/XRQ_log.txt";
    }
    void TearDown() override {
        LogFilePath = savedLog;
        PortFolderTest::TearDown();
    }

    // Delivers one device-change message and returns its Result.
    win::LRESULT deliver(win::WPARAM event, const std::string& name) {
        win::PortChangeMessage message(event, name);
        serial->WMDeviceChange(message.message());
        return message.message().Result;
    }

    std::string log() const {
        std::ifstream in(LogFilePath, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

    std::string savedLog;
};

} // namespace

TEST_F(PortWatchTest, ArrivalTellsClosesTheSessionAndTakesTheNewPort) {
    serial->ComPortNumber = 3;
    serial->PortOpen = true;
    EXPECT_EQ(deliver(win::DBT_DEVICEARRIVAL, "COM7"), 1);
    EXPECT_EQ(texts(BoxKind::Info), (std::vector<std::string>{"Com port COM7 added to system!"}));
    EXPECT_FALSE(serial->PortOpen);
    EXPECT_EQ(serial->ComPortNumber, 7);
    EXPECT_NE(log().find("Comm CLOSE active (3:"), std::string::npos);

    // Closed session: no close, the port is taken all the same; "%i" reads 0x and 0 prefixes.
    EXPECT_EQ(deliver(win::DBT_DEVICEARRIVAL, "COM0x10"), 1);
    EXPECT_EQ(serial->ComPortNumber, 16);
    deliver(win::DBT_DEVICEARRIVAL, "COM010");
    EXPECT_EQ(serial->ComPortNumber, 8);
    // A name without a number: the message, nothing else.
    deliver(win::DBT_DEVICEARRIVAL, "COMx");
    EXPECT_EQ(serial->ComPortNumber, 8);
    EXPECT_EQ(texts(BoxKind::Info).back(), "Com port COMx added to system!");
    EXPECT_TRUE(texts(BoxKind::Warning).empty());
}

TEST_F(PortWatchTest, RemovalOfTheSelectedPortLeavesNoPort) {
    serial->ComPortNumber = 7;
    serial->PortOpen = true;
    EXPECT_EQ(deliver(win::DBT_DEVICEREMOVECOMPLETE, "COM7"), 1);
    EXPECT_EQ(texts(BoxKind::Info),
              (std::vector<std::string>{"Com port COM7 removed from system!"}));
    EXPECT_EQ(texts(BoxKind::Warning), (std::vector<std::string>{"Selected com port removed."}));
    EXPECT_FALSE(serial->PortOpen);
    EXPECT_EQ(serial->ComPortNumber, -1);
    // The session's close only logs: the flag was already down.
    EXPECT_NE(log().find("Comm CLOSE inactive"), std::string::npos);
    EXPECT_TRUE(texts(BoxKind::InternalError).empty());
}

TEST_F(PortWatchTest, RemovalOfAnotherPortOnlyTells) {
    serial->ComPortNumber = 3;
    serial->PortOpen = true;
    deliver(win::DBT_DEVICEREMOVECOMPLETE, "COM7");
    EXPECT_EQ(texts(BoxKind::Info),
              (std::vector<std::string>{"Com port COM7 removed from system!"}));
    EXPECT_TRUE(texts(BoxKind::Warning).empty());
    EXPECT_TRUE(serial->PortOpen);
    EXPECT_EQ(serial->ComPortNumber, 3);
}

TEST_F(PortWatchTest, OtherMessagesAreIgnoredButAnswered) {
    serial->ComPortNumber = 3;
    serial->PortOpen = true;
    EXPECT_EQ(deliver(0x0007, "COM7"), 1); // DBT_DEVNODES_CHANGED
    EXPECT_EQ(deliver(win::DBT_DEVICEARRIVAL, "LPT1"), 1);
    EXPECT_EQ(deliver(win::DBT_DEVICEARRIVAL, "com7"), 1);
    EXPECT_EQ(deliver(win::DBT_DEVICEARRIVAL, ""), 1);

    win::PortChangeMessage volume(win::DBT_DEVICEARRIVAL, "COM7");
    const_cast<win::DEV_BROADCAST_PORTW&>(volume.record()).dbcp_devicetype = 2;
    serial->WMDeviceChange(volume.message());
    EXPECT_EQ(volume.message().Result, 1);

    win::TMessage empty{win::WM_DEVICECHANGE, win::DBT_DEVICEARRIVAL, 0, 0};
    serial->WMDeviceChange(empty);
    EXPECT_EQ(empty.Result, 1);

    EXPECT_TRUE(boxes().empty());
    EXPECT_TRUE(serial->PortOpen);
    EXPECT_EQ(serial->ComPortNumber, 3);
}

TEST_F(PortWatchTest, LinksMadeAndRemovedInThePortFolderReachTheForm) {
    platform::HotplugWatcher* watcher = startComPortWatch();
    ASSERT_NE(watcher, nullptr);
    ASSERT_TRUE(watcher->watchingPortFolder());
    serial->ComPortNumber = 3;

    addPort(97);
    ASSERT_TRUE(waitUntil([&] { return !texts(BoxKind::Info).empty(); }));
    EXPECT_EQ(texts(BoxKind::Info), (std::vector<std::string>{"Com port COM97 added to system!"}));
    EXPECT_EQ(serial->ComPortNumber, 97);

    ASSERT_TRUE(QFile::remove(QString::fromStdString(portFolder() + "/COM97")));
    ASSERT_TRUE(waitUntil([&] { return !texts(BoxKind::Warning).empty(); }));
    EXPECT_EQ(texts(BoxKind::Info).back(), "Com port COM97 removed from system!");
    EXPECT_EQ(serial->ComPortNumber, -1);
    const std::string logged = log();
    EXPECT_NE(logged.find("Com port COM97 added to system!"), std::string::npos);
    EXPECT_NE(logged.find("Com port COM97 removed from system!"), std::string::npos);

    // Started once: a second call hands back the same watcher.
    EXPECT_EQ(startComPortWatch(), watcher);
}

TEST_F(PortWatchTest, RemovalDuringAWaitingExchangeEndsItWithItsTimeOut) {
    auto& unit = addPort(5);
    serial->ComPortNumber = 5;
    serial->BaudRate = 19200;
    ASSERT_EQ(serial->iOpenPort(), 0);
    ASSERT_TRUE(serial->PortOpen);
    ASSERT_NE(startComPortWatch(), nullptr);

    // The adapter is pulled while the exchange waits; the prompt that the far end still
    // sends afterwards must not be read.
    QTimer::singleShot(200, [&] { QFile::remove(QString::fromStdString(portFolder() + "/COM5")); });
    script().onBox = [&](const dialogs::BoxShown& box) {
        if (box.kind == BoxKind::Warning)
            unit.writeMaster("12.3:45.6>");
    };
    char buffer[101] = {};
    const int result = serial->iWaitForStringNUntilTermination("A", '>', 3000, buffer, 100);
    EXPECT_EQ(result, 1);
    EXPECT_FALSE(serial->PortOpen);
    EXPECT_EQ(serial->ComPortNumber, -1);
    EXPECT_EQ(texts(BoxKind::Warning), (std::vector<std::string>{"Selected com port removed."}));
    EXPECT_EQ(unit.readMaster(1), "A"); // the command went out before the removal
}

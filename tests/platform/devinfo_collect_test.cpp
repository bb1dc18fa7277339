// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/serial_device_info.h"
#include "support/fake_device_tree.h"
#include "support/pty_pair.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sys/file.h>

using platform::DeviceState;
using platform::SerialDeviceRow;
using testsupport::FakeDeviceTree;
using testsupport::PtyPair;

namespace {

// A USB adapter as the kernel shows it: interface below the USB device, tty below that.
void addUsbAdapter(const FakeDeviceTree& tree, const std::string& tty) {
    const std::string usbDev = "devices/pci0000:00/usb1/1-1";
    const std::string ttyDev = usbDev + "/1-1:1.0/" + tty;
    tree.writeSysfs(usbDev + "/product", "FT232R USB UART\n");
    tree.writeSysfs(usbDev + "/manufacturer", "FTDI\n");
    std::filesystem::create_directories(tree.sys() + "/" + ttyDev);
    std::filesystem::create_directories(tree.sys() + "/bus/usb-serial/drivers/ftdi_sio");
    tree.linkSysfs(ttyDev + "/driver", tree.sys() + "/bus/usb-serial/drivers/ftdi_sio");
    tree.addSysfsTty(tty, false);
    tree.linkSysfs("class/tty/" + tty + "/device", "../../../" + ttyDev);
}

const SerialDeviceRow* rowFor(const std::vector<SerialDeviceRow>& rows, const std::string& node) {
    for (const auto& r : rows)
        if (r.node == node)
            return &r;
    return nullptr;
}

} // namespace

TEST(DevinfoCollect, RowsCarryNodeByIdDriverDescriptionComNumberAndState) {
    FakeDeviceTree tree;
    PtyPair usb, uart, phantom, sim;
    ASSERT_TRUE(usb.ok() && uart.ok() && phantom.ok() && sim.ok());
    const std::string usbNode = tree.linkDevice("ttyUSB0", usb.slavePath());
    addUsbAdapter(tree, "ttyUSB0");
    tree.linkDevice("serial/by-id/usb-FTDI_FT232R_USB_UART_A10K-if00-port0", "../../ttyUSB0");

    const std::string uartNode = tree.linkDevice("ttyS0", uart.slavePath());
    tree.addSysfsTty("ttyS0", true, 4);
    std::filesystem::create_directories(tree.sys() + "/bus/platform/drivers/serial8250");
    tree.linkSysfs("class/tty/ttyS0/device/driver",
                   tree.sys() + "/bus/platform/drivers/serial8250");
    tree.linkDevice("ttyS1", phantom.slavePath());
    tree.addSysfsTty("ttyS1", true, 0);
    sim.linkAs(tree.ports(), 97);

    int holder = ::open(uart.slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);

    auto rows = platform::collectSerialDevices(tree.table());
    ASSERT_EQ(rows.size(), 3u) << "the phantom ttyS1 is left out";

    const SerialDeviceRow* a = rowFor(rows, usbNode);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->byId, "usb-FTDI_FT232R_USB_UART_A10K-if00-port0");
    EXPECT_EQ(a->driver, "ftdi_sio");
    EXPECT_EQ(a->description, "FT232R USB UART (FTDI)");
    EXPECT_EQ(a->comText(), "COM33");
    EXPECT_EQ(a->stateText(), "free");
    EXPECT_TRUE(a->permissionAdvice().empty());

    const SerialDeviceRow* s = rowFor(rows, uartNode);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->driver, "serial8250");
    EXPECT_EQ(s->description, "16550A UART");
    EXPECT_EQ(s->comText(), "COM1");
    EXPECT_EQ(s->state, DeviceState::InUse);
    EXPECT_EQ(s->byId, "");

    const SerialDeviceRow* p = rowFor(rows, sim.slavePath());
    ASSERT_NE(p, nullptr) << "a port that exists only through the port folder";
    EXPECT_EQ(p->comText(), "COM97");
    EXPECT_NE(p->description.find("COM97"), std::string::npos);
    ::close(holder);

    // An operator's entry for a listed device names it, without a second row.
    ::symlink(usbNode.c_str(), (tree.ports() + "/COM98").c_str());
    rows = platform::collectSerialDevices(tree.table());
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rowFor(rows, usbNode)->comText(), "COM98");
    EXPECT_EQ(rowFor(rows, uartNode)->stateText(), "free");
}

TEST(DevinfoCollect, StateTextsAndPermissionAdvice) {
    struct Case {
        DeviceState state;
        std::string group;
        const char* text;
        const char* adviceNames; // empty: no advice
    } cases[] = {{DeviceState::Free, "dialout", "free", ""},
                 {DeviceState::InUse, "dialout", "in use", ""},
                 {DeviceState::NoPermission, "uucp", "no permission", "\"uucp\""},
                 {DeviceState::NoPermission, "", "no permission", "\"dialout\""},
                 {DeviceState::Missing, "", "missing", ""}};
    for (const auto& c : cases) {
        SerialDeviceRow row;
        row.node = "/dev/ttyUSB4";
        row.state = c.state;
        row.group = c.group;
        EXPECT_EQ(row.stateText(), c.text);
        const std::string advice = row.permissionAdvice();
        if (*c.adviceNames == '\0') {
            EXPECT_EQ(advice, "");
        } else {
            EXPECT_NE(advice.find(c.adviceNames), std::string::npos) << advice;
            EXPECT_NE(advice.find("/dev/ttyUSB4"), std::string::npos) << advice;
            EXPECT_NE(advice.find("log out"), std::string::npos) << advice;
        }
    }
    EXPECT_EQ(platform::uartTypeName(4), "16550A");
    EXPECT_EQ(platform::uartTypeName(99), "UART type 99");
}

TEST(DevinfoCollect, EmptyTreeGivesNoRows) {
    FakeDeviceTree tree;
    EXPECT_TRUE(platform::collectSerialDevices(tree.table()).empty());
    EXPECT_TRUE(platform::collectSerialDevices(
                    platform::PortTable(tree.dev() + "/x", tree.sys() + "/x", tree.ports() + "/x"))
                    .empty());
}

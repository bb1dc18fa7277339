// SPDX-License-Identifier: GPL-3.0-or-later
#include "comport/Comport.h"
#include "platform/default_comm_config.h"
#include "platform/serial_registry.h"
#include "platform/testing/memory_port.h"
#include "support/fake_device_tree.h"
#include "support/pty_pair.h"
#include "widgets/comm_config_dialog.h"

#include <QComboBox>
#include <QPushButton>
#include <gtest/gtest.h>

using testsupport::FakeDeviceTree;
using testsupport::PtyPair;

namespace {

// One dialog answer for the life of the object.
struct DialogAnswer {
    explicit DialogAnswer(std::function<void(platform::CommConfigDialog&)> work)
        : previous(platform::setCommConfigDialogHook([this, work](platform::CommConfigDialog& d) {
              ++shown;
              work(d);
          })) {}
    ~DialogAnswer() { platform::setCommConfigDialogHook(previous); }
    int shown = 0;
    platform::CommConfigDialogHook previous;
};

void pick(QComboBox* box, int data) {
    box->setCurrentIndex(box->findData(data));
}

win::DWORD kernelRate(const char* name) {
    win::COMMCONFIG cc{};
    win::DWORD size = sizeof cc;
    EXPECT_TRUE(win::GetDefaultCommConfigA(name, &cc, &size));
    return cc.dcb.BaudRate;
}

// An open port's configuration dialog answered with 57600 and OK: the port takes the rate, and
// the device behind its handle has it (read through the handle, since a second open is
// refused while the port holds the device).
void confirmRateThroughDialog(TComPort& port, const QString& shownFirst) {
    {
        DialogAnswer confirm([&](platform::CommConfigDialog& d) {
            EXPECT_EQ(d.baudRateBox()->currentText(), shownFirst) << "the port's own rate";
            d.baudRateBox()->setCurrentText("57600");
            d.okButton()->click();
        });
        EXPECT_TRUE(port.ConfigDialog());
        EXPECT_EQ(confirm.shown, 1);
    }
    EXPECT_EQ(port.CustomBaudRate(), 57600);
    win::DCB dcb;
    ASSERT_TRUE(win::GetCommState(port.Handle(), &dcb));
    EXPECT_EQ(dcb.BaudRate, 57600u);
}

// The port's configuration as one comparable value.
std::vector<int> settings(const TCustomComPort& p) {
    return {int(p.BaudRate()), p.CustomBaudRate(), int(p.DataBits()), int(p.Parity()),
            int(p.StopBits())};
}

} // namespace

TEST(ComportEnum, ListingsAppendAfterExistingEntries) {
    FakeDeviceTree tree;
    PtyPair a, usb;
    ASSERT_TRUE(a.ok() && usb.ok());
    a.linkAs(tree.ports(), 5);
    tree.linkDevice("ttyUSB0", usb.slavePath());
    tree.addSysfsTty("ttyUSB0", true);
    TComPort port;

    QStringList all{"zzz", "first"};
    port.EnumDevices(all);
    EXPECT_EQ(all, (QStringList{"zzz", "first", "COM5", "COM33", "ttyUSB0"}));

    QStringList com{"zzz"};
    port.EnumComDevices(com);
    port.EnumComDevices(com);
    EXPECT_EQ(com, (QStringList{"zzz", "COM5", "COM33", "COM5", "COM33"}))
        << "appended each time, never cleared";

    QStringList fromKey{"kept"};
    port.EnumComDevicesFromRegistry(fromKey);
    EXPECT_EQ(fromKey, (QStringList{"kept", "COM33"}));
}

TEST(ComportEnum, RegistryListingTakesOnlyStringValues) {
    auto previous = platform::setSerialCommSource([] {
        return std::vector<platform::RegistryValue>{
            platform::stringValue("\\Device\\Serial1", "COM2"),
            {"\\Device\\Odd", win::REG_DWORD, {3, 0, 0, 0}},
            {"\\Device\\Blob", win::REG_BINARY, {'C', 'O', 'M', '9', 0}},
            {"\\Device\\NoNul", win::REG_SZ, {'C', 'O', 'M', '7'}},
            platform::stringValue("\\Device\\Serial0", "COM1")};
    });
    TComPort port;
    QStringList list{"x"};
    port.EnumComDevicesFromRegistry(list);
    EXPECT_EQ(list, (QStringList{"x", "COM2", "COM7", "COM1"}));

    platform::setSerialCommSource([] { return std::nullopt; });
    port.EnumComDevicesFromRegistry(list);
    EXPECT_EQ(list.size(), 4) << "a key that does not open adds nothing";
    platform::setSerialCommSource(previous);
}

TEST(ComportEnum, ShortDeviceNameDropsOnlyTheDevicePrefix) {
    TComPort port;
    struct Case {
        const char* name;
        const char* shortName;
    } cases[] = {{"\\\\.\\COM12", "COM12"},        {"COM1", "COM1"},
                 {"/dev/ttyUSB0", "/dev/ttyUSB0"}, {"\\\\.\\", ""},
                 {"\\\\COM3", "\\\\COM3"},         {"\\\\.\\\\\\.\\COM1", "\\\\.\\COM1"}};
    for (const auto& c : cases) {
        port.SetDeviceName(c.name);
        EXPECT_EQ(port.ShortDeviceName(), c.shortName) << c.name;
        EXPECT_EQ(port.DeviceName(), c.name);
    }
}

// A pty linked as COM9 in a device tree of the test's own, and a port component naming it.
class ComportOnCom9 : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(pty.ok());
        pty.linkAs(tree.ports(), 9);
        port.SetDeviceName("\\\\.\\COM9");
    }
    FakeDeviceTree tree;
    PtyPair pty;
    TComPort port;
};

TEST_F(ComportOnCom9, ConfigDialogCancelledOrConfirmedOnAClosedPort) {
    port.SetBaudRate(br19200);
    const auto before = settings(port);
    const win::DWORD rateBefore = kernelRate("COM9");
    {
        DialogAnswer cancel([](platform::CommConfigDialog& d) {
            EXPECT_EQ(d.baudRateBox()->currentText(), "19200") << "opens on the port's settings";
            EXPECT_EQ(d.windowTitle(), "COM9 Properties");
            d.baudRateBox()->setCurrentText("1200");
            d.cancelButton()->click();
        });
        EXPECT_FALSE(port.ConfigDialog());
        EXPECT_EQ(cancel.shown, 1);
    }
    EXPECT_EQ(settings(port), before);
    {
        DialogAnswer confirm([](platform::CommConfigDialog& d) {
            d.baudRateBox()->setCurrentText("38400");
            pick(d.stopBitsBox(), win::TWOSTOPBITS);
            d.okButton()->click();
        });
        EXPECT_TRUE(port.ConfigDialog());
    }
    EXPECT_EQ(port.CustomBaudRate(), 38400);
    EXPECT_EQ(port.StopBits(), sb2);
    EXPECT_FALSE(port.Active());
    EXPECT_EQ(kernelRate("COM9"), rateBefore) << "a closed port touches no device";
}

TEST_F(ComportOnCom9, ConfigDialogConfirmedOnAnOpenPtyApplies) {
    port.SetBaudRate(br9600);
    port.Open();
    ASSERT_TRUE(port.Active());
    confirmRateThroughDialog(port, "9600");
    port.Close();
    EXPECT_EQ(kernelRate("COM9"), 57600u);
}

TEST_F(ComportOnCom9, DefaultConfigDialogWritesTheDeviceOnlyWhenConfirmed) {
    const auto before = settings(port);
    const win::DWORD rateBefore = kernelRate("COM9");
    {
        DialogAnswer cancel([](platform::CommConfigDialog& d) {
            d.baudRateBox()->setCurrentText("2400");
            d.cancelButton()->click();
        });
        EXPECT_FALSE(port.DefaultConfigDialog());
    }
    EXPECT_EQ(kernelRate("COM9"), rateBefore);
    {
        DialogAnswer confirm([](platform::CommConfigDialog& d) {
            d.baudRateBox()->setCurrentText(d.baudRateBox()->currentText() == "2400" ? "4800"
                                                                                     : "2400");
            d.okButton()->click();
        });
        EXPECT_TRUE(port.DefaultConfigDialog());
    }
    EXPECT_NE(kernelRate("COM9"), rateBefore);
    EXPECT_EQ(settings(port), before) << "the port's own configuration is never touched";
}

TEST(ComportEnum, DialogsOnAnUnknownDeviceRaiseWithThePlatformCode) {
    FakeDeviceTree tree;
    TComPort port;
    DialogAnswer never([](platform::CommConfigDialog& d) { d.okButton()->click(); });
    for (const char* name : {"\\\\.\\COM77", "NOSUCH"}) {
        port.SetDeviceName(name);
        for (int which = 0; which < 2; ++which) {
            try {
                which == 0 ? port.ConfigDialog() : port.DefaultConfigDialog();
                ADD_FAILURE() << name << " did not raise";
            } catch (const EComError& e) {
                EXPECT_EQ(e.ErrorCode, 2) << name;
                EXPECT_STRNE(e.what(), "");
            }
        }
    }
    EXPECT_EQ(never.shown, 0);
}

// The dialogs read and apply an open port through its own handle: a second open of the
// device would be refused by the port's exclusive hold (for an ordinary user), and an
// in-memory port cannot be opened twice at all.
TEST(ComportEnum, DialogsOnAnOpenPortWorkThroughItsHandle) {
    platform::MemoryNullModem cable;
    TComPort port;
    port.SetDeviceName(cable.name(platform::MemoryNullModem::A));
    port.SetBaudRate(br9600);
    port.Open();
    ASSERT_TRUE(port.Active());
    confirmRateThroughDialog(port, "9600");
    win::DCB dcb;

    const auto before = settings(port);
    {
        DialogAnswer confirm([](platform::CommConfigDialog& d) {
            EXPECT_EQ(d.baudRateBox()->currentText(), "57600") << "the device's settings";
            d.baudRateBox()->setCurrentText("4800");
            d.okButton()->click();
        });
        EXPECT_TRUE(port.DefaultConfigDialog());
    }
    ASSERT_TRUE(win::GetCommState(port.Handle(), &dcb));
    EXPECT_EQ(dcb.BaudRate, 4800u);
    EXPECT_EQ(settings(port), before) << "the port's own configuration is never touched";
    port.Close();
}

// SPDX-License-Identifier: GPL-3.0-or-later
#include "widgets/comm_config_dialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QPushButton>
#include <gtest/gtest.h>

#include <cstring>

using platform::CommConfigDialog;

namespace {

win::COMMCONFIG sampleConfig() {
    win::COMMCONFIG cc{};
    cc.dwSize = sizeof cc;
    cc.wVersion = 1;
    cc.dcb.DCBlength = sizeof(win::DCB);
    cc.dcb.BaudRate = 19200;
    cc.dcb.ByteSize = 7;
    cc.dcb.Parity = win::EVENPARITY;
    cc.dcb.StopBits = win::TWOSTOPBITS;
    cc.dcb.Flags = win::DCB_fBinary | win::DCB_fDsrSensitivity | 0x0020 /* DTR handshake */ |
                   0x3000 /* RTS toggle */ | win::DCB_fOutX;
    cc.dcb.XonChar = 0x11;
    cc.dcb.XoffChar = 0x13;
    return cc;
}

// Installs a hook for one call and takes it away again.
struct Hook {
    explicit Hook(platform::CommConfigDialogHook h)
        : previous(platform::setCommConfigDialogHook(std::move(h))) {}
    ~Hook() { platform::setCommConfigDialogHook(previous); }
    platform::CommConfigDialogHook previous;
};

} // namespace

TEST(DefconfigDialog, ShowsTheRecordAndConfirmedChangesComeBack) {
    win::COMMCONFIG cc = sampleConfig();
    bool shown = false;
    Hook hook([&](CommConfigDialog& d) {
        shown = true;
        EXPECT_EQ(d.windowTitle().toStdString(), "COM4 Properties");
        EXPECT_EQ(d.baudRateBox()->currentText(), "19200");
        EXPECT_EQ(d.dataBitsBox()->currentText(), "7");
        EXPECT_EQ(d.parityBox()->currentData().toInt(), win::EVENPARITY);
        EXPECT_EQ(d.stopBitsBox()->currentData().toInt(), win::TWOSTOPBITS);
        EXPECT_EQ(d.dtrControlBox()->currentData().toInt(), 0x20);
        EXPECT_EQ(d.rtsControlBox()->currentData().toInt(), 0x3000);
        EXPECT_TRUE(d.xonXoffBox()->isChecked());

        d.baudRateBox()->setCurrentText("31250"); // a rate not in the list
        d.dataBitsBox()->setCurrentText("8");
        d.parityBox()->setCurrentIndex(d.parityBox()->findData(win::NOPARITY));
        d.stopBitsBox()->setCurrentIndex(d.stopBitsBox()->findData(win::ONESTOPBIT));
        d.rtsControlBox()->setCurrentIndex(d.rtsControlBox()->findData(0x2000));
        d.xonXoffBox()->setChecked(false);
        d.okButton()->click();
    });
    ASSERT_TRUE(win::CommConfigDialogA("COM4", nullptr, &cc));
    EXPECT_TRUE(shown);
    EXPECT_EQ(cc.dcb.BaudRate, 31250u);
    EXPECT_EQ(cc.dcb.ByteSize, 8);
    EXPECT_EQ(cc.dcb.Parity, win::NOPARITY);
    EXPECT_EQ(cc.dcb.StopBits, win::ONESTOPBIT);
    EXPECT_EQ(cc.dcb.Flags & win::DCB_fRtsControlMask, 0x2000u);
    EXPECT_TRUE(cc.dcb.Flags & win::DCB_fOutxCtsFlow) << "RTS handshake brings CTS flow";
    EXPECT_FALSE(cc.dcb.Flags & (win::DCB_fOutX | win::DCB_fInX));
    // What the dialog does not show stays as it was.
    EXPECT_TRUE(cc.dcb.Flags & win::DCB_fDsrSensitivity);
    EXPECT_EQ(cc.dcb.Flags & win::DCB_fDtrControlMask, 0x20u);
    EXPECT_EQ(cc.dwSize, 52u);
}

TEST(DefconfigDialog, CancelOrClosingLeavesTheRecordUntouched) {
    for (int pressCancel = 0; pressCancel < 2; ++pressCancel) {
        win::COMMCONFIG cc = sampleConfig();
        const win::COMMCONFIG before = cc;
        Hook hook([&](CommConfigDialog& d) {
            d.baudRateBox()->setCurrentText("1200");
            if (pressCancel)
                d.cancelButton()->click();
        });
        win::SetLastError(0);
        EXPECT_FALSE(win::CommConfigDialogA("COM4", nullptr, &cc));
        EXPECT_EQ(win::GetLastError(), win::ERROR_CANCELLED);
        EXPECT_EQ(std::memcmp(&cc, &before, sizeof cc), 0);
    }
    EXPECT_FALSE(win::CommConfigDialogA("COM4", nullptr, nullptr));
    EXPECT_EQ(win::GetLastError(), win::ERROR_INVALID_PARAMETER);
}

TEST(DefconfigDialog, OkOnUnusableSettingsKeepsTheDialogOpenWithTheReason) {
    win::COMMCONFIG cc = sampleConfig();
    Hook hook([&](CommConfigDialog& d) {
        struct Case {
            const char* rate;
            int bits;
            int stop;
        } bad[] = {{"", 8, win::ONESTOPBIT},
                   {"0", 8, win::ONESTOPBIT},
                   {"9600", 8, win::ONE5STOPBITS},
                   {"9600", 5, win::TWOSTOPBITS}};
        for (const auto& c : bad) {
            d.baudRateBox()->setCurrentText(c.rate);
            d.dataBitsBox()->setCurrentIndex(d.dataBitsBox()->findData(c.bits));
            d.stopBitsBox()->setCurrentIndex(d.stopBitsBox()->findData(c.stop));
            d.okButton()->click();
            EXPECT_NE(d.result(), QDialog::Accepted) << c.rate << " " << c.bits << " " << c.stop;
            EXPECT_FALSE(d.problem().isEmpty());
        }
        d.dataBitsBox()->setCurrentIndex(d.dataBitsBox()->findData(5));
        d.stopBitsBox()->setCurrentIndex(d.stopBitsBox()->findData(win::ONE5STOPBITS));
        d.okButton()->click();
        EXPECT_TRUE(d.problem().isEmpty());
    });
    ASSERT_TRUE(win::CommConfigDialogA("COM4", nullptr, &cc));
    EXPECT_EQ(cc.dcb.ByteSize, 5);
    EXPECT_EQ(cc.dcb.StopBits, win::ONE5STOPBITS);
    EXPECT_EQ(cc.dcb.BaudRate, 9600u);
}

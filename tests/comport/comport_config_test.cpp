// SPDX-License-Identifier: GPL-3.0-or-later
// Configuration of the serial port component: initial values, custom rates, the device
// control block in both directions, the error conventions and handler identity.
#include "comport_test_util.h"

#include "platform/testing/memory_port.h"

#include <gtest/gtest.h>

using comtest::Recorder;

namespace {

TEST(ComPortConfig, NewPortHoldsItsInitialValues) {
    TComPort port;
    EXPECT_FALSE(port.Active());
    EXPECT_EQ(port.DeviceName(), "COM1");
    EXPECT_EQ(port.BaudRate(), brDefault);
    EXPECT_EQ(port.CustomBaudRate(), 0);
    EXPECT_EQ(port.DataBits(), dbDefault);
    EXPECT_EQ(port.Parity(), paDefault);
    EXPECT_EQ(port.StopBits(), sbDefault);
    EXPECT_TRUE(port.Options().empty());
    EXPECT_EQ(port.PriorityClass(), pcDefault);
    EXPECT_TRUE(port.SynchronizeEvents());
    EXPECT_EQ(port.ThreadPriority(), tpTimeCritical);
    EXPECT_EQ(port.Characters()->XOn(), 17);
    EXPECT_EQ(port.Characters()->XOff(), 19);
    EXPECT_EQ(port.BufferSizes()->Input(), 4096);
    EXPECT_EQ(port.BufferSizes()->Output(), 2048);
    EXPECT_EQ(port.Timeouts()->ReadInterval() | port.Timeouts()->ReadMultiplier() |
                  port.Timeouts()->ReadConstant() | port.Timeouts()->WriteMultiplier() |
                  port.Timeouts()->WriteConstant(),
              0);
    EXPECT_EQ(port.Handle(), win::INVALID_HANDLE_VALUE);
    EXPECT_EQ(port.SavedPriorityClass(), -1);
    EXPECT_EQ(port.Thread(), nullptr);
    EXPECT_EQ(port.FlowControl()->ComPort, &port);
    EXPECT_EQ(port.Timeouts()->ComPort, &port);
}

TEST(ComPortConfig, SettersOnAClosedPortStoreWithoutTouchingADevice) {
    TComPort port;
    port.SetBaudRate(br9600);
    EXPECT_EQ(port.CustomBaudRate(), 9600);
    port.SetDataBits(db7);
    port.SetParity(paEven);
    port.SetStopBits(sb2);
    port.SetOptions({opCheckParity, opAbortOnError});
    port.FlowControl()->SetDTRControl(dcEnable);
    port.Characters()->SetEvent('\n');
    port.BufferSizes()->SetInput(8192);
    port.Timeouts()->SetReadConstant(50);
    port.SetDeviceName("/nowhere");
    port.SetPriorityClass(pcHigh);
    port.SetSynchronizeEvents(false);
    port.SetThreadPriority(tpNormal);
    EXPECT_EQ(port.DataBits(), db7);
    EXPECT_EQ(port.Parity(), paEven);
    EXPECT_EQ(port.StopBits(), sb2);
    EXPECT_TRUE(port.Options().contains(opAbortOnError));
    EXPECT_EQ(port.BufferSizes()->Input(), 8192);
    EXPECT_EQ(port.Timeouts()->ReadConstant(), 50);
    EXPECT_EQ(port.DeviceName(), "/nowhere");
    EXPECT_FALSE(port.Active());
}

TEST(ComPortConfig, CustomBaudRateFollowsTheRateInEffect) {
    TComPort port;
    port.SetCustomBaudRate(19200);
    EXPECT_EQ(port.BaudRate(), brCustom);
    EXPECT_EQ(port.CustomBaudRate(), 19200);
    EXPECT_TRUE(port.StoreCustomBaudRate());

    // A named rate keeps the stored custom rate but shows its own.
    port.SetBaudRate(br9600);
    EXPECT_EQ(port.CustomBaudRate(), 9600);
    EXPECT_FALSE(port.StoreCustomBaudRate());
    port.SetBaudRate(brCustom);
    EXPECT_EQ(port.CustomBaudRate(), 19200);

    // Asking again for the stored custom rate while a named rate is in force must give the
    // asked rate, not silently keep the named one.
    port.SetBaudRate(br9600);
    port.SetCustomBaudRate(19200);
    EXPECT_EQ(port.BaudRate(), brCustom);
    EXPECT_EQ(port.CustomBaudRate(), 19200);

    // The rate already in effect changes nothing, a named one stays named.
    port.SetBaudRate(br57600);
    port.SetCustomBaudRate(57600);
    EXPECT_EQ(port.BaudRate(), br57600);
}

win::DCB deviceBlock() {
    win::DCB dcb;
    dcb.DCBlength = 28;
    dcb.BaudRate = 4800;
    dcb.Flags = 0xFFFFFFFF; // every bit set: what the port leaves alone stays set
    dcb.wReserved = 0x1234;
    dcb.XonLim = 7;
    dcb.XoffLim = 9;
    dcb.ByteSize = 7;
    dcb.Parity = 3;
    dcb.StopBits = 2;
    dcb.XonChar = 1;
    dcb.XoffChar = 2;
    dcb.ErrorChar = 3;
    dcb.EofChar = 4;
    dcb.EvtChar = 5;
    dcb.wReserved1 = 0x5678;
    return dcb;
}

TEST(ComPortConfig, CopyIntoBlockWithDefaultsChangesOnlyCharactersLimitsAndOptions) {
    TComPort port;
    win::DCB dcb = deviceBlock();
    port.CopyDCB(dcb, true);
    EXPECT_EQ(dcb.BaudRate, 4800u);
    EXPECT_EQ(dcb.ByteSize, 7);
    EXPECT_EQ(dcb.Parity, 3);
    EXPECT_EQ(dcb.StopBits, 2);
    EXPECT_EQ(dcb.wReserved, 0x1234);
    EXPECT_EQ(dcb.wReserved1, 0x5678);
    EXPECT_EQ(dcb.XonChar, 17);
    EXPECT_EQ(dcb.XoffChar, 19);
    EXPECT_EQ(dcb.ErrorChar | dcb.EofChar | dcb.EvtChar, 0);
    EXPECT_EQ(dcb.XonLim, 0);
    EXPECT_EQ(dcb.XoffLim, 0);
    // All eight option bits cleared; binary mode, DTR/RTS/XON-XOFF bits untouched.
    EXPECT_EQ(dcb.Flags, 0xFFFFFFFFu & ~0x4CCEu);
}

TEST(ComPortConfig, CopyIntoBlockWritesEveryNamedSetting) {
    TComPort port;
    port.SetBaudRate(br115200);
    port.SetDataBits(db5);
    port.SetParity(paSpace);
    port.SetStopBits(sb1_5);
    port.FlowControl()->SetDTRControl(dcHandshake);
    port.FlowControl()->SetRTSControl(rcToggle);
    port.FlowControl()->SetXOnXOffControl(xcInput);
    port.FlowControl()->SetXOnLimit(100);
    port.FlowControl()->SetXOffLimit(200);
    port.Characters()->SetEvent('#');
    port.SetOptions({opOutputCTSFlow, opDiscardNullBytes});
    win::DCB dcb;
    dcb.Flags = win::DCB_fBinary | win::DCB_fOutX | 0x10 | win::DCB_fAbortOnError;
    port.CopyDCB(dcb, true);
    EXPECT_EQ(dcb.BaudRate, 115200u);
    EXPECT_EQ(dcb.ByteSize, 5);
    EXPECT_EQ(dcb.Parity, win::SPACEPARITY);
    EXPECT_EQ(dcb.StopBits, win::ONE5STOPBITS);
    EXPECT_EQ(dcb.XonLim, 100);
    EXPECT_EQ(dcb.XoffLim, 200);
    EXPECT_EQ(dcb.EvtChar, '#');
    EXPECT_EQ(dcb.Flags, win::DCB_fBinary | 0x20u | 0x3000u | win::DCB_fInX |
                             win::DCB_fOutxCtsFlow | win::DCB_fNull);

    // brCustom with no custom rate writes 0; the device will refuse it.
    TComPort custom;
    custom.SetBaudRate(brCustom);
    custom.CopyDCB(dcb, true);
    EXPECT_EQ(dcb.BaudRate, 0u);
}

TEST(ComPortConfig, CopyOutOfBlockTakesTheLastMatchingValue) {
    struct Case {
        win::DCB dcb;
        TDataBits dataBits;
        TParity parity;
        TStopBits stopBits;
        TDTRControl dtr;
        TRTSControl rts;
        TXOnXOffControl xon;
    };
    auto block = [](win::BYTE size, win::BYTE parity, win::BYTE stop, win::DWORD flags) {
        win::DCB d;
        d.BaudRate = 19200;
        d.ByteSize = size;
        d.Parity = parity;
        d.StopBits = stop;
        d.Flags = flags;
        return d;
    };
    const Case cases[] = {
        {block(8, 0, 0, 0), db8, paNone, sb1, dcDisable, rcDisable, xcDisable},
        {block(0, 2, 2, 0x10 | 0x2000 | 0x300), dbDefault, paEven, sb2, dcEnable, rcHandshake,
         xcInputOutput},
        {block(4, 4, 1, 0x20 | 0x1000 | 0x100), db4, paSpace, sb1_5, dcHandshake, rcEnable,
         xcOutput},
        // Codes that match nothing (DTR pattern 0x30, byte size 9, parity 7, stop 3) keep the
        // current values.
        {block(9, 7, 3, 0x30 | 0x200), db6, paOdd, sbDefault, dcDefault, rcDisable, xcInput},
    };
    for (const Case& c : cases) {
        TComPort port;
        port.SetDataBits(db6);
        port.SetParity(paOdd);
        win::DCB dcb = c.dcb;
        port.CopyDCB(dcb, false);
        SCOPED_TRACE(int(c.dcb.ByteSize));
        EXPECT_EQ(port.BaudRate(), brCustom);
        EXPECT_EQ(port.CustomBaudRate(), 19200);
        EXPECT_EQ(port.DataBits(), c.dataBits);
        EXPECT_EQ(port.Parity(), c.parity);
        EXPECT_EQ(port.StopBits(), c.stopBits);
        EXPECT_EQ(port.FlowControl()->DTR(), c.dtr);
        EXPECT_EQ(port.FlowControl()->RTS(), c.rts);
        EXPECT_EQ(port.FlowControl()->XOnXOff(), c.xon);
    }
}

TEST(ComPortConfig, CopyOutOfBlockRoundTripsOptionsCharactersAndLimits) {
    TComPort source;
    source.SetOptions({opCheckParity, opDSRSensitivity, opUseErrorChar, opAbortOnError});
    source.Characters()->SetXOn('a');
    source.Characters()->SetError('?');
    source.FlowControl()->SetXOnLimit(11);
    source.FlowControl()->SetXOffLimit(22);
    win::DCB dcb;
    source.CopyDCB(dcb, true);

    TComPort target;
    target.CopyDCB(dcb, false);
    EXPECT_EQ(target.Options(), source.Options());
    EXPECT_EQ(target.Characters()->XOn(), 'a');
    EXPECT_EQ(target.Characters()->XOff(), 19);
    EXPECT_EQ(target.Characters()->Error(), '?');
    EXPECT_EQ(target.FlowControl()->XOnLimit(), 11);
    EXPECT_EQ(target.FlowControl()->XOffLimit(), 22);
}

TEST(ComPortConfig, CheckRaisesOnlyRealPlatformErrors) {
    TComPort port;
    win::SetLastError(win::ERROR_IO_PENDING);
    EXPECT_NO_THROW(port.Check(false));
    win::SetLastError(0);
    EXPECT_NO_THROW(port.Check(false));
    win::SetLastError(win::ERROR_ACCESS_DENIED);
    EXPECT_NO_THROW(port.Check(true));

    win::SetLastError(win::ERROR_FILE_NOT_FOUND);
    try {
        port.Check(false);
        FAIL() << "no exception";
    } catch (const EComError& e) {
        EXPECT_EQ(e.ErrorCode, 2);
        EXPECT_EQ(std::string(e.what()), win::SysErrorMessage(2));
    }
    EXPECT_EQ(win::GetLastError(), 0u);
}

TEST(ComPortConfig, OnErrorSeesEachErrorAndMayTurnItIntoTheSilentAbort) {
    TComPort port;
    std::vector<int> seen;
    TComAction chosen = caFail;
    port.SetOnError(TComErrorEvent::fromCallable(
        &seen, nullptr, [&](TCustomComPort* p, EComError& e, TComAction& action) {
            EXPECT_EQ(p, &port);
            EXPECT_EQ(action, caFail);
            seen.push_back(e.ErrorCode);
            action = chosen;
        }));
    EXPECT_THROW(port.RaiseError(31, "x"), EComError);
    chosen = caAbort;
    EXPECT_THROW(port.RaiseError(0, "y"), EAbort);
    EXPECT_EQ(seen, (std::vector<int>{31, 0}));
}

TEST(ComPortConfig, ClosedPortSettersAndOpenPortGuards) {
    platform::MemoryNullModem cable;
    TComPort port;
    port.SetDeviceName(cable.name(platform::MemoryNullModem::A));
    port.Open();
    ASSERT_TRUE(port.Active());

    // The current value raises nothing even on an open port.
    EXPECT_NO_THROW(port.SetDeviceName(port.DeviceName()));
    EXPECT_NO_THROW(port.SetSynchronizeEvents(true));
    EXPECT_NO_THROW(port.SetPriorityClass(pcDefault));

    const std::function<void()> changes[] = {
        [&] { port.SetDeviceName("COM2"); },
        [&] { port.SetSynchronizeEvents(false); },
        [&] { port.SetPriorityClass(pcHigh); },
    };
    for (const auto& change : changes) {
        try {
            change();
            ADD_FAILURE() << "no exception";
        } catch (const EComError& e) {
            EXPECT_EQ(e.ErrorCode, 0);
            EXPECT_STREQ(e.what(), "Can't perform this operation on an open port");
        }
    }
    EXPECT_EQ(port.DeviceName(), cable.name(platform::MemoryNullModem::A));
    EXPECT_TRUE(port.SynchronizeEvents());
}

TEST(ComPortConfig, SettingsReachTheOpenDevice) {
    platform::MemoryNullModem cable;
    TComPort port;
    port.SetDeviceName(cable.name(platform::MemoryNullModem::A));
    port.SetCustomBaudRate(19200);
    port.SetDataBits(db8);
    port.SetParity(paNone);
    port.SetStopBits(sb1);
    port.Timeouts()->SetReadConstant(50);
    port.Open();

    win::DCB dcb;
    ASSERT_TRUE(win::GetCommState(port.Handle(), &dcb));
    EXPECT_EQ(dcb.BaudRate, 19200u);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.Parity, win::NOPARITY);
    win::COMMTIMEOUTS t;
    ASSERT_TRUE(win::GetCommTimeouts(port.Handle(), &t));
    EXPECT_EQ(t.ReadTotalTimeoutConstant, 50u);

    // Re-applying setters reach the open device at once.
    port.SetBaudRate(br9600);
    port.SetParity(paEven);
    port.Timeouts()->SetReadConstant(80);
    ASSERT_TRUE(win::GetCommState(port.Handle(), &dcb));
    EXPECT_EQ(dcb.BaudRate, 9600u);
    EXPECT_EQ(dcb.Parity, win::EVENPARITY);
    ASSERT_TRUE(win::GetCommTimeouts(port.Handle(), &t));
    EXPECT_EQ(t.ReadTotalTimeoutConstant, 80u);
}

struct Target {
    int calls = 0;
    void Rx(QObject*) { ++calls; }
    void Other(QObject*) { ++calls; }
};
struct OtherClass {
    void Rx(QObject*) {}
};

TEST(ComPortConfig, HandlersAreTheSameWhenTheirRoutinesAre) {
    Target a, b;
    OtherClass c;
    const TNotifyEvent aRx(&a, &Target::Rx), bRx(&b, &Target::Rx), aOther(&a, &Target::Other);
    EXPECT_TRUE(aRx.sameRoutine(bRx));
    EXPECT_FALSE(aRx.sameRoutine(aOther));
    EXPECT_FALSE(aRx.sameRoutine(TNotifyEvent(&c, &OtherClass::Rx)));
    EXPECT_FALSE(aRx.sameRoutine(TNotifyEvent()));
    EXPECT_TRUE(TNotifyEvent().sameRoutine(nullptr));

    // Assigning the same routine with another target leaves the slot as it was.
    TComPort port;
    port.SetOnRxChar(aRx);
    port.SetOnRxChar(bRx);
    EXPECT_EQ(port.OnRxChar().target(), &a);
    port.OnRxChar()(&port);
    EXPECT_EQ(a.calls, 1);
    EXPECT_EQ(b.calls, 0);
    port.SetOnRxChar(aOther);
    EXPECT_TRUE(port.OnRxChar().sameRoutine(aOther));
    port.SetOnRxChar(nullptr);
    EXPECT_FALSE(port.OnRxChar());
}

} // namespace

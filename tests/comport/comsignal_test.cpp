// SPDX-License-Identifier: GPL-3.0-or-later
// The activity indicator: taking over and giving back the port's handlers, the chained calls,
// the hold time of momentary signals and the colours of the control.
#include "platform/testing/memory_port.h"
#include "support/wait.h"
#include "widgets/Comsignal.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QWidget>
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <vector>

namespace {

using testsupport::waitUntil;

TColor colourOf(const QWidget& w) {
    const QColor c = w.palette().color(QPalette::Window);
    return static_cast<TColor>(c.red() | (c.green() << 8) | (c.blue() << 16));
}

// The program's own handlers, recording what reached them.
struct Program {
    std::vector<QObject*> rx, brk;
    std::vector<TCustomComPort*> opened, closed;
    std::vector<TLineErrors> lineErrors;
    int writesBefore = 0, writesAfter = 0;
    std::function<void()> onRx;

    void RxChar(QObject* s) {
        rx.push_back(s);
        if (onRx)
            onRx();
    }
    void Break(QObject* s) { brk.push_back(s); }
    void AfterOpen(TCustomComPort* p) { opened.push_back(p); }
    void AfterClose(TCustomComPort* p) { closed.push_back(p); }
    void LineError(QObject*, TLineErrors e) { lineErrors.push_back(e); }
    void BeforeWrite(QObject*, const void*, std::int32_t, bool) { ++writesBefore; }
    void AfterWrite(QObject*, const void*, std::int32_t, bool) { ++writesAfter; }

    void install(TComPort& port) {
        port.SetOnRxChar(TNotifyEvent(this, &Program::RxChar));
        port.SetOnBreak(TNotifyEvent(this, &Program::Break));
        port.SetAfterOpen(TOpenCloseEvent(this, &Program::AfterOpen));
        port.SetAfterClose(TOpenCloseEvent(this, &Program::AfterClose));
        port.SetOnLineError(TLineErrorEvent(this, &Program::LineError));
        port.SetBeforeWrite(TReadWriteEvent(this, &Program::BeforeWrite));
        port.SetAfterWrite(TReadWriteEvent(this, &Program::AfterWrite));
    }
};

class ComSignalTest : public ::testing::Test {
protected:
    void SetUp() override {
        program.install(port);
        signal = std::make_unique<TComSignal>();
        signal->SetControl(&panel);
        signal->SetColorOn(clRed);
        signal->SetSignal(siRxChar);
        signal->OnSignal = TNotifyEvent::fromCallable(&changes, nullptr, [this](QObject* s) {
            EXPECT_EQ(s, signal.get());
            changes.push_back(signal->SignalValue());
        });
        signal->SetComPort(&port);
    }

    TComPort port;
    QWidget panel;
    Program program;
    std::vector<bool> changes;
    std::unique_ptr<TComSignal> signal;
};

TEST_F(ComSignalTest, ReceiveLightsTheControlThenChainsAndGoesOffAfterDelay) {
    EXPECT_TRUE(signal->Hooked());
    EXPECT_EQ(colourOf(panel), clGreen);
    TColor colourSeenByProgram = 0;
    program.onRx = [&] { colourSeenByProgram = colourOf(panel); };

    port.OnRxChar()(&port);
    EXPECT_EQ(colourOf(panel), clRed);
    EXPECT_EQ(colourSeenByProgram, clRed); // coloured before the program's handler runs
    ASSERT_EQ(program.rx, std::vector<QObject*>{&port});
    EXPECT_EQ(changes, std::vector<bool>{true});

    ASSERT_TRUE(waitUntil([&] { return !signal->SignalValue(); }));
    EXPECT_EQ(colourOf(panel), clGreen);
    EXPECT_EQ(changes, (std::vector<bool>{true, false}));
}

TEST_F(ComSignalTest, EachOccurrenceRestartsTheHoldTime) {
    signal->SetDelay(400);
    port.OnRxChar()(&port);
    QElapsedTimer sinceLast;
    // Keep receiving for a while: the signal never drops in between.
    QElapsedTimer run;
    run.start();
    while (run.elapsed() < 600) {
        waitUntil([] { return false; }, 100);
        ASSERT_TRUE(signal->SignalValue());
        port.OnRxChar()(&port);
        sinceLast.start();
    }
    ASSERT_TRUE(waitUntil([&] { return !signal->SignalValue(); }));
    EXPECT_GE(sinceLast.elapsed(), 400 * 9 / 10); // coarse timers may fire a little early
    EXPECT_EQ(changes, (std::vector<bool>{true, false}));
}

TEST_F(ComSignalTest, UnhookGivesBackOnlyWhatIsStillOurs) {
    // Someone else takes AfterClose over while the indicator is hooked.
    Program other;
    port.SetAfterClose(TOpenCloseEvent(&other, &Program::AfterClose));
    signal->SetComPort(nullptr);
    EXPECT_FALSE(signal->Hooked());

    port.OnRxChar()(&port);
    port.AfterOpen()(&port);
    port.AfterClose()(&port);
    EXPECT_EQ(program.rx.size(), 1u);
    EXPECT_EQ(program.opened.size(), 1u);
    EXPECT_TRUE(program.closed.empty());
    EXPECT_EQ(other.closed.size(), 1u);
    EXPECT_EQ(colourOf(panel), clGreen);
    EXPECT_TRUE(changes.empty());
}

TEST_F(ComSignalTest, ChangingTheSignalWhileHookedRehooks) {
    signal->SetSignal(siBreak);
    port.OnRxChar()(&port); // the program's handler again, straight
    EXPECT_EQ(program.rx.size(), 1u);
    EXPECT_FALSE(signal->SignalValue());

    port.OnBreak()(&port);
    EXPECT_TRUE(signal->SignalValue());
    EXPECT_EQ(program.brk, std::vector<QObject*>{&port});

    signal->SetComPort(nullptr);
    port.OnBreak()(&port);
    EXPECT_EQ(program.brk.size(), 2u);
}

TEST_F(ComSignalTest, NoHandlerOfAGoneIndicatorStaysOnThePort) {
    port.OnRxChar()(&port);
    signal.reset();
    port.OnRxChar()(&port); // must reach the program only
    port.AfterOpen()(&port);
    port.AfterClose()(&port);
    EXPECT_EQ(program.rx.size(), 2u);
    EXPECT_EQ(program.opened.size(), 1u);
    EXPECT_EQ(program.closed.size(), 1u);
}

TEST_F(ComSignalTest, PortOrControlGoingAwayFirstIsNoticed) {
    port.OnRxChar()(&port);
    {
        auto gone = std::make_unique<QWidget>();
        signal->SetControl(gone.get());
    }
    EXPECT_EQ(signal->Control(), nullptr);
    port.OnRxChar()(&port); // no control to colour: value and notification still work

    auto other = std::make_unique<TComPort>();
    signal->SetComPort(other.get());
    EXPECT_TRUE(signal->Hooked());
    other.reset();
    EXPECT_EQ(signal->ComPort(), nullptr);
    EXPECT_FALSE(signal->Hooked());
    EXPECT_FALSE(signal->SignalValue());
}

TEST_F(ComSignalTest, WriteKeepsTheSignalOnUntilItEnds) {
    signal->SetSignal(siTxChar);
    signal->SetDelay(30);
    port.BeforeWrite()(&port, "x", 1, true);
    EXPECT_TRUE(signal->SignalValue());
    EXPECT_EQ(program.writesBefore, 1);
    // Several hold times pass while the write is in progress.
    waitUntil([] { return false; }, 300);
    EXPECT_TRUE(signal->SignalValue());
    port.AfterWrite()(&port, "x", 1, true);
    EXPECT_EQ(program.writesAfter, 1);
    ASSERT_TRUE(waitUntil([&] { return !signal->SignalValue(); }));
}

TEST_F(ComSignalTest, LineErrorsPassTheirSetOn) {
    signal->SetSignal(siLineError);
    const TLineErrors errors{leFrame, leParity};
    port.OnLineError()(&port, errors);
    EXPECT_TRUE(signal->SignalValue());
    ASSERT_EQ(program.lineErrors.size(), 1u);
    EXPECT_EQ(program.lineErrors[0], errors);
}

TEST_F(ComSignalTest, ColourChangesTakeEffectAsDocumented) {
    port.OnRxChar()(&port);
    signal->SetColorOn(clLime); // no setter: shows at the next change only
    EXPECT_EQ(colourOf(panel), clRed);
    ASSERT_TRUE(waitUntil([&] { return !signal->SignalValue(); }));
    signal->SetColorOff(0x123456); // repaints at once while off
    EXPECT_EQ(colourOf(panel), 0x123456u);
    port.OnRxChar()(&port);
    EXPECT_EQ(colourOf(panel), clLime);
}

TEST_F(ComSignalTest, OpenAndCloseHandlersSwitchAMomentarySignalOff) {
    port.OnRxChar()(&port);
    ASSERT_TRUE(signal->SignalValue());
    port.AfterClose()(&port); // what the port calls once it has closed
    EXPECT_FALSE(signal->SignalValue());
    EXPECT_EQ(colourOf(panel), clGreen);
    EXPECT_EQ(program.closed, std::vector<TCustomComPort*>{&port});
}

TEST(ComSignalLoading, HooksOnlyWhenLoaded) {
    TComPort port;
    Program program;
    program.install(port);
    QWidget panel;
    TComSignal signal;
    signal.BeginLoading();
    signal.SetSignal(siRxChar);
    signal.SetComPort(&port);
    signal.SetControl(&panel);
    EXPECT_FALSE(signal.Hooked());
    port.OnRxChar()(&port);
    EXPECT_FALSE(signal.SignalValue());

    signal.Loaded();
    EXPECT_TRUE(signal.Hooked());
    EXPECT_EQ(colourOf(panel), clGreen);
    port.OnRxChar()(&port);
    EXPECT_TRUE(signal.SignalValue());
    EXPECT_EQ(program.rx.size(), 2u);
}

} // namespace

// ---- On an open port of the in-memory null-modem pair ----

namespace {

class ComSignalOnLine : public ::testing::Test {
protected:
    void SetUp() override {
        near.SetDeviceName(modem.name(platform::MemoryNullModem::A));
        far.SetDeviceName(modem.name(platform::MemoryNullModem::B));
        near.SetOnRxChar(TNotifyEvent::fromCallable(&received, nullptr, [this](QObject* s) {
            EXPECT_EQ(s, &near);
            received += near.ReadString();
            colourAtRx = colourOf(panel);
        }));
        signal.SetControl(&panel);
        signal.SetColorOn(clRed);
        signal.SetSignal(siRxChar);
        signal.SetComPort(&near);
    }
    void TearDown() override {
        signal.SetComPort(nullptr);
        near.Close();
        far.Close();
    }

    platform::MemoryNullModem modem;
    TComPort near, far;
    QWidget panel;
    TComSignal signal;
    std::string received;
    TColor colourAtRx = 0;
};

TEST_F(ComSignalOnLine, ArrivingBytesLightThePanelAndReachTheProgram) {
    near.Open();
    far.Open();
    far.WriteString("hello");
    ASSERT_TRUE(waitUntil([&] { return received == "hello"; }));
    EXPECT_EQ(colourAtRx, clRed);
    ASSERT_TRUE(waitUntil([&] { return !signal.SignalValue(); }));
    EXPECT_EQ(colourOf(panel), clGreen);
}

TEST_F(ComSignalOnLine, ClosingThePortSwitchesOffAtOnce) {
    near.Open();
    far.Open();
    signal.SetDelay(60000); // only the close can switch it off within the test
    far.WriteString("x");
    ASSERT_TRUE(waitUntil([&] { return signal.SignalValue(); }));
    near.Close();
    EXPECT_FALSE(signal.SignalValue());
    EXPECT_EQ(colourOf(panel), clGreen);
}

TEST_F(ComSignalOnLine, ModemSignalFollowsTheLine) {
    signal.SetSignal(siCTS); // re-hooks onto the CTS change
    near.Open();
    far.Open();
    far.SetRTS();
    ASSERT_TRUE(waitUntil([&] { return signal.SignalValue(); }));
    far.ClearRTS();
    ASSERT_TRUE(waitUntil([&] { return !signal.SignalValue(); }));
}

} // namespace

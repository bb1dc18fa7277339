// SPDX-License-Identifier: GPL-3.0-or-later
// Reads, writes and their events, completion waits and "Timeout", typed values' byte order,
// line errors, modem lines and what a closed port answers.
#include "comport_test_util.h"

#include "platform/testing/memory_port.h"

#include <gtest/gtest.h>

#include <functional>

using comtest::Recorder;
using platform::MemoryNullModem;

namespace {

class ComPortTransfer : public ::testing::Test {
protected:
    void SetUp() override {
        for (TComPort* p : {&near, &far}) {
            p->SetCustomBaudRate(19200);
            p->Timeouts()->SetReadConstant(50);
        }
        near.SetDeviceName(cable.name(MemoryNullModem::A));
        far.SetDeviceName(cable.name(MemoryNullModem::B));
        near.Open();
        far.Open();
    }

    void hookTransfers() {
        near.SetBeforeRead(TReadWriteEvent(&rec, &Recorder::BeforeRead));
        near.SetAfterRead(TReadWriteEvent(&rec, &Recorder::AfterRead));
        near.SetBeforeWrite(TReadWriteEvent(&rec, &Recorder::BeforeWrite));
        near.SetAfterWrite(TReadWriteEvent(&rec, &Recorder::AfterWrite));
    }

    // Sends from the far end and waits (in the event loop) until `n` bytes are queued here.
    void arrive(const std::string& bytes, int n) {
        far.WriteString(bytes);
        far.WaitForWriteCompletion();
        ASSERT_TRUE(comtest::waitForInput(near, n));
    }

    MemoryNullModem cable;
    TComPort near, far;
    Recorder rec;
};

TEST_F(ComPortTransfer, ReadStringTakesExactlyWhatIsQueued) {
    hookTransfers();
    EXPECT_EQ(near.ReadString(), "");
    EXPECT_EQ(rec.calls, (std::vector<std::string>{"beforeread:0w", "afterread:0w"}));

    arrive("12345", 5);
    // More bytes on their way do not join this call's result.
    near.SetBeforeRead(TReadWriteEvent::fromCallable(
        &rec, nullptr, [&](QObject*, const void*, std::int32_t, bool) { far.WriteString("678"); }));
    EXPECT_EQ(near.ReadString(), "12345");
    ASSERT_TRUE(comtest::waitForInput(near, 3));
    EXPECT_EQ(near.ReadString(), "678");
}

TEST_F(ComPortTransfer, ReadWithoutArrivalRaisesTimeoutAndSkipsAfterRead) {
    hookTransfers();
    const std::function<void()> reads[] = {
        [&] { near.ReadChar(); },
        [&] { near.ReadDWord(); },
    };
    for (const auto& read : reads) {
        rec.calls.clear();
        try {
            read();
            ADD_FAILURE() << "no exception";
        } catch (const EComError& e) {
            EXPECT_EQ(e.ErrorCode, 0);
            EXPECT_STREQ(e.what(), "Timeout");
        }
        EXPECT_EQ(rec.count("afterread:1w") + rec.count("afterread:4w"), 0);
        EXPECT_FALSE(near.ReadPending());
    }
    // The port is still usable afterwards.
    arrive("A", 1);
    EXPECT_EQ(near.ReadChar(), 'A');
}

TEST_F(ComPortTransfer, TypedValuesTravelLowByteFirst) {
    arrive(std::string("\x34\x12\x78\x56\x34\x12", 6), 6);
    EXPECT_EQ(near.ReadWord(), 0x1234);
    EXPECT_EQ(near.ReadDWord(), 0x12345678u);

    near.WriteWord(0xBEEF);
    near.WriteDWord(0x01020304);
    near.WriteByte(0xFF);
    near.WriteChar('!');
    near.WaitForWriteCompletion();
    ASSERT_TRUE(comtest::waitForInput(far, 8));
    EXPECT_EQ(far.ReadString(), std::string("\xEF\xBE\x04\x03\x02\x01\xFF!", 8));
}

TEST_F(ComPortTransfer, ReadLineAndReadUntilIncludeTheirTerminator) {
    arrive("first\rsecond;rest", 17);
    EXPECT_EQ(near.ReadLine(), "first\r");
    EXPECT_EQ(near.ReadUntil(';'), "second;");
    EXPECT_EQ(near.ReadString(), "rest");
}

TEST_F(ComPortTransfer, ReadLineThatTimesOutLosesWhatItGathered) {
    arrive("AB", 2);
    EXPECT_THROW(near.ReadLine(), EComError);
    // A later, unrelated line comes out alone.
    arrive("Z\r", 2);
    EXPECT_EQ(near.ReadLine(), "Z\r");
    arrive("x;", 2);
    EXPECT_THROW(near.ReadUntil('\r'), EComError);
    arrive("y;", 2);
    EXPECT_EQ(near.ReadUntil(';'), "y;");
}

// Time-outs that end a read at once: a read with the wait flag that completes at the start
// with fewer bytes raises nothing; the unfilled part keeps its content.
TEST_F(ComPortTransfer, ReadThatEndsAtOnceWithFewerBytesRaisesNothing) {
    near.Timeouts()->SetReadInterval(-1); // MAXDWORD
    near.Timeouts()->SetReadConstant(0);
    arrive("ab", 2);
    char buffer[4] = {'.', '.', '.', '.'};
    EXPECT_NO_THROW(near.Read(buffer, 4, true));
    EXPECT_EQ(std::string(buffer, 4), "ab..");
    EXPECT_NO_THROW(EXPECT_EQ(near.ReadChar(), '\0'));
    EXPECT_FALSE(near.ReadPending());
}

TEST_F(ComPortTransfer, ZeroCountCallsTheEventsButMovesNothing) {
    hookTransfers();
    char dummy = 0;
    near.Read(&dummy, 0, true);
    near.Write(&dummy, 0, false);
    EXPECT_EQ(rec.calls, (std::vector<std::string>{"beforeread:0w", "afterread:0w", "beforewrite:0",
                                                   "afterwrite:0"}));
    EXPECT_FALSE(near.ReadPending());
    EXPECT_FALSE(near.WritePending());
}

TEST_F(ComPortTransfer, WritesTakeTheirBytesAtOnceAndQueueBehindEachOther) {
    hookTransfers();
    std::string text = "abc";
    near.WriteString(text);
    text = "xyz"; // the caller's buffer may change at once
    near.WriteString(text);
    EXPECT_EQ(rec.calls, (std::vector<std::string>{"beforewrite:3", "afterwrite:3", "beforewrite:3",
                                                   "afterwrite:3"}));
    near.Flush();
    ASSERT_TRUE(comtest::waitForInput(far, 6));
    EXPECT_EQ(far.ReadString(), "abcxyz");
}

TEST_F(ComPortTransfer, LineErrorIsReportedOnceBeforeTheRead) {
    // The bytes and the error come before the handler: its event thread would otherwise
    // compete with the test for the device's one event wait.
    arrive("ok", 2);
    ASSERT_TRUE(comtest::waitForCommEvent(near, win::EV_ERR, [&] {
        cable.injectLineError(MemoryNullModem::A, win::CE_FRAME | win::CE_RXPARITY);
    }));
    std::vector<TLineErrors> seen;
    near.SetOnLineError(
        TLineErrorEvent::fromCallable(&seen, nullptr, [&](QObject* sender, TLineErrors e) {
            EXPECT_EQ(sender, &near);
            seen.push_back(e);
        }));
    // The completion wait at the start of the read takes (and clears) the error word.
    EXPECT_EQ(near.ReadString(), "ok");
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0], TLineErrors({leFrame, leParity}));
    EXPECT_EQ(near.ReadString(), "");
    // A hand-over the event thread may have queued for the same error finds it taken.
    QCoreApplication::processEvents();
    EXPECT_EQ(seen.size(), 1u);
}

TEST(ComPortLineErrors, DecodeEveryFlag) {
    EXPECT_TRUE(TCustomComPort::GetLineErrors(0).empty());
    EXPECT_EQ(TCustomComPort::GetLineErrors(0x0010), TLineErrors({leBreak}));
    EXPECT_EQ(TCustomComPort::GetLineErrors(0x8000 | 0x0001 | 0x0002),
              TLineErrors({leMode, leRxOverflow, leOverrun}));
    EXPECT_EQ(TCustomComPort::GetLineErrors(0xFFFF).bits(), 0x07FF);
}

TEST_F(ComPortTransfer, ModemLinesCrossTheCable) {
    far.ClearDTR();
    far.ClearRTS();
    EXPECT_TRUE(near.GetModemStatus().empty());
    far.SetRTS();
    EXPECT_EQ(near.ModemStatus(), TModemStatus({msCTS}));
    far.SetDTR();
    EXPECT_EQ(near.ModemStatus(), TModemStatus({msCTS, msDSR, msRLSD}));
    cable.setRing(MemoryNullModem::A, true);
    EXPECT_TRUE(near.ModemStatus().contains(msRing));
    EXPECT_NO_THROW(near.SetBreak());
    EXPECT_NO_THROW(near.ClearBreak());
    EXPECT_NO_THROW(near.TransmitChar('T'));
    ASSERT_TRUE(comtest::waitForInput(far, 1));
    EXPECT_EQ(far.ReadString(), "T");
}

TEST(ComPortClosed, OperationsOnAClosedPortFailOrDoNothingAsDocumented) {
    TComPort port;
    const std::pair<const char*, std::function<void()>> raising[] = {
        {"Read", [&] { port.ReadChar(); }},
        {"Write", [&] { port.WriteChar('x'); }},
        {"WriteString", [&] { port.WriteString("abc"); }},
        {"ReadString", [&] { port.ReadString(); }},
        {"WaitForReadCompletion", [&] { port.WaitForReadCompletion(); }},
        {"WaitForWriteCompletion", [&] { port.WaitForWriteCompletion(); }},
        {"CheckLineErrors", [&] { port.CheckLineErrors(); }},
        {"ClearLineErrors", [&] { port.ClearLineErrors(); }},
        {"SetDTR", [&] { port.SetDTR(); }},
        {"ClearRTS", [&] { port.ClearRTS(); }},
        {"SetBreak", [&] { port.SetBreak(); }},
        {"TransmitChar", [&] { port.TransmitChar('x'); }},
        {"ResetDevice", [&] { port.ResetDevice(); }},
        {"GetModemStatus", [&] { port.GetModemStatus(); }},
    };
    for (const auto& [name, op] : raising) {
        SCOPED_TRACE(name);
        try {
            op();
            ADD_FAILURE() << "no exception";
        } catch (const EComError& e) {
            EXPECT_EQ(e.ErrorCode, 0);
            EXPECT_STREQ(e.what(), "Can't perform this operation on a closed port");
        }
    }
    EXPECT_NO_THROW(port.PurgeInput());
    EXPECT_NO_THROW(port.PurgeOutput());
    EXPECT_NO_THROW(port.ClearInput());
    EXPECT_NO_THROW(port.AbortOutput());
    EXPECT_NO_THROW(port.Flush());
    for (auto count : {std::function<void()>([&] { port.InputCount(); }),
                       std::function<void()>([&] { port.OutputCount(); })}) {
        try {
            count();
            ADD_FAILURE() << "no exception";
        } catch (const EComError& e) {
            EXPECT_EQ(e.ErrorCode, 6);
        }
    }
    EXPECT_FALSE(port.ReadPending());
    EXPECT_FALSE(port.WritePending());
}

TEST_F(ComPortTransfer, BadTransferArgumentsAreRefused) {
    hookTransfers();
    char buf[4];
    EXPECT_THROW(near.Read(buf, -1, true), EComError);
    EXPECT_THROW(near.Write(nullptr, 3, false), EComError);
    EXPECT_TRUE(rec.calls.empty());
    near.BufferSizes()->SetInput(8192);
    EXPECT_THROW(near.BufferSizes()->SetInput(-1), EComError);
}

} // namespace

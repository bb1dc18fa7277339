// SPDX-License-Identifier: GPL-3.0-or-later
// Line events that a pty cannot show, through the in-memory null-modem pair.
#include "serial_test_util.h"

#include "platform/testing/memory_port.h"
#include "support/thread_state.h"

#include <cerrno>
#include <cstring>
#include <future>
#include <thread>

using namespace serialtest;
using platform::MemoryNullModem;

namespace {

class SerialMemory : public ::testing::Test {
protected:
    void SetUp() override {
        a = openPort(cable.name(MemoryNullModem::A));
        b = openPort(cable.name(MemoryNullModem::B));
        ASSERT_NE(a, INVALID_HANDLE_VALUE);
        ASSERT_NE(b, INVALID_HANDLE_VALUE);
    }
    void TearDown() override {
        if (a != INVALID_HANDLE_VALUE)
            CloseHandle(a);
        if (b != INVALID_HANDLE_VALUE)
            CloseHandle(b);
    }
    // Arms a wait on `h` for `mask`, runs `cause`, and returns the event word.
    template <class F> DWORD eventAfter(HANDLE h, DWORD mask, F cause) {
        EXPECT_TRUE(SetCommMask(h, mask));
        Overlapped w;
        DWORD ev = 0;
        if (!WaitCommEvent(h, &ev, &w.ov)) {
            EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
            cause();
            EXPECT_TRUE(w.signalled(10000));
            DWORD n;
            EXPECT_TRUE(GetOverlappedResult(h, &w.ov, &n, FALSE));
        }
        return ev;
    }

    MemoryNullModem cable;
    HANDLE a = INVALID_HANDLE_VALUE, b = INVALID_HANDLE_VALUE;
};

} // namespace

TEST_F(SerialMemory, BytesCrossAndEachSideIsExclusive) {
    EXPECT_EQ(openPort(cable.name(MemoryNullModem::A)), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    COMMTIMEOUTS t{0, 0, 5000, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(b, &t));
    std::string big(300000, '\0');
    for (std::size_t i = 0; i < big.size(); ++i)
        big[i] = char(i * 7);
    std::thread writer([&] { EXPECT_TRUE(writeAll(a, big)); });
    EXPECT_EQ(readSome(b, DWORD(big.size())), big);
    writer.join();
}

TEST_F(SerialMemory, ModemLinesCrossAndTheirChangesAreEvents) {
    DWORD s = 0;
    ASSERT_TRUE(GetCommModemStatus(b, &s));
    EXPECT_EQ(s, MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON) << "open raises DTR and RTS";

    struct Case {
        DWORD func;
        DWORD event;
        DWORD status; // of the far side afterwards
    } cases[] = {
        {CLRDTR, EV_DSR | EV_RLSD, MS_CTS_ON},
        {CLRRTS, EV_CTS, 0},
        {SETRTS, EV_CTS, MS_CTS_ON},
        {SETDTR, EV_DSR | EV_RLSD, MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON},
    };
    for (const auto& c : cases) {
        DWORD ev = eventAfter(b, EV_CTS | EV_DSR | EV_RLSD,
                              [&] { EXPECT_TRUE(EscapeCommFunction(a, c.func)); });
        EXPECT_EQ(ev, c.event) << c.func;
        ASSERT_TRUE(GetCommModemStatus(b, &s));
        EXPECT_EQ(s, c.status) << c.func;
    }

    // The block's DTR and RTS control drives the lines too.
    DCB dcb;
    ASSERT_TRUE(GetCommState(a, &dcb));
    dcb.Flags &= ~(DCB_fDtrControlMask | DCB_fRtsControlMask);
    DWORD ev = eventAfter(b, EV_CTS | EV_DSR, [&] { EXPECT_TRUE(SetCommState(a, &dcb)); });
    EXPECT_NE(ev & (EV_CTS | EV_DSR), 0u);
    ASSERT_TRUE(GetCommModemStatus(b, &s));
    EXPECT_EQ(s, 0u);

    // Ring is reported on its own side.
    ev = eventAfter(a, EV_RING, [&] { cable.setRing(MemoryNullModem::A, true); });
    EXPECT_EQ(ev, EV_RING);
    ASSERT_TRUE(GetCommModemStatus(a, &s));
    EXPECT_TRUE(s & MS_RING_ON);
}

TEST_F(SerialMemory, BreaksAndLineErrorsAreEventsAndClearCommErrorReportsThemOnce) {
    DWORD ev = eventAfter(b, EV_BREAK | EV_ERR, [&] { EXPECT_TRUE(SetCommBreak(a)); });
    EXPECT_EQ(ev, EV_BREAK);
    EXPECT_TRUE(ClearCommBreak(a));

    struct Case {
        unsigned ce;
        DWORD event;
    } cases[] = {{CE_FRAME, EV_ERR}, {CE_RXPARITY, EV_ERR}, {CE_OVERRUN, EV_ERR}};
    for (const auto& c : cases) {
        DWORD errors = 0;
        ASSERT_TRUE(ClearCommError(b, &errors, nullptr));
        ev = eventAfter(b, EV_BREAK | EV_ERR,
                        [&] { cable.injectLineError(MemoryNullModem::B, c.ce); });
        EXPECT_EQ(ev, c.event);
        ASSERT_TRUE(ClearCommError(b, &errors, nullptr));
        EXPECT_EQ(errors, c.ce);
        ASSERT_TRUE(ClearCommError(b, &errors, nullptr));
        EXPECT_EQ(errors, 0u) << "errors are cleared by reading them";
    }
    ev = eventAfter(a, EV_BREAK, [&] { cable.injectBreak(MemoryNullModem::A); });
    EXPECT_EQ(ev, EV_BREAK);
    DWORD errors = 0;
    ASSERT_TRUE(ClearCommError(a, &errors, nullptr));
    EXPECT_EQ(errors, CE_BREAK);
}

TEST_F(SerialMemory, AbortOnErrorStopsTransfersUntilTheErrorIsCleared) {
    DCB dcb;
    ASSERT_TRUE(GetCommState(b, &dcb));
    dcb.Flags |= DCB_fAbortOnError;
    ASSERT_TRUE(SetCommState(b, &dcb));
    COMMTIMEOUTS t{0, 0, 0, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(b, &t));
    char buf[4];
    Overlapped r;
    DWORD done = 0;
    ASSERT_FALSE(startRead(b, buf, 4, r, done));
    cable.injectLineError(MemoryNullModem::B, CE_FRAME);
    ASSERT_TRUE(r.signalled(10000));
    EXPECT_FALSE(GetOverlappedResult(b, &r.ov, &done, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
    EXPECT_FALSE(ReadFile(b, buf, 1, &done, &r.ov));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
    DWORD errors = 0;
    ASSERT_TRUE(ClearCommError(b, &errors, nullptr));
    EXPECT_EQ(errors, CE_FRAME);
    ASSERT_TRUE(writeAll(a, "ok"));
    t.ReadTotalTimeoutConstant = 5000;
    ASSERT_TRUE(SetCommTimeouts(b, &t));
    EXPECT_EQ(readSome(b, 2), "ok");
}

TEST_F(SerialMemory, ReceiveQueueFillsTo80PercentWithoutLosingBytes) {
    ASSERT_TRUE(SetupComm(b, 100, 100));
    DWORD ev = eventAfter(b, EV_RX80FULL, [&] { EXPECT_TRUE(writeAll(a, std::string(90, 'q'))); });
    EXPECT_EQ(ev, EV_RX80FULL);
    // More than the queue holds waits in the cable instead of being dropped.
    ASSERT_TRUE(writeAll(a, std::string(500, 'r')));
    COMMTIMEOUTS t{0, 0, 5000, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(b, &t));
    EXPECT_EQ(readSome(b, 590), std::string(90, 'q') + std::string(500, 'r'));
    DWORD errors = 0;
    ASSERT_TRUE(ClearCommError(b, &errors, nullptr));
    EXPECT_EQ(errors, 0u);
}

TEST_F(SerialMemory, SuspendedOutputIsHeldUntilXonAndFlushCanBeCancelled) {
    ASSERT_TRUE(EscapeCommFunction(a, SETXOFF));
    Overlapped w;
    DWORD done = 0;
    EXPECT_FALSE(WriteFile(a, "held", 4, &done, &w.ov));
    EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
    COMSTAT st{};
    ASSERT_TRUE(ClearCommError(a, nullptr, &st));
    EXPECT_EQ(st.cbOutQue, 4u);
    BOOL flushed = TRUE;
    DWORD flushError = 0;
    std::thread flusher([&] {
        flushed = FlushFileBuffers(a);
        flushError = GetLastError();
    });
    ASSERT_TRUE(EscapeCommFunction(a, SETXON));
    ASSERT_TRUE(w.signalled(10000));
    flusher.join();
    EXPECT_TRUE(flushed);

    ASSERT_TRUE(EscapeCommFunction(a, SETXOFF));
    EXPECT_FALSE(WriteFile(a, "held", 4, &done, &w.ov));
    // The flush blocks on held output; a purge from another thread must end it. The purge
    // has to come after the flush began waiting: a purge first would leave nothing to wait for.
    std::promise<pid_t> flusherId;
    std::thread blockedFlusher([&] {
        flusherId.set_value(testsupport::currentThreadId());
        flushed = FlushFileBuffers(a);
        flushError = GetLastError();
    });
    EXPECT_TRUE(testsupport::waitUntilThreadSleeps(flusherId.get_future().get()));
    EXPECT_TRUE(PurgeComm(a, PURGE_TXABORT | PURGE_TXCLEAR));
    blockedFlusher.join();
    EXPECT_FALSE(flushed);
    EXPECT_EQ(flushError, ERROR_OPERATION_ABORTED);
    EXPECT_FALSE(GetOverlappedResult(a, &w.ov, &done, TRUE));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
}

TEST_F(SerialMemory, WriteTimeoutEndsAHeldWriteWithWhatWasSent) {
    COMMTIMEOUTS t{0, 0, 0, 0, 50};
    ASSERT_TRUE(SetCommTimeouts(a, &t));
    ASSERT_TRUE(EscapeCommFunction(a, SETXOFF));
    Overlapped w;
    DWORD done = 0;
    ASSERT_FALSE(WriteFile(a, "late", 4, &done, &w.ov));
    ASSERT_TRUE(w.signalled(10000));
    EXPECT_TRUE(GetOverlappedResult(a, &w.ov, &done, FALSE));
    EXPECT_EQ(done, 0u);
}

TEST_F(SerialMemory, CancelIoEndsOnlyTheCallingThreadsRequests) {
    ASSERT_TRUE(SetCommMask(b, EV_RXCHAR));
    Overlapped w;
    DWORD ev = 0;
    std::thread other([&] { EXPECT_FALSE(WaitCommEvent(b, &ev, &w.ov)); });
    other.join();
    COMMTIMEOUTS t{0, 0, 0, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(b, &t));
    char buf[2];
    Overlapped r;
    DWORD done;
    ASSERT_FALSE(startRead(b, buf, 2, r, done));
    ASSERT_TRUE(CancelIo(b));
    EXPECT_FALSE(GetOverlappedResult(b, &r.ov, &done, TRUE));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
    EXPECT_FALSE(w.signalled(20)) << "another thread's wait was cancelled";
    ASSERT_TRUE(writeAll(a, "x"));
    EXPECT_TRUE(w.signalled(10000));
    EXPECT_EQ(ev, EV_RXCHAR);
}

TEST_F(SerialMemory, VanishedDeviceFailsPendingAndLaterRequestsAndCannotBeReopened) {
    ASSERT_TRUE(SetCommMask(b, EV_RXCHAR));
    Overlapped w;
    DWORD ev = 0;
    ASSERT_FALSE(WaitCommEvent(b, &ev, &w.ov));
    cable.vanish(MemoryNullModem::B);
    ASSERT_TRUE(w.signalled(10000));
    DWORD n;
    EXPECT_FALSE(GetOverlappedResult(b, &w.ov, &n, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(WriteFile(b, "x", 1, &n, &w.ov));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_NE(SysErrorMessage(ERROR_ACCESS_DENIED).find(strerror(ENODEV)), std::string::npos)
        << "the reason stays with every later failure";
    DWORD status;
    EXPECT_FALSE(GetCommModemStatus(b, &status));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(CloseHandle(b));
    b = INVALID_HANDLE_VALUE;
    EXPECT_EQ(openPort(cable.name(MemoryNullModem::B)), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(SerialMemory, ChangingTheMaskKeepsEventsOfBitsThatStay) {
    ASSERT_TRUE(SetCommMask(a, EV_RXCHAR));
    COMMTIMEOUTS t{};
    t.ReadTotalTimeoutConstant = 20000;
    ASSERT_TRUE(SetCommTimeouts(a, &t));
    ASSERT_TRUE(writeAll(b, "x"));
    ASSERT_EQ(readSome(a, 1), "x"); // it has arrived, and no wait was pending
    ASSERT_TRUE(SetCommMask(a, EV_RXCHAR | EV_TXEMPTY));
    DWORD ev = 0;
    Overlapped w;
    EXPECT_TRUE(WaitCommEvent(a, &ev, &w.ov)) << "the arrival was forgotten";
    EXPECT_EQ(ev, EV_RXCHAR);

    // A bit that leaves the mask takes its recorded event with it.
    ASSERT_TRUE(writeAll(b, "y"));
    ASSERT_EQ(readSome(a, 1), "y");
    ASSERT_TRUE(SetCommMask(a, EV_TXEMPTY));
    ASSERT_TRUE(SetCommMask(a, EV_RXCHAR));
    EXPECT_FALSE(WaitCommEvent(a, &ev, &w.ov));
    EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
    ASSERT_TRUE(SetCommMask(a, 0));
    EXPECT_TRUE(w.signalled(10000));
}

TEST(SerialMemoryNames, NamesAreUniqueAndForgottenWithTheCable) {
    std::string name;
    {
        MemoryNullModem one, two;
        EXPECT_NE(one.name(MemoryNullModem::A), two.name(MemoryNullModem::A));
        EXPECT_NE(one.name(MemoryNullModem::A), one.name(MemoryNullModem::B));
        EXPECT_EQ(one.name(MemoryNullModem::A).front(), '/');
        name = one.name(MemoryNullModem::A);
    }
    EXPECT_EQ(openPort(name), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

// Bytes that arrive just before the device goes reach their reader, read the way the port
// component reads them (queue status, read, line-error check): a wait hears of them rather
// than of the going, and the line check of the read that takes the last of them is still
// answered. Only then does the device count as gone. Once with the going seen after the
// bytes were told, once with the device removed at once.
TEST(SerialMemoryGone, TheLastBytesBeforeTheDeviceGoesAllReachTheReader) {
    for (const bool toldFirst : {true, false}) {
        SCOPED_TRACE(toldFirst ? "gone after the arrival was told" : "gone at once");
        MemoryNullModem cable;
        HANDLE a = openPort(cable.name(MemoryNullModem::A));
        HANDLE b = openPort(cable.name(MemoryNullModem::B));
        ASSERT_NE(a, INVALID_HANDLE_VALUE);
        ASSERT_NE(b, INVALID_HANDLE_VALUE);
        COMMTIMEOUTS t{MAXDWORD, 0, 0, 0, 0}; // a read takes what is queued
        ASSERT_TRUE(SetCommTimeouts(b, &t));
        ASSERT_TRUE(SetCommMask(b, EV_RXCHAR));
        std::string sent(toldFirst ? 3000 : 9000, '\0'); // at once: more than the queue holds
        for (std::size_t i = 0; i < sent.size(); ++i)
            sent[i] = char('a' + i % 26);
        Overlapped w;
        DWORD ev = 0, n = 0;
        ASSERT_FALSE(WaitCommEvent(b, &ev, &w.ov));
        ASSERT_TRUE(writeAll(a, sent));
        if (toldFirst) {
            ASSERT_TRUE(w.signalled(10000));
            ASSERT_TRUE(GetOverlappedResult(b, &w.ov, &n, FALSE));
            ASSERT_FALSE(WaitCommEvent(b, &ev, &w.ov));
            cable.vanish(MemoryNullModem::B);
            ASSERT_TRUE(w.signalled(10000)); // the driver has seen the going
            EXPECT_FALSE(GetOverlappedResult(b, &w.ov, &n, FALSE));
            EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
        } else {
            cable.vanish(MemoryNullModem::B);
        }

        std::string got;
        for (int round = 0; round < 1000 && got.size() < sent.size(); ++round) {
            if (!toldFirst || round > 0) {
                ASSERT_TRUE(w.signalled(10000));
                ASSERT_TRUE(GetOverlappedResult(b, &w.ov, &n, FALSE))
                    << "the wait told of the going before " << sent.size() - got.size() << " bytes";
                ASSERT_EQ(ev, DWORD(EV_RXCHAR));
            }
            COMSTAT st{};
            ASSERT_TRUE(ClearCommError(b, nullptr, &st));
            std::string chunk(st.cbInQue, '\0');
            DWORD done = 0;
            ASSERT_TRUE(ReadFile(b, chunk.data(), st.cbInQue, &done, nullptr));
            DWORD errors = 0;
            ASSERT_TRUE(ClearCommError(b, &errors, nullptr)) << "the read's line check failed";
            got.append(chunk, 0, done);
            if (got.size() < sent.size() && !WaitCommEvent(b, &ev, &w.ov)) {
                ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
            }
        }
        EXPECT_EQ(got, sent);

        // Now the going is told: to the next wait once the driver has seen it, and to every
        // call after that.
        if (!WaitCommEvent(b, &ev, &w.ov) && GetLastError() == ERROR_IO_PENDING) {
            ASSERT_TRUE(w.signalled(10000));
            EXPECT_FALSE(GetOverlappedResult(b, &w.ov, &n, FALSE));
        }
        EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
        DWORD errors = 0;
        EXPECT_FALSE(ClearCommError(b, &errors, nullptr));
        EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
        CloseHandle(a);
        CloseHandle(b);
    }
}

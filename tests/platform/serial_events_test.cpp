// SPDX-License-Identifier: GPL-3.0-or-later
#include "serial_test_util.h"

#include <atomic>
#include <thread>

using namespace serialtest;

TEST(SerialEvents, ManualResetStaysSignalledAutoResetIsConsumed) {
    HANDLE manual = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    HANDLE autoEv = CreateEventA(nullptr, FALSE, TRUE, nullptr);
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(autoEv, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(autoEv, 0), WAIT_TIMEOUT);
    ResetEvent(manual);
    EXPECT_EQ(WaitForSingleObject(manual, 10), WAIT_TIMEOUT);
    CloseHandle(manual);
    CloseHandle(autoEv);
}

TEST(SerialEvents, WaitAnyReportsLowestSignalledAndWakesOnSetFromAnotherThread) {
    HANDLE h[3] = {CreateEventA(nullptr, TRUE, FALSE, nullptr),
                   CreateEventA(nullptr, FALSE, FALSE, nullptr),
                   CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    SetEvent(h[2]);
    SetEvent(h[1]);
    EXPECT_EQ(WaitForMultipleObjects(3, h, FALSE, 0), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(WaitForMultipleObjects(3, h, FALSE, 0), WAIT_OBJECT_0 + 2); // h[1] consumed
    ResetEvent(h[2]);
    std::thread setter([&] { SetEvent(h[0]); });
    EXPECT_EQ(WaitForMultipleObjects(3, h, FALSE, 10000), WAIT_OBJECT_0);
    setter.join();
    for (HANDLE e : h)
        CloseHandle(e);
}

TEST(SerialEvents, WaitAllNeedsEveryEventAndConsumesAutoResetOnlyThen) {
    HANDLE h[2] = {CreateEventA(nullptr, FALSE, TRUE, nullptr),
                   CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    EXPECT_EQ(WaitForMultipleObjects(2, h, TRUE, 20), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(h[0], 0), WAIT_OBJECT_0) << "partial wait-all consumed it";
    SetEvent(h[0]);
    SetEvent(h[1]);
    EXPECT_EQ(WaitForMultipleObjects(2, h, TRUE, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(h[0], 0), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(h[1], 0), WAIT_OBJECT_0);
    HANDLE twice[2] = {h[1], h[1]};
    EXPECT_EQ(WaitForMultipleObjects(2, twice, TRUE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    for (HANDLE e : h)
        CloseHandle(e);
}

TEST(SerialEvents, TimedWaitReturnsAfterItsTime) {
    HANDLE e = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    auto t0 = Clock::now();
    EXPECT_EQ(WaitForSingleObject(e, 50), WAIT_TIMEOUT);
    EXPECT_GE(msSince(t0), 49.0);
    CloseHandle(e);
}

TEST(SerialEvents, ClosedOrBogusHandlesFailWithInvalidHandle) {
    HANDLE e = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_TRUE(CloseHandle(e));
    EXPECT_FALSE(CloseHandle(e));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(SetEvent(e));
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(CloseHandle(INVALID_HANDLE_VALUE));
    EXPECT_FALSE(CloseHandle(nullptr));
    DCB dcb;
    EXPECT_FALSE(GetCommState(INVALID_HANDLE_VALUE, &dcb));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(SerialEvents, LastErrorIsPerThreadAndMessagesCarryTheReason) {
    SetLastError(ERROR_ACCESS_DENIED);
    DWORD other = 0;
    std::thread([&] { other = GetLastError(); }).join();
    EXPECT_EQ(other, ERROR_SUCCESS);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(platform::lastErrnoDetail(), 0);
    for (DWORD code :
         {ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED, ERROR_INVALID_HANDLE, ERROR_GEN_FAILURE,
          ERROR_INVALID_PARAMETER, ERROR_OPERATION_ABORTED, ERROR_IO_PENDING, DWORD(4711)})
        EXPECT_FALSE(SysErrorMessage(code).empty()) << code;
    EXPECT_NE(SysErrorMessage(ERROR_FILE_NOT_FOUND), SysErrorMessage(ERROR_ACCESS_DENIED));
}

TEST(SerialEvents, PriorityCallsRefuseNonsenseAndLoweringWorks) {
    EXPECT_FALSE(SetPriorityClass(0x1234));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(platform::setThreadPriority(static_cast<unsigned long>(pthread_self()), 7));
    std::thread t([] {
        // A thread of its own: lowering is always allowed and must not touch the others.
        EXPECT_TRUE(platform::setThreadPriority(static_cast<unsigned long>(pthread_self()), 0));
        int policy = -1;
        sched_param p{};
        pthread_getschedparam(pthread_self(), &policy, &p);
        EXPECT_EQ(policy, SCHED_IDLE);
    });
    t.join();
}

#include "platform/error_table.h"

#include <cerrno>

TEST(SerialEvents, ErrnoMapsOntoTheFewErrorNumbersCallersKnow) {
    struct Case {
        int err;
        DWORD code;
    } cases[] = {
        {ENOENT, ERROR_FILE_NOT_FOUND},    {ENXIO, ERROR_FILE_NOT_FOUND},
        {ENODEV, ERROR_FILE_NOT_FOUND},    {ENOTTY, ERROR_FILE_NOT_FOUND},
        {EIO, ERROR_FILE_NOT_FOUND},       {EBUSY, ERROR_ACCESS_DENIED},
        {EACCES, ERROR_ACCESS_DENIED},     {EPERM, ERROR_ACCESS_DENIED},
        {EINVAL, ERROR_INVALID_PARAMETER}, {ENOMEM, ERROR_GEN_FAILURE},
    };
    for (const auto& c : cases)
        EXPECT_EQ(platform::errorFromErrno(c.err), c.code) << strerror(c.err);
}

// Waiters come and go (short timed waits) while another thread keeps setting the event: a
// set tells its waiters after letting go of the lock, when a waiter may already have left.
// Under the sanitizers this shows any use of a waiter that is gone; and no set is lost.
TEST(SerialEvents, SetsRacingWithWaitersThatLeaveLoseNothing) {
    HANDLE ev = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    std::atomic<bool> stop{false};
    std::thread setter([&] {
        while (!stop.load())
            SetEvent(ev);
    });
    int woken = 0;
    for (int i = 0; i < 2000; ++i) {
        const DWORD r = WaitForSingleObject(ev, 1);
        ASSERT_TRUE(r == WAIT_OBJECT_0 || r == WAIT_TIMEOUT) << r;
        woken += r == WAIT_OBJECT_0;
    }
    stop = true;
    setter.join();
    EXPECT_GT(woken, 0);
    SetEvent(ev);
    EXPECT_EQ(WaitForSingleObject(ev, 10000), WAIT_OBJECT_0);
    CloseHandle(ev);
}

// SPDX-License-Identifier: GPL-3.0-or-later
// What the component owes callers other than the program: an indicator that lets go of a
// port whose device has just vanished, errors that carry the system's reason, the process
// priority given back exactly, and handler slots that the event thread reads while the
// owner assigns them.
#include "comport_test_util.h"

#include "platform/testing/memory_port.h"
#include "widgets/Comsignal.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

using comtest::Recorder;
using platform::MemoryNullModem;

namespace {

class ComPortVanished : public ::testing::Test {
protected:
    void SetUp() override {
        near.SetDeviceName(cable.name(MemoryNullModem::A));
        near.SetOnRxChar(TNotifyEvent(&rec, &Recorder::RxChar));
        near.SetAfterClose(TOpenCloseEvent(&rec, &Recorder::AfterClose));
        signal = std::make_unique<TComSignal>();
        signal->SetSignal(siRxChar);
        signal->SetComPort(&near);
        near.Open();
        ASSERT_TRUE(near.Active());
        // Gone, but the UI thread has not yet heard of it: the port is still open.
        cable.vanish(MemoryNullModem::A);
    }

    MemoryNullModem cable;
    TComPort near;
    Recorder rec;
    std::unique_ptr<TComSignal> signal;
};

TEST_F(ComPortVanished, IndicatorLetsGoWithoutRaising) {
    EXPECT_NO_THROW(signal->SetComPort(nullptr));
    EXPECT_FALSE(signal->Hooked());
    EXPECT_TRUE(near.OnRxChar().sameRoutine(TNotifyEvent(&rec, &Recorder::RxChar)));
    EXPECT_TRUE(near.AfterClose().sameRoutine(TOpenCloseEvent(&rec, &Recorder::AfterClose)));
    // The port hears of its device at last and closes; the indicator is not called.
    ASSERT_TRUE(comtest::waitUntil([&] { return !near.Active(); }));
    EXPECT_EQ(rec.count("afterclose"), 1);
}

TEST_F(ComPortVanished, DeletingTheIndicatorNeitherThrowsNorLeavesItOnThePort) {
    EXPECT_NO_THROW(signal.reset());
    EXPECT_TRUE(near.OnRxChar().sameRoutine(TNotifyEvent(&rec, &Recorder::RxChar)));
    ASSERT_TRUE(comtest::waitUntil([&] { return !near.Active(); }));
    EXPECT_EQ(rec.count("afterclose"), 1);
}

TEST(ComSignalHooking, TakingOverTwiceNeverChainsToItself) {
    TComPort port;
    Recorder rec;
    port.SetOnRxChar(TNotifyEvent(&rec, &Recorder::RxChar));
    TComSignal signal;
    signal.SetSignal(siRxChar);
    signal.SetComPort(&port);
    signal.RetrieveEvents();
    port.OnRxChar()(&port);
    EXPECT_EQ(rec.count("rx"), 1);
    signal.SetComPort(nullptr);
    EXPECT_TRUE(port.OnRxChar().sameRoutine(TNotifyEvent(&rec, &Recorder::RxChar)));
}

TEST(ComPortErrors, MessagesCarryTheSystemsReason) {
    TComPort port;
    port.SetDeviceName("/nonexistent-xrq-dir/ttyX");
    try {
        port.Open();
        ADD_FAILURE() << "opened";
    } catch (const EComError& e) {
        EXPECT_EQ(e.ErrorCode, 2);
        EXPECT_NE(std::string(e.what()).find(std::strerror(ENOENT)), std::string::npos) << e.what();
    }

    // A device that has gone says so once, with why.
    MemoryNullModem cable;
    port.SetDeviceName(cable.name(MemoryNullModem::A));
    port.Open();
    cable.vanish(MemoryNullModem::A);
    try {
        port.WriteChar('x');
        port.WaitForWriteCompletion();
        ADD_FAILURE() << "no error from a vanished device";
    } catch (const EComError& e) {
        EXPECT_EQ(e.ErrorCode, 5);
        EXPECT_NE(std::string(e.what()).find(std::strerror(ENODEV)), std::string::npos) << e.what();
    }
    port.Close();
}

// Linux keeps a nice value per thread; the test sets and reads all of them.
int processNice() {
    errno = 0;
    return getpriority(PRIO_PROCESS, 0);
}

bool setProcessNice(int nice) {
    DIR* dir = opendir("/proc/self/task");
    if (!dir)
        return false;
    bool ok = true;
    while (dirent* e = readdir(dir))
        if (e->d_name[0] != '.')
            ok =
                setpriority(PRIO_PROCESS, static_cast<id_t>(std::atoi(e->d_name)), nice) == 0 && ok;
    closedir(dir);
    return ok;
}

// Runs as the ordinary user, where a lowered priority must stay lowered, and once more as root
// (the suite's name gives it the "also-root" label), where the exact nice value comes back.
TEST(ComPortPriorityAlsoAsRoot, CloseGivesBackTheExactNiceValue) {
    MemoryNullModem cable;
    TComPort port;
    port.SetDeviceName(cable.name(MemoryNullModem::A));
    port.SetPriorityClass(pcIdle);
    const int start = processNice();
    port.Open();
    port.Close();
    EXPECT_EQ(processNice(), start) << "an ordinary user cannot raise it back once lowered";

    // Root may lower and raise at will: a value between the classes comes back as it was.
    if (!setProcessNice(start) || geteuid() != 0)
        GTEST_SKIP() << "needs the privilege to raise the priority again";
    ASSERT_TRUE(setProcessNice(10));
    port.Open();
    EXPECT_EQ(processNice(), 19);
    port.Close();
    EXPECT_EQ(processNice(), 10);
    setProcessNice(start);
}

// Handlers that run on the event thread read their slots while the owner assigns them; under
// the race detector an unguarded slot shows up here.
TEST(ComPortHandlers, AssigningWhileTheEventThreadDispatchesIsSafe) {
    MemoryNullModem cable;
    TComPort near, far;
    near.SetDeviceName(cable.name(MemoryNullModem::A));
    far.SetDeviceName(cable.name(MemoryNullModem::B));
    near.SetSynchronizeEvents(false);
    std::atomic<int> calls{0};
    auto counter = [&](int tag) {
        return TNotifyEvent::fromCallable(&calls, reinterpret_cast<void*>(std::intptr_t(tag)),
                                          [&](QObject*) {
                                              ++calls; // on the event thread: no event for the wait
                                              testsupport::wakeWaiters();
                                          });
    };
    near.SetOnRxChar(counter(1));
    near.Open();
    far.Open();
    for (int i = 0; i < 200; ++i) {
        far.WriteChar('x');
        near.SetOnTxEmpty(i % 2 ? TNotifyEvent() : counter(2)); // keeps the thread running
    }
    ASSERT_TRUE(comtest::waitUntil([&] { return calls.load() > 0; }));
    near.Close();
    far.Close();
}

} // namespace

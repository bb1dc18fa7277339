// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/exception_guard.h"
#include "support/wait.h"
#include "ui_handover/off_ui_thread.h"
#include "ui_handover/ui_handover.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using platform::UiHandover;
using testsupport::waitUntil;

// Many threads post at once; the UI thread's loop alone runs the calls, each producer's in
// the order it posted them, none lost, none twice.
TEST(UiHandover, ManyProducersAreDrainedOnTheUiThreadInEachOnesOrder) {
    constexpr int kProducers = 4;
    constexpr int kEach = 2000;
    UiHandover handover;
    const auto uiThread = std::this_thread::get_id();
    // Touched by the calls only: the race detector sees whether the hand-over orders them.
    std::vector<int> next(kProducers, 0);
    int ran = 0, offThread = 0, outOfOrder = 0;
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p)
        producers.emplace_back([&, p] {
            for (int i = 0; i < kEach; ++i)
                handover.post([&, p, i] {
                    if (std::this_thread::get_id() != uiThread)
                        ++offThread;
                    if (next[std::size_t(p)] != i)
                        ++outOfOrder;
                    next[std::size_t(p)] = i + 1;
                    ++ran;
                });
        });
    EXPECT_TRUE(waitUntil([&] { return ran == kProducers * kEach; }));
    for (auto& t : producers)
        t.join();
    QCoreApplication::processEvents();
    EXPECT_EQ(ran, kProducers * kEach);
    EXPECT_EQ(offThread, 0);
    EXPECT_EQ(outOfOrder, 0);
    EXPECT_EQ(handover.pending(), 0u);
}

// Calls posted before the UI thread gets to them are served by one wake-up.
TEST(UiHandover, WakeUpsAreCoalesced) {
    UiHandover handover;
    int ran = 0;
    std::thread producer([&] {
        for (int i = 0; i < 100; ++i)
            handover.post([&] { ++ran; });
    });
    producer.join();
    EXPECT_EQ(handover.pending(), 100u);
    EXPECT_TRUE(waitUntil([&] { return ran == 100; }));
    EXPECT_EQ(handover.wakeUps(), 1u);
    // A later post wakes the loop again.
    handover.post([&] { ++ran; });
    EXPECT_TRUE(waitUntil([&] { return ran == 101; }));
    EXPECT_EQ(handover.wakeUps(), 2u);
}

// What is still queued when the hand-over goes (its owner ended the threads first) or is
// discarded never runs, and what the calls held is released.
TEST(UiHandover, QueuedCallsAreDroppedOnDestructionAndDiscard) {
    auto held = std::make_shared<int>(0);
    int ran = 0;
    {
        UiHandover handover;
        std::thread producer([&] {
            for (int i = 0; i < 10; ++i)
                handover.post([held, &ran] { ++ran; });
        });
        producer.join();
        EXPECT_EQ(held.use_count(), 11);
    }
    QCoreApplication::processEvents();
    EXPECT_EQ(ran, 0);
    EXPECT_EQ(held.use_count(), 1);

    UiHandover handover;
    handover.post([held, &ran] { ++ran; });
    handover.discard();
    EXPECT_EQ(held.use_count(), 1);
    handover.post([&ran] { ran += 10; });
    EXPECT_TRUE(waitUntil([&] { return ran == 10; }));
}

// A call that throws is reported through the program's guard; the calls after it still run.
TEST(UiHandover, AnExceptionInOneCallIsReportedAndTheRestRun) {
    std::vector<std::string> boxes;
    auto previous = platform::setExceptionPresenter(
        [&](const std::string& message) { boxes.push_back(message); });
    UiHandover handover;
    int ran = 0;
    handover.post([] { throw std::runtime_error("disk gone"); });
    handover.post([&] { ++ran; });
    EXPECT_EQ(handover.drain(), 2u);
    platform::setExceptionPresenter(previous);
    EXPECT_EQ(ran, 1);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_NE(boxes[0].find("disk gone"), std::string::npos);
}

// A call that runs a nested event loop (a message box) lets the queue drain inside it; the
// calls still run in the order they were posted, and a call that keeps posting does not hold
// the UI thread in one drain.
TEST(UiHandover, OrderHoldsAcrossANestedLoopAndADrainIsBounded) {
    UiHandover handover;
    std::vector<std::string> order;
    handover.post([&] {
        order.push_back("A");
        handover.post([&] { order.push_back("C"); });
        handover.drain(); // as the notifier would inside a modal box
        order.push_back("A ends");
    });
    handover.post([&] { order.push_back("B"); });
    EXPECT_TRUE(waitUntil([&] { return order.size() == 4; }));
    EXPECT_EQ(order, (std::vector<std::string>{"A", "B", "C", "A ends"}));

    int runs = 0;
    std::function<void()> again = [&] {
        if (++runs < 5)
            handover.post(again);
    };
    handover.post(again);
    EXPECT_EQ(handover.drain(), 1u);
    EXPECT_EQ(handover.pending(), 1u);
    EXPECT_TRUE(waitUntil([&] { return runs == 5; }));
}

// Long work off the UI thread: the UI thread's loop goes on running (here it must, for the
// work waits on a call only that loop can make), and the caller gets the work's result.
TEST(RunOffUiThread, TheLoopRunsWhileTheWorkWaitsAndTheResultComesBack) {
    std::mutex m;
    std::condition_variable cv;
    bool released = false;
    std::thread::id workThread;
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [&] {
            std::lock_guard lock(m);
            released = true;
            cv.notify_all();
        },
        Qt::QueuedConnection);
    const std::string result = platform::runOffUiThread([&] {
        workThread = std::this_thread::get_id();
        std::unique_lock lock(m);
        const bool ok = cv.wait_for(lock, std::chrono::seconds(20), [&] { return released; });
        return std::string(ok ? "released by the loop" : "the loop never ran");
    });
    EXPECT_EQ(result, "released by the loop");
    EXPECT_NE(workThread, std::this_thread::get_id());
}

// What the work throws reaches the caller, on the caller's thread, instead of ending the
// program from the worker.
TEST(RunOffUiThread, WhatTheWorkThrowsIsThrownToTheCaller) {
    EXPECT_THROW(platform::runOffUiThread([]() -> int { throw std::runtime_error("disk gone"); }),
                 std::runtime_error);
}

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The blocking hand-over from a worker thread to the UI thread, cancellable from the UI
// thread. One channel serves one worker (the event thread of one port).
//
// Worker side: run() queues the routine for the UI thread and blocks until the routine has
// run there; an exception that escaped the routine is thrown again in the worker. The worker
// calls nothing of Qt: the routine travels through our own locked queue and an eventfd that a
// QSocketNotifier on the UI thread reads (synchronize.cpp), so that the race detector sees
// every hand-over.
// UI side: cancel() makes every queued and later run() return false without running its
// routine, so a UI thread that stops the worker never waits for a routine that needs it.
// A routine that has already begun runs to its end, and its worker keeps waiting for it.

#include <chrono>
#include <condition_variable>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>

namespace comport {

// How a worker that goes back to waiting for its device after each hand-over may sleep
// through the end of the routine: park() sleeps until the worker has its next thing to do
// (false when it cannot park, at once), unpark() ends that sleep from another thread. The
// port's event thread parks on its device this way as part of the receive tuning
// (platform/serial_waiter.h), and passes none when the tuning is off.
struct Parking {
    std::function<bool()> park;
    std::function<void()> unpark;
};

class SyncChannel {
public:
    SyncChannel();
    ~SyncChannel();
    SyncChannel(const SyncChannel&) = delete;
    SyncChannel& operator=(const SyncChannel&) = delete;

    // Worker thread. True when the routine ran (rethrowing what escaped it), false when the
    // channel was cancelled before it could run. Called on the UI thread, runs the routine
    // directly.
    // With `parking`, the worker parks while the routine is queued and running, and a
    // routine that ends normally does not wake it: run() returns when park() does (the
    // device has news), so the worker sleeps once per hand-over. A routine that threw, and
    // cancel(), unpark it at once.
    bool run(std::function<void()> routine, const Parking* parking = nullptr);

    // Any thread; usually the UI thread stopping the worker.
    void cancel();
    bool cancelled() const;

    // UI thread: whether a routine of this channel is running at this moment (then it is on
    // the caller's own stack, and the worker is parked until it returns).
    bool routineRunning() const;

    // Any thread but the worker: waits until the worker has a routine queued that has not
    // begun yet, or the time is up. For tests and diagnostics of the hand-over.
    bool waitForQueued(std::chrono::milliseconds timeout) const;

private:
    struct State;
    std::shared_ptr<State> m_state;
};

// Any thread: queues `job` to run on the UI thread's event loop, in order with other jobs
// posted this way. Nothing happens before a channel has been made on the UI thread of an
// application object (that makes the queue).
void postToUiThread(std::function<void()> job);

// Whether the caller runs on the UI thread (the thread of the application object that made
// the first channel); false before any channel exists.
bool onUiThread();

} // namespace comport

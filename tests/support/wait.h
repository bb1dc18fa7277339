// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Waiting in tests: the event loop runs until a condition holds or a deadline passes. The wait
// sleeps in the loop, woken by events or by the deadline's timer; it never spins, so it takes
// no CPU from the code under test and guesses no order. Deadlines are generous: they only end
// a test that has already failed, on a machine that may be loaded.

#include <QCoreApplication>
#include <QEventLoop>
#include <QMetaObject>
#include <QTimer>

#include <chrono>

namespace testsupport {

// The condition is checked whenever the UI thread's loop wakes. A condition that another
// thread makes true without an event for this loop (a handler called on the event thread, say)
// calls wakeWaiters() after it, or the wait sleeps on to its deadline.
template <class Pred>
bool waitUntil(Pred&& done, std::chrono::milliseconds deadline = std::chrono::seconds(20)) {
    QTimer timer;
    timer.setSingleShot(true);
    timer.start(deadline);
    while (!done() && timer.isActive())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    return done();
}

template <class Pred> bool waitUntil(Pred&& done, int deadlineMs) {
    return waitUntil(done, std::chrono::milliseconds(deadlineMs));
}

// Wakes a waitUntil on the UI thread so that it checks its condition again. Any thread.
inline void wakeWaiters() {
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [] {}, Qt::QueuedConnection);
}

// Lets the event loop run for a while (ports settle, stray events get their chance).
inline void runEventsFor(int ms) {
    waitUntil([] { return false; }, ms);
}

} // namespace testsupport

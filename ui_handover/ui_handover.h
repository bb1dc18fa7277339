// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The one way a worker thread reports to the UI thread: a queue guarded by a mutex and an
// eventfd that a socket notifier reads on the UI thread. A worker never calls into Qt's
// event machinery (QMetaObject::invokeMethod, postEvent), whose internal locks the race
// detector cannot see, so every hand-over is one our own mutex orders.
//
// Wake-ups are coalesced: a post writes the eventfd only when no wake-up is outstanding, and
// the UI thread runs the calls queued by then in one go, in the order they were posted (also
// when a call runs a nested event loop); calls posted meanwhile wait for the next turn.
// Used by the register's writer thread and the viewer's file loader.
//
// The object is made and destroyed on the UI thread, and lives at least as long as the
// threads that post to it (their owner joins them first). Calls still queued when it is
// destroyed are dropped, never run.

#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

class QSocketNotifier;

namespace platform {

class UiHandover {
public:
    // UI thread: the calls run on the thread that makes the object, from its event loop.
    UiHandover();
    ~UiHandover();
    UiHandover(const UiHandover&) = delete;
    UiHandover& operator=(const UiHandover&) = delete;

    // Any thread. Each call runs inside the program's exception guard.
    void post(std::function<void()> call);
    // UI thread: runs what is queued now; the notifier calls it, and so may an owner that
    // ends and wants its last news. Returns how many calls ran.
    std::size_t drain();
    // Any thread: drops what is queued (a cancelled run whose news nobody wants).
    void discard();
    std::size_t pending() const;
    // How many times the UI thread was woken (tests see the coalescing).
    std::size_t wakeUps() const;

private:
    mutable std::mutex m_lock; // guards the three below
    std::deque<std::function<void()>> m_calls;
    bool m_woken = false; // a wake-up is written and not yet read
    std::size_t m_wakeUps = 0;
    int m_fd = -1;
    std::unique_ptr<QSocketNotifier> m_notifier;
};

} // namespace platform

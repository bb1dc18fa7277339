// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Event objects with the Windows manual- and auto-reset semantics, and waits on one or
// several of them. All events share one lock; a waiter registers its own condition
// variable with each event it waits on, so a set wakes exactly the threads that care.
//
// An event that a device request completes may name that device as its source (the receive
// tuning, serial_waiter.h): a thread that waits for the event alone then waits inside the
// device, which reads the descriptor in that thread and sets the event there, instead of
// another thread waking it.

#include "platform/win_object.h"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <vector>

namespace platform {
class EventSource; // serial_waiter.h
}

namespace win {

class EventObject : public Object {
public:
    EventObject(bool manualReset, bool initialState);

    void set();
    void reset();
    bool signalled() const;
    // The source stays named until another one replaces it; it is held weakly.
    void setSource(std::weak_ptr<platform::EventSource> source);

    // Returns the index of the signalled event (WAIT_OBJECT_0 + i) or WAIT_TIMEOUT.
    // `deadline` nullopt waits without limit. Auto-reset events are consumed by the wait.
    static DWORD waitAny(const std::vector<std::shared_ptr<EventObject>>& events,
                         std::chrono::steady_clock::time_point deadline, bool infinite);
    static DWORD waitAll(const std::vector<std::shared_ptr<EventObject>>& events,
                         std::chrono::steady_clock::time_point deadline, bool infinite);

private:
    static bool waitAtSource(EventObject& event, std::chrono::steady_clock::time_point deadline,
                             bool infinite, DWORD& result);

    const bool m_manual;
    bool m_signalled;
    std::vector<std::shared_ptr<std::condition_variable>> m_waiters;
    std::weak_ptr<platform::EventSource> m_source;
    int m_waitingAtSource = 0;
};

} // namespace win

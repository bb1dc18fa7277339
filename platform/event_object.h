#pragma once
// Event objects with the Windows manual- and auto-reset semantics, and waits on one or
// several of them. All events share one lock; a waiter registers its own condition
// variable with each event it waits on, so a set wakes exactly the threads that care.
//
// An event that a device request completes may name that device as its source: a thread
// that waits for the event alone then waits inside the device, which reads the descriptor
// in that thread and sets the event there, instead of another thread waking it.

#include "platform/win_object.h"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <vector>

namespace win {

class EventObject;

class EventSource {
public:
    virtual ~EventSource() = default;
    // Waits in the calling thread until `event` may have been set, the deadline passed or
    // wakeWaiter was called. Returns false, at once, when the source cannot bring this event
    // about (nothing of its own is pending on it); the caller then waits as usual.
    virtual bool waitHere(EventObject& event, std::chrono::steady_clock::time_point deadline,
                          bool infinite) = 0;
    // The event was set while a thread may be inside waitHere. Must not block.
    virtual void wakeWaiter() = 0;
};

class EventObject : public Object {
public:
    EventObject(bool manualReset, bool initialState);

    void set();
    void reset();
    bool signalled() const;
    // The source stays named until another one replaces it; it is held weakly.
    void setSource(std::weak_ptr<EventSource> source);

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
    std::weak_ptr<EventSource> m_source;
    int m_waitingAtSource = 0;
};

} // namespace win

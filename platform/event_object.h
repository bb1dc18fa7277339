#pragma once
// Event objects with the Windows manual- and auto-reset semantics, and waits on one or
// several of them. All events share one lock; a waiter registers its own condition
// variable with each event it waits on, so a set wakes exactly the threads that care.

#include "platform/win_object.h"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <vector>

namespace win {

class EventObject : public Object {
public:
    EventObject(bool manualReset, bool initialState);

    void set();
    void reset();

    // Returns the index of the signalled event (WAIT_OBJECT_0 + i) or WAIT_TIMEOUT.
    // `deadline` nullopt waits without limit. Auto-reset events are consumed by the wait.
    static DWORD waitAny(const std::vector<std::shared_ptr<EventObject>>& events,
                         std::chrono::steady_clock::time_point deadline, bool infinite);
    static DWORD waitAll(const std::vector<std::shared_ptr<EventObject>>& events,
                         std::chrono::steady_clock::time_point deadline, bool infinite);

private:
    const bool m_manual;
    bool m_signalled;
    std::vector<std::shared_ptr<std::condition_variable>> m_waiters;
};

} // namespace win

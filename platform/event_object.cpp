// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/event_object.h"

#include "platform/serial_waiter.h"

#include <algorithm>
#include <mutex>

namespace win {

namespace {

std::mutex g_eventLock;

} // namespace

EventObject::EventObject(bool manualReset, bool initialState)
    : m_manual(manualReset), m_signalled(initialState) {}

// The waiters are told after the lock is let go: told under it, each would wake only to
// block on the lock once more. Each waiter's condition shares its ownership with the
// registration, so one that has already returned leaves a condition nobody waits on.
void EventObject::set() {
    std::vector<std::shared_ptr<std::condition_variable>> waiters;
    std::shared_ptr<platform::EventSource> source;
    {
        std::lock_guard lock(g_eventLock);
        m_signalled = true;
        waiters = m_waiters;
        if (m_waitingAtSource > 0)
            source = m_source.lock();
    }
    for (auto& cv : waiters)
        cv->notify_all();
    if (source)
        source->wakeWaiter();
}

void EventObject::reset() {
    std::lock_guard lock(g_eventLock);
    m_signalled = false;
}

bool EventObject::signalled() const {
    std::lock_guard lock(g_eventLock);
    return m_signalled;
}

void EventObject::setSource(std::weak_ptr<platform::EventSource> source) {
    std::lock_guard lock(g_eventLock);
    m_source = std::move(source);
}

// Waits for a single event inside its source for as long as the source can bring it about.
// Returns true with `result` when the wait is decided; false when the caller must wait on
// the event's condition instead.
bool EventObject::waitAtSource(EventObject& e, std::chrono::steady_clock::time_point deadline,
                               bool infinite, DWORD& result) {
    for (;;) {
        std::shared_ptr<platform::EventSource> source;
        {
            std::lock_guard lock(g_eventLock);
            if (e.m_signalled) {
                if (!e.m_manual)
                    e.m_signalled = false;
                result = WAIT_OBJECT_0;
                return true;
            }
            if (!infinite && std::chrono::steady_clock::now() >= deadline) {
                result = WAIT_TIMEOUT;
                return true;
            }
            source = e.m_source.lock();
            if (!source)
                return false;
            ++e.m_waitingAtSource; // from here on a set wakes the source's waiter
        }
        const bool waited = source->waitHere(e, deadline, infinite);
        {
            std::lock_guard lock(g_eventLock);
            --e.m_waitingAtSource;
        }
        if (!waited)
            return false;
    }
}

namespace {

// Registers `cv` with every event for the length of one wait.
class WaiterRegistration {
public:
    WaiterRegistration(const std::vector<std::shared_ptr<EventObject>>& events,
                       std::vector<std::shared_ptr<std::condition_variable>> EventObject::*list,
                       std::shared_ptr<std::condition_variable> cv)
        : m_events(events), m_list(list), m_cv(cv) {
        for (auto& e : m_events)
            ((*e).*m_list).push_back(m_cv);
    }
    ~WaiterRegistration() {
        for (auto& e : m_events) {
            auto& v = (*e).*m_list;
            auto it = std::find(v.begin(), v.end(), m_cv);
            if (it != v.end())
                v.erase(it);
        }
    }

private:
    const std::vector<std::shared_ptr<EventObject>>& m_events;
    std::vector<std::shared_ptr<std::condition_variable>> EventObject::*m_list;
    std::shared_ptr<std::condition_variable> m_cv;
};

} // namespace

DWORD EventObject::waitAny(const std::vector<std::shared_ptr<EventObject>>& events,
                           std::chrono::steady_clock::time_point deadline, bool infinite) {
    if (DWORD result; events.size() == 1 && waitAtSource(*events[0], deadline, infinite, result))
        return result;
    std::unique_lock lock(g_eventLock);
    auto cv = std::make_shared<std::condition_variable>();
    WaiterRegistration reg(events, &EventObject::m_waiters, cv);
    for (;;) {
        for (std::size_t i = 0; i < events.size(); ++i) {
            if (events[i]->m_signalled) {
                if (!events[i]->m_manual)
                    events[i]->m_signalled = false;
                return WAIT_OBJECT_0 + static_cast<DWORD>(i);
            }
        }
        if (infinite)
            cv->wait(lock);
        else if (cv->wait_until(lock, deadline) == std::cv_status::timeout &&
                 std::chrono::steady_clock::now() >= deadline) {
            // One last look: a set may have raced with the time-out.
            for (std::size_t i = 0; i < events.size(); ++i)
                if (events[i]->m_signalled) {
                    if (!events[i]->m_manual)
                        events[i]->m_signalled = false;
                    return WAIT_OBJECT_0 + static_cast<DWORD>(i);
                }
            return WAIT_TIMEOUT;
        }
    }
}

DWORD EventObject::waitAll(const std::vector<std::shared_ptr<EventObject>>& events,
                           std::chrono::steady_clock::time_point deadline, bool infinite) {
    std::unique_lock lock(g_eventLock);
    auto cv = std::make_shared<std::condition_variable>();
    WaiterRegistration reg(events, &EventObject::m_waiters, cv);
    auto allSet = [&] {
        return std::all_of(events.begin(), events.end(),
                           [](const auto& e) { return e->m_signalled; });
    };
    for (;;) {
        if (allSet()) {
            for (auto& e : events)
                if (!e->m_manual)
                    e->m_signalled = false;
            return WAIT_OBJECT_0;
        }
        if (infinite)
            cv->wait(lock);
        else if (cv->wait_until(lock, deadline) == std::cv_status::timeout &&
                 std::chrono::steady_clock::now() >= deadline && !allSet())
            return WAIT_TIMEOUT;
    }
}

} // namespace win

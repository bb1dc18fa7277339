// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/serial_waiter.h"

#include "platform/event_object.h"
#include "platform/poll_helpers.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace platform {

namespace {

// What a waiter sleeps on: its eventfd, level-triggered, and the device, edge-triggered. An
// empty tty polled for input first waits for the kernel's pending input work, and right
// after an arrival (when the waiter goes back to sleep) that work is often still running: a
// second sleep per arrival. An edge-triggered watch is not polled again until the device
// wakes it with new input.
int makeWaiterPoll(int wakeFd, int deviceFd) {
    if (wakeFd < 0 || deviceFd < 0)
        return -1;
    const int ep = ::epoll_create1(EPOLL_CLOEXEC);
    if (ep < 0)
        return -1;
    epoll_event wake{};
    wake.events = EPOLLIN;
    wake.data.u32 = 0;
    epoll_event device{};
    device.events = EPOLLIN | EPOLLET;
    device.data.u32 = 1;
    if (::epoll_ctl(ep, EPOLL_CTL_ADD, wakeFd, &wake) != 0 ||
        ::epoll_ctl(ep, EPOLL_CTL_ADD, deviceFd, &device) != 0) {
        ::close(ep);
        return -1;
    }
    return ep;
}

} // namespace

bool receiveTuningEnabled() {
    // Read once: a driver opened later must not read the device differently from one opened
    // before.
    static const bool on = [] {
        const char* v = std::getenv("XRQ_RECEIVE_TUNING");
        return !(v && std::strcmp(v, "0") == 0);
    }();
    return on;
}

namespace {
// Read at the program's start, before any thread could open a port.
[[maybe_unused]] const bool g_tuningReadAtStart = receiveTuningEnabled();
} // namespace

SerialWaiter::~SerialWaiter() {
    if (m_pollFd >= 0)
        ::close(m_pollFd);
    if (m_wakeFd >= 0)
        ::close(m_wakeFd);
}

void SerialWaiter::open(int deviceFd) {
    if (!receiveTuningEnabled() || deviceFd < 0 || m_wakeFd >= 0)
        return;
    m_wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    // Without it waiters simply wait on the event.
    m_pollFd = makeWaiterPoll(m_wakeFd, deviceFd);
}

bool SerialWaiter::takesInput(Clock::time_point now, bool readPending) const {
    if (readPending)
        return false;
    return m_inside || (m_lastLeft && now < *m_lastLeft + kHandBack);
}

std::optional<SerialWaiter::Clock::time_point>
SerialWaiter::handBackAt(Clock::time_point now) const {
    if (m_lastLeft && now < *m_lastLeft + kHandBack)
        return *m_lastLeft + kHandBack;
    return std::nullopt;
}

void SerialWaiter::wake() {
    if (m_sleeping.load() && m_wakeFd >= 0)
        signalFd(m_wakeFd);
}

void SerialWaiter::wakeForClose() {
    if (m_wakeFd >= 0)
        signalFd(m_wakeFd);
}

// Runs in the thread that waits for `event`, while it is the completion event of the
// pending event wait: that thread polls the descriptor and completes the wait itself.
bool SerialWaiter::waitHere(std::unique_lock<std::mutex>& lock, Host& host, win::EventObject& event,
                            Clock::time_point deadline, bool infinite) {
    if (m_pollFd < 0 || m_inside || host.closed())
        return false;
    if (!host.waitPendingOn(event)) {
        // The I/O thread read first and completed the wait before this thread came for it;
        // from its next look on it leaves input to this thread, as after any wait here.
        m_lastLeft = Clock::now();
        return false;
    }
    m_inside = true;
    while (!host.closed() && host.waitPendingOn(event)) {
        auto now = Clock::now();
        if (!infinite && now >= deadline)
            break;
        timespec ts{};
        // Sleeping is announced before the event is looked at: a set after the look then
        // finds the announcement and wakes the poll (the event has a lock of its own).
        m_sleeping.store(true);
        if (event.signalled()) {
            m_sleeping.store(false);
            break;
        }
        if (!sleep(lock, host, infinite ? nullptr : timeoutUntil(deadline, now, ts), false))
            break;
    }
    leave(host);
    return true;
}

bool SerialWaiter::park(std::unique_lock<std::mutex>& lock, Host& host) {
    if (m_pollFd < 0 || m_inside || !host.mayPark()) {
        m_unpark = false;
        return false;
    }
    m_inside = true;
    m_parked = true;
    std::optional<Clock::time_point> holdUntil = m_pacer.holdUntil();
    while (!host.parkEnds() && !m_unpark) {
        m_sleeping.store(true); // under the lock: the driver's raise and unpark() see it
        timespec ts{};
        const timespec* timeout = holdUntil ? timeoutUntil(*holdUntil, Clock::now(), ts) : nullptr;
        if (!sleep(lock, host, timeout, holdUntil.has_value()))
            break;
        holdUntil.reset();
    }
    m_parked = false;
    m_unpark = false;
    leave(host);
    return true;
}

void SerialWaiter::unpark() {
    m_unpark = true;
    wake();
}

// Called with the lock held and m_sleeping set; sleeps without it. A hold sleeps on the
// eventfd alone (a close, an unpark or a cleared mask ends it early) and then has the host
// read what gathered on the device meanwhile.
bool SerialWaiter::sleep(std::unique_lock<std::mutex>& lock, Host& host, const timespec* timeout,
                         bool hold) {
    lock.unlock();
    bool woken = false;
    std::uint32_t device = 0;
    if (hold) {
        pollfd fd{m_wakeFd, POLLIN, 0};
        woken = ::ppoll(&fd, 1, timeout, nullptr) > 0;
        device = EPOLLIN;
    } else {
        epoll_event events[2];
        const int n = ::epoll_pwait2(m_pollFd, events, 2, timeout, nullptr);
        for (int i = 0; i < n; ++i) {
            if (events[i].data.u32 == 0)
                woken = true;
            else
                device = events[i].events;
        }
    }
    m_sleeping.store(false);
    if (woken)
        drainFd(m_wakeFd);
    lock.lock();
    if (host.closed())
        return false;
    host.waiterWoke((device & EPOLLIN) != 0, (device & (EPOLLHUP | EPOLLERR)) != 0);
    return true;
}

void SerialWaiter::leave(Host& host) {
    m_inside = false;
    m_lastLeft = Clock::now();
    const bool wakeIo = m_ioSleepsForever;
    m_ioSleepsForever = false;
    host.waiterLeft(wakeIo);
}

} // namespace platform

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The receive tuning: a thread that waits for a device's next event reads the device itself
// instead of being woken by the driver's I/O thread after that thread has read it.
//
// - The inline waiter: a thread that waits for the completion event of the pending event
//   wait (WaitForSingleObject on it) waits here, polling the descriptor; an arrival then
//   wakes that thread alone instead of the I/O thread and then it.
// - Parking: a thread that hands each event over to another (the port's event thread) and
//   then waits for the next one sleeps here once between two arrivals instead of twice.
// - The arrival pacer: while the line streams, a parked thread lets arrivals gather for a few
//   milliseconds, so that one hand-over carries several (arrival_pacer.h).
//
// Meanwhile the I/O thread leaves input to that thread, and takes it up again when no waiter
// has come back for a second (a handler that takes long), or at once while a read is
// pending. The tuning is why a streaming line costs about one wake-up per hand-over; it is
// also three threads that may read one device, so it can be switched off to check a receive
// fault against the plain path: XRQ_RECEIVE_TUNING=0 in the environment at start leaves the
// reading to the I/O thread alone (waits then sleep on the event, parking refuses at once).
//
// Everything here runs under the lock of the driver that owns the waiter (passed in as
// `lock`), except wake(), which any thread may call.

#include "platform/arrival_pacer.h"
#include "platform/win_comm.h"

#include <atomic>
#include <chrono>
#include <ctime>
#include <mutex>
#include <optional>

namespace win {
class EventObject;
}

namespace platform {

// Whether the receive tuning is on: true unless XRQ_RECEIVE_TUNING is "0" (read once, when
// the program starts).
bool receiveTuningEnabled();

// A device that can wait for its own requests' completion events in the waiting thread.
class EventSource {
public:
    virtual ~EventSource() = default;
    // Waits in the calling thread until `event` may have been set, the deadline passed or
    // wakeWaiter was called. Returns false, at once, when the source cannot bring this event
    // about (nothing of its own is pending on it); the caller then waits as usual.
    virtual bool waitHere(win::EventObject& event, std::chrono::steady_clock::time_point deadline,
                          bool infinite) = 0;
    // The event was set while a thread may be inside waitHere. Must not block.
    virtual void wakeWaiter() = 0;
};

class SerialWaiter {
public:
    using Clock = std::chrono::steady_clock;

    // What the waiter asks of its driver; every call with the driver's lock held.
    class Host {
    public:
        virtual bool closed() const = 0;
        // Whether `event` is the completion event of the driver's pending event wait.
        virtual bool waitPendingOn(const win::EventObject& event) const = 0;
        // Whether a park may begin now (no event wait pending) and whether it ends now (an
        // event wait started now would complete at once, or fail).
        virtual bool mayPark() const = 0;
        virtual bool parkEnds() const = 0;
        // The waiter woke: the device has input (or a hang-up), or it was woken without.
        virtual void waiterWoke(bool deviceInput, bool deviceHungUp) = 0;
        // The waiting thread left; `wakeIo` when the I/O thread sleeps without a time-out
        // and must look again in a while.
        virtual void waiterLeft(bool wakeIo) = 0;
    };

    SerialWaiter() = default;
    ~SerialWaiter();
    SerialWaiter(const SerialWaiter&) = delete;
    SerialWaiter& operator=(const SerialWaiter&) = delete;

    // Sets the waiter up on the device's descriptor; without the tuning, or without a
    // descriptor, it stays off and every wait here is refused.
    void open(int deviceFd);
    bool on() const { return m_pollFd >= 0; }

    // The thread inside waitHere or park, if any; whether it is parked.
    bool occupied() const { return m_inside; }
    bool parked() const { return m_parked; }

    // I/O thread: whether the descriptor's input is left to the waiter (one is inside, or
    // one left less than kHandBack ago and will likely be back); never while a read is
    // pending, which has deadlines of its own.
    bool takesInput(Clock::time_point now, bool readPending) const;
    // When the I/O thread must look again in case the waiter that left does not come back.
    std::optional<Clock::time_point> handBackAt(Clock::time_point now) const;
    // The I/O thread goes to sleep without a time-out while input is left to the waiter (a
    // waiter that leaves then wakes it), and has woken.
    void ioSleeps(bool withoutTimeout) { m_ioSleepsForever = withoutTimeout; }

    // Bytes arrived (for the pacer).
    void arrived(Clock::time_point now, std::size_t bytes) { m_pacer.arrived(now, bytes); }

    // The thread waiting for `event` waits here (see EventSource::waitHere).
    bool waitHere(std::unique_lock<std::mutex>& lock, Host& host, win::EventObject& event,
                  Clock::time_point deadline, bool infinite);
    // Parks the calling thread until host.parkEnds() or unpark(); false at once when it
    // cannot park.
    bool park(std::unique_lock<std::mutex>& lock, Host& host);
    // Kept until the next park ends, so that an unpark just before the park is not lost.
    void unpark();

    // Wakes the thread inside, if it sleeps; any thread, never blocks.
    void wake();
    // Wakes the thread inside whether or not it announced its sleep (the driver closes).
    void wakeForClose();

private:
    // How long input is left to a waiter that has left before the I/O thread reads it.
    static constexpr Clock::duration kHandBack = std::chrono::seconds(1);

    bool sleep(std::unique_lock<std::mutex>& lock, Host& host, const timespec* timeout, bool hold);
    void leave(Host& host);

    int m_wakeFd = -1;                           // wakes the thread inside
    int m_pollFd = -1;                           // epoll set that thread sleeps on
    bool m_inside = false;                       // a thread is in waitHere or park
    bool m_parked = false;                       // ... and it is in park
    bool m_unpark = false;                       // unpark() came, the park has not ended
    bool m_ioSleepsForever = false;              // see ioSleeps()
    std::atomic<bool> m_sleeping{false};         // the thread inside sleeps in the poll
    std::optional<Clock::time_point> m_lastLeft; // when the last waiter left
    ArrivalPacer m_pacer;                        // when a parked waiter reads next
};

} // namespace platform

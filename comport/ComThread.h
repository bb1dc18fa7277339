// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The event thread of one open port: waits for line events on the device and hands each
// batch to the port's handlers (on the UI thread when the port synchronizes its events).
//
// Life: the port creates it and owns it. Stopping is cooperative: Terminate() sets the stop
// flag and cancels a pending hand-over, the port then wakes the device wait and calls
// Release(), which waits for the thread's end, except when that would deadlock (the caller
// is this very thread, or runs inside one of its handed-over routines, so the thread is
// parked until the caller returns); then the object frees itself when the thread ends. Either
// way the thread looks at its stop flag after every wait and never touches the port again
// once the flag is set.

#include "comport/comport_types.h"
#include "comport/synchronize.h"

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>

class TCustomComPort;

class TComThread {
public:
    // Starts the thread at once with the port's thread priority. Throws std::system_error
    // when no thread can be created.
    explicit TComThread(TCustomComPort* port);
    virtual ~TComThread();
    TComThread(const TComThread&) = delete;
    TComThread& operator=(const TComThread&) = delete;

    void Terminate();
    bool Terminated() const { return m_terminated.load(std::memory_order_acquire); }

    // Event thread: runs `routine` on the UI thread and waits for it; false when the thread
    // was stopped before the routine could run.
    bool Synchronize(std::function<void()> routine);
    // Event thread: Synchronize for a batch of device events. The thread parks on the device
    // meanwhile, and goes on when the routine has run and the device has its next event (or
    // the thread is stopped), rather than waking at the routine's end only to go back to
    // sleep until that event.
    bool HandOverEvents(std::function<void()> routine);

    void SetPriority(TThreadPriority priority);

    // Waits until the thread is parked in a hand-over that the UI thread has not begun, or the
    // time is up (tests and diagnostics).
    bool WaitForHandOver(std::chrono::milliseconds timeout) const {
        return m_sync.waitForQueued(timeout);
    }

    // Ends the port's hold on `thread` (already terminated): see the comment at the top.
    static void Release(TComThread* thread);

    // The event thread the caller runs on, or null.
    static TComThread* Current();

    TCustomComPort* const ComPort;

protected:
    virtual void Execute();

private:
    void run();

    std::atomic<bool> m_terminated{false};
    comport::SyncChannel m_sync;
    comport::Parking m_parking; // on the port's device, as open when the thread started
    std::mutex m_lifeMutex;
    bool m_finished = false;        // run() has nothing left to do but return
    bool m_freeOnTerminate = false; // the thread deletes this object when it ends
    std::thread m_thread;
};

// SPDX-License-Identifier: GPL-3.0-or-later
#include "comport/ComThread.h"

#include "comport/Comport.h"
#include "platform/serial_waiter.h"

#include <pthread.h>

namespace {
thread_local TComThread* t_current = nullptr;
}

TComThread::TComThread(TCustomComPort* port) : ComPort(port) {
    const win::HANDLE device = port->Handle();
    m_parking.park = [device] { return platform::parkForCommEvent(device) != win::FALSE; };
    m_parking.unpark = [device] { platform::unparkCommThread(device); };
    m_thread = std::thread([this] { run(); });
    SetPriority(port->ThreadPriority());
}

TComThread::~TComThread() {
    if (m_thread.joinable())
        m_thread.join();
}

void TComThread::Terminate() {
    m_terminated.store(true, std::memory_order_release);
    m_sync.cancel();
}

bool TComThread::Synchronize(std::function<void()> routine) {
    return m_sync.run(std::move(routine));
}

bool TComThread::HandOverEvents(std::function<void()> routine) {
    // Without the receive tuning the thread waits for the hand-over's end as for any other.
    return m_sync.run(std::move(routine), platform::receiveTuningEnabled() ? &m_parking : nullptr);
}

void TComThread::SetPriority(TThreadPriority priority) {
    // Best effort: raising a thread above normal needs privileges most users lack, and the
    // thread works at any priority.
    std::lock_guard lock(m_lifeMutex);
    if (m_thread.joinable())
        platform::setThreadPriority(static_cast<unsigned long>(m_thread.native_handle()),
                                    static_cast<int>(priority));
}

TComThread* TComThread::Current() {
    return t_current;
}

void TComThread::Execute() {
    while (!Terminated())
        ComPort->ThreadProc(this);
}

void TComThread::run() {
    t_current = this;
    try {
        Execute();
    } catch (...) {
        // A failed wait has been reported on the UI thread already; the thread just ends.
    }
    t_current = nullptr;
    bool freeSelf = false;
    {
        std::lock_guard lock(m_lifeMutex);
        m_finished = true;
        freeSelf = m_freeOnTerminate;
    }
    if (freeSelf)
        delete this;
}

void TComThread::Release(TComThread* thread) {
    if (thread == nullptr)
        return;
    const bool mustNotWait = thread == t_current || thread->m_sync.routineRunning();
    if (mustNotWait) {
        std::unique_lock lock(thread->m_lifeMutex);
        if (!thread->m_finished) {
            thread->m_freeOnTerminate = true;
            thread->m_thread.detach();
            return;
        }
    }
    // The thread has been told to stop and its waits have been woken: it ends on its own.
    delete thread;
}

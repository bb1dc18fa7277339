// SPDX-License-Identifier: GPL-3.0-or-later
// The serial port component, part two: opening and closing the device, the event mask, and
// the event thread's passes with their dispatch to the handlers.
#include "comport/Comport.h"

#include "comport/ComThread.h"
#include "comport/synchronize.h"
#include "platform/exception_guard.h"

#include <QPointer>

#include <array>
#include <system_error>

using namespace win;

namespace {

constexpr DWORD kFileAttributeNormal = 0x80;
const char* const kNoThread = "Can't create thread";

constexpr std::array<DWORD, 5> kPriorityClasses = {0, IDLE_PRIORITY_CLASS, NORMAL_PRIORITY_CLASS,
                                                   HIGH_PRIORITY_CLASS, REALTIME_PRIORITY_CLASS};

// The application's report of an exception that escaped an event handler. Handlers may run
// on the event thread; the report (a modal box) is always shown on the UI thread.
void reportHandlerException(std::exception_ptr error) {
    auto report = [error] {
        try {
            std::rethrow_exception(error);
        } catch (const EAbort&) {
            // the silent abort is not reported
        } catch (...) {
            platform::reportCurrentException();
        }
    };
    if (comport::onUiThread()) {
        report();
    } else {
        comport::postToUiThread(report);
    }
}

} // namespace

// ---------------------------------------------------------------------------------------
// Open and close

bool TCustomComPort::GetActive() const {
    if (m_designing)
        return m_storedActive;
    return m_handle != INVALID_HANDLE_VALUE;
}

void TCustomComPort::SetActive(bool value) {
    if (value != GetActive() && !m_designing && !m_loading) {
        if (value)
            Open();
        else
            Close();
    }
    m_storedActive = value;
}

void TCustomComPort::Open() {
    if (GetActive())
        return;
    callHandler(m_beforeOpen, this);
    CreateHandle();
    if (GetActive())
        callHandler(m_afterOpen, this);
}

void TCustomComPort::Close() {
    if (TComThread* current = TComThread::Current(); current && current->ComPort == this) {
        // The event thread never releases what it is using: the UI thread closes.
        current->Synchronize([this] { Close(); });
        return;
    }
    if (!GetActive())
        return;
    callHandler(m_beforeClose, this);
    FreeHandle();
    if (!GetActive())
        callHandler(m_afterClose, this);
}

void TCustomComPort::CreateHandle() {
    FreeHandle();
    SetLastError(ERROR_SUCCESS);
    try {
        if (m_priorityClass != pcDefault) {
            m_savedPriorityClass = static_cast<std::int32_t>(GetPriorityClass());
            m_savedPriority = platform::savePriority();
            // A class that could not be undone at close (an ordinary user may lower the
            // priority but never raise it again) is not set: it would outlive the port.
            const DWORD wanted = kPriorityClasses[m_priorityClass];
            if (platform::canUndoPriorityClass(wanted, m_savedPriority))
                win::SetPriorityClass(wanted);
        }
        m_eventOverlapped = OVERLAPPED{};
        m_eventOverlapped.hEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        checkCreated(m_eventOverlapped.hEvent != nullptr);
        m_readEvent = CreateEventA(nullptr, TRUE, TRUE, nullptr);
        checkCreated(m_readEvent != nullptr);
        m_writeEvent = CreateEventA(nullptr, TRUE, TRUE, nullptr);
        checkCreated(m_writeEvent != nullptr);
        m_handle = CreateFileA(m_deviceName.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               OPEN_EXISTING, kFileAttributeNormal | FILE_FLAG_OVERLAPPED, nullptr);
        checkCreated(m_handle != INVALID_HANDLE_VALUE);
        PurgeInput();
        PurgeOutput();
        SetComBufferSizes();
        SetComDCB();
        SetComTimeouts();
        SetComEventMask();
    } catch (...) {
        FreeHandle();
        throw;
    }
}

void TCustomComPort::FreeHandle() {
    DestroyThread();
    if (m_handle != INVALID_HANDLE_VALUE) {
        CloseHandle(m_handle);
        m_handle = INVALID_HANDLE_VALUE;
    }
    if (m_writeEvent != nullptr) {
        CloseHandle(m_writeEvent);
        m_writeEvent = nullptr;
    }
    if (m_readEvent != nullptr) {
        CloseHandle(m_readEvent);
        m_readEvent = nullptr;
    }
    if (m_eventOverlapped.hEvent != nullptr) {
        CloseHandle(m_eventOverlapped.hEvent);
        m_eventOverlapped.hEvent = nullptr;
    }
    if (m_savedPriorityClass != -1) {
        platform::restorePriority(m_savedPriority);
        m_savedPriorityClass = -1;
    }
}

void TCustomComPort::CreateThread() {
    if (m_thread != nullptr)
        return;
    try {
        m_thread = new TComThread(this);
    } catch (const std::system_error&) {
        RaiseError(0, kNoThread);
    }
}

void TCustomComPort::DestroyThread() {
    if (m_thread == nullptr)
        return;
    TComThread* thread = m_thread;
    m_thread = nullptr;
    thread->Terminate();
    if (m_handle != INVALID_HANDLE_VALUE)
        SetCommMask(m_handle, 0); // completes the pending wait; failure changes nothing here
    // Also wakes a thread that started its wait after the mask was cleared.
    if (m_eventOverlapped.hEvent != nullptr)
        SetEvent(m_eventOverlapped.hEvent);
    TComThread::Release(thread);
}

DWORD TCustomComPort::EventMask() const {
    DWORD mask = 0;
    auto add = [&mask](bool assigned, DWORD bit) {
        if (assigned)
            mask |= bit;
    };
    add(m_onBreak.assigned(), EV_BREAK);
    add(m_onCTSChange.assigned(), EV_CTS);
    add(m_onDSRChange.assigned(), EV_DSR);
    add(m_onLineError.assigned(), EV_ERR);
    add(m_onEvent1.assigned(), EV_EVENT1);
    add(m_onEvent2.assigned(), EV_EVENT2);
    add(m_onPrinterError.assigned(), EV_PERR);
    add(m_onRing.assigned(), EV_RING);
    add(m_onRLSDChange.assigned(), EV_RLSD);
    add(m_onRx80PercFull.assigned(), EV_RX80FULL);
    add(m_onRxChar.assigned(), EV_RXCHAR);
    add(m_onRxFlag.assigned(), EV_RXFLAG);
    add(m_onTxEmpty.assigned(), EV_TXEMPTY);
    return mask;
}

void TCustomComPort::SetComEventMask() {
    if (!GetActive() || m_designing)
        return;
    const DWORD mask = EventMask();
    if (mask == 0)
        DestroyThread();
    Check(SetCommMask(m_handle, mask));
    if (mask != 0)
        CreateThread();
}

template <typename H> void TCustomComPort::setLineHandler(H& slot, const H& handler) {
    if (slot.sameRoutine(handler))
        return;
    storeHandler(slot, handler);
    SetComEventMask();
}

void TCustomComPort::SetOnBreak(const TNotifyEvent& h) {
    setLineHandler(m_onBreak, h);
}
void TCustomComPort::SetOnCTSChange(const TNotifyEvent& h) {
    setLineHandler(m_onCTSChange, h);
}
void TCustomComPort::SetOnDSRChange(const TNotifyEvent& h) {
    setLineHandler(m_onDSRChange, h);
}
void TCustomComPort::SetOnLineError(const TLineErrorEvent& h) {
    setLineHandler(m_onLineError, h);
}
void TCustomComPort::SetOnEvent1(const TNotifyEvent& h) {
    setLineHandler(m_onEvent1, h);
}
void TCustomComPort::SetOnEvent2(const TNotifyEvent& h) {
    setLineHandler(m_onEvent2, h);
}
void TCustomComPort::SetOnPrinterError(const TNotifyEvent& h) {
    setLineHandler(m_onPrinterError, h);
}
void TCustomComPort::SetOnRing(const TNotifyEvent& h) {
    setLineHandler(m_onRing, h);
}
void TCustomComPort::SetOnRLSDChange(const TNotifyEvent& h) {
    setLineHandler(m_onRLSDChange, h);
}
void TCustomComPort::SetOnRx80PercFull(const TNotifyEvent& h) {
    setLineHandler(m_onRx80PercFull, h);
}
void TCustomComPort::SetOnRxChar(const TNotifyEvent& h) {
    setLineHandler(m_onRxChar, h);
}
void TCustomComPort::SetOnRxFlag(const TNotifyEvent& h) {
    setLineHandler(m_onRxFlag, h);
}
void TCustomComPort::SetOnTxEmpty(const TNotifyEvent& h) {
    setLineHandler(m_onTxEmpty, h);
}

// ---------------------------------------------------------------------------------------
// Event thread

// Event thread. The port's handle, records and events stay valid while the stop flag is
// clear: the port sets the flag before it releases anything, and waits for this thread's
// end unless the thread is parked in a hand-over to the UI thread.
void TCustomComPort::ThreadProc(TComThread* thread) {
    m_events = 0; // a wait that ends without completing must not replay old events
    if (WaitCommEvent(m_handle, &m_events, &m_eventOverlapped)) {
        if (!thread->Terminated())
            dispatch(thread);
        return;
    }
    if (thread->Terminated())
        return;
    m_threadError = GetLastError();
    if (m_threadError == ERROR_IO_PENDING) {
        if (WaitForSingleObject(m_eventOverlapped.hEvent, INFINITE) == WAIT_OBJECT_0 &&
            !thread->Terminated())
            dispatch(thread);
        return;
    }
    const DWORD code = m_threadError;
    SetLastError(ERROR_SUCCESS);
    std::exception_ptr raised;
    try {
        if (!thread->Synchronize([this] { RaiseThreadError(); }))
            return; // stopped meanwhile
    } catch (...) {
        raised = std::current_exception();
    }
    // OnError may have closed the port or more: look at the flag before anything else.
    if (!thread->Terminated() && code == ERROR_ACCESS_DENIED)
        Close();
    if (raised)
        std::rethrow_exception(raised);
    thread->Terminate(); // the wait failed: this thread is done either way
}

void TCustomComPort::dispatch(TComThread* thread) {
    if (m_events == 0)
        return; // the mask changed: nothing happened on the line
    if (m_synchronizeEvents)
        thread->HandOverEvents([this] { ThreadDoEvent(); });
    else
        ThreadDoEvent();
}

void TCustomComPort::RaiseThreadError() {
    RaiseError(static_cast<std::int32_t>(m_threadError), SysErrorMessage(m_threadError));
}

void TCustomComPort::ThreadDoEvent() {
    // A handler may close the port, or on the UI thread even delete it: the pass stops
    // there. (On the event thread nothing of Qt is touched; a handler there may close its
    // port, which moves to the UI thread, but not delete it.)
    const bool onEventThread = TComThread::Current() != nullptr;
    QPointer<TCustomComPort> self;
    if (!onEventThread)
        self = this;
    const DWORD events = m_events;
    auto stillOpen = [&] { return (onEventThread || !self.isNull()) && GetActive(); };
    auto fire = [&](DWORD bit, const TNotifyEvent& handler) {
        if (stillOpen() && (events & bit))
            callHandler(handler, this);
    };
    try {
        fire(EV_BREAK, m_onBreak);
        fire(EV_CTS, m_onCTSChange);
        fire(EV_DSR, m_onDSRChange);
        if (stillOpen() && (events & EV_ERR) && handlerAssigned(m_onLineError))
            CheckLineErrors();
        fire(EV_EVENT1, m_onEvent1);
        fire(EV_EVENT2, m_onEvent2);
        fire(EV_PERR, m_onPrinterError);
        fire(EV_RING, m_onRing);
        fire(EV_RLSD, m_onRLSDChange);
        fire(EV_RX80FULL, m_onRx80PercFull);
        fire(EV_RXCHAR, m_onRxChar);
        fire(EV_RXFLAG, m_onRxFlag);
        fire(EV_TXEMPTY, m_onTxEmpty);
    } catch (...) {
        reportHandlerException(std::current_exception());
    }
}

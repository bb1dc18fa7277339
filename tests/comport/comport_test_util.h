// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Shared by the serial port component's tests: waiting in the event loop with a deadline, and
// a recorder of handler calls.
#include "comport/Comport.h"
#include "support/wait.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <functional>
#include <string>
#include <vector>

namespace comtest {

using testsupport::waitUntil;

// Waits until at least `n` bytes are queued at the open `port`, sleeping on its device's
// received-char event (the port must have no line-event handler, so its mask is free).
// The short wait per round only guards against an arrival between count and wait.
inline bool waitForInput(TCustomComPort& port, int n, int deadlineMs = 20000) {
    win::HANDLE ev = win::CreateEventA(nullptr, win::TRUE, win::FALSE, nullptr);
    win::SetCommMask(port.Handle(), win::EV_RXCHAR);
    QElapsedTimer elapsed;
    elapsed.start();
    bool ok = false;
    while (!(ok = port.InputCount() >= n) && elapsed.elapsed() < deadlineMs) {
        win::OVERLAPPED ov;
        ov.hEvent = ev;
        win::DWORD events = 0;
        win::ResetEvent(ev);
        if (!win::WaitCommEvent(port.Handle(), &events, &ov) &&
            win::GetLastError() == win::ERROR_IO_PENDING &&
            win::WaitForSingleObject(ev, 200) != win::WAIT_OBJECT_0) {
            win::SetCommMask(port.Handle(), 0); // ends the wait
            win::WaitForSingleObject(ev, win::INFINITE);
            win::SetCommMask(port.Handle(), win::EV_RXCHAR);
        }
    }
    win::SetCommMask(port.Handle(), 0);
    win::CloseHandle(ev);
    return ok;
}

// Sets the open `port`'s device mask to `mask`, runs `trigger` and waits until the device
// reports one of those events (it keeps events that come before the wait starts). The port
// must have no line-event handler, so its mask is free.
inline bool waitForCommEvent(TCustomComPort& port, win::DWORD mask,
                             const std::function<void()>& trigger, int deadlineMs = 20000) {
    win::HANDLE ev = win::CreateEventA(nullptr, win::TRUE, win::FALSE, nullptr);
    win::SetCommMask(port.Handle(), mask);
    trigger();
    win::OVERLAPPED ov;
    ov.hEvent = ev;
    win::DWORD events = 0;
    bool ok = win::WaitCommEvent(port.Handle(), &events, &ov) != win::FALSE;
    if (!ok && win::GetLastError() == win::ERROR_IO_PENDING)
        ok =
            win::WaitForSingleObject(ev, static_cast<win::DWORD>(deadlineMs)) == win::WAIT_OBJECT_0;
    win::SetCommMask(port.Handle(), 0); // ends a wait still pending
    win::WaitForSingleObject(ev, static_cast<win::DWORD>(deadlineMs));
    win::CloseHandle(ev);
    return ok && (events & mask) != 0;
}

// Handler targets that note each call as a word in `calls`.
struct Recorder {
    std::vector<std::string> calls;
    std::function<void(const std::string&)> also; // runs after noting, may throw

    void note(const std::string& what) {
        calls.push_back(what);
        if (also)
            also(what);
    }
    void Break(QObject*) { note("break"); }
    void CTS(QObject*) { note("cts"); }
    void DSR(QObject*) { note("dsr"); }
    void Ring(QObject*) { note("ring"); }
    void RLSD(QObject*) { note("rlsd"); }
    void RxChar(QObject*) { note("rx"); }
    void RxFlag(QObject*) { note("rxflag"); }
    void TxEmpty(QObject*) { note("txempty"); }
    void LineError(QObject*, TLineErrors e) { note("lineerror:" + std::to_string(e.bits())); }
    void BeforeOpen(TCustomComPort*) { note("beforeopen"); }
    void AfterOpen(TCustomComPort*) { note("afteropen"); }
    void BeforeClose(TCustomComPort*) { note("beforeclose"); }
    void AfterClose(TCustomComPort*) { note("afterclose"); }
    void BeforeRead(QObject*, const void*, std::int32_t n, bool w) {
        note("beforeread:" + std::to_string(n) + (w ? "w" : ""));
    }
    void AfterRead(QObject*, const void*, std::int32_t n, bool w) {
        note("afterread:" + std::to_string(n) + (w ? "w" : ""));
    }
    void BeforeWrite(QObject*, const void*, std::int32_t n, bool w) {
        note("beforewrite:" + std::to_string(n) + (w ? "w" : ""));
    }
    void AfterWrite(QObject*, const void*, std::int32_t n, bool w) {
        note("afterwrite:" + std::to_string(n) + (w ? "w" : ""));
    }
    void Error(TCustomComPort*, EComError& e, TComAction&) {
        note("error:" + std::to_string(e.ErrorCode));
    }

    int count(const std::string& what) const {
        int n = 0;
        for (const auto& c : calls)
            n += c == what;
        return n;
    }
};

} // namespace comtest

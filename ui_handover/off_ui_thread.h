// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Work that may take long (a store rebuilt from many files) run on a thread of its own while
// the UI thread's loop goes on dispatching events: the windows repaint and the timers tick,
// and the caller continues, on the UI thread, with the work's result. The same nesting as the
// download's other waits: the caller guards against what the operator may start meanwhile.
//
// Thread: one std::thread per call, joined before the call returns; its end reaches the UI
// thread through a `UiHandover` of the call's own, and what the work throws is thrown again
// on the caller's thread. The work touches nothing the UI thread uses while it runs (its own
// database connections, its own files).

#include "ui_handover/ui_handover.h"

#include <QCoreApplication>
#include <QEventLoop>

#include <exception>
#include <thread>
#include <type_traits>
#include <utility>

namespace platform {

template <class Work> std::invoke_result_t<Work> runOffUiThread(Work&& work) {
    std::invoke_result_t<Work> result{};
    bool done = false; // UI thread only: set by the hand-over's call
    UiHandover handover;
    std::exception_ptr failure; // what the work threw, thrown again on the caller's thread
    std::thread worker([&] {
        try {
            result = work();
        } catch (...) {
            failure = std::current_exception();
        }
        handover.post([&done] { done = true; });
    });
    while (!done)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    worker.join();
    if (failure)
        std::rethrow_exception(failure);
    return result;
}

} // namespace platform

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Work that may take long (a store rebuilt from many files) run on a thread of its own while
// the UI thread's loop goes on dispatching events: the windows repaint and the timers tick,
// and the caller continues, on the UI thread, with the work's result. The same nesting as the
// download's other waits: the caller guards against what the operator may start meanwhile.
//
// Thread: one std::thread per call, joined before the call returns. The work touches nothing
// the UI thread uses while it runs (its own database connections, its own files).

#include <QCoreApplication>
#include <QEventLoop>
#include <QMetaObject>

#include <atomic>
#include <thread>
#include <type_traits>
#include <utility>

namespace platform {

template <class Work> std::invoke_result_t<Work> runOffUiThread(Work&& work) {
    std::invoke_result_t<Work> result{};
    std::atomic<bool> done{false};
    std::thread worker([&] {
        result = work();
        done.store(true);
        // Wakes the loop below (a queued call to the application object, on the UI thread).
        if (QCoreApplication* app = QCoreApplication::instance())
            QMetaObject::invokeMethod(
                app, [] {}, Qt::QueuedConnection);
    });
    if (QCoreApplication::instance())
        while (!done.load())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    worker.join();
    return result;
}

} // namespace platform

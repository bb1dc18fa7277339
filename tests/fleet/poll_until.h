// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Waiting for what changes without an event for the UI loop (a row on the server, a lookup's
// thread ending): looked at every few milliseconds while the loop runs, until it holds or the
// deadline passes (support/wait.h's waitUntil sleeps until an event comes).

#include <QCoreApplication>
#include <QEventLoop>

#include <chrono>
#include <thread>

namespace fleettest {

template <class Pred>
bool pollUntil(Pred&& done, std::chrono::milliseconds deadline = std::chrono::seconds(30)) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (!done() && std::chrono::steady_clock::now() < end) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return done();
}

} // namespace fleettest

#pragma once
// Waiting in tests: run the event loop until a condition holds or a generous deadline passes.
// The wait sleeps in the event loop (woken by events or by the deadline timer), never spins.
#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

template <class Pred> bool waitFor(Pred done, int deadlineMs = 15000) {
    QTimer deadline;
    deadline.setSingleShot(true);
    deadline.start(deadlineMs);
    while (!done() && deadline.isActive())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    return done();
}

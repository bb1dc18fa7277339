// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A program's end asked for from outside (SIGTERM at logout or shutdown, SIGINT) or from
// within, and the guard of its event loop: shared by the windowed program and xrq-collect,
// each of which says what ending does (setProgramEndHandler). UI thread.

#include <QCoreApplication>

#include <functional>

class QObject;

// The application of the program without windows. Last line of defence: every handler of
// ours runs inside the guard, but an exception that still reaches the event loop is shown
// instead of ending the program.
class GuardedCoreApplication : public QCoreApplication {
public:
    using QCoreApplication::QCoreApplication;
    bool notify(QObject* receiver, QEvent* event) override;
};

// What ending does (stop the exchange, close the boxes and the windows, quit the loop); run
// once by RequestProgramEnd.
void setProgramEndHandler(std::function<void()> handler);
// Asks for the end: the first call marks it asked and runs the handler; later calls do
// nothing until ResetProgramEnd (a new start).
void RequestProgramEnd();
void ResetProgramEnd();
bool ProgramEndRequested();

// SIGTERM (logout, shutdown) and SIGINT ask for the end (RequestProgramEnd) at any moment,
// modal boxes included. The handler only writes to a pipe; the UI thread does the rest.
// RemoveTerminationSignals puts the default handling back (tests).
void InstallTerminationSignals(QObject* owner);
void RemoveTerminationSignals();

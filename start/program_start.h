// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Start and end of the program's windows, apart from the process entry so that tests can start
// the program in-process with its folders and port table pointed at temporary ones.

#include "app/program_end.h"
#include "app/program_folders.h"

#include <QApplication>

class QObject;

// The application of the windowed program (the collector's is GuardedCoreApplication,
// app/program_end.h). Last line of defence:
// every handler of ours runs inside the guard, but an exception that still reaches the
// event loop is shown instead of ending the program.
class GuardedApplication : public QApplication {
public:
    using QApplication::QApplication;
    bool notify(QObject* receiver, QEvent* event) override;
};

// Creates the four windows in order, each once: FormXRQMain (its FormCreate runs before the
// others exist), FormSerial, FormSetup, FormTerminal. Throws std::logic_error when they exist.
void CreateProgramWindows(const ProgramLocations& where);

// Shows the main window, starts the sharing with the organisation's server (app/sharing_start.h)
// and runs the event loop until the window has closed; then frees the windows.
// An end asked for while the window was being shown (a signal during a start-up box) skips
// the loop.
int RunProgram(QApplication& app);

// Frees the four windows, newest first, and clears their global references.
void DestroyProgramWindows();

// Ends the program from wherever the UI thread is: a running exchange is stopped (its port
// closed, the intermediate file kept), open modal boxes are closed and no new one is shown,
// and the main window closes. The end line is written when the loop has ended. UI thread.
// What a termination signal does to the windowed program (app/program_end.h, whose
// ProgramEndRequested and termination signals are the program's).
void EndProgram();

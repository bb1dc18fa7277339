// SPDX-License-Identifier: GPL-3.0-or-later
// Program entry: the application titled "XRQ", the four windows, the event loop until the
// main window has closed. Arguments are Qt's own; the program reads none and no environment.
#include "main/fMain.h"
#include "platform/exception_guard.h"
#include "start/program_start.h"

int main(int argc, char* argv[]) {
    GuardedApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("XRQ"));
    try {
        InstallTerminationSignals(&app);
        CreateProgramWindows(ProgramLocations::fromSystem());
        RunProgram(app);
    } catch (const std::exception&) {
        platform::reportCurrentException();
        DestroyProgramWindows();
    }
    return 0;
}

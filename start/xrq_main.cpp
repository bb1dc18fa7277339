// SPDX-License-Identifier: GPL-3.0-or-later
// Program entry: the application titled "XRQ", the four windows, the event loop until the
// main window has closed. Arguments are Qt's own; the program reads none and no environment.
#include "fleet/name_lookup.h"
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
    // A name lookup of the sharing that never ended is left to its thread (fleet/name_lookup.h):
    // the exit (static destructors, the resolver's modules unloaded) must not run under it.
    // Every file is complete and synced by now (the register, the series and the sharing
    // ended with the windows), so the process ends here, as xrq-view does.
    return fleet::endProcessIfLookupsLeft(0);
}

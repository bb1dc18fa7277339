// SPDX-License-Identifier: GPL-3.0-or-later
// Program entry: the application titled "XRQ", the four windows, the event loop until the
// main window has closed. Arguments are Qt's own; the program reads none and no environment.
#include "main/fMain.h"
#include "main/program_start.h"
#include "platform/exception_guard.h"

#include <QApplication>

namespace {

// Last line of defence: every handler of ours runs inside the guard, but an exception that
// still reaches the event loop is shown instead of ending the program.
class XrqApplication : public QApplication {
public:
    using QApplication::QApplication;
    bool notify(QObject* receiver, QEvent* event) override {
        try {
            return QApplication::notify(receiver, event);
        } catch (...) {
            platform::reportCurrentException();
            return false;
        }
    }
};

} // namespace

int main(int argc, char* argv[]) {
    XrqApplication app(argc, argv);
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

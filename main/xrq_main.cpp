// Program entry: the application titled "XRQ", the four windows, the event loop until the
// main window has closed. Arguments are Qt's own; the program reads none and no environment.
#include "main/fMain.h"
#include "main/program_start.h"
#include "platform/exception_guard.h"

#include <QApplication>
#include <QSocketNotifier>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

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

int g_signalPipe[2] = {-1, -1};

void onTerminate(int) {
    const char byte = 1;
    [[maybe_unused]] const auto n = ::write(g_signalPipe[1], &byte, 1);
}

// SIGTERM (logout, shutdown) and SIGINT close the main window as Exit does, so that the run
// log gets its end line. The handler only writes to a pipe; the UI thread does the rest.
void closeOnTerminationSignals(QObject* owner) {
    if (::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    auto* notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, owner);
    QObject::connect(notifier, &QSocketNotifier::activated, owner, platform::guarded([] {
                         char drain[16];
                         while (::read(g_signalPipe[0], drain, sizeof drain) > 0) {
                         }
                         if (FormXRQMain)
                             FormXRQMain->close();
                     }));
    struct sigaction action {};
    action.sa_handler = onTerminate;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
}

} // namespace

int main(int argc, char* argv[]) {
    XrqApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("XRQ"));
    try {
        closeOnTerminationSignals(&app);
        CreateProgramWindows(ProgramLocations::fromSystem());
        RunProgram(app);
    } catch (const std::exception&) {
        platform::reportCurrentException();
        DestroyProgramWindows();
    }
    return 0;
}

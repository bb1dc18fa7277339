// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/program_end.h"

#include "platform/exception_guard.h"

#include <QPointer>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

bool g_endRequested = false;
std::function<void()> g_endHandler;
int g_signalPipe[2] = {-1, -1};
QPointer<QSocketNotifier> g_signalNotifier;

void onTerminationSignal(int) {
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const auto n = ::write(g_signalPipe[1], &byte, 1);
    errno = saved;
}

} // namespace

bool GuardedCoreApplication::notify(QObject* receiver, QEvent* event) {
    try {
        return QCoreApplication::notify(receiver, event);
    } catch (...) {
        platform::reportCurrentException();
        return false;
    }
}

void setProgramEndHandler(std::function<void()> handler) {
    g_endHandler = std::move(handler);
}

void RequestProgramEnd() {
    if (g_endRequested)
        return;
    g_endRequested = true;
    if (g_endHandler)
        g_endHandler();
}

void ResetProgramEnd() {
    g_endRequested = false;
}

bool ProgramEndRequested() {
    return g_endRequested;
}

void InstallTerminationSignals(QObject* owner) {
    if (g_signalPipe[0] < 0 && ::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    delete g_signalNotifier.data();
    g_signalNotifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, owner);
    QObject::connect(g_signalNotifier.data(), &QSocketNotifier::activated, owner,
                     platform::guarded([] {
                         char drain[16];
                         while (::read(g_signalPipe[0], drain, sizeof drain) > 0) {
                         }
                         RequestProgramEnd();
                     }));
    struct sigaction action {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
}

void RemoveTerminationSignals() {
    std::signal(SIGTERM, SIG_DFL);
    std::signal(SIGINT, SIG_DFL);
    delete g_signalNotifier.data();
}

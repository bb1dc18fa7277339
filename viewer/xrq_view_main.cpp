// SPDX-License-Identifier: GPL-3.0-or-later
// xrq-view [--folder DIR] [FILE...]: the data viewer, a program of its own.
// xrq-view [--files-folder DIR] [--set N] --series SERIAL NAME: a unit's series, whole. The main
// program starts it detached, so that nothing a data file holds (its size, its shape, a
// fault in reading it) can stall, starve or end the program or a download in progress,
// and closing the program leaves the viewer open.
#include "viewer/message_limit.h"
#include "viewer/view_command_line.h"
#include "viewer/viewer_window.h"
#include "widgets/message_boxes.h"

#include <QAction>
#include <QApplication>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace {

// SIGTERM and SIGINT end the viewer at once: it holds nothing that needs saving (pictures
// and exports are written under a temporary name). The program that started it may have
// blocked or caught them, and a mask is inherited across exec.
void defaultSignals() {
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int sig : {SIGTERM, SIGINT, SIGHUP})
        std::signal(sig, SIG_DFL);
}

// When memory runs out, the kernel ends the viewer before the program or a download.
void yieldToOthersInMemory() {
    const int fd = ::open("/proc/self/oom_score_adj", O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return;
    [[maybe_unused]] const auto n = ::write(fd, "500", 3);
    ::close(fd);
}

} // namespace

int main(int argc, char* argv[]) {
    defaultSignals();
    yieldToOthersInMemory();
    viewer::installMessageLimit();
    QApplication app(argc, argv);
    // An exception the guard catches is shown in its box.
    installMessageBoxes();
    QApplication::setApplicationName(QStringLiteral("xrq-view"));
    QApplication::setApplicationDisplayName(QStringLiteral("Data Viewer"));
    QApplication::setDesktopFileName(QStringLiteral("xrq-view"));

    const viewer::ViewCommandLine line = viewer::readViewCommandLine(QApplication::arguments());
    if (line.help) {
        std::fputs(qPrintable(line.text), stdout);
        return 0;
    }
    if (line.refused) {
        std::fprintf(stderr, "xrq-view: %s\n", qPrintable(line.text));
        return 1;
    }

    viewer::ViewerWindow window;
    window.setAttribute(Qt::WA_QuitOnClose);
    window.setDataFolder(line.dataFolder);
    window.fitInto(viewer::availableScreenArea());
    window.show();
    if (line.series)
        window.openSeries(line.request);
    else if (line.files.isEmpty())
        QTimer::singleShot(0, window.ActionOpen, &QAction::trigger);
    else
        window.openFiles(line.files);
    const int status = QApplication::exec();
    // Ended here, without tearing the window and Qt down: a reading thread may still be stuck
    // in the kernel (a file on a server that went away), and nothing of the viewer needs
    // saving (pictures and exports are complete and synced before they are said to be).
    std::fflush(nullptr);
    ::_exit(status);
}

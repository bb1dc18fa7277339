// SPDX-License-Identifier: GPL-3.0-or-later
// xrq-view [--folder DIR] [FILE...]: the data viewer, a program of its own.
// xrq-view [--files-folder DIR] [--set N] --series SERIAL NAME: a unit's series, whole. The main
// program starts it detached, so that nothing a data file holds (its size, its shape, a
// fault in reading it) can stall, starve or end the program or a download in progress,
// and closing the program leaves the viewer open.
#include "series/series_apply.h"
#include "viewer/message_limit.h"
#include "viewer/viewer_window.h"

#include <QAction>
#include <QApplication>
#include <QCommandLineParser>
#include <QFile>
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
    QApplication::setApplicationName(QStringLiteral("xrq-view"));
    QApplication::setApplicationDisplayName(QStringLiteral("Data Viewer"));
    QApplication::setDesktopFileName(QStringLiteral("xrq-view"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Shows the data files of the XRQ unit."));
    parser.addHelpOption();
    QCommandLineOption folder(QStringLiteral("folder"),
                              QStringLiteral("Folder in which Open starts."),
                              QStringLiteral("DIR"));
    parser.addOption(folder);
    QCommandLineOption series(QStringLiteral("series"),
                              QStringLiteral("Show the series of the unit SERIAL for the data set "
                                             "NAME (the first argument after the options)."),
                              QStringLiteral("SERIAL"));
    parser.addOption(series);
    QCommandLineOption set(QStringLiteral("set"),
                           QStringLiteral("With --series: the Nth data set of that name in each "
                                          "download (1 by default)."),
                           QStringLiteral("N"), QStringLiteral("1"));
    parser.addOption(set);
    QCommandLineOption filesFolder(
        QStringLiteral("files-folder"),
        QStringLiteral("With --series: the program's files folder, which holds series.sqlite."),
        QStringLiteral("DIR"));
    parser.addOption(filesFolder);
    parser.addPositionalArgument(QStringLiteral("FILE"), QStringLiteral("Data files to show."),
                                 QStringLiteral("[FILE...]"));
    parser.process(app);

    const QStringList files = parser.positionalArguments();
    viewer::SeriesRequest request;
    if (parser.isSet(series)) {
        bool number = false;
        const int n = parser.value(set).toInt(&number);
        if (files.size() != 1 || !number || n < 1) {
            std::fputs("xrq-view: --series takes a serial number and one data set name "
                       "(and --set a number from 1)\n",
                       stderr);
            return 1;
        }
        // The unit's names are Latin-1 bytes; the command line carries them as text.
        request.serial = parser.value(series).toLatin1();
        request.name = files.front().toLatin1();
        request.ordinal = n - 1;
        QString dir =
            parser.isSet(filesFolder)
                ? parser.value(filesFolder)
                : QFile::decodeName(QByteArray::fromStdString(series::defaultFilesFolder()));
        if (!dir.endsWith(QLatin1Char('/')))
            dir += QLatin1Char('/');
        request.filesFolder = dir;
    }

    viewer::ViewerWindow window;
    window.setAttribute(Qt::WA_QuitOnClose);
    window.setDataFolder(parser.value(folder));
    window.fitInto(viewer::availableScreenArea());
    window.show();
    if (parser.isSet(series))
        window.openSeries(request);
    else if (files.isEmpty())
        QTimer::singleShot(0, window.ActionOpen, &QAction::trigger);
    else
        window.openFiles(files);
    const int status = QApplication::exec();
    // Ended here, without tearing the window and Qt down: a reading thread may still be stuck
    // in the kernel (a file on a server that went away), and nothing of the viewer needs
    // saving (pictures and exports are complete and synced before they are said to be).
    std::fflush(nullptr);
    ::_exit(status);
}

// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/viewer_launch.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

namespace viewer_launch {

namespace {

Starter& starter() {
    static Starter s;
    return s;
}

} // namespace

void setStarter(Starter s) {
    starter() = std::move(s);
}

QString viewerProgram() {
    const QFileInfo beside(QCoreApplication::applicationDirPath() + QStringLiteral("/xrq-view"));
    if (beside.isFile() && beside.isExecutable())
        return beside.absoluteFilePath();
    return QStandardPaths::findExecutable(QStringLiteral("xrq-view"));
}

QStringList viewerArguments(const QStringList& files, const QString& dataFolder) {
    QStringList args;
    if (!dataFolder.isEmpty())
        args << QStringLiteral("--folder") << dataFolder;
    args << QStringLiteral("--"); // a file whose name begins with "-" is still a file
    args << files;
    return args;
}

namespace {

bool startViewer(const QStringList& args, QString& error) {
    const QString program = viewerProgram();
    if (program.isEmpty()) {
        error = QStringLiteral("The data viewer xrq-view was found neither beside this program "
                               "nor on the PATH.");
        return false;
    }
    const bool started =
        starter() ? starter()(program, args) : QProcess::startDetached(program, args);
    if (!started)
        error = QStringLiteral("The data viewer %1 could not be started.").arg(program);
    return started;
}

} // namespace

bool startDataViewer(const QStringList& files, const QString& dataFolder, QString& error) {
    return startViewer(viewerArguments(files, dataFolder), error);
}

QStringList seriesArguments(const QByteArray& serial, const QByteArray& name, int ordinal,
                            const QString& filesFolder) {
    // The unit's bytes are Latin-1 text on the command line; "=" and "--" keep a serial
    // number or a name that begins with "-" what it is.
    return {QStringLiteral("--files-folder=") + filesFolder,
            QStringLiteral("--set=%1").arg(ordinal + 1),
            QStringLiteral("--series=") + QString::fromLatin1(serial), QStringLiteral("--"),
            QString::fromLatin1(name)};
}

bool startSeriesViewer(const QByteArray& serial, const QByteArray& name, int ordinal,
                       const QString& filesFolder, QString& error) {
    return startViewer(seriesArguments(serial, name, ordinal, filesFolder), error);
}

} // namespace viewer_launch

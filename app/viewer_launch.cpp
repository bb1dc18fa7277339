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

platform::Result<void> startViewer(const QStringList& args) {
    const QString program = viewerProgram();
    if (program.isEmpty())
        return platform::makeError(platform::ErrorKind::NotFound,
                                   "The data viewer xrq-view was found neither beside this "
                                   "program nor on the PATH.");
    const bool started =
        starter() ? starter()(program, args) : QProcess::startDetached(program, args);
    if (!started)
        return platform::makeError(
            platform::ErrorKind::Io,
            QStringLiteral("The data viewer %1 could not be started.").arg(program).toStdString());
    return {};
}

} // namespace

platform::Result<void> startDataViewer(const QStringList& files, const QString& dataFolder) {
    return startViewer(viewerArguments(files, dataFolder));
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

platform::Result<void> startSeriesViewer(const QByteArray& serial, const QByteArray& name,
                                         int ordinal, const QString& filesFolder) {
    return startViewer(seriesArguments(serial, name, ordinal, filesFolder));
}

} // namespace viewer_launch

// SPDX-License-Identifier: GPL-3.0-or-later
#include "viewer/view_command_line.h"

#include "series/series_apply.h"

#include <QCommandLineParser>
#include <QFile>

namespace viewer {

ViewCommandLine readViewCommandLine(const QStringList& arguments) {
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Shows the data files of the XRQ unit."));
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption folder(QStringLiteral("folder"),
                                    QStringLiteral("Folder in which Open starts."),
                                    QStringLiteral("DIR"));
    const QCommandLineOption series(
        QStringLiteral("series"),
        QStringLiteral("Show the series of the unit SERIAL for the data set NAME (the one "
                       "argument after the options)."),
        QStringLiteral("SERIAL"));
    const QCommandLineOption set(QStringLiteral("set"),
                                 QStringLiteral("With --series: the Nth data set of that name in "
                                                "each download (1 by default)."),
                                 QStringLiteral("N"), QStringLiteral("1"));
    const QCommandLineOption filesFolder(
        QStringLiteral("files-folder"),
        QStringLiteral("With --series: the program's files folder, which holds series.sqlite."),
        QStringLiteral("DIR"));
    parser.addOptions({folder, series, set, filesFolder});
    parser.addPositionalArgument(QStringLiteral("FILE"), QStringLiteral("Data files to show."),
                                 QStringLiteral("[FILE...]"));

    ViewCommandLine out;
    auto refuse = [&](const QString& why) {
        out.refused = true;
        out.text = why;
        return out;
    };
    if (!parser.parse(arguments))
        return refuse(parser.errorText());
    if (parser.isSet(help)) {
        out.help = true;
        out.text = parser.helpText();
        return out;
    }
    out.dataFolder = parser.value(folder);
    out.files = parser.positionalArguments();
    if (!parser.isSet(series)) {
        if (parser.isSet(set) || parser.isSet(filesFolder))
            return refuse(QStringLiteral("--set and --files-folder go with --series"));
        return out;
    }
    bool number = false;
    const int n = parser.value(set).toInt(&number);
    if (out.files.size() != 1 || !number || n < 1)
        return refuse(QStringLiteral("--series takes a serial number and one data set name "
                                     "(and --set a number from 1)"));
    // The unit's names are Latin-1 bytes; the command line carries them as text.
    out.series = true;
    out.request.serial = parser.value(series).toLatin1();
    out.request.name = out.files.front().toLatin1();
    out.request.ordinal = n - 1;
    out.files.clear();
    QString dir = parser.isSet(filesFolder)
                      ? parser.value(filesFolder)
                      : QFile::decodeName(QByteArray::fromStdString(series::defaultFilesFolder()));
    if (!dir.endsWith(QLatin1Char('/')))
        dir += QLatin1Char('/');
    out.request.filesFolder = dir;
    return out;
}

} // namespace viewer

// SPDX-License-Identifier: GPL-3.0-or-later
#include "register/register_texts.h"

#include "platform/durable_file.h"
#include "series/series_export.h"
#include "unit/unit_texts.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStringList>

#include <cerrno>
#include <cstring>

namespace unitreg {

QString serialText(const std::string& serial) {
    return QString::fromLatin1(serial.data(), static_cast<qsizetype>(serial.size()));
}

QString pathText(const std::string& path) {
    return QFile::decodeName(QByteArray::fromStdString(path));
}

QString localTimeText(std::int64_t ms, bool withSeconds) {
    return QDateTime::fromMSecsSinceEpoch(ms).toString(
        withSeconds ? QStringLiteral("yyyy-MM-dd HH:mm:ss") : QStringLiteral("yyyy-MM-dd HH:mm"));
}

QString eventKindText(EventKind kind) {
    switch (kind) {
    case EventKind::Visit:
        return QStringLiteral("Connect");
    case EventKind::Battery:
        return QStringLiteral("Battery");
    case EventKind::ClockSet:
        return QStringLiteral("Clock set");
    case EventKind::Download:
        return QStringLiteral("Download");
    case EventKind::Clear:
        return QStringLiteral("Clear memory");
    case EventKind::JudgedAgain:
        return QStringLiteral("Judged again");
    }
    return {};
}

namespace {

QString byteCount(std::uint64_t n) {
    if (n < 1000)
        return QStringLiteral("%1 bytes").arg(n);
    if (n < 1000 * 1000)
        return QStringLiteral("%1 kB").arg(double(n) / 1e3, 0, 'f', 1);
    return QStringLiteral("%1 MB").arg(double(n) / 1e6, 0, 'f', 2);
}

QString reasonsText(const Download& d) {
    QStringList reasons;
    for (const std::string& r : d.reasons)
        reasons << QString::fromUtf8(r.data(), static_cast<qsizetype>(r.size()));
    return reasons.join(QStringLiteral("; "));
}

// "A: 12 lines; B: 0 lines", the names as the unit sent them.
QString setLinesText(const Download& d) {
    QStringList sets;
    for (const Download::SetLines& s : d.setLines)
        sets << QStringLiteral("%1: %2 line%3")
                    .arg(serialText(s.name))
                    .arg(s.lines)
                    .arg(s.lines == 1 ? "" : "s");
    return sets.join(QStringLiteral("; "));
}

} // namespace

QString eventDetails(const UnitEvent& e) {
    switch (e.kind) {
    case EventKind::Visit:
        return (e.port > 0 ? QStringLiteral("COM%1").arg(e.port) : QStringLiteral("no port")) +
               (e.device.empty() ? QString() : QStringLiteral(" (%1)").arg(pathText(e.device)));
    case EventKind::Battery:
        return QString::fromStdString(formatOneDecimal(e.volts) + " V, " +
                                      formatOneDecimal(e.celsius) + " C");
    case EventKind::ClockSet:
        return QStringLiteral("set to ") + serialText(e.sent);
    case EventKind::Download: {
        const Download& d = e.download;
        QString text = d.complete ? QStringLiteral("complete") : QStringLiteral("incomplete");
        if (!d.why.empty())
            text += QStringLiteral(" (%1)").arg(QString::fromLocal8Bit(d.why.c_str()));
        text += QStringLiteral(", %1 data set%2, %3")
                    .arg(d.sets)
                    .arg(d.sets == 1 ? "" : "s")
                    .arg(byteCount(d.bytes));
        text += d.verified ? QStringLiteral(", verified") : QStringLiteral(", not verified");
        if (!d.reasons.empty())
            text += QStringLiteral(": ") + reasonsText(d);
        if (!d.lineErrors.empty())
            text += QStringLiteral(", line errors: ") + QString::fromStdString(d.lineErrors);
        if (e.identifiedLater)
            text += QStringLiteral(" (from a unit that gave no serial number, named later on its "
                                   "port)");
        return text;
    }
    case EventKind::Clear:
        return e.confirmed ? QStringLiteral("confirmed by the unit")
                           : QStringLiteral("not confirmed by the unit");
    case EventKind::JudgedAgain: {
        QString text = QStringLiteral("judged again: not verified");
        if (!e.download.reasons.empty())
            text += QStringLiteral(": ") + reasonsText(e.download);
        return text + QStringLiteral(" (the download of %1, called verified when it was made)")
                          .arg(localTimeText(e.download.started, true));
    }
    }
    return {};
}

QString linkDetails(const QString& downloadId) {
    return QStringLiteral("download %1 of a unit that gave no serial number, named this unit")
        .arg(downloadId);
}

QString keptDownloadDetails(std::uint64_t size, const QString& sha256) {
    return QStringLiteral("raw download kept, %1, SHA-256 %2").arg(byteCount(size), sha256);
}

QString lastDownloadText(const std::optional<LastDownload>& last) {
    if (!last)
        return QStringLiteral("not downloaded yet");
    return QStringLiteral("last downloaded %1, %2")
        .arg(QDateTime::fromMSecsSinceEpoch(last->started).toString(QStringLiteral("yyyy-MM-dd")),
             last->complete ? QStringLiteral("complete") : QStringLiteral("incomplete"));
}

namespace {

// The one cell rule of every export (series/series_export.h): no formula a spreadsheet runs,
// no line end that breaks a row.
QString csvField(const QString& text) {
    std::string cell;
    series::appendCell(cell, text.toStdString(), false);
    return QString::fromStdString(cell);
}

} // namespace

QByteArray historyCsv(const std::string& serial, const std::vector<UnitEvent>& events) {
    QString out = QStringLiteral(
        "Serial,Time,Event,Details,Port,Device,Volts,Celsius,Reply,Clock sent,Bytes,Data sets,"
        "Files,Kept file,Complete,Why,Verified,Confirmed,Reasons,Data set lines,Line errors\r\n");
    const QString unit = csvField(serialText(serial));
    for (const UnitEvent& e : events) {
        QStringList f;
        f << unit << localTimeText(e.at, true) << eventKindText(e.kind)
          << csvField(eventDetails(e));
        const bool download = e.kind == EventKind::Download;
        const bool battery = e.kind == EventKind::Battery;
        f << (e.kind == EventKind::Visit && e.port > 0 ? QString::number(e.port) : QString());
        f << csvField(pathText(e.device));
        f << (battery ? QString::number(e.volts, 'g', 15) : QString());
        f << (battery ? QString::number(e.celsius, 'g', 15) : QString());
        f << csvField(serialText(e.reply)) << csvField(serialText(e.sent));
        QStringList files;
        for (const std::string& file : e.download.files)
            files << pathText(file);
        f << (download ? QString::number(e.download.bytes) : QString());
        f << (download ? QString::number(e.download.sets) : QString());
        f << csvField(files.join(QLatin1String("; "))) << csvField(pathText(e.download.keptFile));
        f << (download ? QString(e.download.complete ? "yes" : "no") : QString());
        f << csvField(QString::fromLocal8Bit(e.download.why.c_str()));
        f << (download                           ? QString(e.download.verified ? "yes" : "no")
              : e.kind == EventKind::JudgedAgain ? QStringLiteral("no")
                                                 : QString());
        f << (e.kind == EventKind::Clear ? QString(e.confirmed ? "yes" : "no") : QString());
        f << csvField(reasonsText(e.download)) << csvField(setLinesText(e.download))
          << csvField(QString::fromStdString(e.download.lineErrors));
        out += f.join(QLatin1Char(',')) + QStringLiteral("\r\n");
    }
    return out.toUtf8();
}

QString historyFileName(const std::string& serial) {
    QString name;
    for (const QChar c : serialText(serial))
        name += c.isLetterOrNumber() && c.unicode() < 128 ? c : QLatin1Char('_');
    return QStringLiteral("XRQ%1-history.csv").arg(name);
}

std::string writeHistoryCsv(const QString& path, const std::string& serial,
                            const std::vector<UnitEvent>& events) {
    QSaveFile file(path);
    const QByteArray csv = historyCsv(serial, events);
    // QSaveFile writes beside the target, syncs it and renames it into place: a failure
    // leaves any earlier file of that name as it was.
    if (!file.open(QIODevice::WriteOnly) || file.write(csv) != csv.size() || !file.commit())
        return "Cannot write " + QFile::encodeName(path).toStdString() + ": " +
               file.errorString().toStdString();
    // The new name is the operator's only once the folder that holds it is on the disk.
    if (!platform::syncFolder(QFile::encodeName(QFileInfo(path).absolutePath()).toStdString()))
        return "Cannot make sure that " + QFile::encodeName(path).toStdString() +
               " is on the disk: " + std::strerror(errno);
    return {};
}

FilesFolders filesFolders(const std::vector<std::string>& files) {
    FilesFolders found;
    for (const std::string& f : files) {
        const QFileInfo info(QFile::decodeName(QByteArray::fromStdString(f)));
        if (!info.exists())
            found.missing << info.filePath();
        else
            found.folders.insert(info.absolutePath());
    }
    return found;
}

std::string noFilesText(const QStringList& missing) {
    return missing.isEmpty() ? std::string("This download wrote no data files.")
                             : "The data files of this download are no longer there:\n" +
                                   QFile::encodeName(missing.join(QLatin1Char('\n'))).toStdString();
}

} // namespace unitreg

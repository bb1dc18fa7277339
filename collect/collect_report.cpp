// SPDX-License-Identifier: GPL-3.0-or-later
#include "collect/collect_report.h"

#include <QDateTime>
#include <QJsonArray>
#include <QTimeZone>

#include <QJsonDocument>
#include <QJsonObject>
#include <QStringDecoder>
#include <algorithm>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace collect {
namespace {

QString text(const std::string& bytes) {
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString decoded = utf8.decode(QByteArrayView(bytes.data(), qsizetype(bytes.size())));
    if (!utf8.hasError())
        return decoded;
    return QString::fromLatin1(bytes.data(), qsizetype(bytes.size()));
}

QJsonValue textOrNull(const std::string& bytes) {
    return bytes.empty() ? QJsonValue(QJsonValue::Null) : QJsonValue(text(bytes));
}

} // namespace

// Whole: the --json report as one object, field by field.
std::string reportJson(const CollectReport& r) {
    QJsonObject unit;
    unit[QStringLiteral("serial")] = textOrNull(r.serial);
    unit[QStringLiteral("port")] = r.port > 0 ? QJsonValue(r.port) : QJsonValue();
    unit[QStringLiteral("device")] = textOrNull(r.device);

    QJsonArray files;
    for (const std::string& f : r.files)
        files.append(text(f));
    QJsonArray warnings;
    for (const std::string& w : r.warnings)
        warnings.append(text(w));

    QJsonValue battery;
    if (r.volts && r.celsius)
        battery = QJsonObject{{QStringLiteral("volts"), *r.volts},
                              {QStringLiteral("celsius"), *r.celsius}};

    QJsonObject o;
    o[QStringLiteral("outcome")] = QString::fromLatin1(exitName(r.exit));
    o[QStringLiteral("exit")] = static_cast<int>(r.exit);
    o[QStringLiteral("safe")] = r.exit == Exit::Safe;
    o[QStringLiteral("message")] = textOrNull(r.message);
    o[QStringLiteral("unit")] = unit;
    o[QStringLiteral("dataDirectory")] = textOrNull(r.dataDirectory);
    o[QStringLiteral("files")] = files;
    o[QStringLiteral("sets")] = static_cast<int>(r.files.size());
    o[QStringLiteral("bytes")] = static_cast<double>(r.bytes);
    o[QStringLiteral("seconds")] = r.seconds;
    o[QStringLiteral("keptFile")] = textOrNull(r.keptFile);
    o[QStringLiteral("keptFileFailed")] = textOrNull(r.keptFileFailed);
    o[QStringLiteral("started")] = r.downloadStarted;
    o[QStringLiteral("verified")] = r.verified;
    // "safe" or "not verified" once a download started, with its reasons.
    o[QStringLiteral("verdict")] =
        r.downloadStarted ? QJsonValue(QString::fromLatin1(r.verified ? "safe" : "not verified"))
                          : QJsonValue();
    QJsonArray reasons;
    for (const std::string& reason : r.reasons)
        reasons.append(text(reason));
    o[QStringLiteral("reasons")] = reasons;
    o[QStringLiteral("lineErrors")] = textOrNull(r.lineErrors);
    o[QStringLiteral("battery")] = battery;
    o[QStringLiteral("clockSet")] = r.clockSet ? QJsonValue(text(r.clockText)) : QJsonValue();
    o[QStringLiteral("warnings")] = warnings;
    if (r.shared)
        o[QStringLiteral("shared")] =
            QJsonObject{{QStringLiteral("pushed"), static_cast<qint64>(r.shared->pushed)},
                        {QStringLiteral("waiting"), static_cast<qint64>(r.shared->waiting)},
                        {QStringLiteral("status"), text(r.shared->status)}};
    else
        o[QStringLiteral("shared")] = QJsonValue(QJsonValue::Null);
    if (r.siteVisit) {
        QJsonArray removed;
        for (const std::string& u : r.siteVisit->removed)
            removed.append(text(u));
        o[QStringLiteral("site")] =
            QJsonObject{{QStringLiteral("code"), textOrNull(r.siteVisit->site)},
                        {QStringLiteral("recorded"), text(r.siteVisit->recorded)},
                        {QStringLiteral("removed"), removed},
                        {QStringLiteral("note"), r.siteVisit->noteRecorded},
                        {QStringLiteral("refused"), textOrNull(r.siteVisit->refused)},
                        {QStringLiteral("learnt"), text(r.siteVisit->learnt)}};
    } else {
        o[QStringLiteral("site")] = QJsonValue(QJsonValue::Null);
    }
    if (r.clear.asked) {
        QJsonObject c;
        c[QStringLiteral("cleared")] = r.clear.cleared;
        c[QStringLiteral("reason")] = textOrNull(r.clear.reason);
        const auto iso = [](std::int64_t ms) {
            return QDateTime::fromMSecsSinceEpoch(ms, QTimeZone::utc()).toString(Qt::ISODateWithMs);
        };
        const auto isoOrNull = [&](std::int64_t ms) {
            return ms > 0 ? QJsonValue(iso(ms)) : QJsonValue();
        };
        // The two reads of the memory: the first kept raw only, the second the download.
        c[QStringLiteral("firstRead")] = isoOrNull(r.clear.firstReadMs);
        c[QStringLiteral("firstReadKept")] = textOrNull(r.clear.firstReadKept);
        c[QStringLiteral("secondRead")] = isoOrNull(r.clear.secondReadMs);
        if (r.clear.windowToMs > 0) {
            const double window = double(r.clear.windowToMs - r.clear.windowFromMs) / 1000.0;
            c[QStringLiteral("windowFrom")] = iso(r.clear.windowFromMs);
            c[QStringLiteral("windowTo")] = iso(r.clear.windowToMs);
            c[QStringLiteral("windowSeconds")] = window;
            // A record falls inside the window with this chance when the unit logs one every
            // usual interval at a time unrelated to the download.
            c[QStringLiteral("usualIntervalSeconds")] =
                r.clear.usualIntervalSeconds > 0 ? QJsonValue(r.clear.usualIntervalSeconds)
                                                 : QJsonValue();
            c[QStringLiteral("recordLostChance")] =
                r.clear.usualIntervalSeconds > 0
                    ? QJsonValue(std::min(1.0, window / r.clear.usualIntervalSeconds))
                    : QJsonValue();
        }
        o[QStringLiteral("clear")] = c;
    }
    return QJsonDocument(o).toJson(QJsonDocument::Compact).toStdString() + "\n";
}

platform::Result<void> writeReport(int fd, const std::string& json) {
    if (fd < 0)
        return platform::makeError(platform::ErrorKind::Refused, "the standard output is closed");
    std::optional<platform::Error> failed;
    // A reader that went away gives EPIPE here instead of ending the program unreported.
    struct sigaction ignore {
    }, previous{};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGPIPE, &ignore, &previous);
    std::size_t done = 0;
    while (done < json.size()) {
        const ssize_t n = ::write(fd, json.data() + done, json.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            failed = n < 0 ? platform::errnoError(errno, std::strerror(errno))
                           : platform::makeError(platform::ErrorKind::Io, "nothing was written");
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    ::sigaction(SIGPIPE, &previous, nullptr);
    if (failed)
        return *failed;
    return {};
}

std::array<bool, 3> holdClosedStandardStreams() {
    std::array<bool, 3> closed{};
    for (int fd = 0; fd < 3; ++fd) {
        if (::fcntl(fd, F_GETFD) >= 0 || errno != EBADF)
            continue;
        closed[static_cast<std::size_t>(fd)] = true;
        // Opened in order, the lowest free number is this one.
        const int held = ::open("/dev/null", O_RDWR);
        if (held >= 0 && held != fd) {
            ::dup2(held, fd);
            ::close(held);
        }
    }
    return closed;
}

std::string progressLine(const QString& progressText, int width) {
    QStringList parts = progressText.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (QString& p : parts)
        p = p.simplified();
    QString line = parts.join(QStringLiteral(" | "));
    if (width < 8)
        width = 8;
    if (line.size() > width) {
        const int keep = width - 3;
        line = line.left(keep - keep / 2) + QStringLiteral("...") + line.right(keep / 2);
    }
    return line.toLocal8Bit().toStdString();
}

} // namespace collect

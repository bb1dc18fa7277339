// SPDX-License-Identifier: GPL-3.0-or-later
#include "download/download_progress.h"

#include "download/line_kinds.h"
#include "series/download_text.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace download {

void DownloadProgress::start(std::int64_t nowMs) {
    m_startMs = m_nowMs = nowMs;
    m_bytes = 0;
}

void DownloadProgress::update(std::uint64_t bytes, std::int64_t nowMs) {
    m_bytes = bytes;
    m_nowMs = nowMs;
}

double DownloadProgress::elapsedSeconds() const {
    return m_nowMs > m_startMs ? (m_nowMs - m_startMs) / 1000.0 : 0.0;
}

double DownloadProgress::bytesPerSecond() const {
    const double s = elapsedSeconds();
    return s > 0 ? m_bytes / s : 0.0;
}

QString formatByteCount(double bytes) {
    if (bytes < 1000)
        return QString::number(static_cast<qulonglong>(bytes)) + QStringLiteral(" bytes");
    if (bytes < 1000 * 1000)
        return QString::number(bytes / 1000, 'f', 1) + QStringLiteral(" kB");
    return QString::number(bytes / 1e6, 'f', 2) + QStringLiteral(" MB");
}

QString DownloadProgress::statusText(bool finished) const {
    return (finished ? QStringLiteral("Received %1 in %2 s (%3/s)")
                     : QStringLiteral("Receiving data: %1 in %2 s (%3/s)"))
        .arg(formatByteCount(static_cast<double>(m_bytes)))
        .arg(QString::number(elapsedSeconds(), 'f', 1))
        .arg(formatByteCount(bytesPerSecond()));
}

void DownloadProgressModel::feed(std::string_view bytes) {
    m_bytes += bytes.size();
    while (!bytes.empty()) {
        const auto lf = bytes.find('\n');
        const std::string_view part = bytes.substr(0, lf);
        if (m_head.size() < kLineHead)
            m_head.append(part.substr(0, kLineHead - m_head.size()));
        m_lineLength += part.size();
        if (lf == std::string_view::npos)
            return;
        endLine();
        bytes.remove_prefix(lf + 1);
    }
}

void DownloadProgressModel::settleFirst() {
    // The set's only data line: no record after it to compare.
    if (m_firstWaits && series::namesColumns(m_first, nullptr)) {
        --m_sets.back().records;
        --m_records;
    }
    m_firstWaits = false;
}

void DownloadProgressModel::endLine() {
    // One CR before the LF belongs to the line end, as in the conversion.
    if (m_lineLength > 0 && m_lineLength <= m_head.size() && m_head.back() == '\r')
        m_head.pop_back();
    const std::string head = std::move(m_head);
    const bool wholeLineKept = m_lineLength <= kLineHead;
    m_head.clear();
    m_lineLength = 0;
    if (m_noData)
        return; // the conversion stops at the unit's "No data"
    switch (classifyLine(head)) {
    case LineKind::Blank:
    case LineKind::Comment:
    case LineKind::Command:
        return;
    case LineKind::NoData:
        settleFirst();
        m_noData = true;
        return;
    case LineKind::Header: {
        std::string name;
        headerName(head, name);
        if (!wholeLineKept && name.size() > 3)
            name += "...";
        settleFirst();
        m_sets.push_back({std::move(name), 0});
        return;
    }
    case LineKind::Data:
        if (m_sets.empty()) {
            ++m_orphans;
            return;
        }
        if (m_firstWaits) {
            m_firstWaits = false;
            const std::string_view next = head;
            if (wholeLineKept && series::namesColumns(m_first, &next)) {
                --m_sets.back().records; // it named the columns
                --m_records;
            }
        } else if (m_sets.back().records == 0 && wholeLineKept) {
            m_first = head;
            m_firstWaits = true;
        }
        ++m_sets.back().records;
        ++m_records;
        return;
    }
}

QString setNameText(const std::string& name) {
    QString text;
    text.reserve(static_cast<qsizetype>(name.size()));
    for (const char c : name) {
        const auto u = static_cast<unsigned char>(c);
        text += (u < 0x20 || u == 0x7F) ? QLatin1Char('?') : QChar(u);
    }
    return text;
}

namespace {

QString count(std::uint64_t n, const char* one, const char* many) {
    return QString::number(static_cast<qulonglong>(n)) + QLatin1Char(' ') +
           QString::fromLatin1(n == 1 ? one : many);
}

} // namespace

QString setsLine(const DownloadProgressModel& model, bool finished) {
    if (model.noData())
        return QStringLiteral("The unit says: No data in XRQ");
    const SetProgress* set = model.current();
    if (!set)
        return finished ? QStringLiteral("No data set came in")
                        : QStringLiteral("Waiting for the first data set");
    const std::size_t n = model.sets().size();
    if (finished)
        return QStringLiteral("Received %1, %2; the last: %3")
            .arg(count(n, "data set", "data sets"), count(model.records(), "record", "records"),
                 setNameText(set->name));
    QString text = QStringLiteral("Data set %1: %2, %3")
                       .arg(QString::number(n), setNameText(set->name),
                            count(set->records, "record", "records"));
    if (n > 1)
        text += QStringLiteral(" (%1 in %2 sets so far)")
                    .arg(count(model.records(), "record", "records"), QString::number(n));
    return text;
}

QString bytesLine(const DownloadProgress& progress, double sinceLastByteSeconds, bool finished) {
    QString text = QStringLiteral("%1 in %2 s (%3/s)")
                       .arg(formatByteCount(static_cast<double>(progress.bytes())),
                            QString::number(progress.elapsedSeconds(), 'f', 1),
                            formatByteCount(progress.bytesPerSecond()));
    if (!finished)
        text += progress.bytes() == 0
                    ? QStringLiteral("; no byte yet")
                    : QStringLiteral("; last byte %1 s ago")
                          .arg(QString::number(std::max(0.0, sinceLastByteSeconds), 'f', 1));
    return text;
}

std::vector<FileSummary> summarizeFiles(const std::vector<std::string>& paths) {
    std::vector<FileSummary> out;
    out.reserve(paths.size());
    std::vector<char> buffer(1 << 16);
    for (const std::string& path : paths) {
        FileSummary file;
        file.path = path;
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
        struct stat st {};
        if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            if (fd >= 0)
                ::close(fd);
            file.readable = false;
            out.push_back(std::move(file));
            continue;
        }
        file.bytes = static_cast<std::uint64_t>(st.st_size);
        std::uint64_t lines = 0;
        char last = '\n';
        // The first data line and the one after it: the first may be the set's title line.
        constexpr std::size_t kTitleLineMost = 4096;
        std::string second, third;
        for (;;) {
            const ssize_t n = ::read(fd, buffer.data(), buffer.size());
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                file.readable = false;
                break;
            }
            if (n == 0)
                break;
            for (ssize_t i = 0; i < n; ++i) {
                const char c = buffer[static_cast<std::size_t>(i)];
                if (lines == 1 || lines == 2) {
                    std::string& into = lines == 1 ? second : third;
                    if (c != '\n' && into.size() <= kTitleLineMost)
                        into += c;
                }
                lines += c == '\n';
            }
            last = buffer[static_cast<std::size_t>(n - 1)];
        }
        ::close(fd);
        if (last != '\n')
            ++lines;                              // a last line without its end still counts
        file.records = lines > 0 ? lines - 1 : 0; // the first line is the header
        for (std::string* l : {&second, &third})
            if (!l->empty() && l->back() == '\r')
                l->pop_back();
        const std::string_view next = third;
        if (file.records > 0 && second.size() <= kTitleLineMost &&
            series::namesColumns(second, file.records > 1 ? &next : nullptr))
            --file.records; // the title line names the columns
        out.push_back(std::move(file));
    }
    return out;
}

QString summaryLine(const FileSummary& file) {
    const QString name =
        QFileInfo(QFile::decodeName(QByteArray::fromStdString(file.path))).fileName();
    if (!file.readable)
        return name + QStringLiteral(": cannot be read back");
    return QStringLiteral("%1: %2, %3")
        .arg(name, count(file.records, "record", "records"),
             formatByteCount(static_cast<double>(file.bytes)));
}

} // namespace download

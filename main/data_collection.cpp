#include "main/data_collection.h"

#include <QFile>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace collection {

namespace {

constexpr std::size_t kReadChunk = 1 << 20;
constexpr std::size_t kWriteChunk = 1 << 20;
constexpr int kNumberedNames = 999; // _000 .. _998

bool writeAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace

LineKind classifyLine(std::string_view line) {
    if (line.empty())
        return LineKind::Blank;
    switch (line[0]) {
    case '*':
        return LineKind::Comment;
    case 'F':
        return LineKind::Command;
    case 'N':
        return line.size() > 1 && line[1] == 'o' ? LineKind::NoData : LineKind::Header;
    default:
        return LineKind::Data;
    }
}

bool headerName(std::string_view header, std::string& name) {
    const auto colon = header.find(':');
    if (colon == std::string_view::npos)
        return false;
    const auto start = colon + 2;
    name = start < header.size() ? std::string(header.substr(start)) : std::string();
    return true;
}

std::string safeFileName(std::string_view name) {
    std::string safe(name);
    for (char& c : safe) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '/' || u < 0x20 || u == 0x7F)
            c = '_';
    }
    return safe;
}

std::string fitFileName(std::string name, std::string_view directory) {
    // 255 bytes per component on Linux file systems; "_000.txt" must still fit behind it.
    constexpr std::size_t kComponentMax = 255;
    constexpr std::size_t kSuffix = 8;
    const auto slash = directory.rfind('/');
    const std::size_t prefix =
        slash == std::string_view::npos ? directory.size() : directory.size() - slash - 1;
    const std::size_t room =
        prefix + kSuffix < kComponentMax ? kComponentMax - prefix - kSuffix : 0;
    if (name.size() > room)
        name.resize(room);
    return name;
}

std::string directoryBytes(const QString& directory) {
    return QFile::encodeName(directory).toStdString();
}

// ---- DataFileWriter ----

DataFileWriter::~DataFileWriter() {
    close();
}

bool DataFileWriter::create(const std::string& base) {
    close();
    m_failed = false;
    // The preferred name first, then the numbered ones. O_EXCL makes the existence test and
    // the creation one step: an existing file, directory or dangling link counts as taken.
    for (int i = -1; i < kNumberedNames; ++i) {
        std::string candidate = base;
        if (i >= 0) {
            char suffix[16];
            std::snprintf(suffix, sizeof suffix, "_%3.3d", i);
            candidate += suffix;
        }
        candidate += ".txt";
        const int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            m_fd = fd;
            m_path = std::move(candidate);
            m_buffer.clear();
            m_buffer.reserve(kWriteChunk + 2);
            return true;
        }
        if (errno != EEXIST)
            return false;
    }
    errno = EEXIST;
    return false;
}

bool DataFileWriter::writeLine(std::string_view line) {
    if (m_fd < 0 || m_failed)
        return false;
    if (line.size() >= kWriteChunk) {
        // A line longer than the buffer goes straight to the file after what is pending.
        if (!flush() || !writeAll(m_fd, line.data(), line.size())) {
            m_failed = true;
            return false;
        }
    } else {
        m_buffer.append(line);
    }
    m_buffer.append("\r\n");
    if (m_buffer.size() >= kWriteChunk && !flush())
        return false;
    return true;
}

bool DataFileWriter::flush() {
    if (m_failed)
        return false;
    if (!m_buffer.empty() && !writeAll(m_fd, m_buffer.data(), m_buffer.size()))
        m_failed = true;
    m_buffer.clear();
    return !m_failed;
}

bool DataFileWriter::close() {
    if (m_fd < 0)
        return !m_failed;
    flush();
    if (::close(m_fd) != 0 && errno != EINTR)
        m_failed = true;
    m_fd = -1;
    return !m_failed;
}

// ---- LineReader ----

LineReader::~LineReader() {
    if (m_fd >= 0)
        ::close(m_fd);
}

bool LineReader::open(const std::string& path) {
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    m_eof = m_failed = false;
    m_trailing = 0;
    m_begin = m_end = 0;
    m_buffer.assign(kReadChunk, '\0');
    return m_fd >= 0;
}

// Moves the unread rest to the front and reads more behind it; grows the buffer when a
// single line fills it.
bool LineReader::fill() {
    if (m_eof || m_failed || m_fd < 0)
        return false;
    if (m_begin > 0) {
        std::memmove(m_buffer.data(), m_buffer.data() + m_begin, m_end - m_begin);
        m_end -= m_begin;
        m_begin = 0;
    }
    if (m_buffer.size() - m_end < kReadChunk / 2)
        m_buffer.resize(m_buffer.size() * 2);
    for (;;) {
        const ssize_t n = ::read(m_fd, m_buffer.data() + m_end, m_buffer.size() - m_end);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            m_failed = true;
            return false;
        }
        if (n == 0) {
            m_eof = true;
            return false;
        }
        m_end += static_cast<std::size_t>(n);
        return true;
    }
}

bool LineReader::next(std::string& line) {
    std::size_t scanned = m_begin;
    for (;;) {
        const void* lf = std::memchr(m_buffer.data() + scanned, '\n', m_end - scanned);
        if (lf) {
            const std::size_t at = static_cast<const char*>(lf) - m_buffer.data();
            std::size_t len = at - m_begin;
            if (len > 0 && m_buffer[at - 1] == '\r')
                --len;
            line.assign(m_buffer.data() + m_begin, len);
            m_begin = at + 1;
            return true;
        }
        const std::size_t offset = m_end - m_begin; // already scanned, relative to m_begin
        if (!fill()) {
            if (!m_failed)
                m_trailing = m_end - m_begin;
            return false;
        }
        scanned = m_begin + offset;
    }
}

// ---- conversion ----

ConvertOutcome convertIntermediateFile(const std::string& intermediatePath,
                                       const std::string& directory) {
    ConvertOutcome outcome;
    LineReader reader;
    if (!reader.open(intermediatePath)) {
        outcome.result = ConvertResult::CannotReopen;
        outcome.detail = std::strerror(errno);
        return outcome;
    }

    DataFileWriter output;
    auto fail = [&](std::string why) {
        output.close();
        outcome.result = ConvertResult::InvalidFormat;
        outcome.detail = std::move(why);
        return outcome;
    };

    std::string line;
    std::string name;
    while (reader.next(line)) {
        switch (classifyLine(line)) {
        case LineKind::Blank:
        case LineKind::Comment:
        case LineKind::Command:
            break;
        case LineKind::NoData:
            if (!output.close())
                return fail("cannot write " + output.path() + ": " + std::strerror(errno));
            outcome.result = ConvertResult::NoData;
            return outcome;
        case LineKind::Data:
            if (output.isOpen() && !output.writeLine(line))
                return fail("cannot write " + output.path() + ": " + std::strerror(errno));
            break;
        case LineKind::Header: {
            if (output.isOpen() && !output.close())
                return fail("cannot write " + output.path() + ": " + std::strerror(errno));
            if (!headerName(line, name))
                return fail("data-set header without ':'");
            const std::string base = directory + fitFileName(safeFileName(name), directory);
            if (!output.create(base)) {
                const int err = errno;
                return fail(err == EEXIST
                                ? "all names for " + base + ".txt are taken"
                                : "cannot create " + base + ".txt: " + std::strerror(err));
            }
            outcome.files.push_back(output.path());
            if (!output.writeLine(line))
                return fail("cannot write " + output.path() + ": " + std::strerror(errno));
            break;
        }
        }
    }
    if (reader.failed())
        return fail(std::string("cannot read the intermediate file: ") + std::strerror(errno));
    if (!output.close())
        return fail("cannot write " + output.path() + ": " + std::strerror(errno));
    outcome.result = ConvertResult::Collected;
    return outcome;
}

std::vector<std::string>& lastCollectedFiles() {
    static std::vector<std::string> files;
    return files;
}

// ---- progress ----

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

} // namespace collection

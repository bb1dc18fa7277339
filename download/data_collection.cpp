// SPDX-License-Identifier: GPL-3.0-or-later
#include "download/data_collection.h"

#include "platform/durable_file.h"
#include "platform/fixed_name_file.h"

#include <QDateTime>
#include <QFile>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <xxhash.h>

namespace collection {

namespace {

constexpr std::size_t kWriteChunk = 1 << 20;

// The process's umask, read without setting it (umask(2) would change it for every thread
// for a moment). 022 when the system does not say.
mode_t currentUmask() {
    std::FILE* status = std::fopen("/proc/self/status", "re");
    unsigned mask = 022;
    if (status) {
        char line[256];
        while (std::fgets(line, sizeof line, status))
            if (std::sscanf(line, "Umask: %o", &mask) == 1)
                break;
        std::fclose(status);
    }
    return static_cast<mode_t>(mask);
}
constexpr int kNumberedNames = 999; // _000 .. _998

using platform::writeAll;

XXH3_state_t* hashState(void* p) {
    return static_cast<XXH3_state_t*>(p);
}

} // namespace

std::string safeFileName(std::string_view name) {
    std::string safe;
    safe.reserve(name.size() * 2);
    for (const char c : name) {
        const auto u = static_cast<unsigned char>(c);
        const bool control = u < 0x20 || (u >= 0x7F && u < 0xA0);
        if (control || std::strchr("\\/:*?\"<>|", c) != nullptr) {
            safe += '_';
        } else if (u < 0x80) {
            safe += c;
        } else { // Latin-1 to UTF-8: two bytes
            safe += static_cast<char>(0xC0 | (u >> 6));
            safe += static_cast<char>(0x80 | (u & 0x3F));
        }
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
    if (name.size() > room) {
        std::size_t cut = room;
        // Back to the start of the character that would be split (UTF-8 continuation bytes
        // are 10xxxxxx).
        while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80)
            --cut;
        name.resize(cut);
    }
    return name;
}

std::string directoryBytes(const QString& directory) {
    return QFile::encodeName(directory).toStdString();
}

std::string openErrorText(int err) {
    if (err == ELOOP)
        return "it is a symbolic link; such a file is not followed";
    if (err == EINVAL)
        return "it is not a regular file";
    return std::strerror(err);
}

bool canCreateFilesIn(const std::string& directory, std::string& why) {
    const auto slash = directory.rfind('/');
    const std::string folder = slash == std::string::npos ? std::string(".")
                               : slash == 0               ? std::string("/")
                                                          : directory.substr(0, slash);
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0) {
        why = folder + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        why = folder + ": " + std::strerror(ENOTDIR);
        return false;
    }
    std::string probe = folder + "/.xrq-write-test-XXXXXX";
    const int fd = ::mkstemp(probe.data());
    if (fd < 0) {
        why = folder + ": " + std::strerror(errno);
        return false;
    }
    ::close(fd);
    ::unlink(probe.c_str());
    return true;
}

// ---- DataFileWriter ----

DataFileWriter::~DataFileWriter() {
    close();
    XXH3_freeState(hashState(m_hashState));
}

bool DataFileWriter::create(const std::string& base) {
    close();
    m_failed = false;
    m_base = base;
    // Visible in the data folder as what it is should the program not get to place it.
    std::string temporary = platform::folderOf(base) + "/XRQ-incomplete-XXXXXX.txt";
    const int fd = ::mkostemps(temporary.data(), 4, O_CLOEXEC);
    if (fd < 0)
        return false;
    ::fchmod(fd, 0666 & ~currentUmask());
    m_fd = fd;
    m_path = std::move(temporary);
    m_buffer.clear();
    m_buffer.reserve(kWriteChunk + 2);
    m_size = 0;
    if (!m_hashState)
        m_hashState = XXH3_createState();
    XXH3_64bits_reset(hashState(m_hashState));
    return true;
}

bool DataFileWriter::writeLine(std::string_view line) {
    return writePart(line) && endLine();
}

bool DataFileWriter::writePart(std::string_view part) {
    if (m_fd < 0 || m_failed)
        return false;
    XXH3_64bits_update(hashState(m_hashState), part.data(), part.size());
    m_size += part.size();
    if (part.size() >= kWriteChunk) {
        // A part longer than the buffer goes straight to the file after what is pending.
        if (!flush() || !writeAll(m_fd, part.data(), part.size())) {
            m_failed = true;
            return false;
        }
        return true;
    }
    m_buffer.append(part);
    if (m_buffer.size() >= kWriteChunk && !flush())
        return false;
    return true;
}

bool DataFileWriter::endLine() {
    return writePart("\r\n");
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

bool DataFileWriter::place() {
    if (m_fd < 0)
        return false;
    // An fsync that fails is a write that failed: the file is left as incomplete.
    if (!flush() || !platform::syncFile(m_fd)) {
        const int err = errno;
        m_failed = true;
        close();
        errno = err;
        return false;
    }
    if (!close())
        return false;
    m_overflowed = false;
    // The preferred name first, then the numbered ones; the rename never replaces, so the
    // existence test and the naming are one step.
    auto named = [&](const std::string& base) {
        for (int i = -1; i < kNumberedNames; ++i) {
            std::string candidate = base;
            if (i >= 0) {
                char suffix[16];
                std::snprintf(suffix, sizeof suffix, "_%3.3d", i);
                candidate += suffix;
            }
            candidate += ".txt";
            if (platform::renameNoReplace(m_path, candidate)) {
                m_path = std::move(candidate);
                return true;
            }
            if (errno != EEXIST)
                return false;
        }
        errno = EEXIST;
        return false;
    };
    bool placed = named(m_base);
    if (!placed && errno == EEXIST && !m_overflowFolder.empty()) {
        // Every name taken: a folder of the download's own in the data folder.
        const std::string folder = platform::folderOf(m_base) + "/" + m_overflowFolder;
        if (::mkdir(folder.c_str(), 0777) != 0 && errno != EEXIST)
            return false;
        const auto slash = m_base.rfind('/');
        placed =
            named(folder + "/" + (slash == std::string::npos ? m_base : m_base.substr(slash + 1)));
        if (placed && !platform::syncFolder(folder))
            return false;
        m_overflowed = placed;
    }
    if (placed) {
        m_hash = XXH3_64bits_digest(hashState(m_hashState));
        if (!readBackMatches()) {
            errno = 0;
            return false;
        }
        return true;
    }
    return false;
}

bool DataFileWriter::readBackMatches() const {
    const int fd = ::open(m_path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return false;
    XXH3_state_t* state = XXH3_createState();
    XXH3_64bits_reset(state);
    std::vector<char> buffer(kWriteChunk);
    std::uint64_t size = 0;
    bool ok = true;
    for (;;) {
        const ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            ok = false;
            break;
        }
        if (n == 0)
            break;
        XXH3_64bits_update(state, buffer.data(), static_cast<std::size_t>(n));
        size += static_cast<std::uint64_t>(n);
    }
    ::close(fd);
    ok = ok && size == m_size && XXH3_64bits_digest(state) == m_hash;
    XXH3_freeState(state);
    return ok;
}

// ---- LineReader ----

bool fileIdentity(int fd, FileIdentity& id) {
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        return false;
    id.device = st.st_dev;
    id.inode = st.st_ino;
    return true;
}

LineReader::~LineReader() {
    if (m_fd >= 0)
        ::close(m_fd);
}

namespace {

ssize_t preadAll(int fd, char* data, std::size_t size, std::uint64_t at) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::pread(fd, data + done, size - done, static_cast<off_t>(at + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        done += static_cast<std::size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

} // namespace

bool LineReader::open(const std::string& path) {
    if (m_fd >= 0)
        ::close(m_fd);
    m_failed = false;
    m_size = m_limit = m_bufferAt = m_lineStart = 0;
    m_atLineStart = true;
    m_begin = m_end = 0;
    m_trailingHead.clear();
    m_fd = platform::openFixedNameForReading(path);
    if (m_fd < 0)
        return false;
    struct stat st {};
    if (::fstat(m_fd, &st) != 0 || !fileIdentity(m_fd, m_identity)) {
        const int err = errno;
        ::close(m_fd);
        m_fd = -1;
        errno = err;
        return false;
    }
    m_size = static_cast<std::uint64_t>(st.st_size);
    m_buffer.assign(2 * kPiece, '\0');

    // The converted part ends with the last LF: found from the end, so that a last line
    // without a line end is left out without ever being held whole.
    std::uint64_t end = m_size;
    m_limit = 0;
    while (end > 0) {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(end, kPiece));
        if (preadAll(m_fd, m_buffer.data(), n, end - n) != static_cast<ssize_t>(n)) {
            m_failed = true;
            break;
        }
        const void* lf = ::memrchr(m_buffer.data(), '\n', n);
        if (lf) {
            m_limit = end - n +
                      static_cast<std::size_t>(static_cast<const char*>(lf) - m_buffer.data()) + 1;
            break;
        }
        end -= n;
    }
    const std::size_t head =
        static_cast<std::size_t>(std::min<std::uint64_t>(m_size - m_limit, 4096));
    m_trailingHead.resize(head);
    if (head > 0 &&
        preadAll(m_fd, m_trailingHead.data(), head, m_limit) != static_cast<ssize_t>(head))
        m_failed = true;
    return true;
}

void LineReader::rewindTo(std::uint64_t offset) {
    m_bufferAt = offset;
    m_begin = m_end = 0;
    m_atLineStart = true;
}

// Moves the unread rest to the front and reads more behind it, up to the last LF. The buffer
// holds two pieces, and a piece is handed out whenever one piece's worth lies unread, so
// there is always room.
bool LineReader::fill() {
    if (m_failed || m_fd < 0)
        return false;
    if (m_begin > 0) {
        std::memmove(m_buffer.data(), m_buffer.data() + m_begin, m_end - m_begin);
        m_end -= m_begin;
        m_bufferAt += m_begin;
        m_begin = 0;
    }
    const std::uint64_t at = m_bufferAt + m_end;
    if (at >= m_limit)
        return false;
    const std::size_t want =
        static_cast<std::size_t>(std::min<std::uint64_t>(m_buffer.size() - m_end, m_limit - at));
    const ssize_t n = preadAll(m_fd, m_buffer.data() + m_end, want, at);
    if (n <= 0) { // an error, or the file cut short under us
        m_failed = true;
        return false;
    }
    m_end += static_cast<std::size_t>(n);
    return true;
}

bool LineReader::nextPiece(std::string_view& piece, bool& first, bool& last) {
    std::size_t scanned = m_begin;
    for (;;) {
        if (m_atLineStart)
            m_lineStart = m_bufferAt + m_begin;
        const void* lf = std::memchr(m_buffer.data() + scanned, '\n', m_end - scanned);
        if (lf) {
            const std::size_t at =
                static_cast<std::size_t>(static_cast<const char*>(lf) - m_buffer.data());
            std::size_t len = at - m_begin;
            if (len > 0 && m_buffer[at - 1] == '\r')
                --len;
            piece = std::string_view(m_buffer.data() + m_begin, len);
            first = m_atLineStart;
            last = true;
            m_begin = at + 1;
            m_atLineStart = true;
            return true;
        }
        if (m_end - m_begin >= kPiece) {
            // No line end in a whole piece: hand it out, keeping back a final CR that may
            // belong to the line end.
            std::size_t len = m_end - m_begin;
            if (m_buffer[m_end - 1] == '\r')
                --len;
            piece = std::string_view(m_buffer.data() + m_begin, len);
            first = m_atLineStart;
            last = false;
            m_begin += len;
            m_atLineStart = false;
            return true;
        }
        const std::size_t unread = m_end - m_begin; // scanned already, relative to m_begin
        if (!fill())
            return false;
        scanned = m_begin + unread;
    }
}

// ---- conversion ----

namespace {

constexpr std::size_t kNameHeld = 1024; // far beyond any file name

std::string errnoText(int err) {
    return std::strerror(err);
}

} // namespace

ConvertOutcome convertIntermediateFile(const std::string& intermediatePath,
                                       const std::string& directory, const FileIdentity* written) {
    ConvertOutcome outcome;
    LineReader reader;
    if (!reader.open(intermediatePath)) {
        const int err = errno;
        outcome.result = ConvertResult::CannotReopen;
        outcome.detail = "cannot open " + intermediatePath + ": " + openErrorText(err);
        return outcome;
    }
    if (written && (reader.identity().device != written->device ||
                    reader.identity().inode != written->inode)) {
        outcome.result = ConvertResult::CannotReopen;
        outcome.detail = intermediatePath + " was replaced by another file during the download";
        return outcome;
    }
    outcome.trailingBytes = reader.trailingBytes();
    const auto prompt = reader.trailingHead().find('>');
    outcome.promptLineBytes = prompt == std::string::npos ? 0 : prompt + 1;

    outcome.cut = outcome.promptLineBytes == 0;

    DataFileWriter output;
    const std::string folder = platform::folderOf(directory + "x");
    // Sets whose numbered names are all taken go into a folder named after this download.
    const std::string overflow =
        QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd_HH-mm-ss")).toStdString();
    output.setOverflowFolder(overflow);
    // The folder names the files placed so far: synced once, after the last of them.
    auto syncFolder = [&] {
        if (!outcome.files.empty() && !platform::syncFolder(folder)) {
            outcome.durable = false;
            if (outcome.detail.empty())
                outcome.detail = "cannot sync the data folder " + folder + ": " + errnoText(errno);
        }
    };
    auto fail = [&](std::string why) {
        if (output.isOpen()) {
            output.close();
            outcome.incompleteFile = output.path();
        }
        syncFolder();
        outcome.result = ConvertResult::InvalidFormat;
        outcome.detail = std::move(why);
        return outcome;
    };
    auto writeFailed = [&] {
        const int err = errno;
        const std::string path = output.path();
        if (output.isOpen())
            output.close();
        outcome.incompleteFile = path;
        return fail("cannot write " + path + ": " + errnoText(err));
    };
    auto placeFailed = [&] {
        const int err = errno;
        if (err == EEXIST) {
            outcome.incompleteFile = output.path();
            return fail("all names for " + output.base() + ".txt are taken");
        }
        errno = err;
        return writeFailed();
    };
    // The data set ends: its file is synced, named and read back.
    auto placed = [&] {
        if (!output.isOpen())
            return true;
        if (output.place()) {
            outcome.files.push_back(output.path());
            if (output.overflowed())
                outcome.overflowFolder = folder + "/" + overflow;
            return true;
        }
        if (errno == 0) { // placed, but what was read back is not what was written
            outcome.files.push_back(output.path());
            outcome.readBack = false;
            if (outcome.detail.empty())
                outcome.detail = output.path() + " read back differs from what was written";
            return true;
        }
        return false;
    };

    // What happens to the further pieces of a line longer than one piece.
    enum class Rest { Skip, Copy } rest = Rest::Skip;
    std::string_view piece;
    bool first = false, last = false;
    while (reader.nextPiece(piece, first, last)) {
        if (!first) {
            if (rest == Rest::Copy && (!output.writePart(piece) || (last && !output.endLine())))
                return writeFailed();
            continue;
        }
        rest = Rest::Skip;
        switch (classifyLine(piece)) {
        case LineKind::Blank:
        case LineKind::Comment:
        case LineKind::Command:
            break;
        case LineKind::NoData:
            if (!placed())
                return placeFailed();
            syncFolder();
            outcome.result = ConvertResult::NoData;
            return outcome;
        case LineKind::Data:
            if (output.isOpen()) {
                if (!output.writePart(piece) || (last && !output.endLine()))
                    return writeFailed();
                rest = Rest::Copy;
            }
            break;
        case LineKind::Header: {
            if (!placed())
                return placeFailed();
            // The name may lie beyond the first piece; only its first bytes are kept.
            const std::uint64_t headerAt = reader.lineStart();
            const std::string held = last ? std::string(piece) : std::string();
            const bool wholeHeld = last;
            bool colon = false;
            int separator = 1;
            std::string name;
            for (;;) {
                for (const char c : piece) {
                    if (!colon) {
                        colon = c == ':';
                    } else if (separator > 0) {
                        --separator;
                    } else if (name.size() < kNameHeld) {
                        name += c;
                    }
                }
                if (last)
                    break;
                if (!reader.nextPiece(piece, first, last))
                    break;
            }
            if (reader.failed())
                return fail("cannot read the intermediate file: " + errnoText(errno));
            if (!colon)
                return fail("data-set header without ':'");
            const std::string base = directory + fitFileName(safeFileName(name), directory);
            if (!output.create(base)) {
                const int err = errno;
                return fail(err == EEXIST ? "all names for " + base + ".txt are taken"
                                          : "cannot create " + base + ".txt: " + errnoText(err));
            }
            outcome.lastSet = name;
            if (wholeHeld) {
                if (!output.writeLine(held))
                    return writeFailed();
                break;
            }
            // A header longer than a piece is copied again from the file, piece by piece.
            reader.rewindTo(headerAt);
            bool more = true;
            while (more && reader.nextPiece(piece, first, last)) {
                if (!output.writePart(piece))
                    return writeFailed();
                more = !last;
            }
            if (more || !output.endLine())
                return reader.failed()
                           ? fail("cannot read the intermediate file: " + errnoText(errno))
                           : writeFailed();
            break;
        }
        }
    }
    if (reader.failed())
        return fail("cannot read the intermediate file: " + errnoText(errno));
    if (!placed())
        return placeFailed();
    syncFolder();
    outcome.result = ConvertResult::Collected;
    return outcome;
}

bool downloadMayBeIncomplete(const ConvertOutcome& outcome, std::uint64_t lateBytes) {
    return outcome.trailingBytes + lateBytes > outcome.promptLineBytes;
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

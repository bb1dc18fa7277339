// SPDX-License-Identifier: GPL-3.0-or-later
#include "series/line_reader.h"

#include "platform/fixed_name_file.h"
#include "series/download_lines.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace series {

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
    // Two pieces; a smaller file is held whole (always room for what is left of it), so that
    // the many small kept downloads a rebuild reads cost what they hold.
    m_buffer.assign(static_cast<std::size_t>(std::min<std::uint64_t>(
                        2 * kPiece, std::max<std::uint64_t>(m_size, kPromptWindow))),
                    '\0');

    // The converted part ends where the prompt's line begins (download_lines.h), found from
    // the end, so that a last line without a line end is left out without ever being held
    // whole.
    std::uint64_t end = m_size;
    m_limit = 0;
    const std::size_t window =
        static_cast<std::size_t>(std::min<std::uint64_t>(m_size, kPromptWindow));
    if (window > 0) {
        if (preadAll(m_fd, m_buffer.data(), window, m_size - window) !=
            static_cast<ssize_t>(window)) {
            m_failed = true;
            end = 0;
        } else {
            const std::string_view tail(m_buffer.data(), window);
            if (window == m_size || tail.find('\n') != std::string_view::npos) {
                m_limit = m_size - promptTailLength(tail, window == m_size);
                end = 0;
            } else {
                end = m_size - window;
            }
        }
    }
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
    m_atLineStart = true;
    if (offset >= m_bufferAt && offset <= m_bufferAt + m_end) {
        m_begin = static_cast<std::size_t>(offset - m_bufferAt);
        return;
    }
    m_bufferAt = offset;
    m_begin = m_end = 0;
}

bool LineReader::trailingHolds(char c) {
    if (m_trailingHead.find(c) != std::string::npos)
        return true;
    std::vector<char> piece(64 * 1024);
    for (std::uint64_t at = m_limit + m_trailingHead.size(); at < m_size;) {
        const std::size_t want =
            static_cast<std::size_t>(std::min<std::uint64_t>(piece.size(), m_size - at));
        const ssize_t n = preadAll(m_fd, piece.data(), want, at);
        if (n <= 0) {
            m_failed = true;
            return false;
        }
        if (std::memchr(piece.data(), c, static_cast<std::size_t>(n)))
            return true;
        at += static_cast<std::uint64_t>(n);
    }
    return false;
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
            m_endedWithCr = len < at - m_begin;
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

} // namespace series

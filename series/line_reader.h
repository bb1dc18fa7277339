// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A download's file (the intermediate file, a kept copy) read back line by line, in pieces of
// bounded size: the conversion, the verdict, the judging again of kept downloads and the
// series all read a download through it (download_lines.h tells its lines apart).

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace series {

// Identity of the intermediate file as it was written, so that the file read back is that
// same file and not one put in its place meanwhile.
struct FileIdentity {
    unsigned long long device = 0;
    unsigned long long inode = 0;
};
bool fileIdentity(int fd, FileIdentity& id);

// Reads the intermediate file line by line in pieces of bounded size, so that memory does not
// grow with the longest line: a line ends at LF, and one CR just before that LF belongs to
// the line end. The prompt's line (series/download_lines.h: what follows the last LF, or a
// line that is only the prompt) is not returned; it is counted in trailingBytes(). The file
// is opened by its fixed name: a link or anything but a regular file is refused.
class LineReader {
public:
    static constexpr std::size_t kPiece = 1 << 20;

    LineReader() = default;
    ~LineReader();
    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;

    bool open(const std::string& path);
    const FileIdentity& identity() const { return m_identity; }
    // The next piece of the current line, valid until the next call. `first`: the piece
    // starts a line (a first piece that does not end its line holds at least two bytes, enough
    // to tell the line's kind); `last`: it ends the line (its line end removed). False at the
    // end and on a read error (see failed()).
    bool nextPiece(std::string_view& piece, bool& first, bool& last);
    // File offset of the line that the last piece belongs to, and a way back to it (or on to
    // a later line; bytes still held are not read again).
    std::uint64_t lineStart() const { return m_lineStart; }
    void rewindTo(std::uint64_t offset);
    bool failed() const { return m_failed; }
    // Whether the line that the last piece ended had a CR before its LF.
    bool endedWithCr() const { return m_endedWithCr; }
    std::uint64_t trailingBytes() const { return m_size - m_limit; }
    // The first bytes (at most 4096) of the prompt's line.
    const std::string& trailingHead() const { return m_trailingHead; }
    // Whether the prompt's line holds `c` anywhere (read past its head when it is longer).
    bool trailingHolds(char c);

private:
    bool fill();

    int m_fd = -1;
    bool m_failed = false;
    FileIdentity m_identity;
    std::uint64_t m_size = 0;
    std::uint64_t m_limit = 0;    // one past the last LF
    std::uint64_t m_bufferAt = 0; // file offset of m_buffer[0]
    std::uint64_t m_lineStart = 0;
    bool m_atLineStart = true;
    bool m_endedWithCr = false;
    std::string m_trailingHead;
    std::vector<char> m_buffer;
    std::size_t m_begin = 0;
    std::size_t m_end = 0;
};

// Reads `size` bytes at `at`, or up to the end: the count, or -1 on an error (EINTR retried).
ssize_t preadAll(int fd, char* data, std::size_t size, std::uint64_t at);

} // namespace series

// SPDX-License-Identifier: GPL-3.0-or-later
#include "download/data_file_writer.h"

#include "download/data_file_names.h"
#include "platform/durable_file.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>
#include <xxhash.h>

namespace download {

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

using platform::writeAll;

XXH3_state_t* hashState(void* p) {
    return static_cast<XXH3_state_t*>(p);
}

} // namespace

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
    bool placed = placeAs(m_base);
    if (!placed && errno == EEXIST && !m_overflowFolder.empty()) {
        // Every name taken: a folder of the download's own in the data folder.
        const std::string folder = platform::folderOf(m_base) + "/" + m_overflowFolder;
        if (::mkdir(folder.c_str(), 0777) != 0 && errno != EEXIST)
            return false;
        const auto slash = m_base.rfind('/');
        placed = placeAs(folder + "/" +
                         (slash == std::string::npos ? m_base : m_base.substr(slash + 1)));
        if (placed && !platform::syncFolder(folder))
            return false;
        m_overflowed = placed;
    }
    if (!placed)
        return false;
    m_hash = XXH3_64bits_digest(hashState(m_hashState));
    if (!readBackMatches()) {
        errno = 0;
        return false;
    }
    return true;
}

// The preferred name first, then the numbered ones; the rename never replaces, so the
// existence test and the naming are one step.
bool DataFileWriter::placeAs(const std::string& base) {
    for (int choice = 0; choice < kFileNameChoices; ++choice) {
        std::string candidate = dataFileName(base, choice);
        if (platform::renameNoReplace(m_path, candidate)) {
            m_path = std::move(candidate);
            return true;
        }
        if (errno != EEXIST)
            return false;
    }
    errno = EEXIST;
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

} // namespace download

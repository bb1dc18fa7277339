// SPDX-License-Identifier: GPL-3.0-or-later
#include "download/capture_sink.h"
#include "download/line_reader.h"

#include "download/data_collection.h"
#include "platform/durable_file.h"

#include <QDateTime>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace download {

CaptureSink::~CaptureSink() {
    if (m_fd >= 0)
        ::close(m_fd);
    if (m_keptFd >= 0)
        ::close(m_keptFd);
}

void CaptureSink::attachIntermediate(int fd, std::string path) {
    m_fd = fd;
    m_path = std::move(path);
}

platform::Result<void> CaptureSink::createKept(const std::string& folder) {
    if (!platform::makeFolders(folder))
        return platform::errnoError(errno, folder + ": " + std::strerror(errno));
    const StampedFile kept = createStampedFile(folder, ".txt");
    if (kept.fd < 0)
        return platform::errnoError(kept.error, kept.path + ": " + std::strerror(kept.error));
    m_keptFd = kept.fd;
    m_keptPath = kept.path;
    return {};
}

StampedFile createStampedFile(const std::string& folder, const std::string& suffix) {
    // Local time, as the operator reads it; no ':' so that the folder copies to a stick.
    const std::string stamp =
        QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd_HH-mm-ss")).toStdString();
    StampedFile file;
    for (int i = 1; i < 1000; ++i) {
        file.path = folder + stamp + (i == 1 ? std::string() : "_" + std::to_string(i)) + suffix;
        file.fd =
            ::open(file.path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (file.fd >= 0)
            return file;
        file.error = errno;
        if (file.error != EEXIST)
            return file;
    }
    file.path = folder + stamp + suffix;
    return file;
}

namespace {

// Whether `copy` holds exactly the `size` bytes of `original`, both read back from the disk in
// pieces.
bool readsBackAsReceived(const std::string& copy, const std::string& original, std::uint64_t size) {
    const int a = ::open(copy.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    const int b = ::open(original.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    bool same = a >= 0 && b >= 0;
    std::vector<char> x(1 << 20), y(1 << 20);
    std::uint64_t seen = 0;
    while (same) {
        const ssize_t n = preadAll(a, x.data(), x.size(), seen);
        const ssize_t m = preadAll(b, y.data(), y.size(), seen);
        if (n < 0 || m < 0 || n != m || std::memcmp(x.data(), y.data(), std::size_t(n)) != 0)
            same = false;
        else if (n == 0)
            break;
        seen += std::uint64_t(n);
    }
    if (a >= 0)
        ::close(a);
    if (b >= 0)
        ::close(b);
    return same && seen == size;
}

} // namespace

void CaptureSink::keptFailed(const char* what) {
    m_keptFailure = std::string(what) + " " + m_keptPath + ": " + std::strerror(errno);
    ::close(m_keptFd);
    m_keptFd = -1;
}

namespace {
std::atomic<int> g_keptWriteFault{0};
} // namespace

void CaptureSink::failKeptWritesForTests(int err) {
    g_keptWriteFault.store(err);
}

bool CaptureSink::write(std::string_view bytes) {
    if (failed() || m_fd < 0)
        return false;
    if (!platform::writeAll(m_fd, bytes.data(), bytes.size())) {
        m_failure = "Cannot write intermediate data file " + m_path + ": " + std::strerror(errno);
        // What reached the file is what counts (a short write may have put part of it).
        const off_t at = ::lseek(m_fd, 0, SEEK_CUR);
        if (at >= 0)
            m_bytes = static_cast<std::uint64_t>(at);
        return false;
    }
    m_bytes += bytes.size();
    if (m_keptFd < 0)
        return true;
    if (const int fault = g_keptWriteFault.load(); fault != 0) {
        errno = fault;
        keptFailed("Cannot write the kept download");
    } else if (!platform::writeAll(m_keptFd, bytes.data(), bytes.size())) {
        keptFailed("Cannot write the kept download");
    }
    return true;
}

bool CaptureSink::finish() {
    bool ok = true;
    if (m_fd >= 0) {
        if (!platform::syncFileData(m_fd) && !failed()) {
            m_failure =
                "Cannot write intermediate data file " + m_path + ": " + std::strerror(errno);
        }
        if (::close(m_fd) != 0 && errno != EINTR && !failed())
            m_failure =
                "Cannot write intermediate data file " + m_path + ": " + std::strerror(errno);
        m_fd = -1;
    }
    ok = !failed();
    if (m_keptFd >= 0) {
        if (!platform::syncFile(m_keptFd)) {
            keptFailed("Cannot sync the kept download");
        } else {
            ::close(m_keptFd);
            m_keptFd = -1;
            if (!platform::syncFolder(platform::folderOf(m_keptPath)))
                m_keptFailure = "Cannot sync the folder of the kept download " + m_keptPath + ": " +
                                std::strerror(errno);
            else if (ok && !readsBackAsReceived(m_keptPath, m_path, m_bytes))
                m_keptFailure =
                    "The kept download " + m_keptPath + " read back differs from what was received";
        }
    }
    return ok && m_keptFailure.empty();
}

std::string keptDownloadFolder(const std::string& filesFolder, const std::string& serial) {
    std::string name;
    for (const char c : serial) {
        const auto u = static_cast<unsigned char>(c);
        name += (u > 0x20 && u < 0x7F) ? c : '_';
    }
    name = safeFileName(name);
    if (name.empty() || name.find_first_not_of('.') == std::string::npos)
        name = "unknown";
    return keptDownloadsRoot(filesFolder) + name + "/";
}

std::string keptDownloadsRoot(const std::string& filesFolder) {
    return filesFolder + "downloads/";
}

} // namespace download

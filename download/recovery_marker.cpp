// SPDX-License-Identifier: GPL-3.0-or-later
#include "download/recovery_marker.h"

#include "platform/durable_file.h"
#include "platform/fixed_name_file.h"

#include <QDateTime>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace download {
namespace {

constexpr const char* kLegacyName = "conversion-pending.txt";
constexpr const char* kFirstLine = "XRQ conversion marker 1";
// A half-written marker (its name begins with ".") younger than this may still be on its way
// into place; an older one nobody holds was left by a process that died writing it.
constexpr int kHalfWrittenSeconds = 60;
constexpr std::size_t kMarkerLimit = 1 << 16;

std::string escaped(const std::string& text) {
    std::string out;
    for (const char c : text) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else
            out += c;
    }
    return out;
}

std::optional<std::string> unescaped(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            out += text[i];
            continue;
        }
        if (++i == text.size())
            return std::nullopt;
        switch (text[i]) {
        case '\\':
            out += '\\';
            break;
        case 'n':
            out += '\n';
            break;
        case 'r':
            out += '\r';
            break;
        default:
            return std::nullopt;
        }
    }
    return out;
}

void closeFd(int& fd) {
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

// Up to kMarkerLimit bytes of an open file, from its start.
std::string readSmall(int fd) {
    std::string text;
    char buffer[4096];
    off_t at = 0;
    while (text.size() < kMarkerLimit) {
        const ssize_t n = ::pread(fd, buffer, sizeof buffer, at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        text.append(buffer, static_cast<std::size_t>(n));
        at += n;
    }
    return text;
}

// Opens a marker without following a link and without blocking on a FIFO, and takes its lock
// if nobody holds it. -1 when it is held, gone, or no regular file of ours.
int lockIfFree(const std::string& path, struct stat* st) {
    int fd;
    do
        fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return -1;
    if (::fstat(fd, st) != 0 || !S_ISREG(st->st_mode) || st->st_uid != ::geteuid() ||
        ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return -1;
    }
    // Its owner may have removed it between our open and our lock (its conversion ended):
    // a marker without a name is no marker.
    if (::fstat(fd, st) != 0 || st->st_nlink == 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

void removeMarker(const std::string& path) {
    if (::unlink(path.c_str()) == 0)
        platform::syncFolder(platform::folderOf(path));
}

} // namespace

std::string pendingConversionsFolder(const std::string& filesFolder) {
    return filesFolder + "conversions-pending/";
}

std::string markerText(const PendingConversion& p) {
    return std::string(kFirstLine) + "\ndownload=" + escaped(p.download) +
           "\ndata=" + escaped(p.dataPrefix) + "\nprocess=" + std::to_string(p.process) +
           "\nstarted=" + escaped(p.started) + "\nend\n";
}

std::optional<PendingConversion> parseMarkerText(const std::string& text) {
    PendingConversion p;
    bool first = true, download = false, data = false, end = false;
    std::size_t at = 0;
    while (at < text.size() && !end) {
        const std::size_t nl = text.find('\n', at);
        if (nl == std::string::npos)
            return std::nullopt; // cut inside a line
        const std::string line = text.substr(at, nl - at);
        at = nl + 1;
        if (first) {
            if (line != kFirstLine)
                return std::nullopt;
            first = false;
            continue;
        }
        if (line == "end") {
            end = true;
            continue;
        }
        const std::size_t eq = line.find('=');
        if (eq == std::string::npos)
            continue; // a field of a later version
        const std::string key = line.substr(0, eq);
        const auto value = unescaped(line.substr(eq + 1));
        if (!value)
            return std::nullopt;
        if (key == "download") {
            p.download = *value;
            download = true;
        } else if (key == "data") {
            p.dataPrefix = *value;
            data = true;
        } else if (key == "process") {
            p.process = std::strtol(value->c_str(), nullptr, 10);
        } else if (key == "started") {
            p.started = *value;
        }
    }
    if (!end || !download || !data || p.download.empty())
        return std::nullopt;
    return p;
}

ConversionMarker::~ConversionMarker() {
    clear();
}

ConversionMarker::ConversionMarker(ConversionMarker&& other) noexcept
    : m_fd(other.m_fd), m_path(std::move(other.m_path)) {
    other.m_fd = -1;
}

ConversionMarker& ConversionMarker::operator=(ConversionMarker&& other) noexcept {
    if (this != &other) {
        clear();
        m_fd = other.m_fd;
        m_path = std::move(other.m_path);
        other.m_fd = -1;
    }
    return *this;
}

ConversionMarker ConversionMarker::begin(const std::string& filesFolder,
                                         const std::string& download, const std::string& dataPrefix,
                                         std::string* why) {
    ConversionMarker marker;
    auto failed = [&](const std::string& what) {
        if (why)
            *why = what + ": " + std::strerror(errno);
        return ConversionMarker();
    };
    const std::string folder = pendingConversionsFolder(filesFolder);
    if (!platform::makeFolders(folder))
        return failed(folder);
    PendingConversion p;
    p.download = download;
    p.dataPrefix = dataPrefix;
    p.process = static_cast<long>(::getpid());
    p.started =
        QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")).toStdString();
    const std::string text = markerText(p);
    const std::string stem =
        QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss-zzz")).toStdString() +
        "-" + std::to_string(p.process);

    // Locked before its first byte, complete and synced before it has its real name.
    const std::string half = folder + "." + stem + ".writing";
    int fd = ::open(half.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return failed(half);
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || !platform::writeAll(fd, text.data(), text.size()) ||
        !platform::syncFile(fd)) {
        const int err = errno;
        ::close(fd);
        ::unlink(half.c_str());
        errno = err;
        return failed(half);
    }
    for (int i = 0; i < 100; ++i) {
        const std::string name =
            folder + stem + (i == 0 ? std::string() : "-" + std::to_string(i)) + ".marker";
        if (::link(half.c_str(), name.c_str()) == 0) {
            ::unlink(half.c_str());
            if (!platform::syncFolder(folder)) {
                const int err = errno;
                ::unlink(name.c_str());
                ::close(fd);
                errno = err;
                return failed(folder);
            }
            marker.m_fd = fd;
            marker.m_path = name;
            return marker;
        }
        if (errno != EEXIST)
            break;
    }
    const int err = errno;
    ::close(fd);
    ::unlink(half.c_str());
    errno = err;
    return failed(folder);
}

void ConversionMarker::clear() {
    if (m_fd < 0)
        return;
    // Removed while still locked: no other instance can take it for an orphan in between.
    removeMarker(m_path);
    closeFd(m_fd);
    m_path.clear();
}

OrphanedConversion::~OrphanedConversion() {
    for (auto& [fd, path] : m_markers)
        closeFd(fd);
}

OrphanedConversion::OrphanedConversion(OrphanedConversion&& other) noexcept
    : m_pending(std::move(other.m_pending)), m_legacy(other.m_legacy),
      m_markers(std::move(other.m_markers)) {
    other.m_markers.clear();
}

OrphanedConversion& OrphanedConversion::operator=(OrphanedConversion&& other) noexcept {
    if (this != &other) {
        for (auto& [fd, path] : m_markers)
            closeFd(fd);
        m_pending = std::move(other.m_pending);
        m_legacy = other.m_legacy;
        m_markers = std::move(other.m_markers);
        other.m_markers.clear();
    }
    return *this;
}

void OrphanedConversion::dismiss() {
    for (auto& [fd, path] : m_markers) {
        removeMarker(path);
        closeFd(fd);
    }
    m_markers.clear();
}

std::vector<OrphanedConversion> orphanedConversions(const std::string& filesFolder) {
    std::vector<OrphanedConversion> found;
    // The old version's single marker: nobody locks it; its one line is the download.
    {
        const std::string legacy = filesFolder + kLegacyName;
        struct stat st {};
        const int fd = lockIfFree(legacy, &st);
        if (fd >= 0) {
            const std::string text = readSmall(fd);
            const std::size_t nl = text.find('\n');
            if (nl == std::string::npos || nl == 0) {
                removeMarker(legacy);
                ::close(fd);
            } else {
                OrphanedConversion o;
                o.m_pending.download = text.substr(0, nl);
                o.m_legacy = true;
                o.m_markers.emplace_back(fd, legacy);
                found.push_back(std::move(o));
            }
        }
    }
    const std::string folder = pendingConversionsFolder(filesFolder);
    std::vector<std::string> names;
    if (DIR* dir = ::opendir(folder.c_str())) {
        while (const dirent* e = ::readdir(dir)) {
            const std::string name = e->d_name;
            if (name != "." && name != "..")
                names.push_back(name);
        }
        ::closedir(dir);
    }
    // The names begin with the time the conversion began.
    std::sort(names.begin(), names.end());
    std::map<std::pair<std::string, std::string>, std::size_t> byDownload;
    for (const std::string& name : names) {
        const std::string path = folder + name;
        struct stat st {};
        const int fd = lockIfFree(path, &st);
        if (fd < 0)
            continue;
        if (name.front() == '.') {
            // Half-written: its writer died before linking it into place.
            if (::time(nullptr) - st.st_mtime > kHalfWrittenSeconds)
                removeMarker(path);
            ::close(fd);
            continue;
        }
        const auto pending = parseMarkerText(readSmall(fd));
        if (!pending) {
            removeMarker(path);
            ::close(fd);
            continue;
        }
        const auto key = std::make_pair(pending->download, pending->dataPrefix);
        if (const auto same = byDownload.find(key); same != byDownload.end()) {
            found[same->second].m_markers.emplace_back(fd, path);
            continue;
        }
        OrphanedConversion o;
        o.m_pending = *pending;
        o.m_markers.emplace_back(fd, path);
        byDownload.emplace(key, found.size());
        found.push_back(std::move(o));
    }
    return found;
}

} // namespace download

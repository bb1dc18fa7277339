// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/durable_file.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

std::atomic<DurabilityProbe*> g_probe{nullptr};

// False with errno set when an installed probe makes this call fail.
bool probed(DurabilityProbe::Call call, int fd, const std::string& path = {},
            const std::string& newPath = {}) {
    DurabilityProbe* probe = g_probe.load(std::memory_order_acquire);
    if (probe == nullptr)
        return true;
    if (const int err = probe->before(call, fd, path, newPath); err != 0) {
        errno = err;
        return false;
    }
    return true;
}

} // namespace

void setDurabilityProbe(DurabilityProbe* probe) {
    g_probe.store(probe, std::memory_order_release);
}

bool writeAll(int fd, const char* data, std::size_t size) {
    if (!probed(DurabilityProbe::Call::Write, fd))
        return false;
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (n == 0) {
            errno = EIO;
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool syncFile(int fd) {
    if (!probed(DurabilityProbe::Call::SyncFile, fd))
        return false;
    int r;
    do
        r = ::fsync(fd);
    while (r != 0 && errno == EINTR);
    return r == 0;
}

bool syncFileData(int fd) {
    if (!probed(DurabilityProbe::Call::SyncFileData, fd))
        return false;
    int r;
    do
        r = ::fdatasync(fd);
    while (r != 0 && errno == EINTR);
    return r == 0;
}

bool syncFolder(const std::string& folder) {
    if (!probed(DurabilityProbe::Call::SyncFolder, -1, folder))
        return false;
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = syncFile(fd);
    const int err = errno;
    ::close(fd);
    errno = err;
    return ok;
}

std::string folderOf(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

bool renameNoReplace(const std::string& from, const std::string& to) {
    if (!probed(DurabilityProbe::Call::Rename, -1, from, to))
        return false;
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP)
        return false;
    // No such rename here: a link fails on an existing name just the same.
    if (::link(from.c_str(), to.c_str()) != 0)
        return false;
    ::unlink(from.c_str());
    return true;
}

bool makeFolders(const std::string& folder) {
    struct stat st {};
    if (::stat(folder.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode))
            return true;
        errno = ENOTDIR;
        return false;
    }
    if (errno != ENOENT)
        return false;
    std::string path = folder;
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    const std::string parent = folderOf(path);
    if (parent != path && !makeFolders(parent))
        return false;
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
        return false;
    return syncFolder(parent);
}

} // namespace platform

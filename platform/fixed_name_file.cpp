// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/fixed_name_file.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {
namespace {

// Keeps the descriptor only when it refers to a regular file; then makes it blocking. A file
// we write must have no other name either: a hard link planted under the fixed name would
// lead into another file just as a symbolic one does.
int acceptRegular(int fd, bool forWriting) {
    if (fd < 0)
        return -1;
    struct stat st {};
    int err = 0;
    if (::fstat(fd, &st) != 0)
        err = errno;
    else if (!S_ISREG(st.st_mode) || (forWriting && st.st_nlink > 1))
        err = EINVAL;
    if (err != 0) {
        ::close(fd);
        errno = err;
        return -1;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0)
        ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    return fd;
}

int openExisting(const std::string& path, int flags) {
    int fd;
    do
        fd = ::open(path.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    // O_NOFOLLOW reports a link as ELOOP; a FIFO opened for writing without a reader as
    // ENXIO, and one with a reader opens and is refused by the regular-file check.
    if (fd < 0 && errno == ENXIO)
        errno = EINVAL;
    return acceptRegular(fd, (flags & O_ACCMODE) != O_RDONLY);
}

int createNew(const std::string& path, int flags, mode_t mode) {
    int fd;
    do
        fd = ::open(path.c_str(), flags | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    while (fd < 0 && errno == EINTR);
    return fd;
}

// True when the open file belongs to us and nobody else may write it; otherwise closes it.
bool keepOnlyPrivate(int fd, ForeignFile* foreign) {
    struct stat st {};
    if (::fstat(fd, &st) == 0 && st.st_uid == ::geteuid() &&
        (st.st_mode & (S_IWGRP | S_IWOTH)) == 0)
        return true;
    if (foreign) {
        foreign->owner = st.st_uid;
        foreign->mode = st.st_mode & 07777;
    }
    ::close(fd);
    errno = EPERM;
    return false;
}

int openForWriting(const std::string& path, FixedOpen how, mode_t createMode, bool privateOnly,
                   ForeignFile* foreign) {
    const int flags = O_WRONLY | (how == FixedOpen::Append ? O_APPEND : 0);
    if (how == FixedOpen::CreateNew) {
        const int fd = createNew(path, flags, createMode);
        return fd >= 0 && privateOnly && !keepOnlyPrivate(fd, foreign) ? -1 : fd;
    }
    // Create first: O_EXCL never follows a link, even a dangling one. An existing entry is
    // then opened without following it; a few rounds cover an entry removed in between.
    for (int round = 0; round < 3; ++round) {
        int fd = createNew(path, flags, createMode);
        if (fd >= 0)
            return privateOnly && !keepOnlyPrivate(fd, foreign) ? -1 : fd;
        if (errno != EEXIST)
            return -1;
        fd = openExisting(path, flags);
        if (fd >= 0) {
            if (privateOnly && !keepOnlyPrivate(fd, foreign))
                return -1;
            if (how == FixedOpen::Truncate && ::ftruncate(fd, 0) != 0) {
                const int err = errno;
                ::close(fd);
                errno = err;
                return -1;
            }
            return fd;
        }
        if (errno != ENOENT)
            return -1;
    }
    return -1;
}

} // namespace

int openFixedNameForWriting(const std::string& path, FixedOpen how, mode_t createMode) {
    return openForWriting(path, how, createMode, false, nullptr);
}

int openPrivateFixedNameForWriting(const std::string& path, FixedOpen how, mode_t createMode,
                                   ForeignFile* foreign) {
    return openForWriting(path, how, createMode, true, foreign);
}

int openFixedNameForReading(const std::string& path) {
    return openExisting(path, O_RDONLY);
}

} // namespace platform

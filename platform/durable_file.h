// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Getting a file onto the disk for good. A file written and closed is only in the page
// cache: a power cut can leave it empty or missing, and a write-back error shows only in
// fsync. So a file the operator relies on is synced, then the folder that names it, before
// anyone is told it is there. Each call is false with errno set on failure; EINTR is retried.

#include <cstddef>
#include <string>

namespace platform {

// A test's view of the calls below, in the order they are made, and its way to make one fail
// as a disk would (EIO, ENOSPC) without a tracer or a full file system. The program installs
// none. `fd` is -1 for the calls by path; `path` is empty for those by descriptor; `newPath`
// is the name a rename gives.
class DurabilityProbe {
public:
    enum class Call { Write, SyncFile, SyncFileData, SyncFolder, Rename };
    virtual ~DurabilityProbe() = default;
    // Before the call does anything: 0 lets it run; an errno value makes it fail with that
    // value, having done nothing. Runs on the calling thread.
    virtual int before(Call call, int fd, const std::string& path, const std::string& newPath) = 0;
};
// Installs `probe` for the whole process; null removes it. The probe must outlive every
// call made while it is installed.
void setDurabilityProbe(DurabilityProbe* probe);

bool writeAll(int fd, const char* data, std::size_t size);
// fsync / fdatasync of an open file.
bool syncFile(int fd);
bool syncFileData(int fd);
// fsync of a folder (its names: a new, renamed or removed entry).
bool syncFolder(const std::string& folder);
// The folder a path names its file in: the part before its last '/' ("." without one, "/"
// for a file in the root).
std::string folderOf(const std::string& path);
// Gives the file `from` the name `to` in the same file system, never replacing anything
// that is there already (EEXIST then). Where the file system cannot do that in one step, a
// hard link and the removal of the old name do it.
bool renameNoReplace(const std::string& from, const std::string& to);
// Creates the folder and any missing ones above it (mode 0700 for new ones), syncing the
// folder above each one made. True when it exists as a folder afterwards.
bool makeFolders(const std::string& folder);

} // namespace platform

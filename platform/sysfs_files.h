// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The small file look-ups that the device queries and the "Serial devices" window share:
// paths in the device and sysfs folders, one-line sysfs attributes, character device nodes.
// Nothing here opens a device node.

#include <optional>
#include <string>
#include <sys/types.h>

namespace platform {

// `dir` + "/" + `name`, without doubling a slash that `dir` ends with.
std::string joinPath(const std::string& dir, const std::string& name);
// The part after the last "/" (all of it when there is none).
std::string baseName(const std::string& path);
// The folder part ("." when there is none, "/" for a name right under the root).
std::string dirName(const std::string& path);
// `path` with its links followed; empty when it does not exist.
std::string realPath(const std::string& path);

// The first line of a sysfs attribute, without the line end and trailing blanks; nullopt
// when the file cannot be read.
std::optional<std::string> readFirstLine(const std::string& path);

// Whether `path` (links followed) is a character device, with its device number.
bool isCharDevice(const std::string& path, dev_t* rdev = nullptr);

} // namespace platform

// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/sysfs_files.h"

#include <climits>
#include <cstdlib>
#include <fstream>
#include <sys/stat.h>

namespace platform {

std::string joinPath(const std::string& dir, const std::string& name) {
    if (dir.empty() || dir.back() == '/')
        return dir + name;
    return dir + "/" + name;
}

std::string baseName(const std::string& path) {
    auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string dirName(const std::string& path) {
    auto slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string realPath(const std::string& path) {
    char buf[PATH_MAX];
    return ::realpath(path.c_str(), buf) ? std::string(buf) : std::string();
}

std::optional<std::string> readFirstLine(const std::string& path) {
    std::ifstream in(path);
    if (!in)
        return std::nullopt;
    std::string line;
    std::getline(in, line);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' '))
        line.pop_back();
    return line;
}

bool isCharDevice(const std::string& path, dev_t* rdev) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISCHR(st.st_mode))
        return false;
    if (rdev)
        *rdev = st.st_rdev;
    return true;
}

} // namespace platform

// SPDX-License-Identifier: GPL-3.0-or-later
#include "download/recovery_marker.h"

#include "platform/durable_file.h"
#include "platform/fixed_name_file.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace collection {
namespace {

constexpr const char* kMarkerName = "conversion-pending.txt";

} // namespace

std::string pendingConversionMarker(const std::string& filesFolder) {
    return filesFolder + kMarkerName;
}

bool markConversionPending(const std::string& filesFolder, const std::string& source) {
    const std::string marker = pendingConversionMarker(filesFolder);
    const std::string text = source + "\n";
    const int fd =
        ::open(marker.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return false;
    bool ok = platform::writeAll(fd, text.data(), text.size()) && platform::syncFile(fd);
    ok = ::close(fd) == 0 && ok;
    return ok && platform::syncFolder(platform::folderOf(marker));
}

void clearConversionPending(const std::string& filesFolder) {
    const std::string marker = pendingConversionMarker(filesFolder);
    if (::unlink(marker.c_str()) == 0)
        platform::syncFolder(platform::folderOf(marker));
}

std::string pendingConversion(const std::string& filesFolder) {
    const int fd = platform::openFixedNameForReading(pendingConversionMarker(filesFolder));
    if (fd < 0)
        return {};
    char buffer[4096];
    ssize_t n;
    do
        n = ::read(fd, buffer, sizeof buffer);
    while (n < 0 && errno == EINTR);
    ::close(fd);
    if (n <= 0)
        return {};
    std::string path(buffer, static_cast<std::size_t>(n));
    const auto end = path.find('\n');
    return end == std::string::npos ? std::string() : path.substr(0, end);
}

} // namespace collection

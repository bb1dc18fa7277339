// SPDX-License-Identifier: GPL-3.0-or-later
#include "fleet/last_contact.h"

#include "platform/durable_file.h"
#include "platform/fixed_name_file.h"

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace fleet {

namespace {

// A service name is at most 63 characters (fleet_settings.h): a longer file is no file of ours.
constexpr std::size_t kMostBytes = 128;

} // namespace

std::optional<std::int64_t> readLastContact(const std::string& folder, const std::string& service) {
    const int fd = platform::openFixedNameForReading(folder + kLastContactFileName);
    if (fd < 0)
        return std::nullopt;
    char buffer[kMostBytes + 1];
    std::size_t size = 0;
    for (;;) {
        const ssize_t n = ::read(fd, buffer + size, sizeof buffer - size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        size += std::size_t(n);
        if (size == sizeof buffer)
            break;
    }
    ::close(fd);
    if (size > kMostBytes)
        return std::nullopt;
    const std::string_view text(buffer, size);
    const auto tab = text.find('\t');
    if (tab == std::string_view::npos || text.substr(0, tab) != service || text.back() != '\n')
        return std::nullopt;
    const std::string_view number = text.substr(tab + 1, text.size() - tab - 2);
    std::int64_t ms = 0;
    const auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), ms);
    if (ec != std::errc() || end != number.data() + number.size() || ms <= 0)
        return std::nullopt;
    return ms;
}

platform::Result<void> writeLastContact(const std::string& folder, const std::string& service,
                                        std::int64_t ms) {
    const std::string path = folder + kLastContactFileName;
    const std::string temporary = path + ".new";
    const std::string line = service + '\t' + std::to_string(ms) + '\n';
    auto failed = [&](const char* what) -> platform::Result<void> {
        return platform::errnoError(errno, std::string(what) + " " + temporary + ": " +
                                               std::strerror(errno));
    };
    const int fd =
        platform::openPrivateFixedNameForWriting(temporary, platform::FixedOpen::Truncate, 0600);
    if (fd < 0)
        return failed("cannot open");
    const bool written = platform::writeAll(fd, line.data(), line.size()) && platform::syncFile(fd);
    const int saved = errno;
    ::close(fd);
    errno = saved;
    if (!written) {
        ::unlink(temporary.c_str());
        return failed("cannot write");
    }
    // Our own state, replaced whole: the old time stays until the new one is complete.
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        const int err = errno;
        ::unlink(temporary.c_str());
        errno = err;
        return failed("cannot rename");
    }
    if (!platform::syncFolder(platform::folderOf(path)))
        return platform::errnoError(errno, "cannot sync the folder of " + path + ": " +
                                               std::strerror(errno));
    return {};
}

} // namespace fleet

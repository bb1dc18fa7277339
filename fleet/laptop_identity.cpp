// SPDX-License-Identifier: GPL-3.0-or-later
#include "fleet/laptop_identity.h"

#include "platform/durable_file.h"
#include "platform/fixed_name_file.h"

#include <QUuid>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <optional>
#include <unistd.h>

namespace fleet {

namespace {

// A UUID, a tab, a machine id (32 hex digits on systemd's machines) and a newline: a longer
// file is no file of ours.
constexpr std::size_t kMostBytes = 256;

std::mutex& seamLock() {
    static std::mutex lock;
    return lock;
}
std::string& machineIdPath() {
    static std::string path = "/etc/machine-id";
    return path;
}

// At most `most` bytes of the file (one more when it is longer), or nothing when it cannot be
// opened.
std::optional<std::string> readSmall(const std::string& path, std::size_t most) {
    const int fd = platform::openFixedNameForReading(path);
    if (fd < 0)
        return std::nullopt;
    std::string text(most + 1, '\0');
    std::size_t size = 0;
    while (size < text.size()) {
        const ssize_t n = ::read(fd, text.data() + size, text.size() - size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        size += std::size_t(n);
    }
    ::close(fd);
    text.resize(size);
    return text;
}

// The machine's id, its first line without blanks; empty when there is none.
std::string machineId() {
    const std::string path = machineIdFile();
    if (path.empty())
        return {};
    std::string id = readSmall(path, 128).value_or(std::string());
    const auto end = id.find_first_of("\r\n");
    if (end != std::string::npos)
        id.resize(end);
    while (!id.empty() && (id.back() == ' ' || id.back() == '\t'))
        id.pop_back();
    return id.size() > 128 ? std::string() : id;
}

bool uuidText(const QString& s) {
    const QUuid u = QUuid::fromString(s);
    return !u.isNull() && u.toString(QUuid::WithoutBraces) == s;
}

// The kept UUID and the machine id beside it; nothing when the file is missing or damaged.
std::optional<std::pair<QString, std::string>> readKept(const std::string& path) {
    const auto text = readSmall(path, kMostBytes);
    if (!text || text->size() > kMostBytes || text->empty() || text->back() != '\n')
        return std::nullopt;
    const auto tab = text->find('\t');
    if (tab == std::string::npos)
        return std::nullopt;
    const QString id = QString::fromLatin1(text->data(), qsizetype(tab));
    if (!uuidText(id))
        return std::nullopt;
    return std::make_pair(id, text->substr(tab + 1, text->size() - tab - 2));
}

// Writes the line under a name of this call's own, synced; returns that name, or empty with
// `why`.
std::string writeAside(const std::string& path, const std::string& line, std::string& why) {
    static std::atomic<unsigned> counter{0};
    const std::string temporary =
        path + ".new-" + std::to_string(::getpid()) + "-" + std::to_string(++counter);
    const int fd =
        platform::openPrivateFixedNameForWriting(temporary, platform::FixedOpen::CreateNew, 0600);
    if (fd < 0) {
        why = "cannot open " + temporary + ": " + std::strerror(errno);
        return {};
    }
    const bool written = platform::writeAll(fd, line.data(), line.size()) && platform::syncFile(fd);
    const int saved = errno;
    ::close(fd);
    if (!written) {
        ::unlink(temporary.c_str());
        why = "cannot write " + temporary + ": " + std::strerror(saved);
        return {};
    }
    return temporary;
}

} // namespace

void setMachineIdFile(const std::string& path) {
    std::lock_guard<std::mutex> hold(seamLock());
    machineIdPath() = path;
}

std::string machineIdFile() {
    std::lock_guard<std::mutex> hold(seamLock());
    return machineIdPath();
}

LaptopIdentity laptopIdentity(const std::string& folder) {
    const std::string path = folder + kLaptopIdFileName;
    const std::string machine = machineId();
    const auto kept = readKept(path);
    if (kept && kept->second == machine)
        return {kept->first, true, {}};
    LaptopIdentity made;
    made.id = QUuid::createUuid().toString(QUuid::WithoutBraces);
    const std::string line = made.id.toStdString() + '\t' + machine + '\n';
    const std::string temporary = writeAside(path, line, made.why);
    if (temporary.empty()) {
        made.kept = false;
        return made;
    }
    // The first share: another program of the folder may make its own at the same moment; the
    // first to name its file is the laptop's, and the other takes that one.
    bool named = !kept && platform::renameNoReplace(temporary, path);
    if (!named && (kept || errno == EEXIST)) {
        const auto there = kept ? kept : readKept(path);
        if (!kept && there && there->second == machine) {
            ::unlink(temporary.c_str());
            return {there->first, true, {}};
        }
        // Another machine's file (a cloned disk image), or a damaged one: replaced whole.
        named = ::rename(temporary.c_str(), path.c_str()) == 0;
    }
    if (!named) {
        made.why = "cannot name " + path + ": " + std::strerror(errno);
        ::unlink(temporary.c_str());
        made.kept = false;
        return made;
    }
    if (!platform::syncFolder(platform::folderOf(path))) {
        // Named, though perhaps not for good: a crash may bring the old file back, which is
        // then replaced again.
        made.why = "cannot sync the folder of " + path + ": " + std::strerror(errno);
    }
    return made;
}

} // namespace fleet

// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/dos_devices.h"
#include "platform/decimal_digits.h"

#include "platform/sysfs_files.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <linux/serial.h>
#include <signal.h>
#include <sstream>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace platform {

namespace {

// "ttyS0", "ttyUSB12", "ttyACM3", "ttyAMA0", "rfcomm0": letters then digits, nothing else.
bool looksLikeTtyName(const std::string& name) {
    if (!name.starts_with("tty") && !name.starts_with("rfcomm"))
        return false;
    auto firstDigit = name.find_first_of("0123456789");
    if (firstDigit == std::string::npos || firstDigit == 0 || firstDigit == name.size())
        return false;
    for (std::size_t i = 0; i < firstDigit; ++i)
        if (!std::isalpha(static_cast<unsigned char>(name[i])))
            return false;
    return std::all_of(name.begin() + static_cast<long>(firstDigit), name.end(),
                       [](char c) { return c >= '0' && c <= '9'; });
}

// The index k of "<prefix>k", or -1.
int indexAfter(const std::string& name, const char* prefix) {
    std::string_view s = name;
    if (!s.starts_with(prefix))
        return -1;
    s.remove_prefix(std::strlen(prefix));
    return parseDecimalDigits(s, 4).value_or(-1);
}

bool portFolderHas(const PortTable& table, int n) {
    if (table.portFolder().empty())
        return false;
    struct stat st {};
    return ::lstat(joinPath(table.portFolder(), "COM" + std::to_string(n)).c_str(), &st) == 0;
}

} // namespace

bool naturalLess(const std::string& a, const std::string& b) {
    std::size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        const bool da = std::isdigit(static_cast<unsigned char>(a[i]));
        const bool db = std::isdigit(static_cast<unsigned char>(b[j]));
        if (da && db) {
            std::size_t ie = i, je = j;
            while (ie < a.size() && std::isdigit(static_cast<unsigned char>(a[ie])))
                ++ie;
            while (je < b.size() && std::isdigit(static_cast<unsigned char>(b[je])))
                ++je;
            // Compare the digit runs as numbers without overflow: strip leading zeros,
            // then the longer run is larger.
            std::string_view ra(a.data() + i, ie - i), rb(b.data() + j, je - j);
            while (ra.size() > 1 && ra.front() == '0')
                ra.remove_prefix(1);
            while (rb.size() > 1 && rb.front() == '0')
                rb.remove_prefix(1);
            if (ra.size() != rb.size())
                return ra.size() < rb.size();
            if (ra != rb)
                return ra < rb;
            i = ie;
            j = je;
        } else {
            if (a[i] != b[j])
                return a[i] < b[j];
            ++i;
            ++j;
        }
    }
    return a.size() - i < b.size() - j;
}

std::string kernelTtyName(const std::string& path, const std::string& resolvedPath) {
    if (!resolvedPath.empty() && looksLikeTtyName(baseName(resolvedPath)))
        return baseName(resolvedPath);
    // Walk the link chain: the last hop that carries a tty name is the kernel's name (a
    // port-folder link to a /dev name that itself is a link, as in a test's device folder).
    std::string found;
    std::string hop = path;
    for (int depth = 0; depth < 16 && !hop.empty(); ++depth) {
        if (looksLikeTtyName(baseName(hop)))
            found = baseName(hop);
        char buf[PATH_MAX];
        ssize_t len = ::readlink(hop.c_str(), buf, sizeof buf - 1);
        if (len <= 0)
            break;
        std::string next(buf, static_cast<std::size_t>(len));
        hop = next.starts_with('/') ? next : joinPath(dirName(hop), next);
    }
    return found;
}

bool isPhantomSerial(const std::string& ttyName, const PortTable& table, int fd) {
    if (indexAfter(ttyName, "ttyS") < 0)
        return false;
    auto type = readFirstLine(joinPath(table.sysfsDir(), "class/tty/" + ttyName + "/type"));
    if (type)
        return *type == "0";
    if (fd >= 0) {
        struct serial_struct ss {};
        if (::ioctl(fd, TIOCGSERIAL, &ss) == 0)
            return ss.type == PORT_UNKNOWN;
    }
    return false;
}

namespace {

bool processLives(pid_t pid) {
    return pid > 0 && (::kill(pid, 0) == 0 || errno == EPERM);
}

// "maj:min:inode" of a /proc/locks line (device numbers in hex).
bool lockNamesInode(const std::string& field, const struct stat& node) {
    unsigned maj = 0, min = 0;
    unsigned long long inode = 0;
    if (std::sscanf(field.c_str(), "%x:%x:%llu", &maj, &min, &inode) != 3)
        return false;
    return maj == major(node.st_dev) && min == minor(node.st_dev) &&
           inode == static_cast<unsigned long long>(node.st_ino);
}

bool lockedInProcLocks(const struct stat& node) {
    std::ifstream locks("/proc/locks");
    std::string line;
    while (std::getline(locks, line)) {
        // "1: FLOCK  ADVISORY  WRITE 4242 00:19:7 0 EOF"; waiters ("1: -> FLOCK ...") hold
        // nothing yet.
        if (line.find("->") != std::string::npos)
            continue;
        std::istringstream fields(line);
        std::string id, kind, mode, access, pid, where;
        if (fields >> id >> kind >> mode >> access >> pid >> where && lockNamesInode(where, node))
            return true;
    }
    return false;
}

// An open descriptor of another process on the same device. Processes of other users are
// not readable (EACCES) and are passed over: only what this user may see counts.
bool openElsewhere(const struct stat& node) {
    DIR* proc = ::opendir("/proc");
    if (!proc)
        return false;
    const pid_t self = ::getpid();
    bool found = false;
    while (!found) {
        const dirent* entry = ::readdir(proc);
        if (!entry)
            break;
        char* end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0' || pid <= 0 || pid == self)
            continue;
        const std::string fdDir = std::string("/proc/") + entry->d_name + "/fd";
        DIR* fds = ::opendir(fdDir.c_str());
        if (!fds)
            continue;
        while (const dirent* fd = ::readdir(fds)) {
            if (fd->d_name[0] == '.')
                continue;
            const std::string link = fdDir + "/" + fd->d_name;
            char target[PATH_MAX];
            const ssize_t len = ::readlink(link.c_str(), target, sizeof target - 1);
            // Pipes, sockets and anonymous objects read "pipe:[...]" and the like.
            if (len <= 0 || target[0] != '/')
                continue;
            struct stat st {};
            if (::stat(link.c_str(), &st) == 0 && S_ISCHR(st.st_mode) &&
                st.st_rdev == node.st_rdev) {
                found = true;
                break;
            }
        }
        ::closedir(fds);
    }
    ::closedir(proc);
    return found;
}

// A UUCP lock file "LCK..<name>" whose process still lives. The pid is written as text
// (HDB style) or as a binary int (older programs).
bool uucpLocked(const PortTable& table, const std::string& ttyName) {
    if (table.lockDir().empty() || ttyName.empty())
        return false;
    std::ifstream in(joinPath(table.lockDir(), "LCK.." + ttyName), std::ios::binary);
    if (!in)
        return false;
    std::string content((std::istreambuf_iterator<char>(in)), {});
    long pid = 0;
    if (content.size() == sizeof(int) &&
        std::any_of(content.begin(), content.end(), [](char c) { return c < ' ' && c != '\n'; })) {
        int binary = 0;
        std::memcpy(&binary, content.data(), sizeof binary);
        pid = binary;
    } else {
        pid = std::strtol(content.c_str(), nullptr, 10);
    }
    return processLives(static_cast<pid_t>(pid));
}

// A node that exists as a real serial line, found without opening it.
bool serialNodeExists(const std::string& path, const PortTable& table, std::string* resolvedOut,
                      dev_t* rdevOut) {
    char resolved[PATH_MAX];
    if (path.empty() || ::realpath(path.c_str(), resolved) == nullptr)
        return false;
    dev_t rdev{};
    if (!isCharDevice(resolved, &rdev))
        return false;
    if (isPhantomSerial(kernelTtyName(path, resolved), table))
        return false;
    if (resolvedOut)
        *resolvedOut = resolved;
    if (rdevOut)
        *rdevOut = rdev;
    return true;
}

} // namespace

bool heldByAnother(const std::string& resolvedPath, const PortTable& table) {
    struct stat node {};
    if (::stat(resolvedPath.c_str(), &node) != 0 || !S_ISCHR(node.st_mode))
        return false;
    return lockedInProcLocks(node) || uucpLocked(table, baseName(resolvedPath)) ||
           openElsewhere(node);
}

DeviceProbe probeDevice(const std::string& path, const PortTable& table) {
    DeviceProbe probe;
    char resolved[PATH_MAX];
    if (path.empty() || ::realpath(path.c_str(), resolved) == nullptr) {
        probe.error = path.empty() ? ENOENT : errno;
        return probe;
    }
    if (!isCharDevice(resolved)) {
        probe.error = ENODEV;
        return probe;
    }
    probe.resolvedPath = resolved;
    if (isPhantomSerial(kernelTtyName(path, probe.resolvedPath), table)) {
        probe.error = ENODEV;
        return probe;
    }
    // Never opened: opening a serial line raises DTR and RTS, which resets some boards.
    if (heldByAnother(probe.resolvedPath, table)) {
        probe.state = DeviceState::InUse;
        probe.error = EBUSY;
        return probe;
    }
    if (::faccessat(AT_FDCWD, resolved, R_OK | W_OK, AT_EACCESS) != 0) {
        probe.error = errno;
        if (probe.error == EACCES || probe.error == EPERM || probe.error == EROFS) {
            probe.state = DeviceState::NoPermission;
            return probe;
        }
    }
    probe.state = DeviceState::Free;
    probe.error = 0;
    return probe;
}

std::set<int> presentComPorts(const PortTable& table) {
    std::set<int> present;
    std::set<dev_t> named;
    for (int n = 1; n <= 256; ++n) {
        dev_t rdev{};
        if (portFolderHas(table, n) &&
            serialNodeExists(table.devicePath(n), table, nullptr, &rdev)) {
            present.insert(n);
            named.insert(rdev);
        }
    }
    // A device the port folder names is that entry's port: its default number would announce
    // the same unit twice.
    for (int n = 1; n <= 96; ++n) {
        dev_t rdev{};
        if (!portFolderHas(table, n) &&
            serialNodeExists(table.devicePath(n), table, nullptr, &rdev) && !named.count(rdev))
            present.insert(n);
    }
    return present;
}

std::vector<std::string> serialTtyNames(const PortTable& table) {
    std::vector<std::string> names;
    const std::string classDir = joinPath(table.sysfsDir(), "class/tty");
    DIR* dir = ::opendir(classDir.c_str());
    if (!dir)
        return names;
    while (dirent* entry = ::readdir(dir)) {
        std::string name = entry->d_name;
        if (name == "." || name == ".." || !looksLikeTtyName(name))
            continue;
        struct stat st {};
        // Virtual consoles and pseudo-terminals have no backing device.
        if (::stat(joinPath(classDir, name + "/device").c_str(), &st) != 0)
            continue;
        if (!isCharDevice(joinPath(table.deviceDir(), name)))
            continue;
        if (isPhantomSerial(name, table))
            continue;
        names.push_back(name);
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end(), naturalLess);
    return names;
}

std::optional<int> comNumberForDevice(const PortTable& table, const std::string& devicePath) {
    dev_t wanted{};
    if (!isCharDevice(devicePath, &wanted))
        return std::nullopt;
    for (int pass = 0; pass < 2; ++pass) {
        for (int n = 1; n <= 256; ++n) {
            // Pass 0: the operator's port-folder entries; pass 1: the default rule.
            if (portFolderHas(table, n) != (pass == 0))
                continue;
            dev_t rdev{};
            std::string p = table.devicePath(n);
            if (!p.empty() && isCharDevice(p, &rdev) && rdev == wanted)
                return n;
        }
    }
    return std::nullopt;
}

std::optional<int> comNumberForTtyName(const PortTable& table, const std::string& ttyName) {
    if (ttyName.empty())
        return std::nullopt;
    if (!table.portFolder().empty()) {
        for (int n = 1; n <= 256; ++n) {
            if (!portFolderHas(table, n))
                continue;
            const std::string entry = joinPath(table.portFolder(), "COM" + std::to_string(n));
            if (kernelTtyName(entry, {}) == ttyName)
                return n;
        }
    }
    int n = 0;
    if (int k = indexAfter(ttyName, "ttyS"); k >= 0 && k < 32)
        n = k + 1;
    else if (int k = indexAfter(ttyName, "ttyUSB"); k >= 0 && k < 32)
        n = k + 33;
    else if (int k = indexAfter(ttyName, "ttyACM"); k >= 0 && k < 32)
        n = k + 65;
    // A port-folder entry of that number stands for another device.
    if (n == 0 || portFolderHas(table, n))
        return std::nullopt;
    return n;
}

} // namespace platform

namespace win {

namespace {

DWORD storeRuns(const std::vector<std::string>& names, char* target, DWORD max) {
    std::size_t needed = 1;
    for (const auto& name : names)
        needed += name.size() + 1;
    if (target == nullptr || needed > max) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    char* out = target;
    for (const auto& name : names) {
        std::memcpy(out, name.c_str(), name.size() + 1);
        out += name.size() + 1;
    }
    *out = '\0';
    return static_cast<DWORD>(needed);
}

} // namespace

DWORD QueryDosDeviceA(const char* name, char* target, DWORD max) {
    using platform::DeviceState;
    const platform::PortTable table = platform::PortTable::current();

    if (name == nullptr) {
        std::vector<std::string> names;
        for (int n = 1; n <= 256; ++n) {
            std::string path = table.devicePath(n);
            if (!path.empty() && platform::probeDevice(path, table).state != DeviceState::Missing)
                names.push_back("COM" + std::to_string(n));
        }
        for (auto& tty : platform::serialTtyNames(table))
            names.push_back(std::move(tty));
        return storeRuns(names, target, max);
    }

    std::string path;
    const std::string query = name;
    if (auto n = platform::PortTable::portNumberFromName(query))
        path = table.devicePath(*n);
    else if (query.find('/') == std::string::npos && !query.empty() && query.starts_with("tty"))
        path = table.deviceDir() + (table.deviceDir().ends_with('/') ? "" : "/") + query;
    if (path.empty()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return 0;
    }
    const platform::DeviceProbe probe = platform::probeDevice(path, table);
    switch (probe.state) {
    case DeviceState::Free:
    case DeviceState::NoPermission:
        return storeRuns({probe.resolvedPath}, target, max);
    case DeviceState::InUse:
        SetLastError(ERROR_ACCESS_DENIED);
        return 0;
    case DeviceState::Missing:
        break;
    }
    SetLastError(ERROR_FILE_NOT_FOUND);
    return 0;
}

} // namespace win

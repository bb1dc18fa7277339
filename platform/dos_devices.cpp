#include "platform/dos_devices.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

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

std::string joinPath(const std::string& dir, const std::string& name) {
    if (dir.empty() || dir.back() == '/')
        return dir + name;
    return dir + "/" + name;
}

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
    if (s.empty() || s.size() > 4)
        return -1;
    int k = 0;
    for (char c : s) {
        if (c < '0' || c > '9')
            return -1;
        k = k * 10 + (c - '0');
    }
    return k;
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

bool isCharDevice(const std::string& path, dev_t* rdev = nullptr) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISCHR(st.st_mode))
        return false;
    if (rdev)
        *rdev = st.st_rdev;
    return true;
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
    const std::string ttyName = kernelTtyName(path, probe.resolvedPath);
    // When sysfs already tells a phantom, the node is not opened at all.
    if (isPhantomSerial(ttyName, table)) {
        probe.error = ENODEV;
        return probe;
    }

    // Non-blocking so that a modem line without carrier cannot stall us; no TIOCEXCL and an
    // immediate close so that the holder (if any) keeps its port untouched.
    int fd = ::open(resolved, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        probe.error = errno;
        if (probe.error == EACCES || probe.error == EPERM)
            probe.state = DeviceState::NoPermission;
        else if (probe.error == EBUSY)
            probe.state = DeviceState::InUse;
        return probe;
    }
    if (isPhantomSerial(ttyName, table, fd)) {
        ::close(fd);
        probe.error = ENODEV;
        return probe;
    }
    // A shared lock conflicts only with the exclusive lock an owner takes; it is released by
    // the close right after.
    if (::flock(fd, LOCK_SH | LOCK_NB) != 0) {
        probe.error = errno;
        probe.state = probe.error == EWOULDBLOCK ? DeviceState::InUse : DeviceState::Free;
        if (probe.state == DeviceState::Free)
            probe.error = 0;
    } else {
        probe.state = DeviceState::Free;
    }
    ::close(fd);
    return probe;
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

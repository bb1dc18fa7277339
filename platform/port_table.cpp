// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/port_table.h"
#include "platform/decimal_digits.h"

#include <mutex>
#include <shared_mutex>
#include <sys/stat.h>

namespace platform {

namespace {

// The process-wide table: written on the UI thread at start-up (or by a test), read by any
// thread that opens or probes a port.
std::shared_mutex g_tableLock;
PortTable& currentTable() {
    static PortTable table;
    return table;
}

constexpr int kMaxPort = 256;

} // namespace

PortTable::PortTable(std::string deviceDir, std::string sysfsDir, std::string portFolder,
                     std::string lockDir)
    : m_deviceDir(std::move(deviceDir)), m_sysfsDir(std::move(sysfsDir)),
      m_portFolder(std::move(portFolder)), m_lockDir(std::move(lockDir)) {}

std::string PortTable::devicePath(int n) const {
    if (n < 1 || n > kMaxPort)
        return {};
    if (!m_portFolder.empty()) {
        std::string entry = m_portFolder;
        if (entry.back() != '/')
            entry += '/';
        entry += "COM" + std::to_string(n);
        struct stat st {};
        // lstat: a dangling link still names the port; opening it then reports it missing.
        if (::lstat(entry.c_str(), &st) == 0)
            return entry;
    }
    std::string dir = m_deviceDir;
    if (dir.empty() || dir.back() != '/')
        dir += '/';
    if (n <= 32)
        return dir + "ttyS" + std::to_string(n - 1);
    if (n <= 64)
        return dir + "ttyUSB" + std::to_string(n - 33);
    if (n <= 96)
        return dir + "ttyACM" + std::to_string(n - 65);
    return {};
}

std::optional<int> PortTable::portNumberFromName(const std::string& name) {
    std::string_view s = name;
    if (s.starts_with("\\\\.\\"))
        s.remove_prefix(4);
    if (s.size() < 4 || s.size() > 6 || !s.starts_with("COM"))
        return std::nullopt;
    s.remove_prefix(3);
    if (s.front() == '0') // "COM01" is not a port name
        return std::nullopt;
    const std::optional<int> n = parseDecimalDigits(s, 3);
    if (!n || *n < 1 || *n > kMaxPort)
        return std::nullopt;
    return n;
}

PortTable PortTable::current() {
    std::shared_lock lock(g_tableLock);
    return currentTable();
}

void PortTable::setCurrent(const PortTable& table) {
    std::unique_lock lock(g_tableLock);
    currentTable() = table;
}

} // namespace platform

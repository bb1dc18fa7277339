// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/serial_device_info.h"

#include "platform/sysfs_files.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

std::string readLine(const std::string& path) {
    return readFirstLine(path).value_or(std::string());
}

std::string linkBaseName(const std::string& path) {
    return baseName(realPath(path));
}

std::string groupOf(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return {};
    group grp{}, *found = nullptr;
    char buf[4096];
    if (::getgrgid_r(st.st_gid, &grp, buf, sizeof buf, &found) == 0 && found)
        return found->gr_name;
    return std::to_string(st.st_gid);
}

// USB adapters keep "product" and "manufacturer" a few levels above the tty's device.
std::string usbDescription(const std::string& deviceDir) {
    std::string dir = realPath(deviceDir);
    for (int up = 0; up < 5 && dir.size() > 1; ++up) {
        std::string product = readLine(joinPath(dir, "product"));
        if (!product.empty()) {
            std::string maker = readLine(joinPath(dir, "manufacturer"));
            return maker.empty() ? product : product + " (" + maker + ")";
        }
        dir = dir.substr(0, dir.find_last_of('/'));
    }
    return {};
}

// <dev>/serial/by-id entry naming the same device as `node`.
std::string byIdName(const PortTable& table, const std::string& node) {
    dev_t wanted{};
    if (!isCharDevice(node, &wanted))
        return {};
    const std::string dir = joinPath(table.deviceDir(), "serial/by-id");
    std::string found;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (dirent* e = ::readdir(d)) {
            std::string name = e->d_name;
            dev_t rdev{};
            if (name != "." && name != ".." && isCharDevice(joinPath(dir, name), &rdev) &&
                rdev == wanted) {
                found = name;
                break;
            }
        }
        ::closedir(d);
    }
    return found;
}

} // namespace

std::string uartTypeName(int type) {
    switch (type) {
    case 1:
        return "8250";
    case 2:
        return "16450";
    case 3:
        return "16550";
    case 4:
        return "16550A";
    case 5:
        return "Cirrus";
    case 6:
        return "16650";
    case 7:
        return "16650V2";
    case 8:
        return "16750";
    case 9:
        return "Startech";
    case 10:
        return "16C950/954";
    case 11:
        return "16654";
    case 12:
        return "16850";
    case 13:
        return "RSA";
    default:
        return "UART type " + std::to_string(type);
    }
}

std::string SerialDeviceRow::comText() const {
    return comNumber ? "COM" + std::to_string(*comNumber) : std::string();
}

std::string SerialDeviceRow::stateText() const {
    switch (state) {
    case DeviceState::Free:
        return "free";
    case DeviceState::InUse:
        return "in use";
    case DeviceState::NoPermission:
        return "no permission";
    case DeviceState::Missing:
        break;
    }
    return "missing";
}

std::string SerialDeviceRow::permissionAdvice() const {
    if (state != DeviceState::NoPermission)
        return {};
    const std::string g = group.empty() ? "dialout" : group;
    return "You may not open " + node + ". Ask for membership of the group \"" + g +
           "\" (sudo usermod -aG " + g + " $USER), then log out and in again.";
}

std::vector<SerialDeviceRow> collectSerialDevices(const PortTable& table) {
    std::vector<SerialDeviceRow> rows;
    std::vector<dev_t> listed;
    for (const auto& tty : serialTtyNames(table)) {
        SerialDeviceRow row;
        row.node = joinPath(table.deviceDir(), tty);
        const std::string sysDir = joinPath(table.sysfsDir(), "class/tty/" + tty);
        row.driver = linkBaseName(joinPath(sysDir, "device/driver"));
        row.description = usbDescription(joinPath(sysDir, "device"));
        if (row.description.empty()) {
            const std::string type = readLine(joinPath(sysDir, "type"));
            if (!type.empty())
                row.description = uartTypeName(std::atoi(type.c_str())) + " UART";
        }
        row.byId = byIdName(table, row.node);
        row.comNumber = comNumberForDevice(table, row.node);
        row.state = probeDevice(row.node, table).state;
        row.group = groupOf(row.node);
        dev_t rdev{};
        if (isCharDevice(row.node, &rdev))
            listed.push_back(rdev);
        rows.push_back(std::move(row));
    }
    // Port-folder entries for devices not shown above (ptys of a simulator, say).
    for (int n = 1; n <= 256 && !table.portFolder().empty(); ++n) {
        const std::string entry = joinPath(table.portFolder(), "COM" + std::to_string(n));
        struct stat lst {};
        if (::lstat(entry.c_str(), &lst) != 0)
            continue;
        dev_t rdev{};
        if (!isCharDevice(entry, &rdev) ||
            std::find(listed.begin(), listed.end(), rdev) != listed.end())
            continue;
        const DeviceProbe probe = probeDevice(entry, table);
        if (probe.state == DeviceState::Missing)
            continue;
        SerialDeviceRow row;
        row.node = probe.resolvedPath;
        row.description = "port folder link " + entry;
        row.comNumber = n;
        row.state = probe.state;
        row.group = groupOf(row.node);
        listed.push_back(rdev);
        rows.push_back(std::move(row));
    }
    return rows;
}

} // namespace platform

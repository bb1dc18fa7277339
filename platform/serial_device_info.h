// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What the "Serial devices" window shows: each serial device of the machine with its node,
// its stable name under <dev>/serial/by-id, driver and description from sysfs, the COM number
// the port table gives it, and whether this user can open it now. Ports that exist only
// through the port folder (a simulator's pty, say) are listed too. Plain data, gathered from
// the table's folders so tests run it on a fake tree.

#include "platform/dos_devices.h"
#include "platform/port_table.h"

#include <optional>
#include <string>
#include <vector>

namespace platform {

struct SerialDeviceRow {
    std::string node;        // "/dev/ttyUSB0", or the port-folder entry's resolved target
    std::string byId;        // name under <dev>/serial/by-id, empty when there is none
    std::string driver;      // "ftdi_sio", "cdc_acm", "serial8250"; empty when unknown
    std::string description; // "FT232R USB UART (FTDI)", "16550A UART", "port folder link"
    std::optional<int> comNumber;
    DeviceState state = DeviceState::Missing;
    std::string group; // owning group of the node, for telling the operator what to join

    std::string comText() const;   // "COM33" or ""
    std::string stateText() const; // "free", "in use", "no permission", "missing"
    // For a device the user may not open: what to do about it; empty otherwise.
    std::string permissionAdvice() const;
};

std::vector<SerialDeviceRow> collectSerialDevices(const PortTable& table);

// The UART name for a sysfs "type" number (4 -> "16550A"), or "UART type n".
std::string uartTypeName(int type);

} // namespace platform

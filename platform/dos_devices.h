// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Linux stand-in for the DOS device-name queries. A "COMn" name exists when the port table
// maps n to a character device that is a real serial line; the query also tells whether
// another open holds it. Besides the query itself this file offers the small pieces that the
// port list, the registry stand-in and the "Serial devices" window share: the probe of one
// device node, the phantom-ttyS filter and the reverse map from a device to its COM number.
//
// Nothing here opens a device: opening a serial line raises DTR and RTS, which resets some
// boards and disturbs devices nobody chose. Whether another program holds a port is read
// from /proc/locks, other processes' /proc/<pid>/fd (as far as this user may read them, which
// catches programs that take no lock) and live UUCP lock files. Callable from any thread.

#include "platform/port_table.h"
#include "platform/win_comm.h"

#include <optional>
#include <set>
#include <string>
#include <vector>

namespace win {

// name == nullptr: all device names as NUL-ended runs followed by one more NUL (the "COMn"
// names that exist, then the serial tty names under the device folder such as "ttyUSB0").
// name == "COMn" (or a listed tty name): its device path, links followed, as a run of one.
// Returns the number of characters stored, or 0 with the last error set: 2 no such device,
// 5 held by another open, 122 buffer too small.
DWORD QueryDosDeviceA(const char* name, char* target, DWORD max);

} // namespace win

namespace platform {

enum class DeviceState {
    Free,         // openable now
    InUse,        // another open holds it (EBUSY, or an flock that is not ours)
    NoPermission, // exists, but this user may not open it (EACCES / EPERM)
    Missing,      // no such node, not a character device, or a phantom ttyS
};

struct DeviceProbe {
    DeviceState state = DeviceState::Missing;
    std::string resolvedPath; // links followed; empty when the node does not exist
    int error = 0;            // errno of the failing step, 0 when free
};

// Probes the node at `path` (a port-folder link, a /dev name, ...) against `table`'s sysfs,
// without opening it.
DeviceProbe probeDevice(const std::string& path, const PortTable& table);

// True when something other than an open of this process holds the device: a flock or
// POSIX lock on its node (this process's own locks included, so the session's open port
// counts), another process's open descriptor on it, or a live UUCP lock file.
bool heldByAnother(const std::string& resolvedPath, const PortTable& table);

// The COM numbers whose device exists by the table: port-folder entries that lead to a real
// serial line, and default numbers whose device no port-folder entry names already.
std::set<int> presentComPorts(const PortTable& table);

// Kernel name ("ttyS3") of a node: the resolved name when it is a tty of its own, else the
// name the caller used. Empty when neither looks like a kernel tty name.
std::string kernelTtyName(const std::string& path, const std::string& resolvedPath);

// True for a ttyS whose UART type is unknown: sysfs "type" reads 0, or, when sysfs does not
// say, TIOCGSERIAL on `fd` (if >= 0) reports PORT_UNKNOWN.
bool isPhantomSerial(const std::string& ttyName, const PortTable& table, int fd = -1);

// The serial tty names the kernel shows: entries of <sysfs>/class/tty backed by a device,
// with a node in the device folder, phantom ttyS excluded; in natural order ("ttyS2" before
// "ttyS10").
std::vector<std::string> serialTtyNames(const PortTable& table);

// The COM number whose table entry is the same character device as `devicePath` (port
// folder entries first, as they win), or nullopt.
std::optional<int> comNumberForDevice(const PortTable& table, const std::string& devicePath);

// The COM number a kernel tty name maps to without looking at the node (which is gone when
// a device has just been removed): a port-folder link whose target names it, else the
// default rule (ttyS0 -> 1, ttyUSB0 -> 33, ttyACM0 -> 65).
std::optional<int> comNumberForTtyName(const PortTable& table, const std::string& ttyName);

// "ttyS2" < "ttyS10": names compared with their digit runs as numbers.
bool naturalLess(const std::string& a, const std::string& b);

} // namespace platform

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Read-only stand-in for the registry key "HARDWARE\DEVICEMAP\SERIALCOMM" under the local
// machine root: one string value per serial port that a driver has registered, as the kernel
// shows them in sysfs (phantom ttyS ports and virtual ttys left out). The value's name is the
// device path; its data the port's "COMn" name when the port table has one, else the device
// path. The key's contents are taken when it is opened; later changes show at the next open.
//
// Only this key exists; every other key fails to open with ERROR_FILE_NOT_FOUND.

#include "platform/port_table.h"
#include "platform/win_comm.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace win {

using LONG = std::int32_t;
struct RegistryKey;
using HKEY = RegistryKey*;

inline HKEY const HKEY_LOCAL_MACHINE = reinterpret_cast<HKEY>(std::uintptr_t{0x80000002});

constexpr DWORD KEY_READ = 0x20019;
constexpr DWORD REG_NONE = 0;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD REG_DWORD = 4;
constexpr LONG ERROR_MORE_DATA = 234;
constexpr LONG ERROR_NO_MORE_ITEMS = 259;

// Opens only "HARDWARE\DEVICEMAP\SERIALCOMM" (case-insensitive, leading "\" allowed) below
// HKEY_LOCAL_MACHINE, for reading. Returns ERROR_SUCCESS or an error number.
LONG RegOpenKeyExA(HKEY root, const char* subKey, DWORD options, DWORD desired, HKEY* result);
LONG RegCloseKey(HKEY key);
// Number of values and the longest value name (without NUL) and data (in bytes).
LONG RegQueryInfoKeyA(HKEY key, DWORD* values, DWORD* maxNameLen, DWORD* maxDataLen);
// The index'th value: name (size in characters, NUL excluded on return), type and data (size
// in bytes; a string's data includes its NUL). ERROR_NO_MORE_ITEMS past the end,
// ERROR_MORE_DATA with the needed sizes when a buffer is too small.
LONG RegEnumValueA(HKEY key, DWORD index, char* name, DWORD* nameLen, DWORD* reserved, DWORD* type,
                   BYTE* data, DWORD* dataLen);

} // namespace win

namespace platform {

struct RegistryValue {
    std::string name;
    win::DWORD type = win::REG_SZ;
    std::vector<win::BYTE> data; // a string's data holds its bytes and the closing NUL
};

RegistryValue stringValue(const std::string& name, const std::string& text);

// The key's values as the kernel shows them for `table`, in natural order of the tty names.
std::vector<RegistryValue> serialCommValues(const PortTable& table);

// Test seam: a source that replaces the sysfs view for keys opened from now on (an empty
// function restores it). A source may return values of any type; returning nullopt makes the
// key fail to open. Returns the previous source.
using SerialCommSource = std::function<std::optional<std::vector<RegistryValue>>()>;
SerialCommSource setSerialCommSource(SerialCommSource source);

} // namespace platform

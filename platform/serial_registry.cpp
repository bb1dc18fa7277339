// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/serial_registry.h"

#include "platform/dos_devices.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <mutex>
#include <optional>
#include <set>
#include <utility>

namespace win {

// The snapshot an open key reads from.
struct RegistryKey {
    std::vector<platform::RegistryValue> values;
};

} // namespace win

namespace platform {

namespace {

std::mutex g_sourceLock;
SerialCommSource& sourceSlot() {
    static SerialCommSource source;
    return source;
}

// Open keys, so that a stray or double close is refused instead of freeing twice.
std::mutex g_keysLock;
std::set<win::HKEY>& openKeys() {
    static std::set<win::HKEY> keys;
    return keys;
}

bool sameKeyName(std::string_view given) {
    constexpr std::string_view wanted = "HARDWARE\\DEVICEMAP\\SERIALCOMM";
    if (given.starts_with('\\'))
        given.remove_prefix(1);
    while (given.ends_with('\\'))
        given.remove_suffix(1);
    return given.size() == wanted.size() &&
           std::equal(given.begin(), given.end(), wanted.begin(), [](char a, char b) {
               return std::toupper(static_cast<unsigned char>(a)) ==
                      std::toupper(static_cast<unsigned char>(b));
           });
}

} // namespace

RegistryValue stringValue(const std::string& name, const std::string& text) {
    RegistryValue v;
    v.name = name;
    v.type = win::REG_SZ;
    v.data.assign(text.begin(), text.end());
    v.data.push_back(0);
    return v;
}

std::vector<RegistryValue> serialCommValues(const PortTable& table) {
    std::vector<RegistryValue> values;
    std::string dir = table.deviceDir();
    if (!dir.empty() && dir.back() != '/')
        dir += '/';
    for (const auto& tty : serialTtyNames(table)) {
        const std::string path = dir + tty;
        auto n = comNumberForDevice(table, path);
        values.push_back(stringValue(path, n ? "COM" + std::to_string(*n) : path));
    }
    return values;
}

SerialCommSource setSerialCommSource(SerialCommSource source) {
    std::lock_guard lock(g_sourceLock);
    return std::exchange(sourceSlot(), std::move(source));
}

} // namespace platform

namespace win {

LONG RegOpenKeyExA(HKEY root, const char* subKey, DWORD, DWORD, HKEY* result) {
    if (result == nullptr)
        return static_cast<LONG>(ERROR_INVALID_PARAMETER);
    *result = nullptr;
    if (root != HKEY_LOCAL_MACHINE || subKey == nullptr || !platform::sameKeyName(subKey))
        return static_cast<LONG>(ERROR_FILE_NOT_FOUND);
    platform::SerialCommSource source;
    {
        std::lock_guard lock(platform::g_sourceLock);
        source = platform::sourceSlot();
    }
    std::optional<std::vector<platform::RegistryValue>> values;
    if (source)
        values = source();
    else
        values = platform::serialCommValues(platform::PortTable::current());
    if (!values)
        return static_cast<LONG>(ERROR_FILE_NOT_FOUND);
    auto* key = new RegistryKey{std::move(*values)};
    std::lock_guard lock(platform::g_keysLock);
    platform::openKeys().insert(key);
    *result = key;
    return static_cast<LONG>(ERROR_SUCCESS);
}

LONG RegCloseKey(HKEY key) {
    {
        std::lock_guard lock(platform::g_keysLock);
        if (platform::openKeys().erase(key) == 0)
            return static_cast<LONG>(ERROR_INVALID_HANDLE);
    }
    delete key;
    return static_cast<LONG>(ERROR_SUCCESS);
}

namespace {

bool isOpen(HKEY key) {
    std::lock_guard lock(platform::g_keysLock);
    return platform::openKeys().count(key) != 0;
}

} // namespace

LONG RegQueryInfoKeyA(HKEY key, DWORD* values, DWORD* maxNameLen, DWORD* maxDataLen) {
    if (!isOpen(key))
        return static_cast<LONG>(ERROR_INVALID_HANDLE);
    DWORD longestName = 0, longestData = 0;
    for (const auto& v : key->values) {
        longestName = std::max(longestName, static_cast<DWORD>(v.name.size()));
        longestData = std::max(longestData, static_cast<DWORD>(v.data.size()));
    }
    if (values)
        *values = static_cast<DWORD>(key->values.size());
    if (maxNameLen)
        *maxNameLen = longestName;
    if (maxDataLen)
        *maxDataLen = longestData;
    return static_cast<LONG>(ERROR_SUCCESS);
}

LONG RegEnumValueA(HKEY key, DWORD index, char* name, DWORD* nameLen, DWORD*, DWORD* type,
                   BYTE* data, DWORD* dataLen) {
    if (!isOpen(key))
        return static_cast<LONG>(ERROR_INVALID_HANDLE);
    if (name == nullptr || nameLen == nullptr)
        return static_cast<LONG>(ERROR_INVALID_PARAMETER);
    if (index >= key->values.size())
        return ERROR_NO_MORE_ITEMS;
    const auto& v = key->values[index];
    const DWORD needName = static_cast<DWORD>(v.name.size());
    const DWORD needData = static_cast<DWORD>(v.data.size());
    bool tooSmall = *nameLen < needName + 1;
    if (data != nullptr && dataLen != nullptr && *dataLen < needData)
        tooSmall = true;
    if (type)
        *type = v.type;
    if (tooSmall) {
        *nameLen = needName;
        if (dataLen)
            *dataLen = needData;
        return ERROR_MORE_DATA;
    }
    std::memcpy(name, v.name.c_str(), needName + 1);
    *nameLen = needName;
    if (data != nullptr && dataLen != nullptr && needData != 0)
        std::memcpy(data, v.data.data(), needData);
    if (dataLen)
        *dataLen = needData;
    return static_cast<LONG>(ERROR_SUCCESS);
}

} // namespace win

// SPDX-License-Identifier: GPL-3.0-or-later
// Device listings and the configuration dialogs of the port component. They reach the
// platform only through the device-name query, the serial-port registry key, the default
// configuration and the settings dialog of platform/.

#include "comport/Comport.h"

#include "platform/comm_config.h"
#include "platform/default_comm_config.h"
#include "platform/dos_devices.h"
#include "platform/serial_registry.h"

#include <vector>

namespace {

constexpr win::DWORD kDeviceListSize = 65535;

// Calls `take` with each non-empty name of the NUL-separated device list.
template <class F> void forEachDeviceName(F take) {
    std::vector<char> buffer(kDeviceListSize);
    const win::DWORD stored = win::QueryDosDeviceA(nullptr, buffer.data(), kDeviceListSize);
    std::size_t start = 0;
    for (std::size_t i = 0; i < stored && i < buffer.size(); ++i) {
        if (buffer[i] != '\0')
            continue;
        if (i > start)
            take(std::string_view(buffer.data() + start, i - start));
        start = i + 1;
    }
}

// Closes the key on every path out.
struct KeyCloser {
    win::HKEY key = nullptr;
    ~KeyCloser() {
        if (key)
            win::RegCloseKey(key);
    }
};

} // namespace

void TCustomComPort::EnumDevices(QStringList& list) {
    forEachDeviceName([&](std::string_view name) {
        list.append(QString::fromLatin1(name.data(), static_cast<qsizetype>(name.size())));
    });
}

void TCustomComPort::EnumComDevices(QStringList& list) {
    forEachDeviceName([&](std::string_view name) {
        if (name.starts_with("COM") || name.starts_with("\\\\.\\COM"))
            list.append(QString::fromLatin1(name.data(), static_cast<qsizetype>(name.size())));
    });
}

void TCustomComPort::EnumComDevicesFromRegistry(QStringList& list) {
    KeyCloser key;
    if (win::RegOpenKeyExA(win::HKEY_LOCAL_MACHINE, "\\HARDWARE\\DEVICEMAP\\SERIALCOMM", 0,
                           win::KEY_READ, &key.key) != 0)
        return;
    win::DWORD count = 0, maxName = 0, maxData = 0;
    if (win::RegQueryInfoKeyA(key.key, &count, &maxName, &maxData) != 0)
        return;
    std::vector<char> name(maxName + 1);
    std::vector<win::BYTE> data(maxData + 1);
    for (win::DWORD i = 0; i < count; ++i) {
        win::DWORD nameLen = static_cast<win::DWORD>(name.size());
        win::DWORD dataLen = static_cast<win::DWORD>(data.size() - 1);
        win::DWORD type = win::REG_NONE;
        if (win::RegEnumValueA(key.key, i, name.data(), &nameLen, nullptr, &type, data.data(),
                               &dataLen) != 0)
            continue;
        if (type != win::REG_SZ)
            continue;
        data[dataLen] = 0; // string data need not carry its own NUL
        list.append(QString::fromLatin1(reinterpret_cast<const char*>(data.data())));
    }
}

std::string TCustomComPort::ShortDeviceName() const {
    if (m_deviceName.starts_with("\\\\.\\"))
        return m_deviceName.substr(4);
    return m_deviceName;
}

// An open port is read and written through its own handle: a second open of the device would
// be refused by this port's exclusive hold.
void TCustomComPort::readConfig(win::COMMCONFIG& config, win::DWORD& size) {
    size = sizeof config;
    if (GetActive() && !m_designing)
        Check(win::GetCommConfig(m_handle, &config, &size));
    else
        Check(win::GetDefaultCommConfigA(ShortDeviceName().c_str(), &config, &size));
}

bool TCustomComPort::ConfigDialog() {
    const std::string name = ShortDeviceName();
    win::COMMCONFIG config{};
    win::DWORD size = 0;
    readConfig(config, size);
    CopyDCB(config.dcb, true);
    const bool confirmed = win::CommConfigDialogA(name.c_str(), nullptr, &config) != win::FALSE;
    if (confirmed) {
        CopyDCB(config.dcb, false);
        SetComDCB();
    }
    return confirmed;
}

// On an open port the device's default configuration is its live one: the kernel keeps the
// line settings between opens.
bool TCustomComPort::DefaultConfigDialog() {
    const std::string name = ShortDeviceName();
    win::COMMCONFIG config{};
    win::DWORD size = 0;
    readConfig(config, size);
    const bool confirmed = win::CommConfigDialogA(name.c_str(), nullptr, &config) != win::FALSE;
    if (!confirmed)
        return false;
    if (GetActive() && !m_designing)
        Check(win::SetCommConfig(m_handle, &config, size));
    else
        Check(win::SetDefaultCommConfigA(name.c_str(), &config, size));
    return true;
}

// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/default_comm_config.h"

#include "platform/dos_devices.h"
#include "platform/error_table.h"
#include "platform/termios_dcb.h"
#include "platform/win_object.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace win {

namespace {

constexpr DWORD kConfigSize = sizeof(COMMCONFIG);

// Closes on every path out.
class Device {
public:
    ~Device() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    // Resolves `name`, refuses phantom and missing devices, and opens the node.
    bool open(const char* name) {
        std::string path;
        const platform::PortTable table = platform::PortTable::current();
        if (name == nullptr)
            return fail(ERROR_INVALID_PARAMETER);
        if (name[0] == '/')
            path = name;
        else if (auto n = platform::PortTable::portNumberFromName(name))
            path = table.devicePath(*n);
        if (path.empty())
            return fail(ERROR_FILE_NOT_FOUND);
        const platform::DeviceProbe probe = platform::probeDevice(path, table);
        if (probe.state == platform::DeviceState::Missing)
            return fail(ERROR_FILE_NOT_FOUND);
        m_heldElsewhere = probe.state == platform::DeviceState::InUse;
        m_fd = ::open(probe.resolvedPath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (m_fd < 0)
            return failErrno(errno);
        return true;
    }
    bool get(termios2& t) { return ::ioctl(m_fd, TCGETS2, &t) == 0 || failErrno(errno); }
    bool set(const termios2& t) {
        int rc;
        do
            rc = ::ioctl(m_fd, TCSETS2, &t);
        while (rc != 0 && errno == EINTR);
        return rc == 0 || failErrno(errno);
    }
    bool heldElsewhere() const { return m_heldElsewhere; }

    static bool fail(DWORD code) {
        SetLastError(code);
        return false;
    }
    // Keeps the errno, so that the message says why.
    static bool failErrno(int err) {
        setLastError(platform::errorFromErrno(err), err);
        return false;
    }

private:
    int m_fd = -1;
    bool m_heldElsewhere = false;
};

// What the record holds for fields termios does not carry: the values a freshly installed
// port shows.
DCB baseDcb() {
    DCB dcb;
    dcb.DCBlength = sizeof(DCB);
    dcb.Flags = DCB_fBinary | DTR_CONTROL_ENABLE | RTS_CONTROL_ENABLE;
    dcb.XonLim = 2048;
    dcb.XoffLim = 512;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    return dcb;
}

} // namespace

BOOL GetDefaultCommConfigA(const char* name, COMMCONFIG* config, DWORD* size) {
    if (config == nullptr || size == nullptr)
        return Device::fail(ERROR_INVALID_PARAMETER);
    if (*size < kConfigSize) {
        *size = kConfigSize;
        return Device::fail(ERROR_INSUFFICIENT_BUFFER);
    }
    Device dev;
    termios2 t{};
    if (!dev.open(name) || !dev.get(t))
        return FALSE;
    *config = COMMCONFIG{};
    config->dwSize = kConfigSize;
    config->wVersion = 1;
    config->dcb = baseDcb();
    platform::termiosToDcb(t, config->dcb);
    config->dwProviderSubType = PST_RS232;
    *size = kConfigSize;
    return TRUE;
}

BOOL SetDefaultCommConfigA(const char* name, const COMMCONFIG* config, DWORD size) {
    if (config == nullptr || size < kConfigSize)
        return Device::fail(ERROR_INVALID_PARAMETER);
    if (platform::validateDcb(config->dcb, 0xFFFFFFFFu) != ERROR_SUCCESS)
        return Device::fail(ERROR_INVALID_PARAMETER);
    Device dev;
    termios2 t{};
    if (!dev.open(name))
        return FALSE;
    if (dev.heldElsewhere())
        return Device::fail(ERROR_ACCESS_DENIED);
    if (!dev.get(t))
        return FALSE;
    const termios2 before = t;
    platform::dcbToTermios(config->dcb, t);
    if (!dev.set(t))
        return FALSE;
    // The kernel may round or quietly keep a field (a pty always stays 8 bits, no parity).
    // A half-taken configuration is put back, so a refusal leaves the device as it was.
    termios2 back{};
    if (!dev.get(back))
        return FALSE;
    DCB got = config->dcb;
    platform::termiosToDcb(back, got);
    if (!platform::dcbLineSettingsMatch(config->dcb, got)) {
        dev.set(before);
        return Device::fail(ERROR_INVALID_PARAMETER);
    }
    return TRUE;
}

BOOL GetCommConfig(HANDLE h, COMMCONFIG* config, DWORD* size) {
    if (config == nullptr || size == nullptr)
        return Device::fail(ERROR_INVALID_PARAMETER);
    if (*size < kConfigSize) {
        *size = kConfigSize;
        return Device::fail(ERROR_INSUFFICIENT_BUFFER);
    }
    DCB dcb;
    if (!GetCommState(h, &dcb))
        return FALSE;
    *config = COMMCONFIG{};
    config->dwSize = kConfigSize;
    config->wVersion = 1;
    config->dcb = dcb;
    config->dwProviderSubType = PST_RS232;
    *size = kConfigSize;
    return TRUE;
}

BOOL SetCommConfig(HANDLE h, const COMMCONFIG* config, DWORD size) {
    if (config == nullptr || size < kConfigSize)
        return Device::fail(ERROR_INVALID_PARAMETER);
    return SetCommState(h, &config->dcb);
}

} // namespace win

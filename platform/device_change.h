// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The device-change window message and its port broadcast record, with the Windows numbers
// and layouts, as the hot-plug watcher hands them to the serial form. The form reads them
// exactly as it would read the platform's broadcast: message 0x0219, WParam arrival/removal,
// LParam the address of a record whose header gives the device type.

#include "platform/win_comm.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace win {

using UINT = std::uint32_t;
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LRESULT = std::intptr_t;

constexpr UINT WM_DEVICECHANGE = 0x0219;
constexpr WPARAM DBT_DEVICEARRIVAL = 0x8000;
constexpr WPARAM DBT_DEVICEREMOVECOMPLETE = 0x8004;
constexpr DWORD DBT_DEVTYP_PORT = 3;

// A window message as a handler receives it; the handler sets Result.
struct TMessage {
    UINT Msg = 0;
    WPARAM WParam = 0;
    LPARAM LParam = 0;
    LRESULT Result = 0;
};

struct DEV_BROADCAST_HDR {
    DWORD dbch_size = 0;
    DWORD dbch_devicetype = 0;
    DWORD dbch_reserved = 0;
};

// The wide form of the port record. Windows declares the name as a one-element array that
// runs past the record; ours has room for any "COMn" name and more, always NUL-terminated.
struct DEV_BROADCAST_PORTW {
    DWORD dbcp_size = 0;
    DWORD dbcp_devicetype = 0;
    DWORD dbcp_reserved = 0;
    char16_t dbcp_name[64] = {};
};

// One device-change message with the record it points to. Non-copyable: LParam points into
// the object itself.
class PortChangeMessage {
public:
    PortChangeMessage(WPARAM event, const std::string& portName) {
        std::size_t i = 0;
        for (; i < portName.size() && i + 1 < std::size(m_record.dbcp_name); ++i)
            m_record.dbcp_name[i] = static_cast<unsigned char>(portName[i]);
        m_record.dbcp_name[i] = 0;
        m_record.dbcp_devicetype = DBT_DEVTYP_PORT;
        m_record.dbcp_size =
            static_cast<DWORD>(offsetof(DEV_BROADCAST_PORTW, dbcp_name) + (i + 1) * 2);
        m_message.Msg = WM_DEVICECHANGE;
        m_message.WParam = event;
        m_message.LParam = reinterpret_cast<LPARAM>(&m_record);
    }
    PortChangeMessage(const PortChangeMessage&) = delete;
    PortChangeMessage& operator=(const PortChangeMessage&) = delete;

    TMessage& message() { return m_message; }
    const DEV_BROADCAST_PORTW& record() const { return m_record; }

private:
    DEV_BROADCAST_PORTW m_record;
    TMessage m_message;
};

} // namespace win

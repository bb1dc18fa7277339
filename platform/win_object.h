// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What a win::HANDLE points at, and the process-wide table of live handles. A handle is
// valid from its creation until CloseHandle; every call looks it up here and holds a
// shared reference for the length of the call, so a handle closed by another thread fails
// later calls with "invalid handle" instead of touching freed memory.

#include "platform/win_comm.h"

#include <memory>

namespace win {

struct Object {
    virtual ~Object() = default;
    // Releases what the object holds (device, I/O thread); called once by CloseHandle while
    // other threads may still hold references.
    virtual void close() {}
};

namespace handles {

HANDLE add(std::shared_ptr<Object> object);
std::shared_ptr<Object> find(HANDLE h);
// Takes the handle out of the table; returns its object, or null for an unknown handle.
std::shared_ptr<Object> remove(HANDLE h);

template <class T> std::shared_ptr<T> findAs(HANDLE h) {
    return std::dynamic_pointer_cast<T>(find(h));
}

} // namespace handles

// The calling thread's last error, with the errno it came from (0 when none).
void setLastError(DWORD code, int errnoDetail);

} // namespace win

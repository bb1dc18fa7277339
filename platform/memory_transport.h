#pragma once
// How CreateFileA reaches the in-memory null-modem ports by name (see memory_port.h).

#include "platform/serial_transport.h"

#include <memory>
#include <string>

namespace platform {

// The transport for a registered in-memory port name. Returns null with `error` set:
// ERROR_FILE_NOT_FOUND for a name that is not (or no longer) such a port, and
// ERROR_ACCESS_DENIED for a side that is already open.
std::unique_ptr<SerialTransport> openMemoryPort(const std::string& name, win::DWORD& error);

} // namespace platform

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Ports that only this process knows by name, such as a test's in-memory null-modem cable:
// CreateFileA asks the opener installed here about a name that begins with "/" before it
// opens that name as a path. The program installs none, so for it such a name is a path and
// nothing else; the test-support library installs its opener when it makes its first cable.

#include "platform/serial_transport.h"

#include <memory>
#include <string>

namespace platform {

// Returns the transport for `name`, or null with `error` set: ERROR_FILE_NOT_FOUND when the
// name is not (or no longer) one of its ports, so that the path is tried, anything else to
// fail the open with.
using NamedPortOpener = std::unique_ptr<SerialTransport> (*)(const std::string& name,
                                                             win::DWORD& error);

// Any thread; the opener stays installed for the life of the process.
void installNamedPortOpener(NamedPortOpener opener);

} // namespace platform

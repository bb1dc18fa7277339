// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The one table from the system's errno values to the error numbers of the serial layer, and
// the message of each error number. Every caller in platform/ maps through here, so that the
// same cause gives the same number whichever call met it, and the errno's own text travels
// with the number into the message the operator reads.

#include "platform/win_comm.h"

#include <string>

namespace platform {

// The error number for an errno met while opening or using a device: 2 for a device that is
// not there (or is no serial line, or a phantom port without a UART: EIO at open), 5 for one
// that is held or not permitted, 87 for a setting the device refuses, 31 for anything else.
// A device that goes away while open is a separate outcome (5, see SerialDriver), whatever
// its errno.
win::DWORD errorFromErrno(int err);

// The message for an error number; with `err` not 0 the system's text for it is added, as in
// "The serial device does not exist (No such file or directory)."
std::string errorMessage(win::DWORD code, int err);

} // namespace platform

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A device's default configuration: on Linux the terminal settings the kernel keeps for the
// device between opens (what "stty -F" shows and sets), read and written as a configuration
// record. Names: "COMn" or "\\.\COMn" through the port table, or a path beginning with "/".
// Callable from any thread; each call opens the device non-blocking and closes it again.

#include "platform/win_comm.h"

namespace win {

// *size in: the record's room; out: its size (52). Fails with 2 for an unknown or phantom
// device, 5 when it may not be opened, 122 when *size is too small, 87 for null arguments.
BOOL GetDefaultCommConfigA(const char* name, COMMCONFIG* config, DWORD* size);

// Writes rate, framing, parity checking and flow control of config->dcb into the kernel's
// settings. Refused with 5 while another open holds the port (its live line would change
// under it), with 87 for a control block the device cannot take.
BOOL SetDefaultCommConfigA(const char* name, const COMMCONFIG* config, DWORD size);

// The configuration record of an open device, read and written through its handle: the
// only way for the holder of an exclusive open, since a second open is refused. Writing
// changes the live line settings, which the kernel then keeps after the close.
BOOL GetCommConfig(HANDLE h, COMMCONFIG* config, DWORD* size);
BOOL SetCommConfig(HANDLE h, const COMMCONFIG* config, DWORD size);

} // namespace win

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Pure translations between the Windows device control block and the kernel's termios2
// record (which carries any baud rate through BOTHER). No descriptor is touched here, so
// every rule can be tested on its own; FdTransport applies the result and reads it back.
//
// Include only where <termios.h> is not needed: <asm/termbits.h> and the C library's
// termios header define the same names differently.

#include "platform/win_comm.h"

#include <asm/termbits.h>

namespace platform {

// The Windows acceptance rules for a block: byte size 5..8, parity and stop-bit codes in
// range, 1.5 stop bits only with 5 data bits and 2 stop bits not with 5, a non-zero rate,
// distinct XON and XOFF characters, flow limits within the input queue. Returns
// ERROR_SUCCESS or ERROR_INVALID_PARAMETER.
win::DWORD validateDcb(const win::DCB& dcb, win::DWORD inputQueueSize);

// Raw, non-blocking-read line discipline (VMIN = VTIME = 0, CLOCAL, CREAD, no processing
// of input or output, no software flow control or parity checking), keeping the rate, the
// framing and the flow-control characters.
void makeRaw(termios2& t);

// Writes rate, framing, parity checking, XON/XOFF and CTS flow control of `dcb` into `t`;
// everything else in `t` stays.
void dcbToTermios(const win::DCB& dcb, termios2& t);

// Takes the same fields from `t` into `dcb`; fields termios cannot carry stay as they are.
void termiosToDcb(const termios2& t, win::DCB& dcb);

// The rate `t` runs at, whether set through BOTHER or a classic Bnnn code (0 if unknown).
win::DWORD termiosBaudRate(const termios2& t);

// Whether the device took what was asked: same framing and a rate within 2 %.
bool dcbLineSettingsMatch(const win::DCB& wanted, const win::DCB& got);

} // namespace platform

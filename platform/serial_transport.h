// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The device under a SerialDriver: a file descriptor (FdTransport) or one side of the
// in-memory null-modem cable. The driver calls these only from under its own lock, on the
// I/O thread for transfers and on caller threads for configuration and line control.

#include "platform/win_comm.h"

#include <cstddef>
#include <functional>

namespace platform {

class SerialTransport {
public:
    enum class Io { Ok, WouldBlock, Gone };

    virtual ~SerialTransport() = default;

    // Descriptor the I/O thread polls for readiness, or -1 when the transport wakes the
    // driver through `setWake` instead.
    virtual int pollFd() const { return -1; }
    // `wake` may be called from any thread; an empty function detaches.
    virtual void setWake(std::function<void()> wake) { (void)wake; }

    // Non-blocking transfers. `got`/`put` receive the byte count on Ok; on Gone the errno
    // (or 0) that says why goes to `err`.
    virtual Io read(char* buf, std::size_t size, std::size_t& got, int& err) = 0;
    virtual Io write(const char* buf, std::size_t size, std::size_t& put, int& err) = 0;

    // Device control block: apply the line part (rate, framing, flow control) and read back
    // what the device took. Return ERROR_SUCCESS or a win error code, with errno in `err`.
    virtual win::DWORD applyDcb(const win::DCB& dcb, win::DCB& readBack, int& err) = 0;
    virtual win::DWORD readDcb(win::DCB& dcb, int& err) = 0;

    // Modem lines; a device without them reports 0 and succeeds.
    virtual win::DWORD modemStatus() = 0;
    virtual bool setDtr(bool on) = 0;
    virtual bool setRts(bool on) = 0;
    virtual bool setBreak(bool on) = 0;
    // Suspends or resumes output as if XOFF / XON had been received.
    virtual bool suspendOutput(bool suspend) = 0;
    // Whether the device can drive RTS itself around each transmission.
    virtual bool canToggleRts() const { return false; }
    // Whether the device can do DTR/DSR hardware handshake.
    virtual bool canDtrDsrHandshake() const { return false; }
    // Whether the device counts framing, parity, overrun and break errors (a pty does not):
    // without counters takeLineEvents never reports an error.
    virtual bool countsLineErrors() const { return false; }

    virtual void flushInput() = 0;
    virtual void flushOutput() = 0;
    // Bytes handed to the device that it has not sent yet.
    virtual std::size_t pendingOutput() { return 0; }

    // Line events since the last call: EV_* bits and CE_* error bits. Called by the I/O
    // thread after every wake-up and arrival.
    virtual void takeLineEvents(win::DWORD& events, win::DWORD& errors) {
        events = 0;
        errors = 0;
    }

    // Releases the device (exclusive-use markers, descriptor); idempotent.
    virtual void close() = 0;
};

} // namespace platform

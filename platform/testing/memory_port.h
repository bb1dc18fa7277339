// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Test support, which the program does not link (library xrq_memory_port): an in-memory
// null-modem cable. Two ports, "A" and "B", each opened through win::CreateFileA by its name
// (which begins with "/" and is known only to this process; the first cable installs the
// opener that CreateFileA asks, named_ports.h).
// Bytes written on one side arrive on the other; DTR crosses to the other side's DSR and
// DCD, RTS to CTS. Breaks, line errors, ring and a vanished device can be injected, which
// a pty cannot show.

#include <memory>
#include <string>

namespace platform {

class MemoryNullModem {
public:
    enum Side { A = 0, B = 1 };

    // Registers two fresh, unique port names for the life of this object.
    MemoryNullModem();
    ~MemoryNullModem();
    MemoryNullModem(const MemoryNullModem&) = delete;
    MemoryNullModem& operator=(const MemoryNullModem&) = delete;

    std::string name(Side side) const;

    // Events seen by the port of `side` (as if its far end or the line did them).
    void injectBreak(Side side);
    void injectLineError(Side side, unsigned ceFlags); // win::CE_FRAME, CE_RXPARITY, CE_OVERRUN
    void setRing(Side side, bool on);
    // The device behind `side` goes away (like an unplugged USB adapter).
    void vanish(Side side);

private:
    struct Impl;
    std::shared_ptr<Impl> m_impl;
};

} // namespace platform

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The line errors a device reported during a capture: framing, parity, overrun, break and
// buffer (receive queue overflow) errors, each counted by the reports that named it. The
// tally is written by the component's line-error handler, which may run on the port's event
// thread, and read on the UI thread: its counters are atomic.

#include <atomic>
#include <cstdint>
#include <string>

struct LineErrorCounts {
    // The device counts line errors at all; a pty does not, and then nothing is known.
    bool checked = false;
    std::uint64_t framing = 0;
    std::uint64_t parity = 0;
    std::uint64_t overrun = 0;
    std::uint64_t breaks = 0;
    std::uint64_t buffer = 0;

    std::uint64_t total() const { return framing + parity + overrun + breaks + buffer; }
    // "none", "not checked", or the counts: "2 framing, 1 overrun".
    std::string text() const;
};

class LineErrorTally {
public:
    struct Report {
        bool framing = false, parity = false, overrun = false, brk = false, buffer = false;
    };

    void reset();
    // Any thread.
    void add(const Report& report);
    LineErrorCounts counts(bool checked) const;

private:
    std::atomic<std::uint64_t> m_framing{0}, m_parity{0}, m_overrun{0}, m_breaks{0}, m_buffer{0};
};

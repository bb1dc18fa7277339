// SPDX-License-Identifier: GPL-3.0-or-later
#include "session/line_errors.h"

std::string LineErrorCounts::text() const {
    if (!checked)
        return "not checked";
    if (total() == 0)
        return "none";
    std::string text;
    auto add = [&text](std::uint64_t n, const char* what) {
        if (n == 0)
            return;
        if (!text.empty())
            text += ", ";
        text += std::to_string(n) + " " + what;
    };
    add(framing, "framing");
    add(parity, "parity");
    add(overrun, "overrun");
    add(breaks, "break");
    add(buffer, "buffer overflow");
    return text;
}

void LineErrorTally::reset() {
    for (auto* n : {&m_framing, &m_parity, &m_overrun, &m_breaks, &m_buffer})
        n->store(0, std::memory_order_relaxed);
}

void LineErrorTally::add(const Report& report) {
    auto count = [](bool seen, std::atomic<std::uint64_t>& n) {
        if (seen)
            n.fetch_add(1, std::memory_order_relaxed);
    };
    count(report.framing, m_framing);
    count(report.parity, m_parity);
    count(report.overrun, m_overrun);
    count(report.brk, m_breaks);
    count(report.buffer, m_buffer);
}

LineErrorCounts LineErrorTally::counts(bool checked) const {
    LineErrorCounts c;
    c.checked = checked;
    c.framing = m_framing.load(std::memory_order_relaxed);
    c.parity = m_parity.load(std::memory_order_relaxed);
    c.overrun = m_overrun.load(std::memory_order_relaxed);
    c.breaks = m_breaks.load(std::memory_order_relaxed);
    c.buffer = m_buffer.load(std::memory_order_relaxed);
    return c;
}

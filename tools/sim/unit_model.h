// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The XRQ unit's command logic, without any I/O: bytes in, reply text out. PtyUnit drives
// it from its line thread; tests drive it directly. Not thread-safe: the owner serialises.
//
// Command  reply                                              effect
//   R      "\r\nXRQ S/N #" serial ">"
//   !      "\r\n>"
//   S      "\r\n>", then takes the clock text yy-mm-dd HH:MM:SS  sets the clock
//   A      "\r\nBat: 12.61 V  Temp: 21.4 C\r\n>"
//   *      "~"                                                  clear step 1
//   C      "?" after "*", else "\r\n>"                          clear step 2
//   Y      "\r\nMemory cleared\r\n>" after "*" "C", else "\r\n>"  empties the memory
//   F      the download (below), ending with ">"
// Blanks, CR and LF are ignored; any other byte answers "\r\nUnknown command\r\n>".
// Any command other than the next clear step breaks the clear sequence.
//
// Clock text: after "S" the next 17 bytes are taken as the clock, in the computer's local
// time. A byte that does not fit the layout, or a gap of more than 5 s, ends the clock
// entry without setting the clock, and a byte that did not fit is then read as a command.
// An impossible date (month 13, ...) is ignored.
//
// Download, lines ending in CR LF:
//   "* XRQ data logger S/N <serial>"
//   "* Clock <yy-mm-dd HH:MM:SS>, <n> data sets, <m> records"
//   "FILE DUMP"
//   per set: "Name: <name>", its records, an empty line
//   "No data" instead of the sets when the memory is empty
// then the prompt ">".

#include "tools/sim/data_set.h"
#include "tools/sim/sim_options.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace sim {

// Bytes handed out piece by piece, so that a long download is never built whole.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    // Up to max bytes; an empty result means the source is exhausted.
    virtual std::string read(std::size_t max) = 0;
};

struct Reply {
    std::string text;                     // sent first (noise included)
    std::shared_ptr<ByteSource> download; // then this, for "F"
    bool empty() const { return text.empty() && !download; }
};

class UnitModel {
public:
    using SystemClock = std::chrono::system_clock;
    using SteadyClock = std::chrono::steady_clock;

    explicit UnitModel(const SimOptions& options);

    // One received byte. `now` is the steady time of its arrival (for the clock-text gap).
    Reply receive(char byte, SteadyClock::time_point now = SteadyClock::now());

    void setFaults(const FaultOptions& faults) { m_faults = faults; }
    const FaultOptions& faults() const { return m_faults; }

    const std::string& serialNumber() const { return m_serial; }
    void setSerialNumber(std::string serial) { m_serial = std::move(serial); }
    // The unit's clock: the computer's clock plus the offset the last clock text made.
    SystemClock::time_point clock() const { return SystemClock::now() + m_clockOffset; }
    std::chrono::seconds clockOffset() const { return m_clockOffset; }
    void setClockOffset(std::chrono::seconds offset) { m_clockOffset = offset; }
    int clockSetCount() const { return m_clockSetCount; }
    const std::string& lastClockText() const { return m_lastClockText; }

    std::vector<DataSet> memory() const { return *m_memory; }
    void setMemory(std::vector<DataSet> sets);
    int clearCount() const { return m_clearCount; }

    // True once the clock or the memory changed since the last call (state file upkeep).
    bool takeChanged();

    // The logging clock (SimOptions::logEverySeconds): logs the records due up to `now`.
    // receive() calls it with the present time before it reads a byte.
    void logUntil(SystemClock::time_point now);
    // The instant of the last record logged (seconds since 1970); unset before the first
    // call, when logging starts from that call's time.
    std::optional<std::int64_t> loggedUntil() const { return m_loggedUntil; }
    void setLoggedUntil(std::optional<std::int64_t> at) { m_loggedUntil = at; }

private:
    enum class Mode { Command, ClockText };

    Reply command(char c);
    std::string noise();
    void finishClockText();

    SimOptions m_options; // battery, temperature, raw download
    FaultOptions m_faults;
    std::string m_serial;
    std::chrono::seconds m_clockOffset{0};
    std::shared_ptr<const std::vector<DataSet>> m_memory;
    Mode m_mode = Mode::Command;
    std::string m_clockText;
    SteadyClock::time_point m_lastClockByte;
    int m_clearStep = 0;
    int m_clockSetCount = 0;
    std::string m_lastClockText;
    int m_clearCount = 0;
    unsigned m_downloads = 0; // memory downloads answered (not raw ones)
    bool m_changed = false;
    std::optional<std::int64_t> m_loggedUntil;
    std::mt19937 m_random;
};

// "yy-mm-dd HH:MM:SS" of a time point in the computer's local time.
std::string formatClockText(std::chrono::system_clock::time_point t);
// The time point a clock text stands for in local time; nullopt for a malformed text or an
// impossible date.
std::optional<std::chrono::system_clock::time_point> parseClockText(const std::string& text);

} // namespace sim

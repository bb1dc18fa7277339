// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The unit's lasting state in a text file, so that a simulated unit keeps its memory, its
// clock and its serial number across restarts:
//   * XRQ unit simulator state
//   serial: <serial number>
//   clock-offset: <seconds the unit's clock is ahead of the computer's, may be negative>
//   logged-until: <the logging clock's last record, seconds since 1970> (with --log-every)
//   <the memory in the data file format of data_set.h>
// Written to a temporary file beside it and renamed over it, so an interrupted write never
// leaves a half file behind.

#include "tools/sim/data_set.h"

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace sim {

struct UnitState {
    std::string serialNumber;
    std::chrono::seconds clockOffset{0};
    std::vector<DataSet> memory;
    // The logging clock's last record (seconds since 1970, UTC); unset without one.
    std::optional<std::int64_t> loggedUntil;
};

// nullopt when the file does not exist; throws std::runtime_error when it cannot be read
// or is malformed.
std::optional<UnitState> loadStateFile(const std::string& path);
// Throws std::runtime_error when the file cannot be written; the old file then stays.
void saveStateFile(const std::string& path, const UnitState& state);

} // namespace sim

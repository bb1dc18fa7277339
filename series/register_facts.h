// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What the series reads from the unit register ("units.sqlite", written by the program's
// register thread): each unit's confirmed clears, its clock sets and its kept downloads.
// Read through a connection of its own, read-only, so the series never writes the register
// and does not link the program's windows. A register that does not exist is a register
// without events.

#include "platform/result.h"
#include "series/record_time.h"

#include <cstdint>
#include <string>
#include <vector>

namespace series {

// The register's file name in the program's files folder.
inline constexpr const char* kRegisterFileName = "units.sqlite";

// A download the register recorded with its kept raw copy.
struct KeptDownload {
    std::string path;
    std::int64_t startedMs = 0;
    bool safe = false; // the verdict called it safe
    // Its capture ended well (series_apply.h's capturedWhole of the verdict's reasons).
    bool captured = true;
};

struct RegisterFacts {
    UnitFacts facts;
    std::vector<KeptDownload> kept; // oldest first
};

// The serial numbers the register knows. An error's words name the register's file.
platform::Result<std::vector<std::string>> registerSerials(const std::string& registerPath);
// One unit's facts.
platform::Result<RegisterFacts> readRegisterFacts(const std::string& registerPath,
                                                  const std::string& serial);

} // namespace series

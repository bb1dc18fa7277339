// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// When the organisation's server last answered this program, kept across runs, so that after
// a restart without a server Clear Memory's question still says since when other laptops have
// not been checked. One line in "fleet-contact" in the program's files folder:
//   <service>\t<ms since the epoch>\n
// A time kept for another service says nothing of this one and reads as none. The file is
// written under a temporary name, synced, renamed over the old one and its folder synced: a
// crash leaves the old time or the new one, never half a line.

#include "platform/result.h"

#include <cstdint>
#include <optional>
#include <string>

namespace fleet {

inline constexpr const char* kLastContactFileName = "fleet-contact";

// `folder` ends with "/". Nothing when there is no file, it is damaged, or it names another
// service.
std::optional<std::int64_t> readLastContact(const std::string& folder, const std::string& service);
// On an error the file of before is as it was.
platform::Result<void> writeLastContact(const std::string& folder, const std::string& service,
                                        std::int64_t ms);

} // namespace fleet

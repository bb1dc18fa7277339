// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What Clear Memory's extra question adds while the records are shared: a download of the
// unit that another laptop made since this laptop's last one ("XRQ1234 was downloaded by
// laptop-b at 10:42, after this laptop's last download of it."), or, when the server could
// not be asked in time, since when other laptops have not been checked ("Other laptops not
// checked since 10:42: the server cannot be reached."). Empty when the server answered that
// no other laptop downloaded it.

#include "fleet/server_history.h"

#include <QString>

#include <cstdint>
#include <optional>

namespace fleet {

// `answer`: what the server said, or nothing when it did not answer within the deadline.
// `lastContact`: when the server last answered this program, in this run or an earlier one
// (ms since the epoch).
QString otherLaptopsNote(const std::optional<OtherDownload>& answer, const QString& unitName,
                         std::optional<std::int64_t> lastContact, std::int64_t nowMs);

} // namespace fleet

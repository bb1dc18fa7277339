// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The series' answer to Clear Memory's look at other laptops (fleet/other_laptops.h): which of
// another laptop's records this laptop's series holds, a record of the same bytes in the same
// unit's data set, in any segment, confirmed or provisional (seen is seen), and each record's
// time stamp as the unit wrote it. Handed to fleet/ by each program's start
// (span_reader.h's sharingSources).

#include "fleet/other_laptops.h"

#include "platform/result.h"

#include <string>
#include <vector>

namespace series {

platform::Result<std::vector<fleet::RecordLook>>
lookUpRecords(const std::string& folder, const QString& unit,
              const std::vector<fleet::OtherRecord>& records);

} // namespace series

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A series as the organisation's server holds it (every laptop's shared records of one unit
// and data set), ready for the same CSV export as the local store (series_export.h). Where
// two laptops' records differ at a place, the one that continues the chained hash of the
// records before it is taken (series_share.h). Blocking, with the connection's deadline.

#include "series/series_export.h"
#include "series/series_share.h"

#include <string>
#include <vector>

namespace series {

class ServerSeries {
public:
    // Reads the series; false with `why` when the server could not be read or holds none.
    bool read(const std::string& conninfo, const std::string& serial, const std::string& name,
              int ordinal, std::string& why);
    // Valid while this object lives.
    RecordSource source() const;

private:
    SeriesInfo m_info;
    std::vector<Note> m_notes;
    std::vector<ServerRecord> m_records;
};

} // namespace series

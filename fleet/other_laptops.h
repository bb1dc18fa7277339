// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What Clear Memory's extra question adds while the records are shared: another laptop's safe
// download that holds records of the unit this laptop has not seen ("XRQ1234 was downloaded
// safely by laptop-b with records this laptop has not seen, the last stamped 26-12-08 10:42
// by the unit."), or, when the server could not be asked in time, since when other laptops
// have not been checked ("Other laptops not checked since 10:42: the server cannot be
// reached."). Empty when the server answered and this laptop holds every record the others
// shared.
//
// "Since" is judged by the records, never by the two laptops' clocks: only confirmed records
// are shared and only a safe download confirms, so an incomplete or unsafe download is never
// named; the last record each other laptop pushed of a data set and segment
// (otherLaptopsRecords) is looked for in this laptop's own series (the series' lookup,
// handed in); one it does not hold means that laptop's download held records this one never
// saw (a unit's memory is whole from its last clear: a later download that holds a record
// holds every one before it since that clear).

#include "fleet/server_history.h"

#include "platform/result.h"

#include <QString>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace fleet {

// What this laptop's series says of one of another laptop's records.
struct RecordLook {
    bool held = false;                 // this laptop's series holds a record of the same bytes
    QString stamp;                     // the record's time stamp as the unit wrote it
    std::optional<double> unitSeconds; // that stamp as seconds, when it reads as a time
};
// Looks up `records` of `unit` in the series of the files folder `folder` (ending with "/"):
// one look each, in order. An error when the series could not be read; a folder without a
// series holds none of them. Any thread; on a connection of its own.
using RecordLookup = std::function<platform::Result<std::vector<RecordLook>>(
    const std::string& folder, const QString& unit, const std::vector<OtherRecord>& records)>;

struct OtherDownload {
    bool ok = false;
    QString message; // why not, for the operator
    struct Unseen {
        QStringList laptops; // the laptops' names, the one of the latest record first
        QString stamp;       // the last unseen record's time stamp, by the unit's clock
    };
    std::optional<Unseen> found; // empty: this laptop holds every record the others shared
};
// The server's answer judged against this laptop's series in `folder`, read by `lookup` (the
// series' own, handed in by the program's start: sharing_sources.h).
OtherDownload judgeOtherRecords(const OtherRecords& answer, const std::string& folder,
                                const QString& unit, const RecordLookup& lookup);

// `answer`: what the server said, or nothing when it did not answer within the deadline.
// `lastContact`: when the server last answered this program, in this run or an earlier one
// (ms since the epoch).
QString otherLaptopsNote(const std::optional<OtherDownload>& answer, const QString& unitName,
                         std::optional<std::int64_t> lastContact, std::int64_t nowMs);

} // namespace fleet

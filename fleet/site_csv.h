// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The data manager's CSV files of sites, deployments, column meanings and calibrations, one
// fact per row under a title row that names the columns (in any order; the optional ones may
// be left out), as fleet/site_facts.h's facts for addSiteFacts:
//   sites          code, name, longitude, latitude [, elevation, description, visit_days]
//   deployments    unit, site, from [, to]          (a `to` is the unit's removal then)
//   meanings       data_set, column, from, property, uom
//                  [, unit, definition, symbol, uom_name]   (no unit: every unit's data set)
//   calibrations   data_set, column, from, a, b [, to, unit]
// Times as "2026-06-01" or "2026-06-01T08:00:00", UTC unless an offset follows. The file is
// what someone else wrote: RFC 4180 read here (quoted cells may hold commas, quotes and line
// ends; hand-written, about sixty lines, because every error has to name the line a row
// starts on, which a row-at-a-time library leaves to us anyway), UTF-8 only, numbers through
// platform/checked_number.h. Any fault refuses the whole file with the line that holds it.

#include "fleet/site_fact_writes.h"

#include "platform/result.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <optional>
#include <vector>

namespace fleet {

enum class SiteCsvKind { Sites, Deployments, Meanings, Calibrations };
std::optional<SiteCsvKind> siteCsvKindFromName(const QString& word);

// One row of cells, with the line its first cell is on (1-based).
struct CsvRow {
    int line = 0;
    QStringList cells;
};
// Rows of RFC 4180 text (CR LF or LF; a UTF-8 byte order mark first is passed over); blank
// lines are passed over. Invalid ("line 7: ...") on a quote left open, text after a closing
// quote, or bytes that are not UTF-8.
platform::Result<std::vector<CsvRow>> readCsv(const QByteArray& bytes);

struct SiteCsv {
    bool ok = false;
    QString error; // "line 4: latitude 123 is not within -90 to 90"
    std::vector<SiteFactToAdd> facts;
};
SiteCsv siteFactsOfCsv(SiteCsvKind kind, const QByteArray& bytes);

} // namespace fleet

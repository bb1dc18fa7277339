// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The data manager's commands for sites and what their columns mean ("xrq-series admin ..."),
// each adding facts (fleet/site_fact_writes.h) with the owner's role of --service NAME:
//   add-site CODE NAME LONGITUDE LATITUDE [--elevation M] [--description TEXT]
//            [--visit-days N]             a site, or a newer fact of it (its code never changes)
//   deploy SERIAL SITE [--from TIME] [--withdraw]
//                                         the unit at the site from TIME (default now); again
//                                         with the same SERIAL and TIME corrects it, --withdraw
//                                         takes it back
//   remove SERIAL [--at TIME]             the unit taken away (default now)
//   set-meaning DATA_SET COLUMN PROPERTY UOM [--unit SERIAL] [--from TIME]
//            [--definition URI] [--symbol S] [--uom-name NAME]
//                                         what a column means (UOM: a UCUM code)
//   calibrate DATA_SET COLUMN A B --from TIME [--to TIME] [--unit SERIAL]
//                                         value = A * raw + B within the window
//   add-note (--site CODE | --unit SERIAL) [--at TIME] [--category C] [--by NAME] TEXT
//   import sites|deployments|meanings|calibrations FILE.csv
//                                         every row of the file in one transaction (site_csv.h)
//   site-facts [CODE]                     what counts now, one line each
// TIME: "2026-06-01" or "2026-06-01T08:00:00", UTC unless an offset follows.

#include <QStringList>

#include <iosfwd>

namespace fleet {

// Whether `command` is one of the above.
bool isSiteCommand(const QString& command);
// `args`: the words after "admin" (the command first). Returns the exit status: 0 done,
// 1 failed, 2 a command line not understood.
int runSiteAdmin(const QStringList& args, std::ostream& out, std::ostream& err);

} // namespace fleet

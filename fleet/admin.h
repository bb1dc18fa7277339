// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The server's administration, for a command-line program to offer ("xrq-series admin ..."):
//   init-server --service NAME [--decline-download-bytes] [--max-download-bytes N]
//       creates or migrates the server's schema and the laptops' group role; run with the
//       owner's role (the service's user)
//   grant-laptop --service NAME ROLE
//       lets an existing login role push and read as a laptop
//   grant-office --service NAME ROLE
//       lets an existing login role read the server as the office's view (xrq-office)
//   set-visit-interval --service NAME DAYS [SERIAL]
//       a unit whose last visit is longer ago is late: the organisation's interval, or (with
//       SERIAL) that unit's own; run with the owner's role
//   move-laptop --service NAME LAPTOP_ID ROLE
//       the laptop LAPTOP_ID (its UUID) pushes as ROLE from now on (fleet/laptop_roles.h)
//   disown-laptop --service NAME ROLE [--since TIME]
//       every reader leaves out the facts ROLE pushed since TIME (default now)
//   own-laptop --service NAME ROLE
//       takes ROLE back: its facts are read again
//   check-server --service NAME
//       lists every right a laptop role has beyond adding and reading facts (exit 1 when
//       there is any)
// `args` are the words after "admin". Prints one line per outcome; returns the exit status:
// 0 done, 1 failed, 2 a command line not understood.

#include "fleet/server_schema.h"

#include <QStringList>

#include <iosfwd>

namespace fleet {

// `deriveRecords`: init-server's keying of the series records older versions pushed
// (InitOptions::deriveRecords), from the program that links the series.
int runAdmin(const QStringList& args, std::ostream& out, std::ostream& err,
             decltype(InitOptions::deriveRecords) deriveRecords = {});

} // namespace fleet

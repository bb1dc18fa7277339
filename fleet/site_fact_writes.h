// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Adding site facts (fleet/site_facts.h) to the server: the data manager's commands and CSV
// imports (xrq-series admin), and tests. All the facts given go in one transaction or none
// does. Each is checked first as the server checks a laptop's (siteFactFault), then against
// what the server holds: a deployment names a site the server knows (or one added before it
// in the same call), a calibration's window overlaps none of the same column; of the server's
// facts only those the checks need are read (SiteFactScope), so a write costs the same at
// thirty thousand deployments as at three. A fact whose
// key's newest fact already says the same adds nothing, so the same import twice adds
// nothing.

#include "fleet/pg_connection.h"
#include "fleet/site_facts.h"

#include <QByteArray>
#include <QString>

#include <chrono>
#include <vector>

namespace fleet {

struct SiteFactToAdd {
    SiteFactValue value;
    bool withdrawn = false;
    // Where it is told from when it is refused ("line 4"); empty: its place in the list.
    QString where;
};

// What is wrong with a fact on its own (a bad code, coordinate, time, window, text), or
// empty. The same rule the server applies to a laptop's (xrq.site_fact_fault).
QString siteFactFault(const SiteFactValue& value);

// A fact's payload as xrq.site_facts holds it (compact JSON, the server's field names); the
// one writer of it, for the data manager's commands and a laptop's outbox alike.
QByteArray siteFactPayload(const SiteFactValue& value, bool withdrawn = false);

struct AddedSiteFacts {
    bool ok = false;
    QString error;       // why nothing was added: "line 4: unknown site RIVER-9"
    int added = 0;       // facts added
    int alreadyHeld = 0; // facts whose key already said the same: nothing added
};
AddedSiteFacts addSiteFacts(PgConnection& connection, const std::vector<SiteFactToAdd>& facts,
                            std::chrono::milliseconds timeout = std::chrono::seconds(60));

} // namespace fleet

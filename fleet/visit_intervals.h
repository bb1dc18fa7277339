// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// How often each unit is to be visited, kept on the organisation's server
// (xrq.visit_intervals, from server schema 4 on): the organisation's interval,
// and a unit's own where it has one; a unit whose last visit is longer ago is late (the
// office's Units page says so). Each setting is a row of its own, never changed: the newest
// for a unit (or for the organisation) counts, and the older ones say who set what when.
// Set by the server's owner (xrq-series admin set-visit-interval); read by every role that
// reads the server.

#include "fleet/pg_connection.h"
#include "fleet/server_schema.h"

#include <QHash>
#include <QString>

#include <chrono>
#include <optional>

namespace fleet {

inline constexpr int kMostVisitIntervalDays = 3650;

// The organisation's interval (no `unit`), or one unit's, in days (1 to 3650).
InitOutcome setVisitInterval(const std::string& conninfo, int days,
                             const std::optional<QString>& unit,
                             std::chrono::milliseconds timeout = std::chrono::seconds(30));

struct VisitIntervals {
    bool ok = false;
    QString error;                   // why it could not be read
    std::optional<int> organisation; // none set: the reader's own default
    QHash<QString, int> units;       // units with their own
    // The interval of `unit`: its own, else the organisation's; none when neither is set.
    std::optional<int> of(const QString& unit) const;
};
// Every interval set (or, with `unit`, the organisation's and that unit's), through an open
// connection. A server from before the table holds none: ok, and nothing set.
VisitIntervals readVisitIntervals(PgConnection& connection, std::chrono::milliseconds timeout,
                                  const std::optional<QString>& unit = std::nullopt);

} // namespace fleet

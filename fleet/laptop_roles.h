// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Which role speaks for which laptop, which roles are disowned, and which times a reader may
// trust, on the organisation's server (from server schema 10; fleet/server_schema.h).
//
// A laptop is its role: the first fact a laptop role pushes under a laptop_id binds that id
// to it (xrq.laptop_roles, written only by the owner's trigger), and a fact under a laptop_id
// bound to another role is refused (SQLSTATE 42501, so the pusher keeps it waiting and says
// why). Rows without a laptop_id (laptops made before identities) bind nothing and are told
// apart by the role that pushed them (pushed_by) alone. The owner moves a laptop to a new
// role with a row of its own (moveLaptop); the newest row of a laptop_id counts.
//
// A disowned role (a stolen or retired laptop's): a row of xrq.role_trust, never a deletion;
// the newest row of a role counts, so owning it again brings its facts back. Every reader
// reads the facts through the views xrq.owned_* (the filter is written once, there), which
// leave out a disowned role's facts the server received since the time given, and says so
// with disownedNote.
//
// A laptop's clock is its own: a fact stamped well after the server received it (clockAhead)
// was stamped by a clock ahead. It is kept and shown as such, and never decides a unit's last
// visit or lateness: every reader that picks one takes only the facts timeTakenSql passes.

#include "fleet/pg_connection.h"
#include "fleet/server_schema.h"
#include "platform/result.h"

#include <QString>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace fleet {

// The oldest server schema this program reads (every read goes through xrq.owned_*); pushing
// needs only kOldestServerSchemaVersion.
inline constexpr int kOldestServerSchemaRead = 10;

// Binds the laptop `laptopId` (its UUID) to the login role `role` from now on; the owner's.
InitOutcome moveLaptop(const std::string& conninfo, const QString& laptopId, const QString& role,
                       std::chrono::milliseconds timeout = std::chrono::seconds(30));

// Disowns `role`: every reader leaves out the facts the server received from it since
// `sinceMs` (ms since the epoch; none: now). The owner's.
InitOutcome disownRole(const std::string& conninfo, const QString& role,
                       std::optional<std::int64_t> sinceMs,
                       std::chrono::milliseconds timeout = std::chrono::seconds(30));
// Takes `role` back: its facts are read again. The owner's.
InitOutcome ownRole(const std::string& conninfo, const QString& role,
                    std::chrono::milliseconds timeout = std::chrono::seconds(30));

// A --since TIME: "2026-06-01" or "2026-06-01T08:00:00", UTC unless an offset follows
// ("2026-06-01T08:00:00+02:00"); none when it does not read as one.
std::optional<std::int64_t> parseSinceTime(const QString& text);

struct DisownedRole {
    QString role;
    std::int64_t sinceMs = 0; // the server's time; INT64_MIN for all of its facts
};
// The roles disowned now, through an open connection (schema 10 or later); a Server error
// when they could not be read.
platform::Result<std::vector<DisownedRole>> readDisownedRoles(PgConnection& connection,
                                                              std::chrono::milliseconds timeout);
// What readers say of them: "left out: facts pushed by role lapb since 2026-12-09 10:00 UTC
// (disowned)"; empty when none.
QString disownedNote(const std::vector<DisownedRole>& roles);
// The two together: the note of the roles disowned now, as every reader of facts tells it.
platform::Result<QString> readDisownedNote(PgConnection& connection,
                                           std::chrono::milliseconds timeout);

// How far a laptop's stamp may lie after the server's receipt before its clock counts as
// ahead (a fact is stamped before it is pushed; the margin is for clocks a little apart).
inline constexpr std::int64_t kClockAheadMarginMs = 60LL * 60 * 1000;
bool clockAhead(std::int64_t occurredMs, std::int64_t receivedMs);
// The same in SQL over the row `alias` (its occurred_at and received_at; "" for the columns
// named alone). A row without a received_at, or with one after the server's now, is judged
// against the server's now.
std::string clockAheadSql(std::string_view alias);
// An SQL condition over the row `alias`: its occurred_at may be a unit's last visit, download
// or clear (not at -infinity, and not stamped by a clock ahead; 'infinity' always is).
std::string timeTakenSql(std::string_view alias);

} // namespace fleet

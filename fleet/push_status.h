// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What the operator is told about sharing, in one line:
//   "not shared"                                   no service chosen
//   "shared: up to date"                           the outboxes are empty
//   "12 facts waiting: pushing"                    the server takes them now
//   "12 facts waiting: server not reachable since 10:42"
//   "12 facts waiting: server not reachable since 10:42 (the server's host name is not known)"
//   "12 facts waiting: slow link to the server since 10:42"  (answers, too slowly: smaller
//                                                            batches)
//   "shared: facts up to date; 16.8 MB of kept downloads to send"
//   "12 facts waiting: the server's schema is version 3, newer than ..."   (refused)
// with "; 1 conflict noted" added while conflicts are on record (and "; newest: event ... refused
// by the server for its content: ..." once this run had one refused), and "; unverified connection
// (sslmode=prefer, no TLS)" while the connection to a server over the network is not verified.

#include <QString>

#include <cstdint>
#include <optional>

namespace fleet {

struct PushStatus {
    enum class State { NotShared, UpToDate, Pushing, Unreachable, Slow, Refused };
    State state = State::NotShared;
    std::int64_t waiting = 0;
    std::int64_t pushed = 0;    // facts the server confirmed since the pusher started
    std::int64_t conflicts = 0; // conflicts and refusals on record in the outboxes' files
    // Since when the server has not been reached (ms since the epoch), while Unreachable; since
    // when the link has been slow, while Slow.
    std::optional<std::int64_t> unreachableSince;
    // Refused: the reason for the operator (a newer schema, a refused password...), libpq's
    // own words after it; Unreachable: the same, for the run log.
    QString detail;
    // Unreachable: what kept the server out of reach, in the operator's words ("the server's
    // host name is not known"), when it was more than no answer.
    QString reason;
    // The last connection made was not verified (PgConnection::security), in the operator's
    // words: "unverified connection (sslmode=prefer, no TLS)"; empty when it was.
    QString unverified;
    // Bytes of kept downloads still to send (fleet/kept_bytes.h); they go after the facts.
    std::int64_t bytesWaiting = 0;
    // The newest fact the server refused for its content in this run, and why, in the
    // server's words ("event 5f0c... of unit XRQ00001 refused by the server for its content:
    // ... volts 1000 is outside 0 to 100 (SQLSTATE 23514)"); kept in the file's conflicts
    // table with its payload. Empty when none was.
    QString refused = {};
};

// The line above. `nowMs` decides whether the time needs its date ("since 2026-12-07 10:42").
QString statusLine(const PushStatus& status, std::int64_t nowMs);

// A moment as those lines give it: "10:42" today, "2026-12-07 10:42" on another day.
QString momentText(std::int64_t atMs, std::int64_t nowMs);

} // namespace fleet

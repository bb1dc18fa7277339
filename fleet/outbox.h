// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The outbox: facts waiting to be shared, in a table of the same SQLite file as the facts
// themselves (units.sqlite, series.sqlite), written in the same transaction as the fact, so
// a fact is either recorded and waiting, or neither. The pusher (pusher.h) reads the outbox
// in order from a connection of its own and removes what the server has confirmed; what the
// server held differently is kept in the file's conflicts table, never dropped.
//
// Tables (created by createTables, idempotent):
//   fleet_outbox(seq INTEGER PRIMARY KEY AUTOINCREMENT, kind, identity, unit, type, data_set,
//                segment, position, payload (JSON, UTF-8 bytes), occurred_at (ms), laptop,
//                facts)
//   kind "records", written by programs before span rows and never since, holds several
//   series records: payload is a JSON array of {"p": position, "h": chained hash, "t":
//   occurred at, "j": the record's payload}, `facts` their number. The pusher still reads
//   such rows, so that an older outbox's records go.
//   kind "bytes" holds a kept download whose bytes are still to send (fleet/kept_bytes.h):
//   identity its SHA-256, payload the kept download's fact's, position its size, facts 0.
// A new row's seq is above every row present, so the order holds. Files made before
// AUTOINCREMENT (no table rebuild) may give a seq again once the table was emptied: that is
// why a pusher removes exactly the rows it sent, each by its seq, kind, identity, position and
// count, never a range, so that two pushers of one folder (the program and
// xrq-collect) never remove a row the other wrote meanwhile.
//   kind "span" holds `facts` series records kept elsewhere in the file (enqueueSpan):
//   payload is the reference its reader takes, position the first record's.
//   fleet_conflicts(id, noticed_at (ms), kind, identity, unit, reason, local_payload,
//                   server_payload)
//   fleet_marks(name PRIMARY KEY, done_at (ms)): one-time changes made to the file's outbox
//   (queueRefusalsAgain's).

#include "fleet/fact.h"

#include "platform/result.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace fleet {

inline constexpr const char* kOutboxTable = "fleet_outbox";
inline constexpr const char* kConflictsTable = "fleet_conflicts";

class Outbox {
public:
    // Creates the outbox's tables where they are missing. Call where the file is opened or
    // migrated (inside its transaction or not). An error when they could not be.
    static platform::Result<void> createTables(QSqlDatabase& db);

    // Writes `fact` into the outbox of `db`. Call inside the transaction that records the
    // fact: an error means nothing was written, and the caller rolls back. A fact that cannot
    // be shared (fact.h's invalidReason) is refused the same way, as Invalid; SQLite's own
    // failures carry their kind (a full disk, a lock: storage::kindOf).
    static platform::Result<void> enqueue(QSqlDatabase& db, const Fact& fact);

    // Records a span row names at most (enqueueSpan).
    static constexpr int kRecordsPerRow = 1000;

    // Series records the file keeps itself (the series' chunks), not copied into the outbox:
    // a row of kind "span" names them (`reference`, which the file's span reader
    // understands), and the pusher has the reader turn them into records when it sends
    // them. A download's write then pays a row per thousand records and nothing per record.
    // The records must stay as they are until pushed (the series' confirmed records do).
    struct Span {
        QString unit;
        QString dataSet;
        std::int64_t segment = 0;
        std::int64_t firstPosition = 0;
        std::size_t count = 0;
        std::int64_t occurredAt = 0;
        QString laptop;
        QString firstHash; // the first record's chained hash (the row's identity)
        QByteArray reference;
    };
    static platform::Result<void> enqueueSpan(QSqlDatabase& db, const Span& span);
    // One record of a span as its reader gives it.
    struct SpanRecord {
        QString hash;       // its identity, lower-case hex
        QByteArray payload; // JSON
        // How many records before it in its segment have its identity, and the identity and
        // occurrence of the record before it (empty at its segment's start): with its
        // identity, its key on the server.
        std::int64_t occurrence = 0;
        QString after;
        std::int64_t afterOccurrence = 0;
    };
    // Reads `count` records from `firstPosition` of the span `reference` in `db`: the series'
    // own (series/span_reader.h), handed to the pusher by the program's start
    // (sharing_sources.h). Any thread, on that thread's connection.
    using SpanReader = std::function<platform::Result<std::vector<SpanRecord>>(
        QSqlDatabase& db, const QByteArray& reference, std::int64_t firstPosition,
        std::size_t count)>;

    // Facts waiting in `db`'s outbox; 0 when it has none (or no outbox).
    static std::int64_t waiting(QSqlDatabase& db);
    // Facts waiting in the outbox of the SQLite file at `path`, read on a connection of its
    // own (any thread); 0 when the file or its outbox does not exist.
    static std::int64_t waitingIn(const std::string& path);
    // Conflicts and refusals noted in `db`.
    static std::int64_t conflicts(QSqlDatabase& db);

    // Facts an older program noted as refused for their content on any error of class 22 or
    // 23 (a function's 22023 included) go into the outbox once more, once per file: the
    // file's owner (the register, the series) puts them back from its own records, through
    // the requeuer handed in for the table that marks its files. Its own transaction
    // (BEGIN IMMEDIATE); the conflict notes stay as they were. An error when it could not be
    // done now (a lock, a full disk, no requeuer for this file among `requeuers`): it is
    // tried again at the next open; done once done or nothing to do.
    struct Refused {
        FactKind kind = FactKind::Event;
        QString identity;
        QString unit;
    };
    // Puts the facts `refused` names back into the outbox of `db` (inside the caller's
    // transaction); the laptop name is that of the folder of `db`'s file. Facts it does not
    // hold are left out.
    using Requeuer = std::function<platform::Result<void>(QSqlDatabase& db,
                                                          const std::vector<Refused>& refused)>;
    // `requeuers`: by a table that only the owner's files have ("visits", "segments").
    static platform::Result<void> queueRefusalsAgain(QSqlDatabase& db,
                                                     const std::map<QString, Requeuer>& requeuers);
    // The reason an older program wrote for a refusal, which queueRefusalsAgain looks for.
    static constexpr const char* kOldRefusalReason = "refused by the server: ";
};

} // namespace fleet

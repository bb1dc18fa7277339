// SPDX-License-Identifier: GPL-3.0-or-later
#include "fleet/outbox.h"

#include "storage/sqlite_store.h"

#include <QSqlError>
#include <QVariant>

#include <QDateTime>

#include <charconv>
#include <map>

namespace fleet {

namespace {

const char* const kCreateOutbox = "CREATE TABLE IF NOT EXISTS fleet_outbox ("
                                  " seq INTEGER PRIMARY KEY AUTOINCREMENT,"
                                  " kind TEXT NOT NULL,"
                                  " identity TEXT NOT NULL,"
                                  " unit TEXT NOT NULL,"
                                  " type TEXT NOT NULL DEFAULT '',"
                                  " data_set TEXT NOT NULL DEFAULT '',"
                                  " segment INTEGER NOT NULL DEFAULT 0,"
                                  " position INTEGER NOT NULL DEFAULT 0,"
                                  " payload BLOB NOT NULL,"
                                  " occurred_at INTEGER NOT NULL,"
                                  " laptop TEXT NOT NULL,"
                                  " facts INTEGER NOT NULL DEFAULT 1)";

const char* const kCreateConflicts = "CREATE TABLE IF NOT EXISTS fleet_conflicts ("
                                     " id INTEGER PRIMARY KEY,"
                                     " noticed_at INTEGER NOT NULL,"
                                     " kind TEXT NOT NULL,"
                                     " identity TEXT NOT NULL,"
                                     " unit TEXT NOT NULL,"
                                     " reason TEXT NOT NULL,"
                                     " local_payload TEXT NOT NULL,"
                                     " server_payload TEXT)";

const char* const kCreateMarks = "CREATE TABLE IF NOT EXISTS fleet_marks ("
                                 " name TEXT PRIMARY KEY,"
                                 " done_at INTEGER NOT NULL)";

// The one-time requeue of the older program's refusals (queueRefusalsAgain).
const char* const kRefusalsQueuedMark = "refusals-queued-again";

const char* const kInsert =
    "INSERT INTO fleet_outbox (kind, identity, unit, type, data_set, segment, position, "
    "payload, occurred_at, laptop, facts) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)";

// SQLite's failure of `q`, its kind read from its code (a full disk, a lock), after `prefix`.
platform::Error failedSql(const QSqlQuery& q, const char* prefix) {
    return platform::makeError(storage::kindOf(q.lastError()),
                               prefix + q.lastError().text().toStdString());
}

platform::Error notShareable(const QString& invalid) {
    return platform::makeError(platform::ErrorKind::Invalid,
                               "fact not shareable: " + invalid.toStdString());
}

// Qt binds a null QString as NULL; the outbox keeps "" for "none".
QString orEmpty(const QString& s) {
    return s.isNull() ? QStringLiteral("") : s;
}

platform::Result<void> bindAndRun(QSqlQuery& q, const Fact& fact) {
    const QString invalid = invalidReason(fact);
    if (!invalid.isEmpty())
        return notShareable(invalid);
    q.bindValue(0, kindName(fact.kind));
    q.bindValue(1, fact.identity);
    q.bindValue(2, fact.unit);
    q.bindValue(3, orEmpty(fact.type));
    q.bindValue(4, orEmpty(fact.record.dataSet));
    q.bindValue(5, static_cast<qlonglong>(fact.record.segment));
    q.bindValue(6, static_cast<qlonglong>(fact.record.position));
    q.bindValue(7, payloadText(fact.payload));
    q.bindValue(8, static_cast<qlonglong>(fact.occurredAt));
    q.bindValue(9, fact.laptop);
    q.bindValue(10, 1);
    if (!q.exec())
        return failedSql(q, "outbox not written: ");
    return {};
}

std::int64_t countOf(QSqlDatabase& db, const char* sql) {
    QSqlQuery q(db);
    if (!q.exec(QString::fromLatin1(sql)) || !q.next())
        return 0;
    return q.value(0).toLongLong();
}

platform::Result<void> createTablesOf(QSqlDatabase& db) {
    QSqlQuery q(db);
    for (const char* sql : {kCreateOutbox, kCreateConflicts, kCreateMarks})
        if (!q.exec(QString::fromLatin1(sql)))
            return failedSql(q, "outbox tables not created: ");
    return {};
}

// Prepares the outbox's insert in `q`. A file made before sharing existed has no outbox yet:
// it is made in the caller's transaction first. What failed (a full disk, a lock) is the
// SQLite error of the statement that failed, not the first look's "no such table".
platform::Result<void> prepareInsert(QSqlDatabase& db, QSqlQuery& q) {
    if (q.prepare(QString::fromLatin1(kInsert)))
        return {};
    if (auto created = createTablesOf(db); !created)
        return created;
    if (q.prepare(QString::fromLatin1(kInsert)))
        return {};
    return failedSql(q, "outbox not written: ");
}

} // namespace

platform::Result<void> Outbox::createTables(QSqlDatabase& db) {
    return createTablesOf(db);
}

platform::Result<void> Outbox::enqueue(QSqlDatabase& db, const Fact& fact) {
    QSqlQuery q(db);
    if (auto prepared = prepareInsert(db, q); !prepared)
        return prepared;
    return bindAndRun(q, fact);
}

platform::Result<void> Outbox::enqueueSpan(QSqlDatabase& db, const Span& span) {
    if (span.count == 0)
        return {};
    const Fact first = recordFact(span.unit, {span.dataSet, span.segment, span.firstPosition},
                                  span.firstHash, {}, span.occurredAt, span.laptop);
    const QString invalid = invalidReason(first);
    if (!invalid.isEmpty())
        return notShareable(invalid);
    QSqlQuery q(db);
    if (auto prepared = prepareInsert(db, q); !prepared)
        return prepared;
    q.bindValue(0, QStringLiteral("span"));
    q.bindValue(1, span.firstHash);
    q.bindValue(2, span.unit);
    q.bindValue(3, QStringLiteral(""));
    q.bindValue(4, span.dataSet);
    q.bindValue(5, static_cast<qlonglong>(span.segment));
    q.bindValue(6, static_cast<qlonglong>(span.firstPosition));
    q.bindValue(7, span.reference);
    q.bindValue(8, static_cast<qlonglong>(span.occurredAt));
    q.bindValue(9, span.laptop);
    q.bindValue(10, static_cast<qlonglong>(span.count));
    if (!q.exec())
        return failedSql(q, "outbox not written: ");
    return {};
}

std::int64_t Outbox::waiting(QSqlDatabase& db) {
    return countOf(db, "SELECT coalesce(sum(facts), 0) FROM fleet_outbox");
}

std::int64_t Outbox::waitingIn(const std::string& path) {
    // A count for a status line: never makes the file, sets nothing on it (its owner does),
    // and waits briefly for its writer.
    storage::OpenOptions look;
    look.create = false;
    look.busyMs = storage::busy::kShort;
    look.journal = storage::Journal::Keep;
    look.sync = storage::Sync::Keep;
    look.connectionPrefix = QStringLiteral("fleet-waiting");
    auto store = storage::open(path, look);
    return store ? waiting(store->db()) : 0;
}

std::int64_t Outbox::conflicts(QSqlDatabase& db) {
    return countOf(db, "SELECT count(*) FROM fleet_conflicts");
}

namespace {
bool hasTable(QSqlDatabase& db, const QString& name) {
    QSqlQuery q(db);
    q.prepare(QStringLiteral("SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?"));
    q.addBindValue(name);
    return q.exec() && q.next();
}
} // namespace

platform::Result<void> Outbox::queueRefusalsAgain(QSqlDatabase& db,
                                                  const std::map<QString, Requeuer>& requeuers) {
    QSqlQuery q(db);
    // A file whose outbox is not there yet has no refusals either.
    if (!hasTable(db, QLatin1String(kConflictsTable)))
        return {};
    if (!hasTable(db, QStringLiteral("fleet_marks")) && !q.exec(QString::fromLatin1(kCreateMarks)))
        return failedSql(q, "");
    q.prepare(QStringLiteral("SELECT 1 FROM fleet_marks WHERE name = ?"));
    q.addBindValue(QLatin1String(kRefusalsQueuedMark));
    if (!q.exec())
        return failedSql(q, "");
    if (q.next())
        return {};
    q.finish();
    if (!q.exec(QStringLiteral("BEGIN IMMEDIATE")))
        return failedSql(q, "");
    auto rollback = [&](platform::Error error) -> platform::Result<void> {
        QSqlQuery(db).exec(QStringLiteral("ROLLBACK"));
        return error;
    };
    // Looked at again under the write lock: another pusher of the folder may have done it.
    q.prepare(QStringLiteral("SELECT 1 FROM fleet_marks WHERE name = ?"));
    q.addBindValue(QLatin1String(kRefusalsQueuedMark));
    if (!q.exec())
        return rollback(failedSql(q, ""));
    if (q.next()) {
        q.finish();
        QSqlQuery(db).exec(QStringLiteral("ROLLBACK"));
        return {};
    }
    q.finish();
    std::vector<Refused> refused;
    q.prepare(QStringLiteral("SELECT kind, identity, unit FROM fleet_conflicts WHERE "
                             "substr(reason, 1, ?) = ? ORDER BY id"));
    const QString reason = QLatin1String(kOldRefusalReason);
    q.addBindValue(reason.size());
    q.addBindValue(reason);
    if (!q.exec())
        return rollback(failedSql(q, ""));
    while (q.next()) {
        const auto kind = kindFromName(q.value(0).toString());
        if (kind)
            refused.push_back({*kind, q.value(1).toString(), q.value(2).toString()});
    }
    q.finish();
    if (!refused.empty()) {
        Requeuer requeuer;
        for (const auto& [table, r] : requeuers)
            if (hasTable(db, table))
                requeuer = r;
        // Left for a program that knows the file's records; never marked done without them.
        if (!requeuer)
            return rollback(platform::makeError(
                platform::ErrorKind::Internal, "this program cannot make this file's facts again"));
        if (auto requeued = requeuer(db, refused); !requeued)
            return rollback(requeued.error());
    }
    q.prepare(QStringLiteral("INSERT INTO fleet_marks (name, done_at) VALUES (?, ?)"));
    q.addBindValue(QLatin1String(kRefusalsQueuedMark));
    q.addBindValue(static_cast<qlonglong>(QDateTime::currentMSecsSinceEpoch()));
    if (!q.exec())
        return rollback(failedSql(q, ""));
    QSqlQuery commit(db);
    if (!commit.exec(QStringLiteral("COMMIT")))
        return rollback(failedSql(commit, ""));
    return {};
}

} // namespace fleet

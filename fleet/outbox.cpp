// SPDX-License-Identifier: GPL-3.0-or-later
#include "fleet/outbox.h"

#include <QSqlError>
#include <QVariant>

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
                                  " payload TEXT NOT NULL,"
                                  " occurred_at INTEGER NOT NULL,"
                                  " laptop TEXT NOT NULL)";

const char* const kCreateConflicts = "CREATE TABLE IF NOT EXISTS fleet_conflicts ("
                                     " id INTEGER PRIMARY KEY,"
                                     " noticed_at INTEGER NOT NULL,"
                                     " kind TEXT NOT NULL,"
                                     " identity TEXT NOT NULL,"
                                     " unit TEXT NOT NULL,"
                                     " reason TEXT NOT NULL,"
                                     " local_payload TEXT NOT NULL,"
                                     " server_payload TEXT)";

const char* const kInsert =
    "INSERT INTO fleet_outbox (kind, identity, unit, type, data_set, segment, position, "
    "payload, occurred_at, laptop) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)";

bool fail(QString* why, const QString& text) {
    if (why)
        *why = text;
    return false;
}

// Qt binds a null QString as NULL; the outbox keeps "" for "none".
QString orEmpty(const QString& s) {
    return s.isNull() ? QStringLiteral("") : s;
}

bool bindAndRun(QSqlQuery& q, const Fact& fact, QString* why) {
    const QString invalid = invalidReason(fact);
    if (!invalid.isEmpty())
        return fail(why, QStringLiteral("fact not shareable: ") + invalid);
    q.bindValue(0, kindName(fact.kind));
    q.bindValue(1, fact.identity);
    q.bindValue(2, fact.unit);
    q.bindValue(3, orEmpty(fact.type));
    q.bindValue(4, orEmpty(fact.record.dataSet));
    q.bindValue(5, static_cast<qlonglong>(fact.record.segment));
    q.bindValue(6, static_cast<qlonglong>(fact.record.position));
    q.bindValue(7, QString::fromUtf8(payloadText(fact.payload)));
    q.bindValue(8, static_cast<qlonglong>(fact.occurredAt));
    q.bindValue(9, fact.laptop);
    if (!q.exec())
        return fail(why, QStringLiteral("outbox not written: ") + q.lastError().text());
    return true;
}

std::int64_t countOf(QSqlDatabase& db, const char* sql) {
    QSqlQuery q(db);
    if (!q.exec(QString::fromLatin1(sql)) || !q.next())
        return 0;
    return q.value(0).toLongLong();
}

} // namespace

bool Outbox::createTables(QSqlDatabase& db, QString* why) {
    QSqlQuery q(db);
    for (const char* sql : {kCreateOutbox, kCreateConflicts})
        if (!q.exec(QString::fromLatin1(sql)))
            return fail(why, QStringLiteral("outbox tables not created: ") + q.lastError().text());
    return true;
}

bool Outbox::enqueue(QSqlDatabase& db, const Fact& fact, QString* why) {
    QSqlQuery q(db);
    if (!q.prepare(QString::fromLatin1(kInsert))) {
        // A file made before sharing existed has no outbox yet: make it in the caller's
        // transaction and go on.
        if (!createTables(db, why) || !q.prepare(QString::fromLatin1(kInsert)))
            return fail(why, QStringLiteral("outbox not written: ") + q.lastError().text());
    }
    return bindAndRun(q, fact, why);
}

Outbox::Outbox(QSqlDatabase& db) : m_insert(db) {
    m_prepared = m_insert.prepare(QString::fromLatin1(kInsert));
}

bool Outbox::add(const Fact& fact, QString* why) {
    if (!m_prepared)
        return fail(why, QStringLiteral("outbox not written: ") + m_insert.lastError().text());
    return bindAndRun(m_insert, fact, why);
}

std::int64_t Outbox::waiting(QSqlDatabase& db) {
    return countOf(db, "SELECT count(*) FROM fleet_outbox");
}

std::int64_t Outbox::conflicts(QSqlDatabase& db) {
    return countOf(db, "SELECT count(*) FROM fleet_conflicts");
}

} // namespace fleet

// SPDX-License-Identifier: GPL-3.0-or-later
#include "series/register_facts.h"

#include "series/series_apply.h"
#include "storage/sqlite_store.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QVariant>

#include <functional>

namespace series {

namespace {

QByteArray blob(const std::string& bytes) {
    return QByteArray(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

// Runs `body` on a read-only connection to the register; a missing register is an empty one.
// The register's own program may be writing it: its writes are short, and xrq-series keeps no
// window waiting, so the series' wait serves.
platform::Result<void>
withRegister(const std::string& path,
             const std::function<platform::Result<void>(QSqlDatabase&)>& body) {
    storage::OpenOptions look;
    look.access = storage::Access::ReadOnly;
    look.busyMs = storage::busy::kWriter;
    look.connectionPrefix = QStringLiteral("xrq-series-register");
    auto store = storage::open(path, look);
    if (!store) {
        if (store.kind() == platform::ErrorKind::NotFound)
            return {};
        return platform::makeError(store.kind(), path + ": " + store.text());
    }
    return body(store->db());
}

// A failed query's error, naming the register.
platform::Error queryError(const std::string& path, const QSqlQuery& q) {
    platform::Error error = storage::errorOf(q.lastError());
    error.text = path + ": " + error.text;
    return error;
}

bool hasColumn(QSqlDatabase& db, const QString& table, const QString& column) {
    return db.record(table).indexOf(column) >= 0;
}

// A download's reasons: the JSON array where there is one, else its joined text ("; ").
std::vector<std::string> verdictReasons(const QString& why, const QString& json) {
    std::vector<std::string> out;
    const QJsonDocument doc = QJsonDocument::fromJson(json.toUtf8());
    if (doc.isArray()) {
        for (const QJsonValue& v : doc.array())
            out.push_back(v.toString().toUtf8().toStdString());
        return out;
    }
    for (const QString& part : why.split(QStringLiteral("; "), Qt::SkipEmptyParts))
        out.push_back(part.toLocal8Bit().toStdString());
    return out;
}

} // namespace

platform::Result<std::vector<std::string>> registerSerials(const std::string& registerPath) {
    std::vector<std::string> serials;
    auto read = withRegister(registerPath, [&](QSqlDatabase& db) -> platform::Result<void> {
        QSqlQuery q(db);
        if (!q.exec(QStringLiteral("SELECT serial FROM units ORDER BY serial")))
            return queryError(registerPath, q);
        while (q.next())
            serials.push_back(q.value(0).toByteArray().toStdString());
        return {};
    });
    if (!read)
        return read.error();
    return serials;
}

platform::Result<RegisterFacts> readRegisterFacts(const std::string& registerPath,
                                                  const std::string& serial) {
    RegisterFacts out;
    auto read = withRegister(registerPath, [&](QSqlDatabase& db) -> platform::Result<void> {
        auto failed = [&](const QSqlQuery& q) { return queryError(registerPath, q); };
        // Clock sets: their offset where the register records it, else their text tells.
        const bool offsets =
            hasColumn(db, QStringLiteral("clock_sets"), QStringLiteral("utc_offset"));
        QSqlQuery q(db);
        q.prepare(QStringLiteral("SELECT c.at, c.sent%1 FROM clock_sets c JOIN units u ON "
                                 "u.id = c.unit_id WHERE u.serial = ? ORDER BY c.at, c.id")
                      .arg(offsets ? QStringLiteral(", c.utc_offset") : QString()));
        q.bindValue(0, blob(serial));
        if (!q.exec())
            return failed(q);
        while (q.next()) {
            ClockFact set;
            set.atMs = q.value(0).toLongLong();
            set.sent = q.value(1).toByteArray().toStdString();
            if (offsets && !q.value(2).isNull())
                set.offsetSeconds = q.value(2).toInt();
            out.facts.clockSets.push_back(std::move(set));
        }
        // Clears the unit confirmed (its prompt after "Y").
        q.prepare(QStringLiteral("SELECT c.at FROM clears c JOIN units u ON u.id = c.unit_id "
                                 "WHERE u.serial = ? AND c.confirmed != 0 ORDER BY c.at"));
        q.bindValue(0, blob(serial));
        if (!q.exec())
            return failed(q);
        while (q.next())
            out.facts.clearsMs.push_back(q.value(0).toLongLong());
        if (!hasColumn(db, QStringLiteral("downloads"), QStringLiteral("kept_file")))
            return {};
        // How its capture ended: from the verdict's reasons (a JSON array), or in a register
        // older than those from the joined text.
        const bool reasons = hasColumn(db, QStringLiteral("downloads"), QStringLiteral("reasons"));
        // A download judged again by later line rules and found not safe counts as not safe.
        const bool judgedAgain =
            hasColumn(db, QStringLiteral("judged_again"), QStringLiteral("download_event"));
        q.prepare(QStringLiteral("SELECT d.kept_file, d.started, d.verified%2, d.why%1 FROM "
                                 "downloads d JOIN units u ON u.id = d.unit_id WHERE u.serial = ? "
                                 "AND d.kept_file IS NOT NULL AND length(d.kept_file) > 0 "
                                 "ORDER BY d.started, d.id")
                      .arg(reasons ? QStringLiteral(", d.reasons") : QString(),
                           judgedAgain ? QStringLiteral(" AND NOT EXISTS (SELECT 1 FROM "
                                                        "judged_again j WHERE j.download_event = "
                                                        "d.event_id)")
                                       : QString()));
        q.bindValue(0, blob(serial));
        if (!q.exec())
            return failed(q);
        while (q.next()) {
            KeptDownload kept{q.value(0).toByteArray().toStdString(), q.value(1).toLongLong(),
                              q.value(2).toInt() != 0};
            kept.captured = capturedWhole(
                verdictReasons(q.value(3).toString(), reasons ? q.value(4).toString() : QString()));
            out.kept.push_back(std::move(kept));
        }
        return {};
    });
    if (!read)
        return read.error();
    return out;
}

} // namespace series

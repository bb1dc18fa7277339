// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The series records waiting in a store's outbox, one by one, as the server would get them.

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QVariant>

#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

namespace testsupport {

struct SharedRecord {
    std::string unit, dataSet;
    std::int64_t segment = 0, position = 0;
    std::string hash, line, laptop;
    auto key() const { return std::tie(unit, dataSet, segment, position, hash, line); }
    bool operator==(const SharedRecord& o) const { return key() == o.key(); }
    bool operator<(const SharedRecord& o) const { return key() < o.key(); }
};

inline std::vector<SharedRecord> sharedRecords(const std::string& path) {
    std::vector<SharedRecord> out;
    {
        auto db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), "shared-records");
        db.setDatabaseName(QString::fromStdString(path));
        if (db.open()) {
            QSqlQuery q(db);
            q.exec(QStringLiteral("SELECT unit, data_set, segment, payload, laptop, position "
                                  "FROM fleet_outbox WHERE kind = 'records' ORDER BY seq"));
            while (q.next()) {
                const QJsonArray items = QJsonDocument::fromJson(q.value(3).toByteArray()).array();
                for (qsizetype k = 0; k < items.size(); ++k) {
                    const QJsonValue v = items[k];
                    // Without "p": the row's position plus the index.
                    out.push_back({q.value(0).toString().toStdString(),
                                   q.value(1).toString().toStdString(), q.value(2).toLongLong(),
                                   v[QStringLiteral("p")].toInteger(q.value(5).toLongLong() + k),
                                   v[QStringLiteral("h")].toString().toStdString(),
                                   v[QStringLiteral("j")][QStringLiteral("line")]
                                       .toString()
                                       .toLatin1()
                                       .toStdString(),
                                   q.value(4).toString().toStdString()});
                }
            }
            q = QSqlQuery();
            db.close();
        }
    }
    QSqlDatabase::removeDatabase("shared-records");
    return out;
}

} // namespace testsupport

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The series records waiting in a store's outbox, one by one, as the server would get them.

#include "fleet/outbox.h"
#include "series/span_reader.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QVariant>
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

namespace testsupport {

struct SharedRecord {
    std::string unit, dataSet;
    std::int64_t segment = 0, position = 0;
    std::string hash, line, laptop;
    std::int64_t occurrence = 0;
    std::string after;
    std::int64_t afterOccurrence = 0;
    auto key() const { return std::tie(unit, dataSet, segment, position, hash, line); }
    // Its key on the server.
    auto serverKey() const {
        return std::tie(unit, dataSet, hash, occurrence, after, afterOccurrence);
    }
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
            q.exec(QStringLiteral("SELECT unit, data_set, segment, payload, laptop, position, "
                                  "facts FROM fleet_outbox WHERE kind = 'span' ORDER BY seq"));
            while (q.next()) {
                // As the pusher reads them: through the series' span reader.
                auto read =
                    series::readSharedSpan(db, q.value(3).toByteArray(), q.value(5).toLongLong(),
                                           std::size_t(q.value(6).toLongLong()));
                if (!read) {
                    ADD_FAILURE() << read.text();
                    continue;
                }
                std::vector<fleet::Outbox::SpanRecord>& records = *read;
                for (std::size_t k = 0; k < records.size(); ++k)
                    out.push_back({q.value(0).toString().toStdString(),
                                   q.value(1).toString().toStdString(), q.value(2).toLongLong(),
                                   q.value(5).toLongLong() + std::int64_t(k),
                                   records[k].hash.toStdString(),
                                   QJsonDocument::fromJson(records[k].payload)["line"]
                                       .toString()
                                       .toLatin1()
                                       .toStdString(),
                                   q.value(4).toString().toStdString(), records[k].occurrence,
                                   records[k].after.toStdString(), records[k].afterOccurrence});
            }
            q = QSqlQuery();
            db.close();
        }
    }
    QSqlDatabase::removeDatabase("shared-records");
    return out;
}

} // namespace testsupport

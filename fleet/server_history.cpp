// SPDX-License-Identifier: GPL-3.0-or-later
#include "fleet/server_history.h"

#include "fleet/pg_connection.h"
#include "fleet/server_schema.h"

#include <QJsonDocument>

namespace fleet {

ServerHistory readUnitHistory(const std::string& conninfo, const QString& unit,
                              const QString& thisLaptop, std::chrono::milliseconds timeout) {
    ServerHistory h;
    PgConnection pg;
    if (!pg.connect(conninfo, timeout, timeout)) {
        h.message = QStringLiteral("server not reachable: ") + QString::fromStdString(pg.error());
        return h;
    }
    const SchemaCheck check = checkServerSchema(pg);
    if (check.state != SchemaCheck::State::Matches) {
        h.message = check.message;
        return h;
    }
    const PgResult r =
        pg.exec("SELECT id::text, kind, (extract(epoch FROM occurred_at) * 1000)::bigint, "
                "(extract(epoch FROM received_at) * 1000)::bigint, laptop, payload::text "
                "FROM xrq.unit_history WHERE unit = $1 ORDER BY occurred_at DESC, arrival DESC",
                {PgParam::text(unit.toStdString())}, timeout);
    if (!r.ok()) {
        h.message = QStringLiteral("history not read: ") + QString::fromStdString(r.error());
        return h;
    }
    for (int i = 0; i < r.rows(); ++i) {
        HistoryEntry e;
        e.id = QString::fromStdString(r.value(i, 0));
        e.kind = QString::fromStdString(r.value(i, 1));
        e.occurredAt = std::stoll(r.value(i, 2));
        e.receivedAt = std::stoll(r.value(i, 3));
        e.laptop = QString::fromStdString(r.value(i, 4));
        e.otherLaptop = e.laptop != thisLaptop;
        e.payload = QJsonDocument::fromJson(QByteArray::fromStdString(r.value(i, 5))).object();
        h.entries.push_back(std::move(e));
    }
    h.ok = true;
    return h;
}

ServerSeries readSeriesRecords(const std::string& conninfo, const QString& unit,
                               const QString& dataSet, std::chrono::milliseconds timeout) {
    ServerSeries s;
    PgConnection pg;
    if (!pg.connect(conninfo, timeout, timeout)) {
        s.message = QStringLiteral("server not reachable: ") + QString::fromStdString(pg.error());
        return s;
    }
    const SchemaCheck check = checkServerSchema(pg);
    if (check.state != SchemaCheck::State::Matches) {
        s.message = check.message;
        return s;
    }
    const PgResult r =
        pg.exec("SELECT segment, position, chain_hash, laptop, payload::text "
                "FROM xrq.series_records WHERE unit = $1 AND data_set = $2 "
                "ORDER BY segment, position, arrival",
                {PgParam::text(unit.toStdString()), PgParam::text(dataSet.toStdString())}, timeout);
    if (!r.ok()) {
        s.message = QStringLiteral("records not read: ") + QString::fromStdString(r.error());
        return s;
    }
    s.records.reserve(static_cast<std::size_t>(r.rows()));
    for (int i = 0; i < r.rows(); ++i) {
        ServerSeriesRecord rec;
        rec.segment = std::stoll(r.value(i, 0));
        rec.position = std::stoll(r.value(i, 1));
        rec.chainHash = QString::fromStdString(r.value(i, 2));
        rec.laptop = QString::fromStdString(r.value(i, 3));
        rec.payload = QJsonDocument::fromJson(QByteArray::fromStdString(r.value(i, 4))).object();
        s.records.push_back(std::move(rec));
    }
    s.ok = true;
    return s;
}

QString historyLabel(const HistoryEntry& entry) {
    return entry.otherLaptop ? QStringLiteral("%1 (%2)").arg(entry.kind, entry.laptop) : entry.kind;
}

} // namespace fleet

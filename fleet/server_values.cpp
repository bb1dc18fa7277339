// SPDX-License-Identifier: GPL-3.0-or-later
#include "fleet/server_values.h"

#include "platform/checked_number.h"

#include <QRegularExpression>

namespace fleet {

std::string msSql(std::string_view timeExpression) {
    // numeric since PostgreSQL 14: rounding keeps 'Infinity' as it is, where ::bigint fails.
    return "pg_catalog.round(extract(epoch FROM " + std::string(timeExpression) + ") * 1000)::text";
}

std::optional<std::int64_t> msAt(const PgResult& r, int row, int column) {
    if (row >= r.rows() || r.isNull(row, column))
        return std::nullopt;
    return platform::parseEpochMs(r.value(row, column));
}

std::optional<std::int64_t> integerAt(const PgResult& r, int row, int column, std::int64_t least,
                                      std::int64_t most) {
    if (row >= r.rows() || r.isNull(row, column))
        return std::nullopt;
    return platform::parseInteger(r.value(row, column), least, most);
}

std::optional<double> finiteAt(const PgResult& r, int row, int column, double least, double most) {
    if (row >= r.rows() || r.isNull(row, column))
        return std::nullopt;
    return platform::parseFinite(r.value(row, column), least, most);
}

std::map<QString, QString> pushersOf(PgConnection& pg, const std::vector<QString>& ids,
                                     std::chrono::milliseconds timeout) {
    std::map<QString, QString> out;
    if (ids.empty())
        return out;
    // Only ids that are UUIDs reach the statement: the server's cast refuses the rest, and one
    // refused id would leave every pusher unnamed.
    static const QRegularExpression uuid(QStringLiteral(
        "^[0-9a-fA-F]{8}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{12}$"));
    QString list = QStringLiteral("{");
    bool any = false;
    for (const QString& id : ids)
        if (uuid.match(id).hasMatch()) {
            list += (any ? QStringLiteral(",") : QString()) + id;
            any = true;
        }
    if (!any)
        return out;
    list += QLatin1Char('}');
    const PgResult r =
        pg.exec("SELECT id::text, 'role ' || pushed_by FROM xrq.owned_events "
                "WHERE id = ANY($1::uuid[]) UNION ALL "
                "SELECT id::text, 'role ' || pushed_by FROM xrq.owned_kept_downloads "
                "WHERE id = ANY($1::uuid[])",
                {PgParam::text(list.toStdString())}, timeout);
    if (!r.ok())
        return out;
    for (int i = 0; i < r.rows(); ++i)
        out[QString::fromStdString(r.value(i, 0))] = QString::fromStdString(r.value(i, 1));
    return out;
}

} // namespace fleet

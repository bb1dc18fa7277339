// SPDX-License-Identifier: GPL-3.0-or-later
#include "fleet/visit_intervals.h"

#include "fleet/server_values.h"

namespace fleet {

namespace {

// Whether the server has the table (its schema may be older than this program's).
bool hasTable(PgConnection& c, std::chrono::milliseconds timeout, PgResult& r) {
    r = c.exec("SELECT pg_catalog.to_regclass('xrq.visit_intervals') IS NOT NULL", {}, timeout);
    return r.ok() && r.rows() == 1 && r.value(0, 0) == "t";
}

} // namespace

std::optional<int> VisitIntervals::of(const QString& unit) const {
    const auto own = units.constFind(unit);
    return own != units.constEnd() ? std::optional<int>(*own) : organisation;
}

InitOutcome setVisitInterval(const std::string& conninfo, int days,
                             const std::optional<QString>& unit,
                             std::chrono::milliseconds timeout) {
    InitOutcome o;
    if (days < 1 || days > kMostVisitIntervalDays) {
        o.message = QStringLiteral("a visit interval is 1 to %1 days").arg(kMostVisitIntervalDays);
        return o;
    }
    PgConnection c;
    if (!c.connect(conninfo, timeout, timeout)) {
        o.message = QStringLiteral("server not reached: ") + QString::fromStdString(c.error());
        return o;
    }
    PgResult r;
    if (!hasTable(c, timeout, r)) {
        o.message = r.ok()
                        ? QStringLiteral("the server's schema is older than visit intervals: "
                                         "its owner runs admin init-server first")
                        : QStringLiteral("server not read: ") + QString::fromStdString(r.error());
        return o;
    }
    r = c.exec("INSERT INTO xrq.visit_intervals (unit, days) VALUES ($1, $2)",
               {unit ? PgParam::text(unit->toStdString()) : PgParam::null(),
                PgParam::text(std::to_string(days))},
               timeout);
    if (!r.ok()) {
        o.message = QStringLiteral("visit interval not set: ") + QString::fromStdString(r.error());
        return o;
    }
    o.ok = true;
    o.message =
        unit ? QStringLiteral("unit %1 is late %2 days after its last visit").arg(*unit).arg(days)
             : QStringLiteral("units without their own interval are late %1 days after "
                              "their last visit")
                   .arg(days);
    if (unit) {
        r = c.exec("SELECT EXISTS (SELECT FROM xrq.events WHERE unit = $1)",
                   {PgParam::text(unit->toStdString())}, timeout);
        if (r.ok() && r.rows() == 1 && r.value(0, 0) != "t")
            o.message += QStringLiteral(" (the server holds nothing of it yet)");
    }
    return o;
}

VisitIntervals readVisitIntervals(PgConnection& c, std::chrono::milliseconds timeout,
                                  const std::optional<QString>& unit) {
    VisitIntervals v;
    PgResult r;
    if (!hasTable(c, timeout, r)) {
        v.ok = r.ok();
        v.error = QString::fromStdString(r.error());
        return v;
    }
    // The newest setting of each (NULL: the organisation's), by the order they were written.
    const std::string newest = "SELECT DISTINCT ON (unit) unit, days FROM xrq.visit_intervals ";
    r = unit ? c.exec(newest + "WHERE unit IS NULL OR unit = $1 ORDER BY unit, id DESC",
                      {PgParam::text(unit->toStdString())}, timeout)
             : c.exec(newest + "ORDER BY unit, id DESC", {}, timeout);
    if (!r.ok()) {
        v.error = QString::fromStdString(r.error());
        return v;
    }
    for (int i = 0; i < r.rows(); ++i) {
        // The server's check keeps days from 1 to 3650; a row that is not is no interval.
        const std::optional<std::int64_t> days = integerAt(r, i, 1, 1, 3650);
        if (!days)
            continue;
        if (r.isNull(i, 0))
            v.organisation = int(*days);
        else
            v.units.insert(QString::fromStdString(r.value(i, 0)), int(*days));
    }
    v.ok = true;
    return v;
}

} // namespace fleet

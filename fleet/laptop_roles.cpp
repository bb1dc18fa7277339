// SPDX-License-Identifier: GPL-3.0-or-later
#include "fleet/laptop_roles.h"

#include <QDateTime>
#include <QStringList>

#include <limits>

namespace fleet {

namespace {

QString text(const std::string& s) {
    return QString::fromStdString(s);
}

// Connects as the owner and checks that the server has laptop bindings (schema 10).
bool openOwner(PgConnection& c, const std::string& conninfo, std::chrono::milliseconds timeout,
               InitOutcome& o) {
    if (!c.connect(conninfo, timeout, timeout)) {
        o.message = QStringLiteral("server not reached: ") + text(c.error());
        return false;
    }
    const PgResult r =
        c.exec("SELECT pg_catalog.to_regclass('xrq.role_trust') IS NOT NULL", {}, timeout);
    if (!r.ok() || r.rows() != 1) {
        o.message = QStringLiteral("server not read: ") + text(r.error());
        return false;
    }
    if (r.value(0, 0) != "t") {
        o.message = QStringLiteral("the server's schema is older than laptop roles: its owner "
                                   "runs admin init-server first");
        return false;
    }
    return true;
}

// Whether `role` is a login role that may push as a laptop; `why` says what it is not.
bool laptopRole(PgConnection& c, const QString& role, std::chrono::milliseconds timeout,
                QString& why) {
    const PgResult r =
        c.exec("SELECT r.rolcanlogin, EXISTS (WITH RECURSIVE m(oid) AS (SELECT r.oid UNION "
               "SELECT a.roleid FROM pg_catalog.pg_auth_members a JOIN m ON a.member = m.oid) "
               "SELECT FROM m WHERE m.oid = 'xrq_laptop'::regrole) FROM pg_catalog.pg_roles r "
               "WHERE r.rolname = $1",
               {PgParam::text(role.toStdString())}, timeout);
    if (!r.ok()) {
        why = QStringLiteral("roles not read: ") + text(r.error());
        return false;
    }
    if (r.rows() != 1)
        why = QStringLiteral("there is no role %1").arg(role);
    else if (r.value(0, 0) != "t" || r.value(0, 1) != "t")
        why = QStringLiteral("%1 is not a login role given admin grant-laptop").arg(role);
    return why.isEmpty();
}

InitOutcome trust(const std::string& conninfo, const QString& role, bool disowned,
                  std::optional<std::int64_t> sinceMs, std::chrono::milliseconds timeout) {
    InitOutcome o;
    PgConnection c;
    if (!openOwner(c, conninfo, timeout, o))
        return o;
    // A role dropped since is disowned all the same (its facts stay).
    PgResult r =
        c.exec("INSERT INTO xrq.role_trust (role, disowned, since) VALUES ($1, $2, "
               "coalesce(pg_catalog.to_timestamp($3::double precision / 1000), now())) RETURNING "
               "(extract(epoch FROM since) * 1000)::text, "
               "EXISTS (SELECT FROM pg_catalog.pg_roles WHERE rolname = $1)",
               {PgParam::text(role.toStdString()), PgParam::text(disowned ? "true" : "false"),
                sinceMs ? PgParam::text(std::to_string(*sinceMs)) : PgParam::null()},
               timeout);
    if (!r.ok() || r.rows() != 1) {
        o.message = QStringLiteral("not done: ") + text(r.error());
        return o;
    }
    o.ok = true;
    if (!disowned) {
        o.message = QStringLiteral("the facts role %1 pushed are read again").arg(role);
    } else {
        bool finite = false;
        const double ms = QString::fromStdString(r.value(0, 0)).toDouble(&finite);
        o.message = QStringLiteral("every reader now leaves out the facts role %1 pushed %2")
                        .arg(role, finite ? QStringLiteral("since %1")
                                                .arg(QDateTime::fromMSecsSinceEpoch(
                                                         static_cast<qint64>(ms), Qt::UTC)
                                                         .toString(Qt::ISODate))
                                          : QStringLiteral("at any time"));
    }
    if (r.value(0, 1) != "t")
        o.message += QStringLiteral(" (the server has no role %1 now)").arg(role);
    return o;
}

} // namespace

InitOutcome moveLaptop(const std::string& conninfo, const QString& laptopId, const QString& role,
                       std::chrono::milliseconds timeout) {
    InitOutcome o;
    PgConnection c;
    if (!openOwner(c, conninfo, timeout, o))
        return o;
    QString why;
    if (!laptopRole(c, role, timeout, why)) {
        o.message = QStringLiteral("laptop not moved: ") + why;
        return o;
    }
    const PgResult r =
        c.exec("INSERT INTO xrq.laptop_roles (laptop_id, role) VALUES ($1::uuid, "
               "$2) RETURNING laptop_id::text",
               {PgParam::text(laptopId.toStdString()), PgParam::text(role.toStdString())}, timeout);
    if (!r.ok() || r.rows() != 1) {
        o.message = QStringLiteral("laptop not moved: ") + text(r.error());
        return o;
    }
    o.ok = true;
    o.message = QStringLiteral("laptop %1 now pushes as role %2").arg(text(r.value(0, 0)), role);
    return o;
}

InitOutcome disownRole(const std::string& conninfo, const QString& role,
                       std::optional<std::int64_t> sinceMs, std::chrono::milliseconds timeout) {
    return trust(conninfo, role, true, sinceMs, timeout);
}

InitOutcome ownRole(const std::string& conninfo, const QString& role,
                    std::chrono::milliseconds timeout) {
    return trust(conninfo, role, false, std::nullopt, timeout);
}

std::optional<std::int64_t> parseSinceTime(const QString& text) {
    // Qt's ISO 8601 reader, for the owner's command line: a date alone is its midnight.
    const QDate day = text.size() == 10 ? QDate::fromString(text, Qt::ISODate) : QDate();
    QDateTime at = day.isValid() ? QDateTime(day, QTime(0, 0), Qt::UTC)
                                 : QDateTime::fromString(text, Qt::ISODate);
    if (!at.isValid() || text.size() < 10)
        return std::nullopt;
    if (at.timeSpec() == Qt::LocalTime)
        at.setTimeSpec(Qt::UTC); // no offset given: UTC, as every TIME of xrq-series
    return at.toMSecsSinceEpoch();
}

platform::Result<std::vector<DisownedRole>> readDisownedRoles(PgConnection& connection,
                                                              std::chrono::milliseconds timeout) {
    // -infinity reads as no number: all of the role's facts.
    const PgResult r = connection.exec("SELECT role, CASE WHEN pg_catalog.isfinite(since) THEN "
                                       "(extract(epoch FROM since) * 1000)::bigint::text END "
                                       "FROM xrq.disowned_roles ORDER BY role",
                                       {}, timeout);
    if (!r.ok())
        return platform::makeError(platform::ErrorKind::Server,
                                   "disowned roles not read: " + r.error());
    std::vector<DisownedRole> out;
    for (int i = 0; i < r.rows(); ++i) {
        bool ok = false;
        const qlonglong ms = QString::fromStdString(r.value(i, 1)).toLongLong(&ok);
        out.push_back({text(r.value(i, 0)),
                       ok ? std::int64_t(ms) : std::numeric_limits<std::int64_t>::min()});
    }
    return out;
}

platform::Result<QString> readDisownedNote(PgConnection& connection,
                                           std::chrono::milliseconds timeout) {
    platform::Result<std::vector<DisownedRole>> roles = readDisownedRoles(connection, timeout);
    if (!roles)
        return roles.error();
    return disownedNote(*roles);
}

QString disownedNote(const std::vector<DisownedRole>& roles) {
    QStringList each;
    for (const DisownedRole& d : roles)
        each << (d.sinceMs == std::numeric_limits<std::int64_t>::min()
                     ? QStringLiteral("role %1").arg(d.role)
                     : QStringLiteral("role %1 since %2")
                           .arg(d.role, QDateTime::fromMSecsSinceEpoch(d.sinceMs, Qt::UTC)
                                            .toString(QStringLiteral("yyyy-MM-dd HH:mm 'UTC'"))));
    if (each.isEmpty())
        return {};
    return QStringLiteral("left out: facts pushed by ") + each.join(QStringLiteral(", ")) +
           QStringLiteral(" (disowned)");
}

bool clockAhead(std::int64_t occurredMs, std::int64_t receivedMs) {
    // The difference in unsigned arithmetic: any two times, however far apart, give it
    // without overflow once the order is known.
    return occurredMs > receivedMs &&
           static_cast<std::uint64_t>(occurredMs) - static_cast<std::uint64_t>(receivedMs) >
               static_cast<std::uint64_t>(kClockAheadMarginMs);
}

namespace {
// A column of the row `alias` ("" for columns named alone).
std::string columnOf(std::string_view alias, const char* column) {
    return alias.empty() ? std::string(column) : std::string(alias) + "." + column;
}
} // namespace

std::string clockAheadSql(std::string_view alias) {
    // A row with no received_at (none of the fact tables allows one, but a view or a server
    // mended by hand might) or one after the server's now is judged against the server's now:
    // LEAST passes over a NULL, and no fact was received after now.
    return "(" + columnOf(alias, "occurred_at") + " > LEAST(" + columnOf(alias, "received_at") +
           ", pg_catalog.now()) + interval '" + std::to_string(kClockAheadMarginMs / 1000) +
           " seconds')";
}

std::string timeTakenSql(std::string_view alias) {
    return "(" + columnOf(alias, "occurred_at") + " > '-infinity'::timestamptz AND NOT " +
           clockAheadSql(alias) + ")";
}

} // namespace fleet

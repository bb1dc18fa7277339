// SPDX-License-Identifier: GPL-3.0-or-later
#include "fleet/site_fact_writes.h"

#include "fleet/server_values.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QUuid>

#include <algorithm>
#include <cmath>

namespace fleet {

namespace {

constexpr std::int64_t kMostMs = 253402300799999; // 9999-12-31T23:59:59.999Z
constexpr std::int64_t kDayMs = 86400000;

// The server's text rule (xrq.text_fault): at most `most` characters, no control characters
// (but line ends and tabs where `lines`), not blank where `needed`.
QString textFault(const char* name, const QString& v, int most, bool needed, bool lines = false) {
    if (needed && v.trimmed().isEmpty())
        return QString::fromLatin1(name) + QStringLiteral(" is empty");
    if (v.size() > most)
        return QStringLiteral("%1 is longer than %2 characters").arg(QLatin1String(name)).arg(most);
    for (const QChar c : v) {
        const ushort u = c.unicode();
        if ((u < 0x20 || u == 0x7f) && !(lines && (u == '\n' || u == '\r' || u == '\t')))
            return QString::fromLatin1(name) + QStringLiteral(" holds a control character");
        if (u == 0xfffd)
            return QString::fromLatin1(name) +
                   QStringLiteral(" holds bytes that are not UTF-8 (U+FFFD)");
    }
    return {};
}

QString timeFault(const char* name, std::int64_t ms) {
    return ms < -kMostMs || ms > kMostMs
               ? QString::fromLatin1(name) + QStringLiteral(" is not a time from year 1 to 9999")
               : QString();
}

QString firstOf(std::initializer_list<QString> faults) {
    for (const QString& f : faults)
        if (!f.isEmpty())
            return f;
    return {};
}

QJsonValue ms(std::int64_t v) {
    return QJsonValue(qint64(v));
}

QByteArray payloadOf(const SiteFactValue& value, bool withdrawn) {
    QJsonObject o;
    const auto put = [&](const char* k, const QString& v, bool always = true) {
        if (always || !v.isEmpty())
            o.insert(QLatin1String(k), v);
    };
    std::visit(
        [&](const auto& v) {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, Site>) {
                put("code", v.code);
                put("name", v.name);
                put("description", v.description);
                o.insert(QLatin1String("longitude"), v.longitude);
                o.insert(QLatin1String("latitude"), v.latitude);
                if (v.elevation)
                    o.insert(QLatin1String("elevation"), *v.elevation);
                if (v.visitDays)
                    o.insert(QLatin1String("visit_days"), *v.visitDays);
            } else if constexpr (std::is_same_v<T, Deployment>) {
                put("unit", v.unit);
                put("site", v.site);
                o.insert(QLatin1String("from"), ms(v.fromMs));
            } else if constexpr (std::is_same_v<T, Removal>) {
                put("unit", v.unit);
                o.insert(QLatin1String("at"), ms(v.atMs));
            } else if constexpr (std::is_same_v<T, ColumnMeaning>) {
                put("unit", v.unit, false);
                put("data_set", v.dataSet);
                o.insert(QLatin1String("column"), v.column);
                o.insert(QLatin1String("from"), ms(v.fromMs));
                put("property", v.property);
                put("definition", v.definition, false);
                put("uom_code", v.uom.code);
                put("uom_symbol", v.uom.symbol, false);
                put("uom_name", v.uom.name, false);
            } else if constexpr (std::is_same_v<T, Calibration>) {
                put("unit", v.unit, false);
                put("data_set", v.dataSet);
                o.insert(QLatin1String("column"), v.column);
                o.insert(QLatin1String("from"), ms(v.fromMs));
                if (v.toMs)
                    o.insert(QLatin1String("to"), ms(*v.toMs));
                o.insert(QLatin1String("a"), v.a);
                o.insert(QLatin1String("b"), v.b);
            } else {
                put("id", v.id);
                put("site", v.site, false);
                put("unit", v.unit, false);
                o.insert(QLatin1String("at"), ms(v.atMs));
                put("category", noteCategoryName(v.category));
                put("text", v.text);
                put("by", v.by, false);
            }
        },
        value);
    if (withdrawn)
        o.insert(QLatin1String("withdrawn"), true);
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

SiteFactKind kindOf(const SiteFactValue& value) {
    return static_cast<SiteFactKind>(value.index());
}

QString err(const SiteFactToAdd& f, std::size_t i, const QString& what) {
    return (f.where.isEmpty() ? QStringLiteral("fact %1").arg(i + 1) : f.where) +
           QStringLiteral(": ") + what;
}

// What the checks below read of the server: the sites the facts name, the units they deploy or
// remove, the data sets they calibrate; nothing of the other sites, units and columns.
SiteFactScope scopeOf(const std::vector<SiteFactToAdd>& facts) {
    SiteFactScope scope;
    const auto add = [](std::vector<QString>& to, const QString& v) {
        if (!v.isEmpty() && std::find(to.begin(), to.end(), v) == to.end())
            to.push_back(v);
    };
    for (const SiteFactToAdd& f : facts) {
        if (const auto* d = std::get_if<Deployment>(&f.value)) {
            add(scope.sites, d->site);
            add(scope.units, d->unit);
        } else if (const auto* m = std::get_if<Removal>(&f.value)) {
            add(scope.units, m->unit);
        } else if (const auto* k = std::get_if<Calibration>(&f.value)) {
            add(scope.dataSets, k->dataSet);
        } else if (const auto* n = std::get_if<FieldNote>(&f.value)) {
            add(scope.sites, n->site);
        }
    }
    return scope;
}

} // namespace

QByteArray siteFactPayload(const SiteFactValue& value, bool withdrawn) {
    return payloadOf(value, withdrawn);
}

QString siteFactFault(const SiteFactValue& value) {
    static const QRegularExpression code(QStringLiteral("^[A-Za-z0-9][A-Za-z0-9._-]{0,39}$"));
    static const QRegularExpression uuid(
        QStringLiteral("^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$"));
    return std::visit(
        [&](const auto& v) -> QString {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, Site>) {
                if (!code.match(v.code).hasMatch())
                    return QStringLiteral("site code \"%1\" is not 1 to 40 letters, digits, "
                                          "\".\", \"_\" and \"-\"")
                        .arg(v.code.left(40));
                if (!std::isfinite(v.longitude) || v.longitude < -180 || v.longitude > 180)
                    return QStringLiteral("longitude %1 is not within -180 to 180")
                        .arg(v.longitude);
                if (!std::isfinite(v.latitude) || v.latitude < -90 || v.latitude > 90)
                    return QStringLiteral("latitude %1 is not within -90 to 90").arg(v.latitude);
                if (v.elevation &&
                    (!std::isfinite(*v.elevation) || *v.elevation < -12000 || *v.elevation > 9000))
                    return QStringLiteral("elevation %1 m is not within -12000 to 9000")
                        .arg(*v.elevation);
                if (v.visitDays && (*v.visitDays < 1 || *v.visitDays > 3650))
                    return QStringLiteral("a visit interval is 1 to 3650 days");
                return firstOf({textFault("name", v.name, 200, true),
                                textFault("description", v.description, 4000, false, true)});
            } else if constexpr (std::is_same_v<T, Deployment>) {
                return firstOf({textFault("unit", v.unit, 64, true),
                                textFault("site", v.site, 40, true), timeFault("from", v.fromMs)});
            } else if constexpr (std::is_same_v<T, Removal>) {
                return firstOf({textFault("unit", v.unit, 64, true), timeFault("at", v.atMs)});
            } else if constexpr (std::is_same_v<T, ColumnMeaning>) {
                if (v.column < 1 || v.column > 1000)
                    return QStringLiteral("column %1 is not within 1 to 1000").arg(v.column);
                return firstOf({textFault("unit", v.unit, 64, false),
                                textFault("data set", v.dataSet, 200, true),
                                timeFault("from", v.fromMs),
                                textFault("property", v.property, 200, true),
                                textFault("definition", v.definition, 2000, false),
                                textFault("unit of measurement", v.uom.code, 40, true),
                                textFault("symbol", v.uom.symbol, 40, false),
                                textFault("unit's name", v.uom.name, 200, false)});
            } else if constexpr (std::is_same_v<T, Calibration>) {
                if (v.column < 1 || v.column > 1000)
                    return QStringLiteral("column %1 is not within 1 to 1000").arg(v.column);
                if (!std::isfinite(v.a) || !std::isfinite(v.b))
                    return QStringLiteral("a and b are not finite numbers");
                if (v.toMs && *v.toMs <= v.fromMs)
                    return QStringLiteral("the window ends before it starts");
                return firstOf({textFault("unit", v.unit, 64, false),
                                textFault("data set", v.dataSet, 200, true),
                                timeFault("from", v.fromMs),
                                v.toMs ? timeFault("to", *v.toMs) : QString()});
            } else {
                if (!uuid.match(v.id).hasMatch())
                    return QStringLiteral("a note's id is not a UUID");
                if (v.site.isEmpty() && v.unit.isEmpty())
                    return QStringLiteral("a note is about a site or a unit");
                return firstOf({textFault("site", v.site, 40, false),
                                textFault("unit", v.unit, 64, false), timeFault("at", v.atMs),
                                textFault("text", v.text, 4000, true, true),
                                textFault("by", v.by, 200, false)});
            }
        },
        value);
}

// Whole: one transaction from the payloads' checks to the commit, rolled back at each failure.
AddedSiteFacts addSiteFacts(PgConnection& c, const std::vector<SiteFactToAdd>& facts,
                            std::chrono::milliseconds timeout) {
    AddedSiteFacts out;
    for (std::size_t i = 0; i < facts.size(); ++i)
        if (const QString fault = siteFactFault(facts[i].value); !fault.isEmpty()) {
            out.error = err(facts[i], i, fault);
            return out;
        }
    const auto failed = [&](const QString& what, const PgResult& r) {
        c.exec("ROLLBACK", {}, timeout);
        out.error = what + QString::fromStdString(r.error());
        out.added = out.alreadyHeld = 0;
        return out;
    };
    PgResult r = c.exec("BEGIN", {}, timeout);
    // One writer of site facts at a time: the checks below read what the others wrote.
    if (r.ok())
        r = c.exec("SELECT pg_catalog.pg_advisory_xact_lock(7233003)", {}, timeout);
    if (!r.ok())
        return failed(QStringLiteral("site facts not added: "), r);
    SiteFacts held = readSiteFacts(c, timeout, scopeOf(facts));
    if (!held.ok) {
        c.exec("ROLLBACK", {}, timeout);
        out.error = held.error.isEmpty() ? QStringLiteral("the server's schema is older than "
                                                          "site facts: its owner runs admin "
                                                          "init-server first")
                                         : held.error;
        return out;
    }
    const auto refuse = [&](const SiteFactToAdd& f, std::size_t i, const QString& why) {
        c.exec("ROLLBACK", {}, timeout);
        out.error = err(f, i, why);
        out.added = out.alreadyHeld = 0;
        return out;
    };
    for (std::size_t i = 0; i < facts.size(); ++i) {
        const SiteFactToAdd& f = facts[i];
        if (!f.withdrawn) {
            if (const auto* d = std::get_if<Deployment>(&f.value)) {
                if (!held.site(d->site))
                    return refuse(f, i, QStringLiteral("unknown site %1").arg(d->site.left(40)));
                // A unit the server knows was first seen at some time: a deployment before that
                // day is a mistake (one the server holds nothing of yet may be deployed first).
                r = c.exec("SELECT " + msSql("pg_catalog.min(occurred_at)") +
                               " FROM xrq.owned_events WHERE unit = $1",
                           {PgParam::text(d->unit.toStdString())}, timeout);
                if (!r.ok())
                    return failed(QStringLiteral("site facts not added: "), r);
                if (const auto first = msAt(r, 0, 0);
                    first && d->fromMs < *first - (*first % kDayMs + kDayMs) % kDayMs)
                    return refuse(f, i,
                                  QStringLiteral("unit %1 is deployed before it existed (the "
                                                 "server first knew it on that day's %2 ms)")
                                      .arg(d->unit.left(64))
                                      .arg(*first));
            } else if (const auto* m = std::get_if<Removal>(&f.value)) {
                bool deployed = false;
                for (const Deployment& d : held.deployments)
                    deployed = deployed || (d.unit == m->unit && d.fromMs < m->atMs);
                if (!deployed)
                    return refuse(f, i,
                                  QStringLiteral("unit %1 is not deployed before its removal")
                                      .arg(m->unit.left(64)));
            } else if (const auto* k = std::get_if<Calibration>(&f.value)) {
                if (const Calibration* o = overlappingCalibration(held.calibrations, *k))
                    return refuse(f, i,
                                  QStringLiteral("the calibration window overlaps the one from "
                                                 "%1 ms of the same column")
                                      .arg(o->fromMs));
            } else if (const auto* n = std::get_if<FieldNote>(&f.value)) {
                if (!n->site.isEmpty() && !held.site(n->site))
                    return refuse(f, i, QStringLiteral("unknown site %1").arg(n->site.left(40)));
            }
        }
        const QByteArray payload = payloadOf(f.value, f.withdrawn);
        const std::string kind = siteFactKindName(kindOf(f.value));
        r = c.exec("INSERT INTO xrq.site_facts (id, kind, occurred_at, laptop, payload) "
                   "SELECT $1::uuid, $2, pg_catalog.now(), '', $3::jsonb WHERE (SELECT payload "
                   "FROM xrq.owned_site_facts WHERE kind = $2 AND key = "
                   "xrq.site_fact_key($2, $3::jsonb) ORDER BY arrival DESC LIMIT 1) "
                   "IS DISTINCT FROM $3::jsonb RETURNING id",
                   {PgParam::text(QUuid::createUuid().toString(QUuid::WithoutBraces).toStdString()),
                    PgParam::text(kind), PgParam::text(payload.toStdString())},
                   timeout);
        if (!r.ok())
            return refuse(f, i, QString::fromStdString(r.error()));
        if (r.rows() == 1) {
            ++out.added;
            // What later facts of this call are checked against.
            SiteFactRecord added;
            added.kind = kindOf(f.value);
            added.value = f.value;
            added.withdrawn = f.withdrawn;
            std::vector<SiteFactRecord> one{added};
            const SiteFacts more = currentSiteFacts(one);
            if (f.withdrawn)
                continue;
            held.sites.insert(held.sites.end(), more.sites.begin(), more.sites.end());
            held.deployments.insert(held.deployments.end(), more.deployments.begin(),
                                    more.deployments.end());
            held.calibrations.insert(held.calibrations.end(), more.calibrations.begin(),
                                     more.calibrations.end());
        } else {
            ++out.alreadyHeld;
        }
    }
    r = c.exec("COMMIT", {}, timeout);
    if (!r.ok())
        return failed(QStringLiteral("site facts not added: "), r);
    out.ok = true;
    return out;
}

} // namespace fleet

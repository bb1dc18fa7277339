// SPDX-License-Identifier: GPL-3.0-or-later
#include "fleet/site_facts.h"

#include "fleet/server_values.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <algorithm>
#include <map>
#include <set>

namespace fleet {

namespace {

constexpr std::int64_t kMostMs = 253402300799999; // 9999-12-31T23:59:59.999Z

// The payload's fields every reader takes, in the order readSql selects them after the
// fact's own columns.
const char* const kFields[] = {"code",      "name",       "description", "longitude", "latitude",
                               "elevation", "visit_days", "unit",        "site",      "from",
                               "at",        "data_set",   "column",      "property",  "definition",
                               "uom_code",  "uom_symbol", "uom_name",    "to",        "a",
                               "b",         "id",         "category",    "text",      "by"};
enum Field {
    Code,
    Name,
    Description,
    Longitude,
    Latitude,
    Elevation,
    VisitDays,
    Unit,
    SiteCode,
    From,
    At,
    DataSet,
    Column,
    Property,
    Definition,
    UomCode,
    UomSymbol,
    UomName,
    To,
    A,
    B,
    Id,
    Category,
    Text,
    By,
    FieldCount
};
constexpr int kOwnColumns = 7; // kind, key, withdrawn, received, pushed_by, laptop, arrival

std::string readSql() {
    std::string sql = "SELECT kind, key, payload ->> 'withdrawn', " + msSql("received_at") +
                      ", pushed_by, laptop, arrival";
    for (const char* f : kFields)
        sql += std::string(", payload ->> '") + f + "'";
    return sql + " FROM xrq.owned_site_facts";
}

bool hasTable(PgConnection& c, std::chrono::milliseconds timeout, PgResult& r) {
    r = c.exec("SELECT pg_catalog.to_regclass('xrq.site_facts') IS NOT NULL", {}, timeout);
    return r.ok() && r.rows() == 1 && r.value(0, 0) == "t";
}

// One row of readSql as a fact, or why not.
// Whole: one checked read per field of each kind, in the order of the kinds' payloads.
std::optional<SiteFactRecord> factAt(const PgResult& r, int row, QString& why) {
    const auto text = [&](int field) {
        const int c = kOwnColumns + field;
        return r.isNull(row, c) ? QString() : QString::fromStdString(r.value(row, c));
    };
    const auto ms = [&](int field) {
        return integerAt(r, row, kOwnColumns + field, -kMostMs, kMostMs);
    };
    const auto number = [&](int field, double least, double most) {
        return finiteAt(r, row, kOwnColumns + field, least, most);
    };
    const auto column = [&] { return integerAt(r, row, kOwnColumns + Column, 1, 1000); };
    SiteFactRecord f;
    const std::optional<SiteFactKind> kind = siteFactKindFromName(r.value(row, 0));
    if (!kind) {
        why = QStringLiteral("a site fact of kind %1 this program does not know")
                  .arg(QString::fromStdString(r.value(row, 0)).left(40));
        return std::nullopt;
    }
    f.kind = *kind;
    f.key = QString::fromStdString(r.value(row, 1));
    f.withdrawn = r.value(row, 2) == "true";
    f.receivedMs = msAt(r, row, 3).value_or(0);
    f.pushedBy = QString::fromStdString(r.value(row, 4));
    f.laptop = QString::fromStdString(r.value(row, 5));
    f.arrival = integerAt(r, row, 6, 0, std::numeric_limits<std::int64_t>::max()).value_or(0);
    const auto bad = [&](const char* what) {
        why = QStringLiteral("%1 %2: %3 is not readable")
                  .arg(QString::fromLatin1(siteFactKindName(f.kind)), f.key.left(60),
                       QString::fromLatin1(what));
        return std::nullopt;
    };
    switch (f.kind) {
    case SiteFactKind::Site: {
        Site s;
        s.code = text(Code);
        s.name = text(Name);
        s.description = text(Description);
        const auto lon = number(Longitude, -180, 180), lat = number(Latitude, -90, 90);
        if (s.code.isEmpty() || !lon || !lat)
            return bad("its code or position");
        s.longitude = *lon;
        s.latitude = *lat;
        if (!r.isNull(row, kOwnColumns + Elevation)) {
            s.elevation = number(Elevation, -12000, 9000);
            if (!s.elevation)
                return bad("elevation");
        }
        if (!r.isNull(row, kOwnColumns + VisitDays)) {
            const auto days = integerAt(r, row, kOwnColumns + VisitDays, 1, 3650);
            if (!days)
                return bad("visit_days");
            s.visitDays = int(*days);
        }
        f.value = s;
        break;
    }
    case SiteFactKind::Deployment: {
        Deployment d;
        d.unit = text(Unit);
        d.site = text(SiteCode);
        const auto from = ms(From);
        if (d.unit.isEmpty() || d.site.isEmpty() || !from)
            return bad("its unit, site or time");
        d.fromMs = *from;
        f.value = d;
        break;
    }
    case SiteFactKind::Removal: {
        Removal m;
        m.unit = text(Unit);
        const auto at = ms(At);
        if (m.unit.isEmpty() || !at)
            return bad("its unit or time");
        m.atMs = *at;
        f.value = m;
        break;
    }
    case SiteFactKind::Meaning: {
        ColumnMeaning m;
        m.unit = text(Unit);
        m.dataSet = text(DataSet);
        const auto c = column();
        const auto from = ms(From);
        m.property = text(Property);
        m.definition = text(Definition);
        m.uom.code = text(UomCode);
        m.uom.symbol = text(UomSymbol);
        m.uom.name = text(UomName);
        if (m.dataSet.isEmpty() || !c || !from || m.property.isEmpty())
            return bad("its data set, column, time or property");
        m.column = int(*c);
        m.fromMs = *from;
        f.value = m;
        break;
    }
    case SiteFactKind::Calibration: {
        Calibration k;
        k.unit = text(Unit);
        k.dataSet = text(DataSet);
        const auto c = column();
        const auto from = ms(From);
        const auto a = number(A, -1e300, 1e300), b = number(B, -1e300, 1e300);
        if (k.dataSet.isEmpty() || !c || !from || !a || !b)
            return bad("its data set, column, time or coefficients");
        if (!r.isNull(row, kOwnColumns + To)) {
            k.toMs = ms(To);
            if (!k.toMs || *k.toMs <= *from)
                return bad("its window's end");
        }
        k.column = int(*c);
        k.fromMs = *from;
        k.a = *a;
        k.b = *b;
        f.value = k;
        break;
    }
    case SiteFactKind::Note: {
        FieldNote n;
        n.id = text(Id);
        n.site = text(SiteCode);
        n.unit = text(Unit);
        const auto at = ms(At);
        const auto category = noteCategoryFromName(text(Category));
        n.text = text(Text);
        n.by = text(By);
        if (n.id.isEmpty() || (n.site.isEmpty() && n.unit.isEmpty()) || !at || !category)
            return bad("its id, subject, time or category");
        n.atMs = *at;
        n.category = *category;
        f.value = n;
        break;
    }
    }
    return f;
}

// The facts that count of those read, with what was read of them.
SiteFacts currentOf(const std::vector<SiteFactRecord>& facts, const UnreadFacts& unread) {
    SiteFacts out = currentSiteFacts(facts);
    out.unread = unread;
    out.factsRead = static_cast<long long>(facts.size());
    for (const SiteFactRecord& f : facts)
        out.newestArrival = std::max(out.newestArrival, f.arrival);
    return out;
}

bool readFacts(PgConnection& c, std::chrono::milliseconds timeout, const std::string& where,
               const std::vector<PgParam>& params, std::vector<SiteFactRecord>& facts,
               UnreadFacts& unread, QString& error) {
    const PgResult r = c.exec(readSql() + where + " ORDER BY arrival", params, timeout);
    if (!r.ok()) {
        error = QStringLiteral("site facts not read: ") + QString::fromStdString(r.error());
        return false;
    }
    facts.reserve(std::size_t(r.rows()));
    for (int i = 0; i < r.rows(); ++i) {
        QString why;
        if (auto f = factAt(r, i, why))
            facts.push_back(std::move(*f));
        else
            unread.add(QStringLiteral("role ") + QString::fromStdString(r.value(i, 4)), why);
    }
    return true;
}

} // namespace

const std::vector<UnitOfMeasure>& commonUnits() {
    // Hand-kept: the units the field's sensors report in, by their UCUM codes (no Debian
    // package carries UCUM's table), symbols as the office shows them.
    static const std::vector<UnitOfMeasure> units = {
        {QStringLiteral("Cel"), QStringLiteral("°C"), QStringLiteral("degree Celsius")},
        {QStringLiteral("K"), QStringLiteral("K"), QStringLiteral("kelvin")},
        {QStringLiteral("%"), QStringLiteral("%"), QStringLiteral("percent")},
        {QStringLiteral("hPa"), QStringLiteral("hPa"), QStringLiteral("hectopascal")},
        {QStringLiteral("kPa"), QStringLiteral("kPa"), QStringLiteral("kilopascal")},
        {QStringLiteral("Pa"), QStringLiteral("Pa"), QStringLiteral("pascal")},
        {QStringLiteral("bar"), QStringLiteral("bar"), QStringLiteral("bar")},
        {QStringLiteral("m"), QStringLiteral("m"), QStringLiteral("metre")},
        {QStringLiteral("cm"), QStringLiteral("cm"), QStringLiteral("centimetre")},
        {QStringLiteral("mm"), QStringLiteral("mm"), QStringLiteral("millimetre")},
        {QStringLiteral("m/s"), QStringLiteral("m/s"), QStringLiteral("metre per second")},
        {QStringLiteral("m3/s"), QStringLiteral("m³/s"), QStringLiteral("cubic metre per second")},
        {QStringLiteral("L/s"), QStringLiteral("L/s"), QStringLiteral("litre per second")},
        {QStringLiteral("deg"), QStringLiteral("°"), QStringLiteral("degree (angle)")},
        {QStringLiteral("V"), QStringLiteral("V"), QStringLiteral("volt")},
        {QStringLiteral("mV"), QStringLiteral("mV"), QStringLiteral("millivolt")},
        {QStringLiteral("A"), QStringLiteral("A"), QStringLiteral("ampere")},
        {QStringLiteral("mA"), QStringLiteral("mA"), QStringLiteral("milliampere")},
        {QStringLiteral("mS/cm"), QStringLiteral("mS/cm"),
         QStringLiteral("millisiemens per centimetre")},
        {QStringLiteral("uS/cm"), QStringLiteral("µS/cm"),
         QStringLiteral("microsiemens per centimetre")},
        {QStringLiteral("mg/L"), QStringLiteral("mg/L"), QStringLiteral("milligram per litre")},
        {QStringLiteral("[NTU]"), QStringLiteral("NTU"),
         QStringLiteral("nephelometric turbidity unit")},
        {QStringLiteral("[pH]"), QStringLiteral("pH"), QStringLiteral("pH")},
        {QStringLiteral("lx"), QStringLiteral("lx"), QStringLiteral("lux")},
        {QStringLiteral("W/m2"), QStringLiteral("W/m²"), QStringLiteral("watt per square metre")},
        {QStringLiteral("mm/h"), QStringLiteral("mm/h"), QStringLiteral("millimetre per hour")},
        {QStringLiteral("[ppm]"), QStringLiteral("ppm"), QStringLiteral("part per million")},
        {QStringLiteral("1"), QStringLiteral(""), QStringLiteral("count or ratio")},
    };
    return units;
}

std::optional<UnitOfMeasure> commonUnit(const QString& code) {
    for (const UnitOfMeasure& u : commonUnits())
        if (u.code == code)
            return u;
    // "NTU" as it is often written for UCUM's "[NTU]", and the same for pH.
    if (code == QStringLiteral("NTU") || code == QStringLiteral("pH"))
        return commonUnit(QLatin1Char('[') + code + QLatin1Char(']'));
    return std::nullopt;
}

QString noteCategoryName(NoteCategory category) {
    switch (category) {
    case NoteCategory::Maintenance:
        return QStringLiteral("maintenance");
    case NoteCategory::Calibration:
        return QStringLiteral("calibration");
    case NoteCategory::Damage:
        return QStringLiteral("damage");
    case NoteCategory::Other:
        break;
    }
    return QStringLiteral("other");
}

std::optional<NoteCategory> noteCategoryFromName(const QString& name) {
    for (NoteCategory c : {NoteCategory::Maintenance, NoteCategory::Calibration,
                           NoteCategory::Damage, NoteCategory::Other})
        if (name == noteCategoryName(c))
            return c;
    return std::nullopt;
}

const char* siteFactKindName(SiteFactKind kind) {
    switch (kind) {
    case SiteFactKind::Site:
        return "site";
    case SiteFactKind::Deployment:
        return "deployment";
    case SiteFactKind::Removal:
        return "removal";
    case SiteFactKind::Meaning:
        return "meaning";
    case SiteFactKind::Calibration:
        return "calibration";
    case SiteFactKind::Note:
        break;
    }
    return "note";
}

std::optional<SiteFactKind> siteFactKindFromName(std::string_view name) {
    for (SiteFactKind k : {SiteFactKind::Site, SiteFactKind::Deployment, SiteFactKind::Removal,
                           SiteFactKind::Meaning, SiteFactKind::Calibration, SiteFactKind::Note})
        if (name == siteFactKindName(k))
            return k;
    return std::nullopt;
}

const Site* SiteFacts::site(const QString& code) const {
    for (const Site& s : sites)
        if (s.code == code)
            return &s;
    return nullptr;
}

std::vector<Deployment> SiteFacts::deploymentsAt(const QString& code) const {
    std::vector<Deployment> at;
    for (const Deployment& d : deployments)
        if (d.site == code)
            at.push_back(d);
    return at;
}

std::optional<Deployment> SiteFacts::deploymentOf(const QString& unit, std::int64_t atMs) const {
    std::optional<Deployment> found;
    for (const Deployment& d : deployments)
        if (d.unit == unit && d.fromMs <= atMs && (!d.toMs || atMs < *d.toMs) &&
            (!found || d.fromMs > found->fromMs))
            found = d;
    return found;
}

SiteFacts currentSiteFacts(const std::vector<SiteFactRecord>& facts) {
    SiteFacts out;
    out.ok = true;
    // The newest of each kind and key: facts come oldest first, so the last one counts.
    std::map<std::pair<SiteFactKind, QString>, const SiteFactRecord*> newest;
    for (const SiteFactRecord& f : facts)
        newest[{f.kind, f.key}] = &f;
    for (const auto& [key, f] : newest) {
        if (f->withdrawn)
            continue;
        std::visit(
            [&](const auto& v) {
                using T = std::decay_t<decltype(v)>;
                if constexpr (std::is_same_v<T, Site>)
                    out.sites.push_back(v);
                else if constexpr (std::is_same_v<T, Deployment>)
                    out.deployments.push_back(v);
                else if constexpr (std::is_same_v<T, Removal>)
                    out.removals.push_back(v);
                else if constexpr (std::is_same_v<T, ColumnMeaning>)
                    out.meanings.push_back(v);
                else if constexpr (std::is_same_v<T, Calibration>)
                    out.calibrations.push_back(v);
                else
                    out.notes.push_back(v);
            },
            f->value);
    }
    std::sort(out.sites.begin(), out.sites.end(),
              [](const Site& a, const Site& b) { return a.code < b.code; });
    std::stable_sort(out.notes.begin(), out.notes.end(),
                     [](const FieldNote& a, const FieldNote& b) { return a.atMs < b.atMs; });
    resolveDeployments(out.deployments, out.removals);
    return out;
}

void resolveDeployments(std::vector<Deployment>& deployments,
                        const std::vector<Removal>& removals) {
    // Each unit's deployments in time: the next one ends the one before it.
    std::sort(deployments.begin(), deployments.end(), [](const Deployment& a, const Deployment& b) {
        return std::tie(a.unit, a.fromMs, a.site) < std::tie(b.unit, b.fromMs, b.site);
    });
    std::map<QString, std::vector<std::int64_t>> removed;
    for (const Removal& r : removals)
        removed[r.unit].push_back(r.atMs);
    for (auto& [unit, times] : removed)
        std::sort(times.begin(), times.end());
    for (std::size_t i = 0; i < deployments.size(); ++i) {
        Deployment& d = deployments[i];
        d.toMs.reset();
        d.sideBySide = false;
        if (i + 1 < deployments.size() && deployments[i + 1].unit == d.unit)
            d.toMs = deployments[i + 1].fromMs;
        const auto r = removed.find(d.unit);
        if (r != removed.end()) {
            const auto after = std::upper_bound(r->second.begin(), r->second.end(), d.fromMs);
            if (after != r->second.end() && (!d.toMs || *after < *d.toMs))
                d.toMs = *after;
        }
    }
    std::sort(deployments.begin(), deployments.end(), [](const Deployment& a, const Deployment& b) {
        return std::tie(a.site, a.fromMs, a.unit) < std::tie(b.site, b.fromMs, b.unit);
    });
    // Side by side: another unit at the same site for part of the time. Sorted by start, so a
    // deployment overlaps those after it until one starts at or after its end.
    for (std::size_t i = 0; i < deployments.size(); ++i)
        for (std::size_t j = i + 1;
             j < deployments.size() && deployments[j].site == deployments[i].site; ++j) {
            if (deployments[i].toMs && deployments[j].fromMs >= *deployments[i].toMs)
                break;
            if (deployments[j].unit != deployments[i].unit)
                deployments[i].sideBySide = deployments[j].sideBySide = true;
        }
}

const ColumnMeaning* meaningOf(const std::vector<ColumnMeaning>& meanings, const QString& unit,
                               const QString& dataSet, int column, std::int64_t atMs) {
    const ColumnMeaning* own = nullptr;
    const ColumnMeaning* every = nullptr;
    for (const ColumnMeaning& m : meanings) {
        if (m.dataSet != dataSet || m.column != column || m.fromMs > atMs)
            continue;
        const ColumnMeaning*& slot = m.unit.isEmpty() ? every : own;
        if (!m.unit.isEmpty() && m.unit != unit)
            continue;
        if (!slot || m.fromMs > slot->fromMs)
            slot = &m;
    }
    return own ? own : every;
}

const Calibration* calibrationOf(const std::vector<Calibration>& calibrations, const QString& unit,
                                 const QString& dataSet, int column, std::int64_t atMs) {
    const Calibration* every = nullptr;
    for (const Calibration& c : calibrations) {
        if (c.dataSet != dataSet || c.column != column || c.fromMs > atMs ||
            (c.toMs && atMs >= *c.toMs))
            continue;
        if (c.unit == unit)
            return &c;
        if (c.unit.isEmpty())
            every = &c;
    }
    return every;
}

const Calibration* overlappingCalibration(const std::vector<Calibration>& held,
                                          const Calibration& c) {
    for (const Calibration& h : held) {
        if (h.unit != c.unit || h.dataSet != c.dataSet || h.column != c.column ||
            h.fromMs == c.fromMs)
            continue;
        const bool hEndsBefore = h.toMs && *h.toMs <= c.fromMs;
        const bool cEndsBefore = c.toMs && *c.toMs <= h.fromMs;
        if (!hEndsBefore && !cEndsBefore)
            return &h;
    }
    return nullptr;
}

SiteFacts readSiteFacts(PgConnection& c, std::chrono::milliseconds timeout,
                        const std::optional<QString>& site) {
    SiteFacts out;
    PgResult r;
    if (!hasTable(c, timeout, r)) {
        out.ok = r.ok();
        out.error = QString::fromStdString(r.error());
        return out;
    }
    std::vector<SiteFactRecord> facts;
    UnreadFacts unread;
    QString error;
    bool read;
    if (site) {
        // Every fact of each key that bears on the site, so that the newest of each counts as
        // in the whole read: the site; the deployments and notes that name it (in any of their
        // facts); every deployment, removal and note of the units deployed there (their other
        // deployments and removals end theirs here; a unit's note counts where the unit was);
        // the meanings and calibrations of those units and of every unit. Each set by an index
        // where the server has one (site_facts_by_site, _by_unit), the facts by their keys.
        read = readFacts(
            c, timeout,
            " WHERE (kind, key) IN (WITH here AS (SELECT kind, key, payload ->> 'unit' AS unit "
            "FROM xrq.site_facts WHERE kind IN ('deployment', 'note') AND payload ->> 'site' = "
            "$1) SELECT kind, key FROM here UNION SELECT 'site', $1 UNION SELECT f.kind, f.key "
            "FROM xrq.site_facts f WHERE f.kind IN ('deployment', 'removal', 'note', 'meaning', "
            "'calibration') AND f.payload ->> 'unit' IN (SELECT unit FROM here WHERE kind = "
            "'deployment') UNION SELECT f.kind, f.key FROM xrq.site_facts f WHERE f.kind IN "
            "('meaning', 'calibration') AND f.payload ->> 'unit' IS NULL)",
            {PgParam::text(site->toStdString())}, facts, unread, error);
    } else {
        read = readFacts(c, timeout, "", {}, facts, unread, error);
    }
    if (!read) {
        out.error = error;
        return out;
    }
    return currentOf(facts, unread);
}

SiteFacts readSiteFacts(PgConnection& c, std::chrono::milliseconds timeout,
                        const SiteFactScope& scope) {
    SiteFacts out;
    PgResult r;
    if (!hasTable(c, timeout, r)) {
        out.ok = r.ok();
        out.error = QString::fromStdString(r.error());
        return out;
    }
    // Each list as one JSON array parameter; the sites by the index on (kind, key).
    const auto list = [](const std::vector<QString>& values) {
        QJsonArray a;
        for (const QString& v : values)
            a.append(v);
        return PgParam::text(QJsonDocument(a).toJson(QJsonDocument::Compact).toStdString());
    };
    std::vector<SiteFactRecord> facts;
    UnreadFacts unread;
    QString error;
    if (!readFacts(
            c, timeout,
            " WHERE (kind = 'site' AND key IN (SELECT pg_catalog.jsonb_array_elements_text("
            "$1::jsonb))) OR (kind IN ('deployment', 'removal') AND payload ->> 'unit' IN "
            "(SELECT pg_catalog.jsonb_array_elements_text($2::jsonb))) OR (kind = "
            "'calibration' AND payload ->> 'data_set' IN (SELECT "
            "pg_catalog.jsonb_array_elements_text($3::jsonb))) OR (kind = 'meaning' AND "
            "payload ->> 'data_set' IN (SELECT pg_catalog.jsonb_array_elements_text("
            "$4::jsonb)))",
            {list(scope.sites), list(scope.units), list(scope.dataSets), list(scope.meaningSets)},
            facts, unread, error)) {
        out.error = error;
        return out;
    }
    return currentOf(facts, unread);
}

SiteFactHistory readSiteFactHistory(PgConnection& c, std::chrono::milliseconds timeout,
                                    const std::optional<SiteFactKind>& kind,
                                    const std::optional<QString>& key) {
    SiteFactHistory out;
    PgResult r;
    if (!hasTable(c, timeout, r)) {
        out.ok = r.ok();
        out.error = QString::fromStdString(r.error());
        return out;
    }
    std::string where;
    std::vector<PgParam> params;
    if (kind) {
        params.push_back(PgParam::text(siteFactKindName(*kind)));
        where = " WHERE kind = $1";
        if (key) {
            params.push_back(PgParam::text(key->toStdString()));
            where += " AND key = $2";
        }
    }
    out.ok = readFacts(c, timeout, where, params, out.facts, out.unread, out.error);
    return out;
}

} // namespace fleet

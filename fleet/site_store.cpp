// SPDX-License-Identifier: GPL-3.0-or-later
#include "fleet/site_store.h"

#include "fleet/outbox.h"
#include "fleet/site_fact_writes.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSqlError>
#include <QSqlQuery>

#include <algorithm>
#include <cmath>
#include <map>

namespace fleet {

using platform::ErrorKind;
using platform::makeError;
using platform::Result;

namespace {

constexpr double kMostMs = 253402300799999; // 9999-12-31T23:59:59.999Z

const char* const kSchema[] = {
    "CREATE TABLE learnt_site_facts(arrival INTEGER PRIMARY KEY, kind TEXT NOT NULL, "
    "key TEXT NOT NULL, withdrawn INTEGER NOT NULL, received_at INTEGER NOT NULL, "
    "pushed_by TEXT NOT NULL, laptop TEXT NOT NULL, payload BLOB NOT NULL)",
    "CREATE TABLE learnt_site_reads(id INTEGER PRIMARY KEY CHECK (id = 1), "
    "read_at INTEGER NOT NULL, facts INTEGER NOT NULL)",
    "CREATE TABLE recorded_site_facts(seq INTEGER PRIMARY KEY AUTOINCREMENT, "
    "id TEXT NOT NULL UNIQUE, kind TEXT NOT NULL, key TEXT NOT NULL, laptop TEXT NOT NULL, "
    "payload BLOB NOT NULL, recorded_at INTEGER NOT NULL)",
    "CREATE TABLE site_facts_learnt(id TEXT PRIMARY KEY, at INTEGER NOT NULL)",
};

Result<void> sqlFailed(const QSqlQuery& q, const char* what) {
    platform::Error e = storage::errorOf(q.lastError());
    e.text = std::string(what) + ": " + e.text;
    return e;
}

// The outbox's tables, and its one-time requeue marked done: no older program ever wrote
// this file, so it holds no refusals of theirs.
Result<void> createOutbox(QSqlDatabase& db, int) {
    if (auto made = Outbox::createTables(db); !made)
        return made.error();
    QSqlQuery q(db);
    if (!q.exec(QStringLiteral("INSERT OR IGNORE INTO fleet_marks (name, done_at) VALUES "
                               "('refusals-queued-again', 0)")))
        return sqlFailed(q, "the outbox's mark not written");
    return {};
}

std::vector<storage::Step> steps() {
    storage::Step tables =
        storage::statements(std::vector<const char*>(std::begin(kSchema), std::end(kSchema)));
    return {[tables](QSqlDatabase& db, int found) -> Result<void> {
        if (auto done = tables(db, found); !done)
            return done;
        return createOutbox(db, found);
    }};
}

// A time in ms as JSON holds it: a whole number within years 1 to 9999.
std::optional<std::int64_t> msOf(const QJsonValue& v) {
    if (!v.isDouble())
        return std::nullopt;
    const double d = v.toDouble();
    if (!std::isfinite(d) || d != std::floor(d) || std::fabs(d) > kMostMs)
        return std::nullopt;
    return static_cast<std::int64_t>(d);
}

std::optional<double> numberOf(const QJsonValue& v) {
    if (!v.isDouble() || !std::isfinite(v.toDouble()))
        return std::nullopt;
    return v.toDouble();
}

// The learnt and the recorded facts, each table's rows in one shape so that one reader takes
// both: arrival, kind, key, withdrawn, received_at, pushed_by, laptop, payload, id.
struct FactTable {
    const char* select;
    const char* notRead;
    bool own; // recorded here: a fact that does not read back is the laptop's; its id kept
};

const FactTable kLearntFacts{
    "SELECT arrival, kind, key, withdrawn, received_at, pushed_by, laptop, payload, NULL "
    "FROM learnt_site_facts ORDER BY arrival",
    "the learnt site facts not read", false};
// Recorded here and neither seen on the server since nor refused by it; their seq counts
// after the learnt facts' arrivals.
const FactTable kRecordedFacts{
    "SELECT r.seq, r.kind, r.key, 0, r.recorded_at, NULL, r.laptop, r.payload, r.id "
    "FROM recorded_site_facts r WHERE NOT EXISTS (SELECT 1 FROM site_facts_learnt l "
    "WHERE l.id = r.id) AND NOT EXISTS (SELECT 1 FROM fleet_conflicts c WHERE "
    "c.kind = 'site' AND c.identity = r.id) ORDER BY r.seq",
    "the recorded site facts not read", true};

// SiteStore::mark(), inside the caller's transaction where it has one.
Result<std::string> markOf(QSqlDatabase& db) {
    QSqlQuery q(db);
    q.setForwardOnly(true);
    if (!q.exec(QStringLiteral(
            "SELECT (SELECT read_at || '/' || facts FROM learnt_site_reads WHERE id = 1), "
            "(SELECT max(seq) FROM recorded_site_facts), "
            "(SELECT count(*) FROM site_facts_learnt), "
            "(SELECT count(*) FROM fleet_conflicts WHERE kind = 'site'), "
            "(SELECT coalesce(sum(facts), 0) FROM fleet_outbox)")) ||
        !q.next())
        return sqlFailed(q, "the site store's state not read").error();
    std::string mark;
    for (int i = 0; i < 5; ++i)
        mark += q.value(i).toString().toStdString() + ' ';
    return mark;
}

// One table's facts into `into`, each row's arrival after `arrivalBase`; a row that does not
// read back is counted in `kept.unread` and passed over. The last arrival of its rows.
Result<std::int64_t> readFacts(QSqlQuery& q, const FactTable& table, std::int64_t arrivalBase,
                               std::vector<SiteFactRecord>& into, KeptSiteFacts& kept) {
    if (!q.exec(QString::fromLatin1(table.select)))
        return sqlFailed(q, table.notRead).error();
    std::int64_t lastArrival = arrivalBase;
    while (q.next()) {
        SiteFactRecord f;
        f.arrival = arrivalBase + q.value(0).toLongLong();
        lastArrival = std::max(lastArrival, f.arrival);
        f.key = q.value(2).toString();
        f.withdrawn = q.value(3).toLongLong() != 0;
        f.receivedMs = q.value(4).toLongLong();
        f.pushedBy = q.value(5).toString();
        f.laptop = q.value(6).toString();
        const QString kindName = q.value(1).toString();
        const auto kind = siteFactKindFromName(kindName.toStdString());
        Result<SiteFactValue> value =
            kind ? siteFactFromPayload(*kind, q.value(7).toByteArray())
                 : Result<SiteFactValue>(makeError(
                       ErrorKind::Invalid,
                       QStringLiteral("kind %1 not known").arg(kindName.left(40)).toStdString()));
        if (!value) {
            kept.unread.add(table.own ? f.laptop : f.pushedBy,
                            QString::fromStdString(value.text()));
            continue;
        }
        f.kind = *kind;
        f.value = std::move(*value);
        if (table.own)
            kept.ownIds.insert(q.value(8).toString());
        into.push_back(std::move(f));
    }
    return lastArrival;
}

} // namespace

QString siteFactKey(const SiteFactValue& value) {
    // jsonb's text of a two-string array: ["a", "b"].
    const auto pair = [](const QString& a, std::int64_t ms) {
        QByteArray out = "[";
        appendJsonString(out, a);
        out += ", ";
        appendJsonString(out, QString::number(ms));
        out += ']';
        return QString::fromUtf8(out);
    };
    return std::visit(
        [&](const auto& v) -> QString {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, Site>)
                return v.code;
            else if constexpr (std::is_same_v<T, Deployment>)
                return pair(v.unit, v.fromMs);
            else if constexpr (std::is_same_v<T, Removal>)
                return pair(v.unit, v.atMs);
            else if constexpr (std::is_same_v<T, FieldNote>)
                return v.id;
            else
                return QString(); // meanings and calibrations are never recorded here
        },
        value);
}

// Whole: one checked read per field of each kind, as the server's rows are read.
Result<SiteFactValue> siteFactFromPayload(SiteFactKind kind, const QByteArray& payload) {
    QJsonParseError parse{};
    const QJsonDocument doc = QJsonDocument::fromJson(payload, &parse);
    if (!doc.isObject())
        return makeError(ErrorKind::Invalid, "the payload is not a JSON object");
    const QJsonObject o = doc.object();
    const auto text = [&](const char* k) { return o.value(QLatin1String(k)).toString(); };
    const auto bad = [&](const char* what) {
        return makeError(ErrorKind::Invalid,
                         QStringLiteral("%1: %2 is not readable")
                             .arg(QLatin1String(siteFactKindName(kind)), QLatin1String(what))
                             .toStdString());
    };
    SiteFactValue value;
    switch (kind) {
    case SiteFactKind::Site: {
        Site s;
        s.code = text("code");
        s.name = text("name");
        s.description = text("description");
        const auto lon = numberOf(o.value(QLatin1String("longitude")));
        const auto lat = numberOf(o.value(QLatin1String("latitude")));
        if (!lon || !lat)
            return bad("its position");
        s.longitude = *lon;
        s.latitude = *lat;
        if (o.contains(QLatin1String("elevation"))) {
            s.elevation = numberOf(o.value(QLatin1String("elevation")));
            if (!s.elevation)
                return bad("elevation");
        }
        if (o.contains(QLatin1String("visit_days"))) {
            const auto days = msOf(o.value(QLatin1String("visit_days")));
            if (!days || *days < 1 || *days > 3650)
                return bad("visit_days");
            s.visitDays = int(*days);
        }
        value = s;
        break;
    }
    case SiteFactKind::Deployment: {
        Deployment d;
        d.unit = text("unit");
        d.site = text("site");
        const auto from = msOf(o.value(QLatin1String("from")));
        if (!from)
            return bad("from");
        d.fromMs = *from;
        value = d;
        break;
    }
    case SiteFactKind::Removal: {
        Removal r;
        r.unit = text("unit");
        const auto at = msOf(o.value(QLatin1String("at")));
        if (!at)
            return bad("at");
        r.atMs = *at;
        value = r;
        break;
    }
    case SiteFactKind::Meaning: {
        ColumnMeaning m;
        m.unit = text("unit");
        m.dataSet = text("data_set");
        const auto column = msOf(o.value(QLatin1String("column")));
        const auto from = msOf(o.value(QLatin1String("from")));
        if (!column || *column < 1 || *column > 1000 || !from)
            return bad("its column or time");
        m.column = int(*column);
        m.fromMs = *from;
        m.property = text("property");
        m.definition = text("definition");
        m.uom = {text("uom_code"), text("uom_symbol"), text("uom_name")};
        value = m;
        break;
    }
    case SiteFactKind::Calibration: {
        Calibration c;
        c.unit = text("unit");
        c.dataSet = text("data_set");
        const auto column = msOf(o.value(QLatin1String("column")));
        const auto from = msOf(o.value(QLatin1String("from")));
        const auto a = numberOf(o.value(QLatin1String("a")));
        const auto b = numberOf(o.value(QLatin1String("b")));
        if (!column || *column < 1 || *column > 1000 || !from || !a || !b)
            return bad("its column, time or coefficients");
        if (o.contains(QLatin1String("to"))) {
            c.toMs = msOf(o.value(QLatin1String("to")));
            if (!c.toMs)
                return bad("to");
        }
        c.column = int(*column);
        c.fromMs = *from;
        c.a = *a;
        c.b = *b;
        value = c;
        break;
    }
    case SiteFactKind::Note: {
        FieldNote n;
        n.id = text("id");
        n.site = text("site");
        n.unit = text("unit");
        const auto at = msOf(o.value(QLatin1String("at")));
        const auto category = noteCategoryFromName(text("category"));
        if (!at || !category)
            return bad("its time or category");
        n.atMs = *at;
        n.category = *category;
        n.text = text("text");
        n.by = text("by");
        value = n;
        break;
    }
    }
    // The one rule every fact added passes (the server's own, as the data manager's
    // commands check it).
    if (const QString fault = siteFactFault(value); !fault.isEmpty())
        return makeError(ErrorKind::Invalid, fault.toStdString());
    return value;
}

Result<SiteStore> SiteStore::open(const std::string& folder, bool create) {
    storage::OpenOptions o;
    o.create = create;
    o.busyMs = storage::busy::kShort;
    o.schemaVersion = kSiteStoreVersion;
    o.steps = steps();
    o.connectionPrefix = QStringLiteral("xrq-sites");
    auto opened = storage::open(folder + kSitesFileName, o);
    if (!opened) {
        platform::Error e = opened.error();
        e.text = "the site store " + folder + kSitesFileName + ": " + e.text;
        return e;
    }
    SiteStore store;
    store.m_store = std::move(*opened);
    return store;
}

Result<KeptSiteFacts> SiteStore::read() {
    QSqlDatabase& db = m_store.db();
    KeptSiteFacts out;
    // One read transaction: the learnt set, the recorded facts and the outbox as of one
    // moment (a learn or a recording of another program commits whole, before or after).
    if (!db.transaction())
        return storage::errorOf(db.lastError());
    struct Rollback {
        QSqlDatabase& db;
        ~Rollback() { db.rollback(); }
    } rollback{db};
    Result<std::string> mark = markOf(db);
    if (!mark)
        return mark.error();
    out.mark = std::move(*mark);
    QSqlQuery q(db);
    q.setForwardOnly(true);
    if (!q.exec(QStringLiteral("SELECT read_at FROM learnt_site_reads WHERE id = 1")))
        return sqlFailed(q, "the learnt site facts' read not read").error();
    if (q.next())
        out.learntAtMs = q.value(0).toLongLong();
    const Result<std::int64_t> lastArrival = readFacts(q, kLearntFacts, 0, out.learnt, out);
    if (!lastArrival)
        return lastArrival.error();
    if (auto own = readFacts(q, kRecordedFacts, *lastArrival, out.own, out); !own)
        return own.error();
    q.finish();
    out.waiting = Outbox::waiting(db);
    return out;
}

Result<std::string> SiteStore::mark() {
    return markOf(m_store.db());
}

Result<std::vector<QString>> SiteStore::unconfirmedIds() {
    QSqlQuery q(m_store.db());
    q.setForwardOnly(true);
    if (!q.exec(QStringLiteral("SELECT r.id FROM recorded_site_facts r WHERE NOT EXISTS "
                               "(SELECT 1 FROM site_facts_learnt l WHERE l.id = r.id) "
                               "ORDER BY r.seq")))
        return sqlFailed(q, "the recorded site facts not read").error();
    std::vector<QString> ids;
    while (q.next())
        ids.push_back(q.value(0).toString());
    return ids;
}

Result<void> SiteStore::keepLearnt(const std::vector<SiteFactRecord>& facts,
                                   const std::vector<QString>& held, std::int64_t readAtMs) {
    QSqlDatabase& db = m_store.db();
    // The newest of each kind and key is all that counts (currentSiteFacts): the history
    // stays on the server, and the laptop reads less at every look.
    std::map<std::pair<SiteFactKind, QString>, const SiteFactRecord*> newest;
    for (const SiteFactRecord& f : facts)
        newest[{f.kind, f.key}] = &f;
    std::vector<const SiteFactRecord*> kept;
    kept.reserve(newest.size());
    for (const auto& [key, f] : newest)
        kept.push_back(f);
    std::sort(kept.begin(), kept.end(), [](const SiteFactRecord* a, const SiteFactRecord* b) {
        return a->arrival < b->arrival;
    });

    QSqlQuery q(db);
    if (!q.exec(QStringLiteral("BEGIN IMMEDIATE")))
        return sqlFailed(q, "the learnt site facts not kept");
    const auto fail = [&](const QSqlQuery& failed, const char* what) {
        Result<void> r = sqlFailed(failed, what);
        QSqlQuery(db).exec(QStringLiteral("ROLLBACK"));
        return r;
    };
    if (!q.exec(QStringLiteral("DELETE FROM learnt_site_facts")))
        return fail(q, "the learnt site facts not replaced");
    QSqlQuery ins(db);
    ins.prepare(QStringLiteral("INSERT INTO learnt_site_facts (arrival, kind, key, withdrawn, "
                               "received_at, pushed_by, laptop, payload) "
                               "VALUES (?, ?, ?, ?, ?, ?, ?, ?)"));
    for (const SiteFactRecord* f : kept) {
        ins.bindValue(0, qlonglong(f->arrival));
        ins.bindValue(1, QString::fromLatin1(siteFactKindName(f->kind)));
        ins.bindValue(2, f->key);
        ins.bindValue(3, f->withdrawn ? 1 : 0);
        ins.bindValue(4, qlonglong(f->receivedMs));
        ins.bindValue(5, f->pushedBy.isNull() ? QStringLiteral("") : f->pushedBy);
        ins.bindValue(6, f->laptop.isNull() ? QStringLiteral("") : f->laptop);
        ins.bindValue(7, siteFactPayload(f->value, f->withdrawn));
        if (!ins.exec())
            return fail(ins, "a learnt site fact not kept");
    }
    QSqlQuery read(db);
    read.prepare(QStringLiteral("INSERT INTO learnt_site_reads (id, read_at, facts) VALUES "
                                "(1, ?, ?) ON CONFLICT (id) DO UPDATE SET read_at = "
                                "excluded.read_at, facts = excluded.facts"));
    read.addBindValue(qlonglong(readAtMs));
    read.addBindValue(qlonglong(kept.size()));
    if (!read.exec())
        return fail(read, "the learnt site facts' read not noted");
    QSqlQuery seen(db);
    seen.prepare(QStringLiteral("INSERT OR IGNORE INTO site_facts_learnt (id, at) VALUES (?, ?)"));
    for (const QString& id : held) {
        seen.bindValue(0, id);
        seen.bindValue(1, qlonglong(readAtMs));
        if (!seen.exec())
            return fail(seen, "a recorded site fact not noted as learnt");
    }
    if (!q.exec(QStringLiteral("COMMIT")))
        return fail(q, "the learnt site facts not kept");
    return {};
}

Result<void> SiteStore::record(const std::vector<Fact>& facts) {
    QSqlDatabase& db = m_store.db();
    QSqlQuery q(db);
    if (!q.exec(QStringLiteral("BEGIN IMMEDIATE")))
        return sqlFailed(q, "nothing recorded");
    const auto fail = [&](platform::Error e) -> Result<void> {
        QSqlQuery(db).exec(QStringLiteral("ROLLBACK"));
        return e;
    };
    QSqlQuery ins(db);
    ins.prepare(QStringLiteral("INSERT INTO recorded_site_facts (id, kind, key, laptop, payload, "
                               "recorded_at) VALUES (?, ?, ?, ?, ?, ?)"));
    for (const Fact& f : facts) {
        const auto kind = siteFactKindFromName(f.type.toStdString());
        const QByteArray payload = payloadText(f.payload);
        if (f.kind != FactKind::Site || !kind)
            return fail(makeError(ErrorKind::Invalid, "nothing recorded: not a site fact"));
        const Result<SiteFactValue> value = siteFactFromPayload(*kind, payload);
        if (!value)
            return fail(makeError(ErrorKind::Invalid, "nothing recorded: " + value.text()));
        ins.bindValue(0, f.identity);
        ins.bindValue(1, f.type);
        ins.bindValue(2, siteFactKey(*value));
        ins.bindValue(3, f.laptop);
        ins.bindValue(4, payload);
        ins.bindValue(5, qlonglong(f.occurredAt));
        if (!ins.exec()) {
            platform::Error e = storage::errorOf(ins.lastError());
            e.text = "nothing recorded: " + e.text;
            return fail(e);
        }
        if (auto queued = Outbox::enqueue(db, f); !queued) {
            platform::Error e = queued.error();
            e.text = "nothing recorded: " + e.text;
            return fail(e);
        }
    }
    if (!q.exec(QStringLiteral("COMMIT")))
        return fail(sqlFailed(q, "nothing recorded").error());
    return {};
}

} // namespace fleet

// SPDX-License-Identifier: GPL-3.0-or-later
#include "fleet/site_visit.h"

#include "fleet/fleet_settings.h"
#include "fleet/pg_connection.h"
#include "fleet/site_fact_writes.h"
#include "fleet/site_store.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimeZone>

#include <map>
#include <mutex>
#include <pwd.h>
#include <set>
#include <unistd.h>

namespace fleet {

using platform::ErrorKind;
using platform::makeError;
using platform::Result;

namespace {

std::int64_t nowMs() {
    return QDateTime::currentMSecsSinceEpoch();
}

// When this process last read each folder's facts from the server: what SiteVisit then
// tells as "from the server now" rather than "learnt at T".
std::mutex g_learntLock;
std::map<std::string, std::int64_t>& learntThisRun() {
    static std::map<std::string, std::int64_t> learnt;
    return learnt;
}

QString timeText(std::int64_t ms) {
    return QDateTime::fromMSecsSinceEpoch(ms, QTimeZone::utc()).toString(Qt::ISODate);
}

std::string words(const QString& s) {
    return s.toStdString();
}

// The OS user running the program, by its account's name.
QString osUser() {
    if (const passwd* pw = ::getpwuid(::geteuid()); pw && pw->pw_name && *pw->pw_name)
        return QString::fromLocal8Bit(pw->pw_name);
    return QString::number(::geteuid());
}

} // namespace

Result<SiteFactsLearnt> learnSiteFacts(const std::string& folder, std::chrono::milliseconds timeout,
                                       int stopFd) {
    const FleetSettings settings = readFleetSettings(folder);
    if (!settings.shared())
        return SiteFactsLearnt{};
    return learnSiteFactsFrom(folder, serviceConninfo(settings.service.toStdString()), timeout,
                              stopFd);
}

Result<SiteFactsLearnt> learnSiteFactsFrom(const std::string& folder, const std::string& conninfo,
                                           std::chrono::milliseconds timeout, int stopFd) {
    SiteFactsLearnt out;
    out.shared = true;
    // The recorded facts the server may hold by now, asked in the same snapshot as the set.
    std::vector<QString> recorded;
    {
        auto store = SiteStore::open(folder, true);
        if (!store)
            return store.error();
        auto ids = store->unconfirmedIds();
        if (!ids)
            return ids.error();
        recorded = std::move(*ids);
    }
    PgConnection c(stopFd);
    if (!c.connect(conninfo, timeout, timeout)) {
        out.why =
            "the organisation's sites were not read (" + c.error() + "): those learnt are used";
        return out;
    }
    const auto notRead = [&](const std::string& why) {
        out.why = "the organisation's sites were not read (" + why + "): those learnt are used";
        return out;
    };
    // One snapshot: the facts and which recorded ones are among them.
    if (PgResult r = c.exec("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY", {}, timeout);
        !r.ok())
        return notRead(r.error());
    const std::int64_t readAt = nowMs();
    const SiteFactHistory history = readSiteFactHistory(c, timeout);
    if (!history.ok)
        return notRead(words(history.error));
    std::vector<QString> held;
    const PgResult table =
        c.exec("SELECT pg_catalog.to_regclass('xrq.site_facts') IS NOT NULL", {}, timeout);
    if (!table.ok())
        return notRead(table.error());
    if (!recorded.empty() && table.rows() == 1 && table.value(0, 0) == "t") {
        QByteArray list = "{";
        for (std::size_t i = 0; i < recorded.size(); ++i)
            list += (i ? "," : "") + recorded[i].toLatin1();
        list += '}';
        const PgResult r = c.exec("SELECT id::text FROM xrq.site_facts WHERE id = ANY($1::uuid[])",
                                  {PgParam::text(list.toStdString())}, timeout);
        if (!r.ok())
            return notRead(r.error());
        for (int i = 0; i < r.rows(); ++i)
            held.push_back(QString::fromStdString(r.value(i, 0)));
    }
    c.exec("COMMIT", {}, timeout);
    c.close();
    auto store = SiteStore::open(folder, true);
    if (!store)
        return store.error();
    if (auto kept = store->keepLearnt(history.facts, held, readAt); !kept)
        return kept.error();
    {
        std::lock_guard lock(g_learntLock);
        learntThisRun()[folder] = readAt;
    }
    out.reached = true;
    out.facts = history.facts.size();
    // Facts another role pushed that no reader can take: told, the rest is used.
    if (!history.unread.empty())
        out.why = words(history.unread.told());
    return out;
}

struct SiteVisit::Impl {
    std::string folder;
    bool loaded = false;
    SiteFacts current;
    SiteKnowledge knowledge;
    std::set<QString> ownDeployments; // keys of deployments recorded here, not yet learnt
    std::string mark;                 // the store's mark at the last load; empty: no store

    // The store's mark now (SiteStore::mark), empty when there is no store yet.
    Result<std::string> markNow() {
        auto store = SiteStore::open(folder, false);
        if (!store && store.kind() == ErrorKind::NotFound)
            return std::string();
        if (!store)
            return store.error();
        return store->mark();
    }

    Result<void> ensureLoaded() {
        if (loaded)
            return {};
        return load();
    }

    Result<void> load() {
        auto store = SiteStore::open(folder, false);
        if (!store && store.kind() == ErrorKind::NotFound) {
            // Nothing learnt and nothing recorded yet.
            current = currentSiteFacts({});
            knowledge = {};
            ownDeployments.clear();
            mark.clear();
            loaded = true;
            return {};
        }
        if (!store)
            return store.error();
        auto kept = store->read();
        if (!kept)
            return kept.error();
        mark = std::move(kept->mark);
        std::vector<SiteFactRecord> all = std::move(kept->learnt);
        ownDeployments.clear();
        for (SiteFactRecord& f : kept->own) {
            if (f.kind == SiteFactKind::Deployment)
                ownDeployments.insert(f.key);
            all.push_back(std::move(f));
        }
        current = currentSiteFacts(all);
        current.unread = kept->unread;
        knowledge = {};
        knowledge.waiting = kept->waiting;
        knowledge.learntAtMs = kept->learntAtMs;
        if (kept->learntAtMs > 0) {
            std::lock_guard lock(g_learntLock);
            const auto here = learntThisRun().find(folder);
            knowledge.source = here != learntThisRun().end() && here->second == kept->learntAtMs
                                   ? SiteKnowledge::Source::Server
                                   : SiteKnowledge::Source::Learnt;
        }
        loaded = true;
        return {};
    }

    // NotFound, in the operator's words, for a code no learnt fact names.
    Result<Site> knownSite(const QString& code) {
        if (auto done = ensureLoaded(); !done)
            return done.error();
        if (const Site* s = current.site(code))
            return *s;
        std::string known;
        switch (knowledge.source) {
        case SiteKnowledge::Source::Nothing:
            known = "this laptop has not learnt the organisation's sites yet (it learns them "
                    "when its server is reached)";
            break;
        case SiteKnowledge::Source::Server:
        case SiteKnowledge::Source::Learnt:
            known = "the sites this laptop knows were learnt from the server at " +
                    words(timeText(knowledge.learntAtMs));
            break;
        }
        return makeError(ErrorKind::NotFound,
                         "unknown site \"" + words(code.left(40)) + "\": " + known);
    }

    Fact toFact(const SiteFactValue& value, const QString& id, const QString& laptop) {
        const QJsonObject payload = QJsonDocument::fromJson(siteFactPayload(value)).object();
        const QString unit = std::visit(
            [](const auto& v) -> QString {
                using T = std::decay_t<decltype(v)>;
                if constexpr (std::is_same_v<T, Deployment> || std::is_same_v<T, Removal> ||
                              std::is_same_v<T, FieldNote>)
                    return v.unit;
                else
                    return QString();
            },
            value);
        const auto kind = static_cast<SiteFactKind>(value.index());
        return siteFact(id, QString::fromLatin1(siteFactKindName(kind)), unit, payload, nowMs(),
                        laptop);
    }

    // Checks every fact by the server's own rule, then writes them in one transaction.
    Result<Recorded> write(const std::vector<SiteFactValue>& values) {
        Recorded out;
        if (values.empty())
            return out;
        const QString laptop = readFleetSettings(folder).laptop;
        std::vector<Fact> facts;
        for (const SiteFactValue& v : values) {
            if (const QString fault = siteFactFault(v); !fault.isEmpty())
                return makeError(ErrorKind::Invalid, "nothing recorded: " + words(fault));
            const QString id =
                std::holds_alternative<FieldNote>(v) ? std::get<FieldNote>(v).id : newFactId();
            facts.push_back(toFact(v, id, laptop));
            out.ids.push_back(id);
        }
        auto store = SiteStore::open(folder, true);
        if (!store)
            return store.error();
        if (auto done = store->record(facts); !done)
            return done.error();
        loaded = false; // read again at the next question
        return out;
    }
};

SiteVisit::SiteVisit(std::string folder) : d(std::make_unique<Impl>()) {
    d->folder = std::move(folder);
}

SiteVisit::~SiteVisit() = default;

Result<void> SiteVisit::reload() {
    d->loaded = false;
    return d->load();
}

Result<bool> SiteVisit::reloadIfChanged() {
    if (d->loaded) {
        const Result<std::string> now = d->markNow();
        if (!now)
            return now.error();
        if (*now == d->mark)
            return false;
    }
    if (auto done = reload(); !done)
        return done.error();
    return true;
}

SiteKnowledge SiteVisit::knowledge() const {
    return d->knowledge;
}

Result<UnitWhereabouts> SiteVisit::whereIs(const QString& serial, std::int64_t atMs) {
    if (auto done = d->ensureLoaded(); !done)
        return done.error();
    const std::int64_t at = atMs == 0 ? nowMs() : atMs;
    UnitWhereabouts out;
    out.unit = serial;
    out.knowledge = d->knowledge;
    out.deployment = d->current.deploymentOf(serial, at);
    if (out.deployment) {
        if (const Site* s = d->current.site(out.deployment->site))
            out.site = *s;
        out.pending = d->ownDeployments.count(siteFactKey(*out.deployment)) > 0;
        for (const Deployment& other : d->current.deploymentsAt(out.deployment->site))
            if (other.unit != serial && other.fromMs <= at && (!other.toMs || at < *other.toMs))
                out.sideBySide.push_back(other);
        return out;
    }
    for (const Removal& r : d->current.removals)
        if (r.unit == serial && r.atMs <= at && (!out.removedAt || r.atMs > out.removedAt->atMs))
            out.removedAt = r;
    return out;
}

Result<std::vector<Site>> SiteVisit::sites() {
    if (auto done = d->ensureLoaded(); !done)
        return done.error();
    return d->current.sites;
}

Result<Site> SiteVisit::site(const QString& code) {
    if (const QString fault = siteFactFault(Site{code, QStringLiteral("-"), {}, 0, 0, {}, {}});
        !fault.isEmpty())
        return makeError(ErrorKind::Invalid, words(fault));
    return d->knownSite(code);
}

Result<SwapOffer> SiteVisit::swapOffer(const QString& serial, const QString& siteCode,
                                       std::int64_t nowMs) {
    auto known = site(siteCode);
    if (!known)
        return known.error();
    SwapOffer offer;
    offer.unit = serial;
    offer.site = known->code;
    offer.atMs = nowMs;
    offer.deployment = Deployment{serial, known->code, nowMs, std::nullopt, false};
    const std::optional<Deployment> here = d->current.deploymentOf(serial, nowMs);
    if (here && here->site == known->code) {
        offer.action = SwapOffer::Action::Nothing;
        offer.deployment = *here;
        return offer;
    }
    offer.previous = here;
    for (const Deployment& other : d->current.deploymentsAt(known->code))
        if (other.unit != serial && other.fromMs <= nowMs && (!other.toMs || nowMs < *other.toMs))
            offer.removals.push_back(Removal{other.unit, nowMs});
    offer.action = offer.removals.empty() ? SwapOffer::Action::Deploy : SwapOffer::Action::Swap;
    return offer;
}

Result<Recorded> SiteVisit::recordNote(const NoteDraft& note) {
    if (!note.site.isEmpty())
        if (auto known = site(note.site); !known)
            return known.error();
    FieldNote n;
    n.id = newFactId();
    n.site = note.site;
    n.unit = note.unit;
    n.atMs = note.atMs == 0 ? nowMs() : note.atMs;
    n.category = note.category;
    n.text = note.text;
    n.by = author();
    return d->write({n});
}

Result<Recorded> SiteVisit::recordDeployment(const QString& serial, const QString& siteCode,
                                             std::int64_t fromMs) {
    auto known = site(siteCode);
    if (!known)
        return known.error();
    return d->write({Deployment{serial, known->code, fromMs, std::nullopt, false}});
}

Result<Recorded> SiteVisit::recordSwap(const SwapOffer& offer) {
    if (offer.action == SwapOffer::Action::Nothing)
        return Recorded{};
    auto known = site(offer.site);
    if (!known)
        return known.error();
    if (offer.deployment.unit.isEmpty() || offer.deployment.site != known->code)
        return makeError(ErrorKind::Invalid,
                         "nothing recorded: the offer's deployment is not at its site");
    std::vector<SiteFactValue> values;
    for (const Removal& r : offer.removals) {
        if (r.unit == offer.deployment.unit)
            return makeError(ErrorKind::Invalid,
                             "nothing recorded: a swap removes another unit than it deploys");
        values.emplace_back(r);
    }
    values.emplace_back(offer.deployment);
    return d->write(values);
}

QString SiteVisit::author() const {
    return readFleetSettings(d->folder).laptop + QStringLiteral(" (") + osUser() +
           QStringLiteral(")");
}

} // namespace fleet

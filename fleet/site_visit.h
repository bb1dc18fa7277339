// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What a laptop knows and records of the organisation's places at a visit: where a unit is
// deployed, the sites to choose from, and a field note, a deployment or a swap recorded by the
// operator standing at the site. The windowed program's site panel and xrq-collect --site both
// call this; no window is needed (no Qt Widgets here).
//
// Knowledge: the site facts (site_facts.h) this laptop last learnt from its server, kept in its
// files folder so that at a site with no network it still knows where each unit is, with this
// laptop's own site facts not yet pushed (its outbox) counted over them. learnSiteFacts() asks
// the server and replaces what is kept as a whole set; SiteVisit reads what is kept.
//
// Recording: a note, a deployment, or a swap (the other unit's removal and this unit's
// deployment at one instant) is written into the folder's outbox in one transaction, as the
// facts xrq.site_facts takes from a laptop role; the pusher sends them when the server is
// reached. Each fact has its own UUID, so sending it again is harmless.
//
// Threads: learnSiteFacts() waits for the server (up to its timeout): never on the UI thread
// (the windowed program runs it on ServerReads' thread). A SiteVisit reads and writes SQLite
// files of the folder only; it is used from one thread at a time (the UI thread may own one:
// each call is one short local transaction). Times are ms since 1970 UTC.

#include "fleet/site_facts.h"
#include "platform/result.h"

#include <QString>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace fleet {

// Where what a laptop knows of the sites comes from.
struct SiteKnowledge {
    enum class Source {
        Nothing, // never learnt: the laptop does not share, or has not reached its server yet
        Server,  // read from the server in this run (learntAtMs: then)
        Learnt,  // kept from an earlier read (learntAtMs: when it was read)
    };
    Source source = Source::Nothing;
    std::int64_t learntAtMs = 0; // when the server gave the facts (Server, Learnt)
    // This laptop's own site facts waiting in its outbox, counted over the learnt ones.
    std::int64_t waiting = 0;
};

// What is known of a unit's whereabouts.
struct UnitWhereabouts {
    QString unit;                         // serial
    std::optional<Deployment> deployment; // none: not deployed (never, or removed since)
    std::optional<Site> site;             // the deployment's site, when its facts are known
    std::vector<Deployment> sideBySide;   // other units deployed at that site now
    bool pending = false;                 // the deployment is this laptop's, not yet pushed
    std::optional<Removal> removedAt;     // not deployed: the removal that ended the last one
    SiteKnowledge knowledge;
};

// A field note as the operator writes it; who wrote it is filled in by recordNote (the
// laptop's name and the OS user).
struct NoteDraft {
    NoteCategory category = NoteCategory::Other;
    QString text; // non-empty, at most 4000 characters; line ends allowed
    QString site; // about a site (code), or
    QString unit; // about a unit (serial): at least one of the two
    std::int64_t atMs = 0;
};

// What finding `unit` at `site` suggests.
struct SwapOffer {
    enum class Action {
        Nothing, // the unit is recorded at this site already
        Deploy,  // no other unit is recorded there: record this unit's deployment
        Swap,    // another unit is: record its removal and this unit's deployment
    };
    Action action = Action::Nothing;
    QString unit; // the unit found
    QString site; // the site's code
    std::int64_t atMs = 0;
    // Swap: every other unit recorded at the site now, each removed at atMs (two side by side
    // give two removals; the operator may leave one out before recordSwap).
    std::vector<Removal> removals;
    // Deploy, Swap: this unit at the site from atMs.
    Deployment deployment;
    // Where the unit found was recorded before (another site), if anywhere: the new deployment
    // ends that one, no removal is needed for it.
    std::optional<Deployment> previous;
};

// What was recorded: the facts' UUIDs, in the order written.
struct Recorded {
    std::vector<QString> ids;
};

// What a read of the server brought.
struct SiteFactsLearnt {
    bool shared = false;   // the folder shares with a server (fleet.ini names a service)
    bool reached = false;  // the server gave its facts, and they are kept
    std::size_t facts = 0; // facts kept
    // Shared but not reached or not kept, or facts skipped as unreadable, for the operator.
    std::string why;
};

// Asks the server of the files folder `folder` (ending in "/") for the site facts and keeps
// them in the folder, replacing the set kept before; nothing is asked when the folder does not
// share. `stopFd`, when not -1, ends the wait once readable (ServerReads' stop descriptor).
// Not on the UI thread.
platform::Result<SiteFactsLearnt>
learnSiteFacts(const std::string& folder, std::chrono::milliseconds timeout, int stopFd = -1);
// The same from the server of `conninfo` (serviceConninfo of a service named for this run,
// xrq-collect --service), whatever fleet.ini says. A server not reached is no error: the
// value says so in `why`; an error is the folder's store failing (its kind says how).
platform::Result<SiteFactsLearnt> learnSiteFactsFrom(const std::string& folder,
                                                     const std::string& conninfo,
                                                     std::chrono::milliseconds timeout,
                                                     int stopFd = -1);

class SiteVisit {
public:
    // The visit service of the files folder `folder` (ending in "/"). Opens nothing yet.
    explicit SiteVisit(std::string folder);
    ~SiteVisit();
    SiteVisit(const SiteVisit&) = delete;
    SiteVisit& operator=(const SiteVisit&) = delete;

    // Reads what is kept again (after learnSiteFacts, or another program's recording).
    platform::Result<void> reload();
    // Reads it again only when it changed since the last read (another program recorded or
    // learnt: xrq-collect --site on this laptop), as a look at the store's mark tells in a
    // moment; true when it read again. Nothing read yet: reads it.
    platform::Result<bool> reloadIfChanged();

    // Where the knowledge comes from (after the last reload).
    SiteKnowledge knowledge() const;

    // Where `serial` is deployed at `atMs` (0: now, by this laptop's clock).
    platform::Result<UnitWhereabouts> whereIs(const QString& serial, std::int64_t atMs = 0);

    // The sites to choose from, by code.
    platform::Result<std::vector<Site>> sites();
    // The site of `code`, or NotFound (an unknown code: Invalid when malformed).
    platform::Result<Site> site(const QString& code);

    // What finding `serial` at `siteCode` at `nowMs` suggests. NotFound: the site is not known.
    platform::Result<SwapOffer> swapOffer(const QString& serial, const QString& siteCode,
                                          std::int64_t nowMs);

    // Records a field note (the note's UUID made here); Invalid for an empty or too long text,
    // neither site nor unit, or an unknown site code.
    platform::Result<Recorded> recordNote(const NoteDraft& note);
    // Records `serial` deployed at `siteCode` from `fromMs`; NotFound for an unknown site.
    platform::Result<Recorded> recordDeployment(const QString& serial, const QString& siteCode,
                                                std::int64_t fromMs);
    // Records an offer of action Swap (its removals, then its deployment) or Deploy, as one
    // transaction: all of it, or nothing. An offer of action Nothing records nothing.
    platform::Result<Recorded> recordSwap(const SwapOffer& offer);

    // Who a note says wrote it: "<laptop name> (<OS user>)".
    QString author() const;

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace fleet

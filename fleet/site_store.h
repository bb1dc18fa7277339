// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// This laptop's own store of the organisation's site facts, "sites.sqlite" in the files
// folder: what it last learnt from its server, and the notes, deployments and removals it
// recorded at visits, with the outbox the pusher sends them from.
//
// A store of its own rather than tables in the register or the series: the facts are the
// organisation's, not a unit's (a note may be about a site alone), the windowed program and
// xrq-collect write them from any thread without going through the register's writer or the
// series' download transaction, and replacing the learnt set as a whole never holds either
// of those files' locks.
//
// Tables (schema version 1, made by open):
//   learnt_site_facts(arrival PRIMARY KEY, kind, key, withdrawn, received_at, pushed_by,
//                     laptop, payload): the newest fact of each kind and key the server gave
//                     (withdrawn ones included: they take back what came before), as it gave
//                     it; replaced as a whole set at each read of the server.
//   learnt_site_reads(id = 1, read_at, facts): when the set was read, and how many facts.
//   recorded_site_facts(seq, id UNIQUE, kind, key, payload, recorded_at): every fact recorded
//                     here, never changed; it counts over the learnt set until the server is
//                     seen to hold it (site_facts_learnt) or refused it (fleet_conflicts).
//   site_facts_learnt(id PRIMARY KEY, at): recorded facts found on the server at a read.
//   fleet_outbox, fleet_conflicts, fleet_marks: the outbox (fleet/outbox.h).
//
// Threads: a SiteStore is opened, used and closed on one thread (storage/sqlite_store.h).

#include "fleet/fact.h"
#include "fleet/site_facts.h"
#include "platform/result.h"
#include "storage/sqlite_store.h"

#include <QString>

#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace fleet {

inline constexpr const char* kSitesFileName = "sites.sqlite";
inline constexpr int kSiteStoreVersion = 1;

// The server's key of a fact (xrq.site_fact_key) for the kinds a laptop records and sites:
// a note's id, a site's code, a deployment's or removal's ["unit", "ms"] as the server's
// jsonb writes it.
QString siteFactKey(const SiteFactValue& value);

// A payload as xrq.site_facts holds it read back as a fact of `kind`, checked by the same
// rule as every fact added (siteFactFault); an Invalid error saying why when it does not pass.
platform::Result<SiteFactValue> siteFactFromPayload(SiteFactKind kind, const QByteArray& payload);

// What the store holds, read in one transaction.
struct KeptSiteFacts {
    std::vector<SiteFactRecord> learnt; // by arrival
    std::int64_t learntAtMs = 0;        // 0: never learnt
    // Recorded here and not yet seen on the server, oldest first; their arrival follows the
    // learnt ones', so that they count over them (currentSiteFacts).
    std::vector<SiteFactRecord> own;
    std::set<QString> ownIds; // the ids of `own`
    std::int64_t waiting = 0; // facts still in the outbox
    UnreadFacts unread;       // kept facts that did not read back (a damaged row)
    std::string mark;         // SiteStore::mark() as of this read
};

class SiteStore {
public:
    // Opens (with `create`, makes) the store of the files folder `folder` (ending in "/").
    // NotFound without `create` when there is none yet.
    static platform::Result<SiteStore> open(const std::string& folder, bool create);

    platform::Result<KeptSiteFacts> read();
    // What the store holds, told in a few numbers (the learnt set's read, the last fact
    // recorded, those seen on the server or refused, the outbox): read in a moment whatever
    // the store holds, and equal for two reads with no change between them (by this program
    // or another: xrq-collect --site), so that a reader reads again only what changed.
    platform::Result<std::string> mark();
    // The ids of recorded facts not yet seen on the server.
    platform::Result<std::vector<QString>> unconfirmedIds();
    // Replaces the learnt set with `facts` (oldest first) read at `readAtMs`, keeping the
    // newest of each kind and key, and notes the recorded facts of `held` (ids the server
    // holds) as learnt; one transaction.
    platform::Result<void> keepLearnt(const std::vector<SiteFactRecord>& facts,
                                      const std::vector<QString>& held, std::int64_t readAtMs);
    // Records `facts` (site facts, FactKind::Site, payloads as the server takes them) in the
    // outbox and among the recorded facts, all in one transaction or none.
    platform::Result<void> record(const std::vector<Fact>& facts);

    const std::string& path() const { return m_store.path(); }

private:
    storage::Store m_store;
};

} // namespace fleet

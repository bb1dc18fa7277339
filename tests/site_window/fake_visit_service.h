// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A visit service in memory for the site panel's tests: sites and deployments set by the test,
// offers worked out as the laptop's service does (another unit recorded at the site now is
// removed), every record kept in order, a refusal on demand, and the server's answer held
// until the test hands it over.

#include "site_window/visit_service.h"

#include <QPointer>

#include <algorithm>
#include <functional>
#include <optional>
#include <vector>

namespace testsupport {

class FakeVisitService : public site_window::VisitService {
public:
    std::vector<fleet::Site> siteList;
    // Open deployments (no toMs) by unit; the latest per unit counts.
    std::vector<fleet::Deployment> deployments;
    fleet::SiteKnowledge knowledge;
    std::optional<platform::Error> refuseRecords; // every record refused with this
    std::vector<fleet::NoteDraft> notes;
    std::vector<fleet::SwapOffer> swaps;
    int learnAsks = 0;
    int keptReads = 0;                             // refreshKept's calls
    std::optional<platform::Error> refuseKeptRead; // refreshKept fails with this
    bool shares = true;
    // The held answer's hand-over: runs `done` unless the panel has gone.
    std::function<void(platform::Result<fleet::SiteFactsLearnt>)> answer;

    const fleet::Deployment* current(const QString& unit) const {
        const fleet::Deployment* found = nullptr;
        for (const fleet::Deployment& d : deployments)
            if (d.unit == unit && (!found || d.fromMs >= found->fromMs))
                found = &d;
        return found;
    }

    platform::Result<fleet::UnitWhereabouts> whereIs(const QString& serial) override {
        fleet::UnitWhereabouts w;
        w.unit = serial;
        w.knowledge = knowledge;
        if (const fleet::Deployment* d = current(serial)) {
            w.deployment = *d;
            for (const fleet::Site& s : siteList)
                if (s.code == d->site)
                    w.site = s;
            for (const fleet::Deployment& o : deployments)
                if (o.unit != serial && o.site == d->site && current(o.unit) == &o)
                    w.sideBySide.push_back(o);
        }
        return w;
    }
    platform::Result<std::vector<fleet::Site>> sites() override { return siteList; }
    platform::Result<fleet::SwapOffer> swapOffer(const QString& serial, const QString& site,
                                                 std::int64_t nowMs) override {
        if (std::none_of(siteList.begin(), siteList.end(),
                         [&](const fleet::Site& s) { return s.code == site; }))
            return platform::makeError(platform::ErrorKind::NotFound, "unknown site");
        fleet::SwapOffer offer;
        offer.unit = serial;
        offer.site = site;
        offer.atMs = nowMs;
        const fleet::Deployment* mine = current(serial);
        if (mine && mine->site == site)
            return offer;
        if (mine)
            offer.previous = *mine;
        offer.deployment = {serial, site, nowMs, std::nullopt, false};
        for (const fleet::Deployment& o : deployments)
            if (o.unit != serial && o.site == site && current(o.unit) == &o)
                offer.removals.push_back({o.unit, nowMs});
        offer.action = offer.removals.empty() ? fleet::SwapOffer::Action::Deploy
                                              : fleet::SwapOffer::Action::Swap;
        return offer;
    }
    platform::Result<fleet::Recorded> recordNote(const fleet::NoteDraft& note) override {
        if (refuseRecords)
            return *refuseRecords;
        notes.push_back(note);
        return fleet::Recorded{{QStringLiteral("note-%1").arg(notes.size())}};
    }
    platform::Result<fleet::Recorded> recordSwap(const fleet::SwapOffer& offer) override {
        if (refuseRecords)
            return *refuseRecords;
        swaps.push_back(offer);
        for (const fleet::Removal& r : offer.removals)
            std::erase_if(deployments,
                          [&](const fleet::Deployment& d) { return d.unit == r.unit; });
        deployments.push_back(offer.deployment);
        return fleet::Recorded{{QStringLiteral("swap-%1").arg(swaps.size())}};
    }
    QString author() const override { return QStringLiteral("field-laptop (tester)"); }
    platform::Result<bool> refreshKept() override {
        ++keptReads;
        if (refuseKeptRead)
            return *refuseKeptRead;
        return false;
    }
    bool learn(QObject* context,
               std::function<void(platform::Result<fleet::SiteFactsLearnt>)> done) override {
        if (!shares)
            return false;
        ++learnAsks;
        QPointer<QObject> guard(context);
        answer = [guard, done = std::move(done)](platform::Result<fleet::SiteFactsLearnt> r) {
            if (guard)
                done(std::move(r));
        };
        return true;
    }
};

} // namespace testsupport

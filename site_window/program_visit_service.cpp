// SPDX-License-Identifier: GPL-3.0-or-later
// The program's visit service: fleet::SiteVisit over its files folder, the server asked on one
// of the sharing's read threads, the pusher nudged after each record.
#include "site_window/visit_service.h"

#include "fleet/sharing.h"

namespace site_window {

namespace {

// How long a visit's ask of the server may take before the panel says it was not reached.
constexpr std::chrono::seconds kLearnTimeout{15};

class ProgramVisitService : public VisitService {
public:
    explicit ProgramVisitService(std::function<std::string()> folder)
        : m_folder(std::move(folder)) {}

    platform::Result<fleet::UnitWhereabouts> whereIs(const QString& serial) override {
        return visit().whereIs(serial);
    }
    // The panel asks for the sites first whenever it fills itself: what is kept is read again
    // then (the server's newest, or a record xrq-collect made meanwhile).
    platform::Result<std::vector<fleet::Site>> sites() override {
        if (auto again = visit().reload(); !again.ok())
            return again.error();
        return visit().sites();
    }
    platform::Result<fleet::SwapOffer> swapOffer(const QString& serial, const QString& siteCode,
                                                 std::int64_t nowMs) override {
        return visit().swapOffer(serial, siteCode, nowMs);
    }
    platform::Result<fleet::Recorded> recordNote(const fleet::NoteDraft& note) override {
        return nudged(visit().recordNote(note));
    }
    platform::Result<fleet::Recorded> recordSwap(const fleet::SwapOffer& offer) override {
        return nudged(visit().recordSwap(offer));
    }
    QString author() const override { return visit().author(); }

    bool learn(QObject* context,
               std::function<void(platform::Result<fleet::SiteFactsLearnt>)> done) override {
        using Learnt = platform::Result<fleet::SiteFactsLearnt>;
        return fleet::sharing().read<std::shared_ptr<Learnt>>(
            context,
            // A read thread of the sharing's: the folder's own files and the server only.
            [folder = m_folder()](const std::string&, const QString&, int stopFd) {
                return std::make_shared<Learnt>(
                    fleet::learnSiteFacts(folder, kLearnTimeout, stopFd));
            },
            [done = std::move(done)](std::shared_ptr<Learnt> learnt) { done(std::move(*learnt)); });
    }

private:
    platform::Result<fleet::Recorded> nudged(platform::Result<fleet::Recorded> recorded) {
        if (recorded.ok())
            fleet::sharing().nudge();
        return recorded;
    }

    // Made on first use, when the folder is known.
    fleet::SiteVisit& visit() const {
        if (!m_visit)
            m_visit = std::make_unique<fleet::SiteVisit>(m_folder());
        return *m_visit;
    }

    std::function<std::string()> m_folder;
    mutable std::unique_ptr<fleet::SiteVisit> m_visit;
};

} // namespace

std::unique_ptr<VisitService> programVisitService(std::function<std::string()> folder) {
    return std::make_unique<ProgramVisitService>(std::move(folder));
}

} // namespace site_window

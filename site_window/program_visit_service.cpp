// SPDX-License-Identifier: GPL-3.0-or-later
// The program's visit service: fleet::SiteVisit over its files folder, the server asked on one
// of the sharing's read threads, the pusher nudged after each record.
//
// What is kept is read at the first question, and again when the panel is shown after another
// program changed it (refreshKept: a look at the store's mark, the whole read only on a
// change; SiteVisit reads it again by itself after its own records); reading it costs about half a
// second at 10,000 sites and 30,000 deployments, so after the server's answer it is read on the
// read thread, into a SiteVisit of that thread's own, which then replaces this one on the UI
// thread.
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
    platform::Result<std::vector<fleet::Site>> sites() override { return visit().sites(); }
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
    platform::Result<bool> refreshKept() override { return visit().reloadIfChanged(); }

    bool learn(QObject* context,
               std::function<void(platform::Result<fleet::SiteFactsLearnt>)> done) override {
        struct Answer {
            platform::Result<fleet::SiteFactsLearnt> learnt;
            std::shared_ptr<fleet::SiteVisit> fresh; // read after the answer; none: not read
        };
        return fleet::sharing().read<std::shared_ptr<Answer>>(
            context,
            // A read thread of the sharing's: the folder's own files and the server only; the
            // fresh SiteVisit is this thread's until it is handed over.
            [folder = m_folder()](const std::string&, const QString&, int stopFd) {
                auto answer = std::make_shared<Answer>(
                    Answer{fleet::learnSiteFacts(folder, kLearnTimeout, stopFd), nullptr});
                auto fresh = std::make_shared<fleet::SiteVisit>(folder);
                if (fresh->reload().ok())
                    answer->fresh = std::move(fresh);
                return answer;
            },
            [this, done = std::move(done)](std::shared_ptr<Answer> answer) {
                if (answer->fresh)
                    m_visit = std::move(answer->fresh);
                done(std::move(answer->learnt));
            });
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
            m_visit = std::make_shared<fleet::SiteVisit>(m_folder());
        return *m_visit;
    }

    std::function<std::string()> m_folder;
    mutable std::shared_ptr<fleet::SiteVisit> m_visit;
};

} // namespace

std::unique_ptr<VisitService> programVisitService(std::function<std::string()> folder) {
    return std::make_unique<ProgramVisitService>(std::move(folder));
}

} // namespace site_window

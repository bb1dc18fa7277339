// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/sharing_start.h"

#include "dialogs/run_log.h"
#include "dialogs/source_lines.h"
#include "fleet/sharing.h"
#include "fleet/site_store.h"
#include "fleet/site_visit.h"
#include "register/register_outbox.h"
#include "register/register_writer.h"
#include "register/unit_register.h"
#include "series/series_store.h"
#include "series/span_reader.h"

#include <QObject>

fleet::SharingSources programSharingSources() {
    fleet::SharingSources sources = series::sharingSources();
    unitreg::addSharingSources(sources);
    return sources;
}

std::vector<std::string> programOutboxFiles(const std::string& filesFolder) {
    return {filesFolder + unitreg::kFileName, filesFolder + series::kFileName,
            filesFolder + fleet::kSitesFileName};
}

bool LearnSites(QObject* context, std::function<void(const QString& told, bool reached)> done) {
    fleet::Sharing& sharing = fleet::sharing();
    const std::string folder = sharing.folder();
    using Learnt = platform::Result<fleet::SiteFactsLearnt>;
    return sharing.read<Learnt>(
        context,
        [folder](const std::string&, const QString&, int stopFd) {
            return fleet::learnSiteFacts(folder, std::chrono::seconds(20), stopFd);
        },
        [done = std::move(done)](Learnt learnt) {
            const std::string told = learnt ? learnt->why
                                            : "the organisation's sites were not "
                                              "kept: " +
                                                  learnt.text();
            if (!told.empty())
                LogWrite("Sharing: " + told, source_line::sharingSitesLearnt, LogSizeLimit);
            if (done)
                done(QString::fromStdString(told), learnt && learnt->reached);
        });
}

void StartSharing(const std::string& filesFolder, QObject* shownBy,
                  std::function<void(const QString&)> showStatus) {
    fleet::Sharing& sharing = fleet::sharing();
    // The register's facts before the series' records: a series record's visit is then on
    // the server before it.
    sharing.start(filesFolder, programOutboxFiles(filesFolder), programSharingSources(),
                  [](unsigned line, const QString& message) {
                      LogWrite("Sharing: " + message.toLocal8Bit().toStdString(), line,
                               LogSizeLimit);
                  });
    LearnSites(shownBy, nullptr);
    if (shownBy && showStatus) {
        QObject::connect(sharing.signalsObject(), &fleet::SharingSignals::statusChanged, shownBy,
                         showStatus);
        showStatus(sharing.statusLine());
        // Whatever the register recorded is in its outbox now (the same transaction).
        QObject::connect(unitRegister().signalsObject(), &RegisterSignals::recorded, shownBy,
                         [] { fleet::sharing().nudge(); });
    }
}

void StopSharing() {
    fleet::sharing().stop();
}

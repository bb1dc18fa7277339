// SPDX-License-Identifier: GPL-3.0-or-later
#include "collect/collect_share.h"
#include "app/sharing_start.h"
#include "dialogs/source_lines.h"

#include "dialogs/run_log.h"
#include "fleet/fleet_settings.h"
#include "fleet/outbox.h"
#include "fleet/pg_connection.h"
#include "fleet/pusher.h"
#include "register/unit_register.h"
#include "series/series_store.h"

#include <QDateTime>

#include <chrono>
#include <mutex>
#include <utility>
#include <vector>

namespace collect {

std::optional<CollectReport::Shared> shareAtEnd(const CollectOptions& options,
                                                const std::string& filesFolder) {
    const fleet::FleetSettings settings = fleet::readFleetSettings(filesFolder);
    const QString service =
        options.service.empty() ? settings.service : QString::fromStdString(options.service);
    if (service.isEmpty())
        return std::nullopt;
    // The register's facts before the series': a series record's unit is then known there;
    // the site facts recorded at visits last.
    const std::vector<std::string> files = programOutboxFiles(filesFolder);
    CollectReport::Shared shared;
    if (options.pushWait <= 0) {
        for (const std::string& f : files)
            shared.waiting += fleet::Outbox::waitingIn(f);
        shared.status = shared.waiting == 0
                            ? "shared: up to date"
                            : std::to_string(shared.waiting) +
                                  (shared.waiting == 1 ? " fact waiting" : " facts waiting");
        return shared;
    }
    // The pusher tells its news on its own thread; the run log is written here, after it.
    std::mutex lock;
    std::vector<std::pair<unsigned, QString>> said;
    fleet::PusherConfig config;
    config.conninfo = fleet::serviceConninfo(service.toStdString());
    config.outboxFiles = files;
    config.sources = programSharingSources();
    config.log = [&](unsigned line, const QString& message) {
        std::lock_guard<std::mutex> hold(lock);
        said.emplace_back(line, message);
    };
    fleet::PushStatus status;
    bool done = false;
    {
        fleet::Pusher pusher(std::move(config));
        pusher.start();
        done = pusher.pushAndWait(std::chrono::seconds(options.pushWait));
        status = pusher.status();
        pusher.stop();
    }
    for (const auto& [line, message] : said)
        LogWrite("xrq-collect: " + message.toStdString(), line, LogSizeLimit);
    shared.pushed = status.pushed;
    shared.waiting = status.waiting;
    shared.status = fleet::statusLine(status, QDateTime::currentMSecsSinceEpoch()).toStdString();
    if (done)
        LogWrite("xrq-collect: shared with " + service.toStdString() + ": " +
                     std::to_string(shared.pushed) + " facts pushed",
                 source_line::collectorShared, LogSizeLimit);
    else
        LogWrite("xrq-collect: not all shared within " + std::to_string(options.pushWait) + " s (" +
                     shared.status + "); the facts wait for the next push",
                 source_line::collectorShareWaiting, LogSizeLimit);
    return shared;
}

} // namespace collect

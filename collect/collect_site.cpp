// SPDX-License-Identifier: GPL-3.0-or-later
#include "collect/collect_site.h"

#include "dialogs/run_log.h"
#include "dialogs/source_lines.h"
#include "fleet/fleet_settings.h"
#include "fleet/pg_connection.h"
#include "fleet/site_visit.h"

#include <QDateTime>
#include <QTimeZone>

namespace collect {

namespace {

void log(const std::string& text, unsigned line) {
    LogWrite("xrq-collect: " + text, line, LogSizeLimit);
}

std::string learntText(const fleet::SiteKnowledge& k) {
    switch (k.source) {
    case fleet::SiteKnowledge::Source::Server:
        return "server";
    case fleet::SiteKnowledge::Source::Learnt:
        return "learnt " + QDateTime::fromMSecsSinceEpoch(k.learntAtMs, QTimeZone::utc())
                               .toString(Qt::ISODateWithMs)
                               .toStdString();
    case fleet::SiteKnowledge::Source::Nothing:
        break;
    }
    return "none";
}

} // namespace

// Whole: learn, check the site, then the deployment (or swap) and the note, each told.
std::optional<CollectReport::SiteVisit> recordAtSite(const CollectOptions& options,
                                                     const std::string& filesFolder,
                                                     const std::string& serial, std::int64_t nowMs,
                                                     std::chrono::milliseconds learnTimeout) {
    const fleet::FleetSettings settings = fleet::readFleetSettings(filesFolder);
    const std::string service =
        options.service.empty() ? settings.service.toStdString() : options.service;
    // The server is asked only where the run waits for it anyway: a site to check, or a push.
    if (!service.empty() && (!options.site.empty() || options.pushWait > 0)) {
        auto learnt =
            fleet::learnSiteFactsFrom(filesFolder, fleet::serviceConninfo(service), learnTimeout);
        if (!learnt)
            log("the organisation's sites were not kept: " + learnt.text(),
                source_line::collectorSitesLearnt);
        else if (!learnt->why.empty())
            log(learnt->why, source_line::collectorSitesLearnt);
    }
    if (options.site.empty() && options.note.empty())
        return std::nullopt;

    CollectReport::SiteVisit out;
    out.site = options.site;
    out.recorded = "none";
    const auto refuse = [&](const std::string& why) {
        out.refused = why;
        log("nothing of the site recorded: " + why, source_line::collectorSiteNotRecorded);
        return out;
    };
    const QString unit = QString::fromLatin1(serial.data(), qsizetype(serial.size()));
    const QString code = QString::fromStdString(options.site);
    fleet::SiteVisit visit(filesFolder);
    if (auto loaded = visit.reload(); !loaded)
        return refuse(loaded.text());
    out.learnt = learntText(visit.knowledge());
    // Everything is checked before anything is recorded: the site, then the unit.
    std::optional<fleet::SwapOffer> offer;
    if (!options.site.empty()) {
        auto found = visit.site(code);
        if (!found)
            return refuse(found.text());
    }
    if (serial.empty())
        return refuse("the unit gave no serial number, so it is not known which unit was found");
    if (!options.site.empty()) {
        auto suggested = visit.swapOffer(unit, code, nowMs);
        if (!suggested)
            return refuse(suggested.text());
        offer = std::move(*suggested);
    }
    if (offer && offer->action != fleet::SwapOffer::Action::Nothing) {
        auto recorded = visit.recordSwap(*offer);
        if (!recorded)
            return refuse(recorded.text());
        out.recorded = offer->action == fleet::SwapOffer::Action::Swap ? "swap" : "deployment";
        for (const fleet::Removal& r : offer->removals)
            out.removed.push_back(r.unit.toStdString());
        std::string removed;
        for (const std::string& r : out.removed)
            removed += (removed.empty() ? "" : ", ") + r;
        log(serial + " recorded as deployed at " + options.site +
                (removed.empty() ? std::string() : " in place of " + removed),
            source_line::collectorSiteRecorded);
    } else if (offer) {
        out.recorded = "already";
    }
    if (!options.note.empty()) {
        fleet::NoteDraft note;
        note.category = fleet::noteCategoryFromName(QString::fromStdString(options.noteCategory))
                            .value_or(fleet::NoteCategory::Other);
        note.text = QString::fromStdString(options.note);
        note.site = code;
        note.unit = unit;
        note.atMs = nowMs;
        auto recorded = visit.recordNote(note);
        if (!recorded) {
            out.refused = "the note was not recorded: " + recorded.text();
            log(out.refused, source_line::collectorSiteNotRecorded);
            return out;
        }
        out.noteRecorded = true;
        log("a note about " + (options.site.empty() ? serial : options.site) + " recorded",
            source_line::collectorSiteRecorded);
    }
    return out;
}

} // namespace collect

// SPDX-License-Identifier: GPL-3.0-or-later
#include "series/learnt_clock_sets.h"

#include "series/series_apply.h"
#include "series/series_store.h"

#include "fleet/fleet_settings.h"
#include "fleet/pg_connection.h"
#include "fleet/server_history.h"

#include <vector>

namespace series {

ClockFact clockFactOf(const fleet::ServerClockSet& set) {
    const QByteArray sent = set.sent.toLatin1();
    return {set.atMs, set.utcOffsetSeconds,
            std::string(sent.constData(), std::size_t(sent.size()))};
}

ClockSetsLearnt learnClockSets(const std::string& folder, const std::string& serial,
                               std::chrono::milliseconds timeout) {
    ClockSetsLearnt out;
    const fleet::FleetSettings settings = fleet::readFleetSettings(folder);
    if (!settings.shared())
        return out;
    out.shared = true;
    const fleet::ServerClockSets told = fleet::readUnitClockSets(
        fleet::serviceConninfo(settings.service.toStdString()),
        QString::fromLatin1(serial.data(), qsizetype(serial.size())), timeout);
    if (!told.ok) {
        out.why = "the organisation's clock sets were not read (" + told.message.toStdString() +
                  "): those known are used";
        return out;
    }
    std::vector<ClockFact> sets;
    sets.reserve(told.clockSets.size());
    for (const fleet::ServerClockSet& set : told.clockSets)
        sets.push_back(clockFactOf(set));
    SeriesStore store;
    auto kept = [&]() -> platform::Result<std::size_t> {
        if (auto opened = store.openToKeep(storePath(folder)); !opened)
            return opened.error();
        return store.keepLearntClockSets(serial, sets);
    }();
    if (!kept) {
        out.why = "the organisation's clock sets were not kept: " + kept.text();
        return out;
    }
    out.added = *kept;
    out.reached = true;
    // Clock sets of the unit the server holds but no reader can take (another laptop's
    // hostile or broken fact): told, and the export goes on without them.
    if (!told.unread.empty())
        out.why = told.unread.told().toStdString();
    return out;
}

} // namespace series

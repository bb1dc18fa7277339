// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What the site panel calls: the laptop's visit service (fleet/site_visit.h) behind a seam of
// its own, so that the window is tried with a test double and the program hands it the real
// one (start/program_start.cpp). Every call but learn() is a short local read or write, on the
// UI thread; learn() asks the organisation's server on a thread of its own and calls `done` on
// the UI thread afterwards, never before it returns.

#include "fleet/site_visit.h"

#include <QObject>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace site_window {

class VisitService {
public:
    virtual ~VisitService() = default;

    virtual platform::Result<fleet::UnitWhereabouts> whereIs(const QString& serial) = 0;
    virtual platform::Result<std::vector<fleet::Site>> sites() = 0;
    virtual platform::Result<fleet::SwapOffer>
    swapOffer(const QString& serial, const QString& siteCode, std::int64_t nowMs) = 0;
    virtual platform::Result<fleet::Recorded> recordNote(const fleet::NoteDraft& note) = 0;
    virtual platform::Result<fleet::Recorded> recordSwap(const fleet::SwapOffer& offer) = 0;
    virtual QString author() const = 0;
    // Reads again what the laptop keeps when another program changed it since the last read
    // (xrq-collect --site recording a note or a deployment while the program runs, sharing or
    // not); true when it read again. A look of a moment when nothing changed.
    virtual platform::Result<bool> refreshKept() = 0;

    // Asks the server for the site facts and keeps them; `done` runs on the UI thread with what
    // came of it, unless `context` has gone by then. False (and `done` never runs) when
    // nothing is asked: the laptop does not share, or its sharing has not started.
    virtual bool learn(QObject* context,
                       std::function<void(platform::Result<fleet::SiteFactsLearnt>)> done) = 0;
};

// The program's: fleet::SiteVisit over the files folder that `folder` names when first asked
// (ending in "/"; the program knows it once its main window has started), the server asked
// through the program's sharing (fleet::sharing()), which is nudged after each record.
std::unique_ptr<VisitService> programVisitService(std::function<std::string()> folder);

} // namespace site_window

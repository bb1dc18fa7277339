// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What the site panel shows, offers and refuses, worked out without a window from the visit
// service's answers (fleet/site_visit.h), so that tests call it with no widget. Times are ms
// since 1970 UTC; they are shown in the zone handed in (the operator's local zone in the
// program), with its abbreviation. Texts are plain: the panel's labels show them as such,
// whatever a server's site name holds.

#include "fleet/site_visit.h"

#include <QPoint>
#include <QRect>
#include <QString>
#include <QStringList>
#include <QTimeZone>

#include <cstdint>
#include <vector>

namespace site_window {

// How far ahead of this laptop's clock a time may be (a clock read a moment ago).
inline constexpr std::int64_t kFutureSlackMs = 60 * 1000;
// The longest note the service takes.
inline constexpr int kNoteMaxChars = 4000;

// "2026-03-01 09:00 CET".
QString shownTime(std::int64_t ms, const QTimeZone& zone);

// The panel's first lines about the unit.
struct WhereShown {
    // "QK7Z04M1 is at RIVER-03, Bridge gauge, since 2026-03-01 09:00 CET." or that it is not
    // recorded at any site.
    QString where;
    // Where that comes from: the server now, learnt at a time, or this laptop alone.
    QString source;
    // One line per other unit deployed at the same site now.
    QStringList beside;
};
WhereShown whereShown(const fleet::UnitWhereabouts& w, const QTimeZone& zone);

// What the deployment's button says and does for an offer, and the lines above it.
struct OfferShown {
    QString text;
    QString button;      // "Record Deployment", "Record Swap"; empty: nothing to record
    QStringList removed; // Swap: one line per unit to be removed ("Remove QK7Z04M2")
};
OfferShown offerShown(const fleet::SwapOffer& offer, const QTimeZone& zone);

// The offer as the operator confirmed it: the removals whose boxes stay ticked (`kept[i]` for
// removals[i]; missing entries count as ticked). A swap left with no removal is a deployment.
fleet::SwapOffer confirmedOffer(fleet::SwapOffer offer, const std::vector<bool>& kept);

// Checks of what the operator entered, before anything is recorded: empty when it may be
// recorded, else what to put right, in words.
QString checkTime(std::int64_t atMs, std::int64_t nowMs, const QTimeZone& zone);
QString checkSiteChosen(const QString& code, const std::vector<fleet::Site>& sites);
QString checkNote(const fleet::NoteDraft& note, const std::vector<fleet::Site>& sites,
                  std::int64_t nowMs, const QTimeZone& zone);

// The items of the site chooser: "RIVER-03  Bridge gauge", by code.
QStringList siteChoices(const std::vector<fleet::Site>& sites);
// The site code the operator typed or chose in the chooser: an item's code, a known code typed
// in any case (alone or before other words), else the first word as typed (which
// checkSiteChosen then refuses as unknown); empty for nothing typed.
QString siteCodeTyped(const QString& typed, const std::vector<fleet::Site>& sites);

// Where a window whose frame is `frame` big goes beside the window framed by `owner` within the
// screen's free `area`: to its right, else to its left, else (no room either side) at the
// screen's edge on the side with more room, so that it covers as little of the owner as it
// can; its top level with the owner's, moved up as far as it must to stay inside the area.
QPoint placeBeside(const QRect& owner, const QSize& frame, const QRect& area);

// What a refusal of the service says in the panel.
QString refusedText(const platform::Error& error);

} // namespace site_window

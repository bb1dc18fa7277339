// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// xrq-collect --site CODE [--note TEXT] [--note-category C]: what the operator standing at a
// site says of it, recorded after the download is done and safe (fleet/site_visit.h): the
// unit's deployment at CODE when it is not recorded there (a swap when another unit is), and
// the note. An unknown code (by the sites this laptop learnt) is refused before anything is
// recorded; nothing of the download depends on it. Plain logic, no windows; UI thread (the
// learn at the end waits for the server at most its timeout, as --push-wait does).

#include "collect/collect_options.h"
#include "collect/collect_report.h"

#include <chrono>
#include <optional>
#include <string>

namespace collect {

// Learns the organisation's sites when a service is named (for this run, or in fleet.ini)
// and either --site or --push-wait asks for the server at the end; then records what the
// options say of `serial` at the site. None when the options ask for nothing of a site.
std::optional<CollectReport::SiteVisit> recordAtSite(const CollectOptions& options,
                                                     const std::string& filesFolder,
                                                     const std::string& serial, std::int64_t nowMs,
                                                     std::chrono::milliseconds learnTimeout);

} // namespace collect

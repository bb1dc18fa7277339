// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// xrq-collect's sharing at its end: which server (--service, else fleet.ini's), and with
// --push-wait a pusher over the register's outbox and then the series', waited for at most
// that long. A push that does not finish is told in the report and the run log; the facts
// stay in the outboxes for the program or the next run, and the exit status is untouched.
// UI thread, after the register has been closed (its last events written).

#include "collect/collect_options.h"
#include "collect/collect_report.h"

#include <optional>
#include <string>

namespace collect {

// `filesFolder` ends with "/". Nothing when the run is not shared.
std::optional<CollectReport::Shared> shareAtEnd(const CollectOptions& options,
                                                const std::string& filesFolder);

} // namespace collect

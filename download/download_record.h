// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What the unit register keeps of one download, made from its outcome. The window and the
// collector record it as it is; nothing of it is worked out in a form.

#include "download/download_command.h"
#include "register/unit_register.h"

#include <cstdint>
#include <string>

namespace download {

// `serial`: the unit that answered just before the download (empty when it gave none);
// `startedMs`, `endedMs`: when the download began and was judged.
unitreg::Download downloadRecord(const DownloadOutcome& outcome, const std::string& serial,
                                 std::int64_t startedMs, std::int64_t endedMs);

} // namespace download

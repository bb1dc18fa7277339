// SPDX-License-Identifier: GPL-3.0-or-later
#include "download/download_record.h"

namespace download {

unitreg::Download downloadRecord(const DownloadOutcome& outcome, const std::string& serial,
                                 std::int64_t startedMs, std::int64_t endedMs) {
    unitreg::Download download;
    download.serial = serial;
    download.started = startedMs;
    download.ended = endedMs;
    download.bytes = outcome.figures.captureBytes;
    download.files = outcome.files;
    download.sets = int(outcome.files.size());
    download.keptFile = outcome.keptFile;
    download.complete = outcome.downloaded;
    download.why = outcome.unverified;
    download.verified = outcome.verified;
    download.reasons = outcome.reasons;
    for (const SetLineCount& set : outcome.setLines)
        download.setLines.push_back({set.name, static_cast<int>(set.lines)});
    download.lineErrors = outcome.lineErrors.text();
    // A kept copy that failed is named as failed, with its reason, never as where the bytes
    // are (its kept_file stays empty).
    if (!outcome.keptFailure.empty())
        download.reasons.push_back(outcome.keptFailure);
    return download;
}

} // namespace download

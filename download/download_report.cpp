// SPDX-License-Identifier: GPL-3.0-or-later
#include "download/download_report.h"

namespace download {

void tellOutcome(DownloadReport* report, const std::string& text) {
    if (report)
        report->outcome(QString::fromLocal8Bit(text.c_str()));
}

} // namespace download

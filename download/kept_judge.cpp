// SPDX-License-Identifier: GPL-3.0-or-later
#include "download/kept_judge.h"

#include "download/download_verdict.h"
#include "download/line_reader.h"
#include "series/series_apply.h"
#include "ui_handover/off_ui_thread.h"

#include <QPointer>

#include <cerrno>
#include <cstring>
#include <memory>
#include <sys/stat.h>

namespace download {

platform::Result<std::vector<std::string>> judgeKeptLines(const std::string& keptPath) {
    LineReader reader;
    if (!reader.open(keptPath))
        return platform::errnoError(errno, keptPath + ": " + std::strerror(errno));
    LineJudge judge;
    judge.judgePrompt(reader.trailingHead(), reader.trailingBytes(), {});
    std::string_view piece;
    bool first = false, last = false;
    while (reader.nextPiece(piece, first, last))
        judge.feed(piece, first, last, reader.endedWithCr());
    if (reader.failed())
        return platform::errnoError(errno, keptPath + ": " + std::strerror(errno));
    judge.finish();
    return judge.reasons();
}

namespace {

struct Judged {
    unitreg::KeptToJudge kept;
    bool read = false;
    std::vector<std::string> reasons;
    std::string why;
};

bool storeExists(const std::string& filesFolder) {
    struct stat st {};
    return ::lstat(series::storePath(filesFolder).c_str(), &st) == 0;
}

} // namespace

void judgeKeptDownloadsAgain(RegisterWriter& reg, QObject* context, std::string filesFolder,
                             std::function<void(const JudgedAgainSummary&)> done) {
    QPointer<QObject> guard(context);
    reg.query<std::vector<unitreg::KeptToJudge>>(
        context, [](unitreg::UnitRegister& r) { return r.keptToJudgeAgain(); },
        [&reg, guard, filesFolder = std::move(filesFolder),
         done = std::move(done)](std::vector<unitreg::KeptToJudge> waiting) {
            JudgedAgainSummary summary;
            if (waiting.empty()) {
                done(summary);
                return;
            }
            // The files are read on a thread of their own; the register hears each outcome
            // from the UI thread, as from every other event site.
            const std::vector<Judged> judged = platform::runOffUiThread([&] {
                std::vector<Judged> out;
                for (const unitreg::KeptToJudge& kept : waiting) {
                    Judged j;
                    j.kept = kept;
                    auto read = judgeKeptLines(kept.keptFile);
                    j.read = read.ok();
                    if (read)
                        j.reasons = std::move(*read);
                    else
                        j.why = read.text();
                    out.push_back(std::move(j));
                }
                return out;
            });
            for (const Judged& j : judged) {
                if (!j.read) {
                    summary.unreadable.push_back(j.why);
                    reg.judgedAgainStillSafe(j.kept.downloadId);
                    continue;
                }
                ++summary.judged;
                if (j.reasons.empty()) {
                    reg.judgedAgainStillSafe(j.kept.downloadId);
                    continue;
                }
                unitreg::JudgedAgain fact;
                fact.downloadId = j.kept.downloadId;
                fact.serial = j.kept.serial;
                fact.at = unitreg::nowMs();
                fact.downloadStarted = j.kept.started;
                fact.reasons = j.reasons;
                reg.recordJudgedAgain(std::move(fact));
                std::string text = j.kept.keptFile + ":";
                for (const std::string& r : j.reasons)
                    text += " " + r + ";";
                text.pop_back();
                summary.notSafe.push_back(std::move(text));
            }
            if (!summary.notSafe.empty() && storeExists(filesFolder)) {
                // The rebuild reads the register: what was just handed in is written first.
                const series::RebuildResult rebuilt = platform::runOffUiThread([&] {
                    reg.waitIdle(std::chrono::seconds(30));
                    return series::rebuild(filesFolder);
                });
                summary.rebuilt = rebuilt.ok;
                summary.rebuildError = rebuilt.error;
            }
            if (guard)
                done(summary);
        });
}

std::vector<std::string> judgedAgainLogLines(const JudgedAgainSummary& summary) {
    std::vector<std::string> lines;
    if (summary.judged == 0 && summary.unreadable.empty())
        return lines;
    lines.push_back("Earlier downloads judged again by the current line rules: " +
                    std::to_string(summary.judged) +
                    ", no longer verified: " + std::to_string(summary.notSafe.size()));
    for (const std::string& s : summary.notSafe)
        lines.push_back("Judged again, not verified: " + s);
    for (const std::string& s : summary.unreadable)
        lines.push_back("Not judged again, its kept copy cannot be read: " + s);
    if (!summary.notSafe.empty()) {
        if (summary.rebuilt)
            lines.push_back("The series was built again from the kept downloads");
        else if (!summary.rebuildError.empty())
            lines.push_back("The series could not be built again: " + summary.rebuildError);
    }
    return lines;
}

} // namespace download

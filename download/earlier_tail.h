// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What a unit still sending sent before it answered (the session reads it before its first
// exchange, see session::SerialSession::OnEarlierSending): the tail of an earlier download, kept as
// a kept download of its own, <kept downloads folder><local date and time>_tail.txt, so that
// whatever of the unit's data came is on the disk. Written as it arrives, synced with its
// folder when the line has fallen quiet. UI thread only.

#include "download/download_report.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace session {
class SerialSession;
}

namespace download {

class EarlierTail {
public:
    EarlierTail() = default;
    ~EarlierTail();
    EarlierTail(const EarlierTail&) = delete;
    EarlierTail& operator=(const EarlierTail&) = delete;

    // Creates the file (never replacing one), making the folder when missing. False with
    // failure() when it cannot.
    bool create(const std::string& folder);
    // The first failure is noted; later bytes are counted, not written.
    void write(std::string_view bytes);
    // Syncs and closes the file, then syncs its folder. False with failure().
    bool finish();

    const std::string& path() const { return m_path; }
    std::uint64_t bytes() const { return m_bytes; }
    // Every byte that came is in the file, which is on the disk.
    bool whole() const { return m_finished && m_failure.empty(); }
    const std::string& failure() const { return m_failure; }

private:
    void failed(const std::string& what);

    int m_fd = -1;
    std::string m_path;
    std::uint64_t m_bytes = 0;
    bool m_finished = false;
    std::string m_failure;
};

// The words for the operator once the line fell quiet (or the wait ran out: `cutOff`): "The
// XRQ unit was still sending an earlier download: 12.3 KB came before it answered; kept in
// <path>", or why they could not be kept.
std::string earlierSendingText(const EarlierTail& tail, bool cutOff);

// Sets the session's hooks: the tail kept in the kept downloads folder of the unit last known
// on the port (`serial`, empty: unknown) under `filesFolder`; while it comes, its progress to
// `report` (may be null); at its end the outcome to the run log, `report` and `told` (may be
// unset).
void keepEarlierSending(session::SerialSession& session, std::function<std::string()> filesFolder,
                        std::function<std::string()> serial, std::shared_ptr<DownloadReport> report,
                        std::function<void(const std::string&)> told);

} // namespace download

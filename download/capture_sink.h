// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Where a download's bytes go as they arrive: the intermediate file, and a kept copy of its
// own under the program's files folder that no later download overwrites. Each chunk goes
// to the kernel at once (no buffer of ours to lose in a crash), and every write is checked:
// the first failure of the intermediate file ends the capture. When the capture ends both
// are synced, so that what they hold survives a power cut. UI thread only.

#include "platform/result.h"
#include "session/byte_sink.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace download {

class CaptureSink : public session::ByteSink {
public:
    CaptureSink() = default;
    ~CaptureSink() override;
    CaptureSink(const CaptureSink&) = delete;
    CaptureSink& operator=(const CaptureSink&) = delete;

    // Takes over the open (empty) intermediate file; `path` is its full path.
    void attachIntermediate(int fd, std::string path);
    // Creates the kept copy as <folder><local date and time>.txt (a number added when that
    // name is taken), making the folder when missing; the error (its kind from errno) when it
    // cannot.
    platform::Result<void> createKept(const std::string& folder);

    // One received chunk, to both files. False once the intermediate file has failed: the
    // capture must end (failure() says why). A failing kept copy is noted and left behind.
    bool write(std::string_view bytes) override;
    // Syncs and closes the intermediate file and the kept copy (and the copy's folder). False
    // when either could not be made durable; the reasons are in failure() / keptFailure().
    bool finish();

    std::uint64_t bytes() const { return m_bytes; }
    bool failed() const { return !m_failure.empty(); }
    // "Cannot write intermediate data file <path>: <reason>".
    const std::string& failure() const { return m_failure; }
    const std::string& intermediatePath() const { return m_path; }
    const std::string& keptPath() const { return m_keptPath; }
    bool keptWhole() const { return !m_keptPath.empty() && m_keptFailure.empty(); }
    const std::string& keptFailure() const { return m_keptFailure; }

    // Test seam: while not 0, the kept copy's writes fail with this errno, as on a full or
    // removed disk. Any thread; the program never sets it.
    static void failKeptWritesForTests(int err);

private:
    void keptFailed(const char* what);

    int m_fd = -1;
    int m_keptFd = -1;
    std::uint64_t m_bytes = 0;
    std::string m_path;
    std::string m_keptPath;
    std::string m_failure;
    std::string m_keptFailure;
};

// The folder of every unit's kept downloads: <files folder>downloads/.
std::string keptDownloadsRoot(const std::string& filesFolder);
// The folder of a unit's kept downloads: <files folder>downloads/<serial>/ ("unknown" for a
// unit that did not give its serial number), the serial made safe as a file name.
std::string keptDownloadFolder(const std::string& filesFolder, const std::string& serial);

// A kept file of its own in `folder`: <local date and time><suffix>
// ("2026-12-09_07-00-01.txt"), a number added ("..._2.txt", up to 999) when that name is
// taken; never one that exists. `fd` below 0 on failure, with the name that failed and its
// errno.
struct StampedFile {
    int fd = -1;
    std::string path;
    int error = 0;
};
StampedFile createStampedFile(const std::string& folder, const std::string& suffix);

} // namespace download

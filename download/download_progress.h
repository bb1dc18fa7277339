// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What a running download has brought so far, read from the bytes as they arrive: the data
// sets begun (each named by its header line), the records of each, and whether the unit said
// it has no data. Lines are classified as the conversion does afterwards, so the counts shown
// during the download are those of the files it will write. Plain logic, bounded memory: of
// a line only its first bytes are kept (enough for its kind and its set's name).
//
// Also the texts of the two progress lines and the summary of the files a download wrote.

#include <QString>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace download {

// Figures for the status bar while a download runs.
class DownloadProgress {
public:
    void start(std::int64_t nowMs);
    void update(std::uint64_t bytes, std::int64_t nowMs);
    std::uint64_t bytes() const { return m_bytes; }
    double elapsedSeconds() const;
    double bytesPerSecond() const;
    // e.g. "Receiving data: 1.25 MB in 4.0 s (312.5 kB/s)"; "Received ..." once finished.
    QString statusText(bool finished = false) const;

private:
    std::int64_t m_startMs = 0;
    std::int64_t m_nowMs = 0;
    std::uint64_t m_bytes = 0;
};

// "12 bytes", "12.3 kB", "1.25 MB" (decimal units, C locale).
QString formatByteCount(double bytes);

struct SetProgress {
    std::string name; // as the header carries it (bytes)
    std::uint64_t records = 0;
};

class DownloadProgressModel {
public:
    // The longest head of a line that is kept (names longer than this are shown cut).
    static constexpr std::size_t kLineHead = 512;

    // Received bytes, in order, in chunks of any size.
    void feed(std::string_view bytes);

    const std::vector<SetProgress>& sets() const { return m_sets; }
    // The set now arriving (the last header seen), or nullptr before the first header.
    const SetProgress* current() const { return m_sets.empty() ? nullptr : &m_sets.back(); }
    std::uint64_t records() const { return m_records; }
    // Data lines before the first header: the conversion drops them.
    std::uint64_t linesWithoutSet() const { return m_orphans; }
    bool noData() const { return m_noData; }
    std::uint64_t bytes() const { return m_bytes; }

private:
    void endLine();
    void settleFirst();

    std::vector<SetProgress> m_sets;
    std::uint64_t m_records = 0;
    std::uint64_t m_orphans = 0;
    std::uint64_t m_bytes = 0;
    bool m_noData = false;
    std::string m_head; // the first kLineHead bytes of the line being received
    std::size_t m_lineLength = 0;
    // The current set's first data line while the next one is awaited: it may be the set's
    // title line (series/download_text.h's namesColumns), which is counted until it proves so.
    std::string m_first;
    bool m_firstWaits = false;
};

// A data set's name for the screen: Latin-1, control bytes shown as '?'.
QString setNameText(const std::string& name);

// First progress line: "Data set 2 of so far: SITE2, 1234 records (3456 records in all)" and
// the like; "Waiting for the first data set" before a header, "No data in XRQ" when said.
QString setsLine(const DownloadProgressModel& model, bool finished);
// Second progress line: "1.25 MB in 40.0 s (31.2 kB/s); last byte 0.2 s ago".
QString bytesLine(const DownloadProgress& progress, double sinceLastByteSeconds, bool finished);

// One data file a download wrote.
struct FileSummary {
    std::string path;
    std::uint64_t records = 0; // its lines after the header and the title line
    std::uint64_t bytes = 0;
    bool readable = true; // false when it could not be read back (records and size unknown)
};

// Reads each file back (lines counted in pieces, never held whole).
std::vector<FileSummary> summarizeFiles(const std::vector<std::string>& paths);

// "SITE1.txt: 2 records, 1.2 kB".
QString summaryLine(const FileSummary& file);

} // namespace download

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A raw download (the unit's answer to "F", as the intermediate file and the kept copy hold
// it) read back as its data sets: each set's name and its records, whole lines only. The
// lines are told apart by the same rule the conversion uses (download_lines.h), so the
// series and the data files always agree on what a record is.

#include <string>
#include <string_view>
#include <vector>

namespace series {

struct SetLines {
    std::string name;                 // the header's name, bytes as sent
    std::vector<std::string> records; // every record line after the header, line end removed
    // The set ended inside the download (another header, or the unit's prompt followed it);
    // false for the last set of a download cut short.
    bool complete = true;
    // The set's title line (namesColumns), bytes as sent; empty when the set has none.
    std::string titles = {};
};

struct DownloadSets {
    std::vector<SetLines> sets;
    bool readable = true; // false: the file could not be read (error says why)
    std::string error;
    bool noData = false; // the unit answered "No data"
    bool cut = false;    // no prompt after the last line: the last set is incomplete
};

// What a line of the answer (line end removed) is to its data sets: the one rule of every
// reader of a download's sets (parseDownloadText, readDownloadRecords). A record counts only
// after a set's header; for SetStart, `name` is the set's name.
enum class LineRole { Other, Record, SetStart, NoData, BadHeader };
LineRole roleOf(std::string_view line, std::string& name);
// Why a download whose header holds no ':' is not read (the conversion stops at it too).
inline constexpr const char* kHeaderWithoutColon = "data-set header without ':'";

// Whether `line`, the first data line after a set's header, is the set's title line: it
// names the columns (no time stamp, no cell a number) and has as many fields as the record
// after it (`next`, which begins with its time stamp; null when none follows). Such a line stays in
// the data file as the unit sent it but is never a record: the series keeps it as the set's column
// titles. The one rule of every reader of a download's sets (and of a series held before it was
// made).
bool namesColumns(std::string_view line, const std::string_view* next);
// A line's fields as the unit separated them: at commas, blanks and tabs around each trimmed.
std::vector<std::string_view> fieldsOf(std::string_view line);
// The same into `out` (emptied first), for a reader of many lines that keeps its vector.
void fieldsOf(std::string_view line, std::vector<std::string_view>& out);

// The sets of a raw download's text. Its prompt's line (download_lines.h: what follows the
// last LF, or a line that is only the prompt) is no record, nor is the torn end of a cut
// download.
DownloadSets parseDownloadText(std::string_view text);
// The same, read from a file (a kept download) and held whole: for tests and small files;
// the series and the comparisons read a download as a stream (download_records.h).
DownloadSets readDownloadFile(const std::string& path);

} // namespace series

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The unit's logged memory: data sets, each a name and its records (one text line each).
// Also the plain-text data file in which sets are kept on disk and the sets the simulator
// can make up on its own (bundled sample, generated, hostile names).
//
// Data file format (also what --print-sample writes):
//   - a line "Name: <name>" starts a data set; the name is the rest of the line after
//     "Name:" and one blank (it may be empty);
//   - every other non-empty line is a record of the current set, sent unchanged;
//   - empty lines and lines beginning with '*' are skipped;
//   - CR LF and LF line ends are both accepted.
// A record may not begin with 'N' or 'F' (the program would take it for a header or a
// command line), nor come before the first header: such files are refused with the line
// number, so a typo never silently changes what the download looks like.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

struct DataSet {
    std::string name;
    std::vector<std::string> records;

    bool operator==(const DataSet&) const = default;
};

// Parses data file text. Throws std::runtime_error("line N: ...") on a malformed line.
std::vector<DataSet> parseDataText(std::string_view text);
// Reads and parses a data file. Throws std::runtime_error naming the file on failure.
std::vector<DataSet> loadDataFile(const std::string& path);
// The data file text of the sets (LF line ends); parseDataText gives the sets back.
std::string formatDataText(const std::vector<DataSet>& sets);

// The bundled sample: a few sites with a column line and some hours of readings.
std::vector<DataSet> sampleDataSets();
// count sets named SITE01, SITE02, ... of `records` records each. Each record is a time
// stamp and readings, made the same way for the same seed; recordLength > 0 pads or cuts
// every record to exactly that many bytes (over 8000 gives the over-long lines a line
// buffer must split).
std::vector<DataSet> generateDataSets(std::size_t count, std::size_t records,
                                      std::size_t recordLength = 0, unsigned seed = 1);
// Sets whose names are unsafe as file names: "../x", "a/b", an empty name and one of 300
// characters, two records each.
std::vector<DataSet> hostileDataSets();
// One set "LONGLINES" whose records are 7998, 7999, 8000, 8001 and 16000 bytes long: both
// sides of the 7999-byte pieces in which the program reads lines back.
std::vector<DataSet> longLineDataSets();
// Clean sets that look unusual: a name in 8-bit text ("Temp \xb0C \xb5S") with records of
// tabs and 8-bit text, a set "EMPTY" without records, and a set with a '*' note among its
// records.
std::vector<DataSet> unusualDataSets();

} // namespace sim

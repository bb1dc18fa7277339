// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Two reads of the unit's memory compared, for a clear that no one watches. A byte changed
// inside a record cannot be seen in one download (the line has no parity), and after a clear
// the unit never sends it again; so the memory is read twice and cleared only when the first
// read's data sets are the beginning of the second's, record for record, byte for byte. The
// unit keeps logging while it sends: records logged between the two reads may follow a set's
// records in the second, and new sets may follow the last. What the data files do not hold
// is not compared: the echo and noise before the answer, and the unit's '*' lines, which
// carry its clock and its record counts. Plain logic.

#include <string>
#include <string_view>

namespace download {

// Empty when the data sets of `first` begin those of `second`; else why not, in words that
// follow "the two reads of the memory differ: ".
std::string firstReadBeginsSecond(std::string_view first, std::string_view second);

// The same for two kept downloads by their paths (a file that cannot be read is a reason).
std::string firstKeptReadBeginsSecond(const std::string& firstPath, const std::string& secondPath);

} // namespace download

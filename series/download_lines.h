// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The kinds of line in the unit's answer to "F", told by their first one or two bytes: one
// rule for the conversion into data files and for the series, so both take the same lines
// for records. Pure functions on bytes.

#include <string>
#include <string_view>

namespace series {

enum class LineKind { Blank, Comment, Command, NoData, Header, Data };

// Kind of a line whose line end has been removed.
LineKind classifyLine(std::string_view line);

// The data-set name of a header: the text that starts two bytes after the first ':' (empty
// when fewer than two bytes follow it). Returns false when the line holds no ':'.
bool headerName(std::string_view header, std::string& name);

} // namespace series

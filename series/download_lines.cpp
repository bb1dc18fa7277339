// SPDX-License-Identifier: GPL-3.0-or-later
#include "series/download_lines.h"

namespace series {

LineKind classifyLine(std::string_view line) {
    if (line.empty())
        return LineKind::Blank;
    switch (line[0]) {
    case '*':
        return LineKind::Comment;
    case 'F':
        return LineKind::Command;
    case 'N':
        return line.size() > 1 && line[1] == 'o' ? LineKind::NoData : LineKind::Header;
    default:
        return LineKind::Data;
    }
}

bool headerName(std::string_view header, std::string& name) {
    const auto colon = header.find(':');
    if (colon == std::string_view::npos)
        return false;
    const auto start = colon + 2;
    name = start < header.size() ? std::string(header.substr(start)) : std::string();
    return true;
}

} // namespace series

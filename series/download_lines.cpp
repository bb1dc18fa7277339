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

void HeaderName::feed(std::string_view piece) {
    if (!m_colon) {
        const auto colon = piece.find(':');
        if (colon == std::string_view::npos)
            return;
        m_colon = true;
        piece.remove_prefix(colon + 1);
    }
    if (m_separator > 0 && !piece.empty()) {
        --m_separator;
        piece.remove_prefix(1);
    }
    if (m_name.size() < m_keep)
        m_name.append(piece.substr(0, m_keep - m_name.size()));
}

bool headerName(std::string_view header, std::string& name) {
    HeaderName reader;
    reader.feed(header);
    if (!reader.hasColon())
        return false;
    name = reader.name();
    return true;
}

} // namespace series

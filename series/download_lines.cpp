// SPDX-License-Identifier: GPL-3.0-or-later
#include "series/download_lines.h"

#include <algorithm>

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

namespace {

bool blankOrLineEnd(char c) {
    return c == ' ' || c == '\r' || c == '\n';
}

} // namespace

std::size_t promptTailLength(std::string_view tail, bool whole) {
    const auto lastLf = tail.rfind('\n');
    if (lastLf == std::string_view::npos)
        return tail.size();
    const std::string_view afterLastLf = tail.substr(lastLf + 1);
    const std::size_t plain = afterLastLf.size();
    if (afterLastLf.find_first_not_of(" \r") != std::string_view::npos)
        return plain; // the prompt, or a torn line, after the last LF
    const auto prompt = tail.rfind('>', lastLf);
    if (prompt == std::string_view::npos)
        return plain;
    for (std::size_t i = prompt + 1; i < tail.size(); ++i)
        if (!blankOrLineEnd(tail[i]))
            return plain;
    const auto lineEnd = tail.rfind('\n', prompt);
    if (lineEnd == std::string_view::npos && !whole)
        return plain; // the line reaches beyond what is seen here
    const std::size_t lineStart = lineEnd == std::string_view::npos ? 0 : lineEnd + 1;
    return tail.size() - lineStart;
}

std::size_t answerLinesLength(std::string_view answer) {
    const bool whole = answer.size() <= kPromptWindow;
    const std::string_view tail =
        answer.substr(answer.size() - std::min(answer.size(), kPromptWindow));
    if (whole || tail.find('\n') != std::string_view::npos)
        return answer.size() - promptTailLength(tail, whole);
    const auto lastLf = answer.rfind('\n');
    return lastLf == std::string_view::npos ? 0 : lastLf + 1;
}

} // namespace series

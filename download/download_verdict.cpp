// SPDX-License-Identifier: GPL-3.0-or-later
#include "download/download_verdict.h"

#include <algorithm>
#include <cstdio>

namespace download {

namespace {

// Enough of a line to tell its kind, a header's beginning and a name for the reasons.
constexpr std::size_t kHead = 256;
constexpr std::size_t kShown = 40;

// A line's bytes for a reason: printable ASCII as it is, anything else as '?', cut at
// kShown (the reasons go to boxes, the run log and --json alike).
std::string shown(std::string_view text) {
    std::string out;
    for (const char c : text.substr(0, kShown)) {
        const auto u = static_cast<unsigned char>(c);
        out += u >= 0x20 && u < 0x7F ? c : '?';
    }
    if (text.size() > kShown)
        out += "...";
    return out;
}

std::string lines(std::uint64_t n) {
    return std::to_string(n) + (n == 1 ? " line" : " lines");
}

bool isControl(unsigned char u) {
    return (u < 0x20 && u != '\t') || u == 0x7F;
}

} // namespace

bool oneLetterAway(std::string_view text, std::string_view start) {
    if (text == start)
        return false;
    if (text.size() == start.size()) {
        std::size_t differ = 0;
        for (std::size_t i = 0; i < text.size(); ++i)
            differ += text[i] != start[i];
        return differ == 1;
    }
    const std::string_view longer = text.size() > start.size() ? text : start;
    const std::string_view shorter = text.size() > start.size() ? start : text;
    if (longer.size() != shorter.size() + 1)
        return false;
    std::size_t i = 0;
    while (i < shorter.size() && shorter[i] == longer[i])
        ++i;
    return longer.substr(i + 1) == shorter.substr(i);
}

void LineJudge::hit(Rule& rule, std::string first) {
    if (rule.count++ == 0)
        rule.first = std::move(first);
}

void LineJudge::note(std::string text) {
    if (m_notes.size() < kNotesKept)
        m_notes.push_back(std::move(text));
    else
        ++m_notesLeftOut;
}

std::string LineJudge::where() const {
    std::string text = "line " + std::to_string(m_line);
    if (!m_sets.empty())
        text += " of data set \"" + shown(m_sets.back().name) + "\"";
    return text;
}

void LineJudge::feed(std::string_view piece, bool first, bool last) {
    if (first)
        startLine(piece);
    else if (m_head.size() < kHead)
        m_head.append(piece.substr(0, kHead - m_head.size()));
    m_length += piece.size();
    if (m_kind == LineKind::Data)
        scanData(piece);
    if (last)
        endLine();
}

void LineJudge::startLine(std::string_view piece) {
    ++m_line;
    m_kind = classifyLine(piece);
    m_head.assign(piece.substr(0, kHead));
    m_length = 0;
    m_controlSeen = false;
}

void LineJudge::scanData(std::string_view piece) {
    if (m_controlSeen)
        return;
    const auto bad = std::find_if(piece.begin(), piece.end(),
                                  [](char c) { return isControl(static_cast<unsigned char>(c)); });
    if (bad != piece.end()) {
        m_controlSeen = true;
        m_control = static_cast<unsigned char>(*bad);
    }
}

void LineJudge::endLine() {
    if (m_inFirstLine) {
        // Rule a: an echo or noise before the answer. A header or "No" there still counts as
        // what the conversion takes it for.
        m_inFirstLine = false;
        m_unjudgedBytes = m_length;
        if (m_kind == LineKind::Header)
            judgeHeader();
        else if (m_kind == LineKind::NoData)
            ++m_noLines;
        return;
    }
    switch (m_kind) {
    case LineKind::Blank:
        return;
    case LineKind::Comment:
        if (m_headerSeen)
            note("a '*' line among the data (" + where() + "): kept as a note");
        return;
    case LineKind::Command:
        if (m_headerSeen)
            hit(m_commandInData, where());
        return;
    case LineKind::NoData:
        if (m_noLines++ == 0) {
            m_noAfterAnySet = m_headerSeen;
            if (!m_sets.empty())
                m_noAfterSet = m_sets.back().name;
        }
        return;
    case LineKind::Header:
        ++m_otherLines;
        judgeHeader();
        return;
    case LineKind::Data:
        ++m_otherLines;
        judgeData();
        return;
    }
}

void LineJudge::judgeHeader() {
    const auto colon = m_head.find(':');
    const std::string_view start = std::string_view(m_head).substr(0, colon);
    if (!m_headerSeen) {
        m_headerSeen = true;
        m_headerStart = std::string(start);
    } else if (colon == std::string::npos || start != m_headerStart) {
        hit(m_damagedHeader, "line " + std::to_string(m_line) + ": \"" + shown(m_head) + "\"");
    }
    HeaderName name(kHead);
    name.feed(m_head);
    if (colon != std::string::npos && colon + 1 < m_head.size() && m_head[colon + 1] != ' ')
        note("the name line \"" + shown(m_head) + "\" (line " + std::to_string(m_line) +
             ") has no blank after ':'; the line is kept whole in its file");
    else if (name.name().empty())
        note("a data set without a name (line " + std::to_string(m_line) + ")");
    if (m_noLines == 0) // after a "No" line the conversion writes nothing more
        m_sets.push_back({name.name(), 0});
}

void LineJudge::judgeData() {
    if (!m_headerSeen) {
        hit(m_beforeHeader, "line " + std::to_string(m_line));
    } else {
        const auto colon = m_head.find(':');
        if (colon != std::string::npos &&
            oneLetterAway(std::string_view(m_head).substr(0, colon), m_headerStart))
            hit(m_damagedHeader, "line " + std::to_string(m_line) + ": \"" + shown(m_head) + "\"");
        if (m_noLines == 0)
            ++m_sets.back().lines; // after a "No" line the conversion writes nothing more
    }
    if (m_controlSeen) {
        char byte[8];
        std::snprintf(byte, sizeof byte, "0x%02X", m_control);
        hit(m_controlBytes, where() + ", byte " + byte);
    }
}

void LineJudge::finish() {
    if (m_beforeHeader.count > 0)
        m_reasons.push_back("records before the first data set's name: the name line may be "
                            "damaged (" +
                            lines(m_beforeHeader.count) + ", the first: " + m_beforeHeader.first +
                            ")");
    if (m_damagedHeader.count > 0)
        m_reasons.push_back(
            "a line that looks like a damaged data-set name (" + m_damagedHeader.first +
            (m_damagedHeader.count > 1 ? "; " + lines(m_damagedHeader.count) + " in all"
                                       : std::string()) +
            "): two data sets may be merged");
    if (m_commandInData.count > 0)
        m_reasons.push_back("a line beginning 'F' inside the data (" + m_commandInData.first +
                            (m_commandInData.count > 1
                                 ? "; " + lines(m_commandInData.count) + " in all"
                                 : std::string()) +
                            "): a record may be damaged");
    if (m_noLines > 0 && (m_noLines > 1 || m_otherLines > 0))
        m_reasons.push_back(m_noAfterAnySet
                                ? "a line beginning 'No' after data set \"" + shown(m_noAfterSet) +
                                      "\": later data sets may be missing"
                                : "a line beginning 'No' among other lines of the "
                                  "download: the data after it may be missing");
    if (m_controlBytes.count > 0)
        m_reasons.push_back("control bytes in data lines (" + m_controlBytes.first +
                            (m_controlBytes.count > 1
                                 ? "; " + lines(m_controlBytes.count) + " in all"
                                 : std::string()) +
                            "): a disturbed line may have changed the data");
}

std::vector<std::string> verdictReasons(const VerdictFacts& facts) {
    std::vector<std::string> reasons;
    if (!facts.endedWithPrompt)
        reasons.push_back("it did not end with the unit's prompt");
    if (!facts.everySetWritten)
        reasons.push_back("not every data set could be written");
    else if (!facts.filesDurable)
        reasons.push_back("a data file could not be made safe on the disk");
    if (facts.promptInside)
        reasons.push_back("the unit's prompt came inside the data");
    if (!facts.keptDurable)
        reasons.push_back("its kept copy could not be written");
    const std::vector<std::string> found = foundReasons(facts);
    reasons.insert(reasons.end(), found.begin(), found.end());
    return reasons;
}

std::vector<std::string> foundReasons(const VerdictFacts& facts) {
    std::vector<std::string> reasons;
    if (facts.lineErrors.checked && facts.lineErrors.total() > 0)
        reasons.push_back("the device reported line errors during the download (" +
                          facts.lineErrors.text() + "): bytes may have been lost or changed");
    if (facts.lines)
        reasons.insert(reasons.end(), facts.lines->reasons().begin(), facts.lines->reasons().end());
    return reasons;
}

} // namespace download

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

void LineJudge::feed(std::string_view piece, bool first, bool last, bool crLf) {
    if (first)
        startLine(piece);
    else if (m_head.size() < kHead)
        m_head.append(piece.substr(0, kHead - m_head.size()));
    m_length += piece.size();
    scanBytes(piece);
    if (m_kind == LineKind::Data || m_kind == LineKind::Header)
        scanMerged(piece);
    if (last) {
        m_crLf = crLf;
        endLine();
    }
}

void LineJudge::startLine(std::string_view piece) {
    ++m_line;
    m_kind = classifyLine(piece);
    m_head.assign(piece.substr(0, kHead));
    m_length = 0;
    m_controlSeen = m_promptSeen = m_mergedSeen = false;
    m_carry.clear();
}

void LineJudge::scanBytes(std::string_view piece) {
    if (!m_promptSeen && piece.find('>') != std::string_view::npos)
        m_promptSeen = true;
    if (m_controlSeen)
        return;
    const auto bad = std::find_if(piece.begin(), piece.end(),
                                  [](char c) { return isControl(static_cast<unsigned char>(c)); });
    if (bad != piece.end()) {
        m_controlSeen = true;
        m_control = static_cast<unsigned char>(*bad);
    }
}

// The first header's beginning with its ':' (say "Name:") inside a line: the line end before
// it was lost, and two lines run into one. A header's own beginning is not counted.
void LineJudge::scanMerged(std::string_view piece) {
    if (m_mergedSeen || m_headerNeedle.empty())
        return;
    const std::string_view needle = m_headerNeedle;
    if (!m_carry.empty()) {
        // Across the seam with the line's previous piece.
        std::string seam = m_carry;
        seam.append(piece.substr(0, needle.size() - 1));
        if (seam.find(needle) != std::string::npos) {
            m_mergedSeen = true;
            return;
        }
    }
    const bool firstPiece = m_length == piece.size();
    const std::size_t from = firstPiece && m_kind == LineKind::Header ? 1 : 0;
    if (piece.find(needle, from) != std::string_view::npos) {
        m_mergedSeen = true;
        return;
    }
    const std::size_t keep = std::min(piece.size(), needle.size() - 1);
    m_carry.assign(piece.substr(piece.size() - keep));
}

void LineJudge::endLine() {
    if (m_inFirstLine) {
        // Rule a: an echo or noise before the answer. A header or "No" there still counts as
        // what the conversion takes it for.
        m_inFirstLine = false;
        m_unjudgedBytes = m_length;
        if (m_promptSeen)
            hit(m_promptInLine, "line " + std::to_string(m_line));
        if (m_kind == LineKind::Header)
            judgeHeader();
        else if (m_kind == LineKind::NoData)
            ++m_noLines;
        return;
    }
    if (m_promptSeen)
        hit(m_promptInLine, where());
    if (m_controlSeen) {
        char byte[8];
        std::snprintf(byte, sizeof byte, "0x%02X", m_control);
        hit(m_controlBytes, where() + ", byte " + byte);
    }
    if (m_kind != LineKind::Blank)
        judgeLineEnd();
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

void LineJudge::judgeLineEnd() {
    if (m_crLf) {
        ++m_crLfLines;
    } else if (m_lfLines++ == 0) {
        m_loneLf.first = "line " + std::to_string(m_line);
    }
}

void LineJudge::judgeHeader() {
    const auto colon = m_head.find(':');
    const std::string_view start = std::string_view(m_head).substr(0, colon);
    const std::string quoted = "line " + std::to_string(m_line) + ": \"" + shown(m_head) + "\"";
    if (!m_headerSeen) {
        m_headerSeen = true;
        m_headerStart = std::string(start);
        if (colon != std::string::npos)
            m_headerNeedle = m_headerStart + ':';
    } else if (colon == std::string::npos || start != m_headerStart) {
        hit(m_damagedHeader, quoted);
    } else if (m_mergedSeen) {
        hit(m_mergedLines, quoted);
    }
    // The form: a blank after ':' or none. An empty name at the line's end has either.
    if (colon != std::string::npos && colon + 1 < m_length) {
        const NameForm form = colon + 1 < m_head.size() && m_head[colon + 1] == ' '
                                  ? NameForm::Blank
                                  : NameForm::NoBlank;
        if (m_nameForm == NameForm::Unknown)
            m_nameForm = form;
        else if (form != m_nameForm)
            hit(m_nameForms, quoted);
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
        return;
    }
    const auto colon = m_head.find(':');
    const std::string quoted = "line " + std::to_string(m_line) + ": \"" + shown(m_head) + "\"";
    if (colon != std::string::npos &&
        oneLetterAway(std::string_view(m_head).substr(0, colon), m_headerStart))
        hit(m_damagedHeader, quoted);
    else if (m_mergedSeen)
        hit(m_mergedLines, where());
    if (m_noLines == 0)
        ++m_sets.back().lines; // after a "No" line the conversion writes nothing more
}

namespace {

// Only blanks and a CR.
bool blankOnly(std::string_view text) {
    return text.find_first_not_of(" \r") == std::string_view::npos;
}

std::string_view trimmed(std::string_view text) {
    const auto from = text.find_first_not_of(" \r");
    if (from == std::string_view::npos)
        return {};
    const auto to = text.find_last_not_of(" \r");
    return text.substr(from, to - from + 1);
}

} // namespace

std::uint64_t LineJudge::judgePrompt(std::string_view head, std::uint64_t bytes,
                                     std::string_view promptText) {
    const auto prompt = head.find('>');
    if (prompt == std::string_view::npos)
        return 0; // a cut download: its end is judged by how the capture ended
    const std::string_view before = head.substr(0, prompt);
    if (!blankOnly(before) &&
        (trimmed(promptText).empty() || trimmed(before) != trimmed(promptText)))
        hit(m_cutBeforePrompt, "\"" + shown(before) + "\"");
    const std::string_view after = head.substr(prompt + 1);
    if (bytes > head.size() || after.find_first_not_of(" \r\n") != std::string_view::npos)
        return prompt + 1; // more than the prompt: told as a prompt inside the data
    if (after.find('\n') != std::string_view::npos)
        note("a line end after the unit's prompt: the prompt's line is no record and was left "
             "out of the data files");
    else if (!after.empty())
        note("blanks after the unit's prompt");
    return bytes;
}

namespace {

std::string inAll(std::uint64_t count) {
    return count > 1 ? "; " + lines(count) + " in all" : std::string();
}

} // namespace

// "<what> (<its first case>[; N lines in all]): <meaning>", for a rule that was hit.
void LineJudge::tell(const Rule& rule, const char* what, const char* meaning) {
    if (rule.count > 0)
        m_reasons.push_back(std::string(what) + " (" + rule.first + inAll(rule.count) +
                            "): " + meaning);
}

void LineJudge::finish() {
    if (!m_headerSeen && m_noLines == 0 && m_beforeHeader.count == 0)
        m_reasons.push_back("the unit's answer held no data set and no 'No data' line");
    if (m_cutBeforePrompt.count > 0)
        m_reasons.push_back("the last line before the prompt was cut: " + m_cutBeforePrompt.first);
    if (m_beforeHeader.count > 0)
        m_reasons.push_back("records before the first data set's name: the name line may be "
                            "damaged (" +
                            lines(m_beforeHeader.count) + ", the first: " + m_beforeHeader.first +
                            ")");
    tell(m_damagedHeader, "a line that looks like a damaged data-set name",
         "two data sets may be merged");
    tell(m_mergedLines, "a data-set name inside another line",
         "a line end was lost and two lines run into one");
    tell(m_nameForms, "a name line whose form differs from the first one's",
         "its name may have lost or gained a byte");
    tell(m_commandInData, "a line beginning 'F' inside the data", "a record may be damaged");
    if (m_noLines > 0 && (m_noLines > 1 || m_otherLines > 0))
        m_reasons.push_back(m_noAfterAnySet
                                ? "a line beginning 'No' after data set \"" + shown(m_noAfterSet) +
                                      "\": later data sets may be missing"
                                : "a line beginning 'No' among other lines of the "
                                  "download: the data after it may be missing");
    tell(m_controlBytes, "control bytes in the download's lines",
         "a disturbed line may have changed the data");
    tell(m_promptInLine, "the unit's prompt '>' inside a line",
         "the download may have been cut there");
    if (m_crLfLines > 0) {
        m_loneLf.count = m_lfLines;
        tell(m_loneLf, "a line ending in LF alone among lines ending in CR LF",
             "a noise byte may have split a record");
    }
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

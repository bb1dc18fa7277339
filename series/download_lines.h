// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The kinds of line in the unit's answer to "F", told by their first one or two bytes, and the
// rule that takes a data set's name from its header line. Written once: the conversion into
// data files, the progress shown while the capture runs, the download's verdict and the
// series all read lines through these, so none of them disagrees about a line. Pure
// functions on bytes.

#include <cstddef>
#include <string>
#include <string_view>

namespace series {

enum class LineKind { Blank, Comment, Command, NoData, Header, Data };

// Kind of a line whose line end has been removed.
LineKind classifyLine(std::string_view line);

// The data-set name of a header read piece by piece, in order: the text that starts two
// bytes after the first ':' (empty when fewer than two bytes follow it). Of the name only
// the first `keep` bytes are held, so a header of any length costs bounded memory.
class HeaderName {
public:
    static constexpr std::size_t kAll = static_cast<std::size_t>(-1);

    explicit HeaderName(std::size_t keep = kAll) : m_keep(keep) {}
    void feed(std::string_view piece);
    // Whether the header holds a ':' (a header without one names no data set).
    bool hasColon() const { return m_colon; }
    const std::string& name() const { return m_name; }

private:
    std::size_t m_keep;
    bool m_colon = false;
    int m_separator = 1; // the byte after ':' is not part of the name
    std::string m_name;
};

// The whole header at once: false when it holds no ':'.
bool headerName(std::string_view header, std::string& name);

// Where the answer's lines end and its prompt begins. The prompt's line is what follows the
// last LF, or, when only blanks and line ends follow the last '>', the line that '>' stands
// on together with them: a line that is the prompt is no record. Judged on the answer's last
// kPromptWindow bytes (`tail`; `whole`: they are the whole answer), it returns how many of
// them are not the answer's lines. Without an LF in `tail`, the answer's lines end at its
// last LF wherever that is (not known here).
inline constexpr std::size_t kPromptWindow = 4096;
std::size_t promptTailLength(std::string_view tail, bool whole);
// The same for an answer held whole: the length of its lines, line ends included.
std::size_t answerLinesLength(std::string_view answer);

} // namespace series

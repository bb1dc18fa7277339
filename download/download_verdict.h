// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Whether a download can be called safe, from everything known about it: how the capture
// ended, the line errors the device reported, every line of the intermediate file accounted
// for, and the data files and the kept copy durable and read back. Plain logic: the
// conversion feeds the lines as it reads them, the download adds the rest; every "no"
// carries a reason the operator can act on.
//
// The line rules, judged on the intermediate file, each on the whole line:
//  a) the bytes before its first line end (an echo, line noise before the answer) are
//     logged, not judged, but for a '>' (the prompt would have ended the capture there);
//  b) before the first header only blank, '*' and 'F' lines may stand;
//  c) after it every header begins as the first one does up to its ':', and has the same
//     form (a blank after ':', or none; an empty name at the line's end passes either way);
//     a data line whose text before its first ':' is one letter away from that beginning is
//     a damaged header, and one that holds that beginning with its ':' anywhere is two lines
//     merged; an 'F' line fails; a '*' line is a note;
//  d) a line beginning "No" passes only as the download's only line besides blank, '*' and
//     'F' lines; an answer with neither a header nor such a line is no answer to "F";
//  e) in every line, C0 control bytes other than TAB, and DEL, fail (a framing error or a
//     break arrives as NUL), and so does a '>'; bytes 0x80-0xFF are the unit's 8-bit text
//     and never judged;
//  f) the lines end alike (blank lines aside): one ending in LF alone among lines that end
//     in CR LF fails (a noise byte split a record);
//  g) the prompt's line holds, before its '>', only blanks and a CR or the text the unit put
//     before its prompt when it answered "!"; anything else is a last line cut short.
//     Blanks and line ends after the '>' are a note;
//  h) an empty data-set name, or a header without the blank after ':', is a note.

#include "download/line_kinds.h"
#include "session/line_errors.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace download {

struct SetLineCount {
    std::string name;
    std::uint64_t lines = 0; // its data lines (records)
};

class LineJudge {
public:
    // The pieces of the file's lines in order, as LineReader hands them out; `crLf`: the
    // line (when `last`) ended with CR LF.
    void feed(std::string_view piece, bool first, bool last, bool crLf);
    // The prompt's line (its first bytes, `head`, of `bytes` in all) and the text the unit
    // put before its prompt when it answered "!" (rule g). Returns how many of its bytes
    // are the prompt's own, blanks and line ends after it included; 0 when it holds no '>'.
    std::uint64_t judgePrompt(std::string_view head, std::uint64_t bytes,
                              std::string_view promptText);
    // Judges what can only be judged at the end (a lone "No" line); call once, after the
    // last piece.
    void finish();

    // Why the lines cannot be trusted, one sentence each; empty when every line is accounted
    // for. Each rule gives at most one reason, with a count and its first line.
    const std::vector<std::string>& reasons() const { return m_reasons; }
    // What is unusual but not wrong (for the run log): the first kNotesKept of them, and how
    // many more there were.
    static constexpr std::size_t kNotesKept = 20;
    const std::vector<std::string>& notes() const { return m_notes; }
    std::uint64_t notesLeftOut() const { return m_notesLeftOut; }
    const std::vector<SetLineCount>& sets() const { return m_sets; }
    // Length of the first line (rule a).
    std::uint64_t unjudgedBytes() const { return m_unjudgedBytes; }

private:
    struct Rule {
        std::uint64_t count = 0;
        std::string first; // the first case, in words
    };
    void startLine(std::string_view piece);
    void endLine();
    void scanBytes(std::string_view piece);
    void scanMerged(std::string_view piece);
    void judgeHeader();
    void judgeData();
    void judgeLineEnd();
    std::string where() const;
    static void hit(Rule& rule, std::string first);
    void tell(const Rule& rule, const char* what, const char* meaning);
    void note(std::string text);

    std::uint64_t m_line = 0; // 1-based number of the line being read
    bool m_inFirstLine = true;
    std::uint64_t m_unjudgedBytes = 0;
    LineKind m_kind = LineKind::Blank;
    std::string m_head; // the line's first bytes
    std::uint64_t m_length = 0;
    bool m_controlSeen = false;
    unsigned char m_control = 0;
    bool m_promptSeen = false;  // a '>' in the line
    bool m_mergedSeen = false;  // the first header's beginning with its ':' in the line
    bool m_crLf = false;        // the line ended with CR LF
    std::string m_carry;        // the end of the line's previous piece, for scanMerged
    std::string m_headerStart;  // the first header up to its ':'
    std::string m_headerNeedle; // the same with its ':'
    enum class NameForm { Unknown, Blank, NoBlank } m_nameForm = NameForm::Unknown;
    bool m_headerSeen = false;
    std::uint64_t m_crLfLines = 0; // lines ending with CR LF (blank and first lines aside)
    std::uint64_t m_lfLines = 0;   // and with LF alone
    std::uint64_t m_noLines = 0;
    std::uint64_t m_otherLines = 0; // data and header lines
    std::string m_noAfterSet;       // the set a "No" line followed ("" before any)
    bool m_noAfterAnySet = false;
    std::vector<SetLineCount> m_sets;
    Rule m_beforeHeader, m_damagedHeader, m_commandInData, m_controlBytes, m_noLine;
    Rule m_mergedLines, m_nameForms, m_promptInLine, m_loneLf, m_cutBeforePrompt;
    std::vector<std::string> m_reasons;
    std::vector<std::string> m_notes;
    std::uint64_t m_notesLeftOut = 0;
};

// Whether `text` is one edit (a letter left out, put in or changed) away from `start`.
bool oneLetterAway(std::string_view text, std::string_view start);

// The reasons a download is not safe, in the order the operator should read them; empty
// when it is safe.
struct VerdictFacts {
    bool endedWithPrompt = false;
    bool promptInside = false;    // the prompt came inside the data (bytes after it)
    bool everySetWritten = false; // the conversion reached the end (or the unit's "No data")
    bool filesDurable = false;    // every data file synced, its folder too, and read back
    bool keptDurable = false;     // the kept copy written whole and synced
    LineErrorCounts lineErrors;
    const LineJudge* lines = nullptr;
};
std::vector<std::string> verdictReasons(const VerdictFacts& facts);
// Of those, the ones that the download's other messages do not tell (line errors and the
// line rules): what the "not verified" box lists.
std::vector<std::string> foundReasons(const VerdictFacts& facts);

} // namespace download

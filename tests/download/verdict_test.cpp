// SPDX-License-Identifier: GPL-3.0-or-later
// The line rules and the verdict: damaged downloads are not called safe, and clean downloads
// that merely look unusual are. Each case is a whole intermediate file, converted for real.
#include "download/data_collection.h"
#include "download/download_verdict.h"
#include "support/read_file.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

using namespace download;
namespace fs = std::filesystem;

namespace {

using testsupport::readFile;

class Verdict : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(tmp.isValid());
        dataDir = tmp.path().toStdString() + "/data/";
        fs::create_directory(dataDir);
        intermediate = tmp.path().toStdString() + "/_$XRQInt.txt";
    }
    ConvertOutcome convert(const std::string& download) {
        std::ofstream(intermediate, std::ios::binary | std::ios::trunc) << download;
        return convertIntermediateFile(intermediate, dataDir);
    }
    std::string joined(const std::vector<std::string>& reasons) {
        std::string text;
        for (const auto& r : reasons)
            text += r + " | ";
        return text;
    }

    QTemporaryDir tmp;
    std::string dataDir, intermediate;
};

const std::string kHead = "\r\n* XRQ data logger S/N XRQ10472\r\nFILE DUMP\r\n";

} // namespace

TEST_F(Verdict, DamagedDownloadsAreNotSafeAndSayWhy) {
    using namespace std::string_literals;
    const struct {
        const char* what;
        std::string download;
        const char* reason; // a part of the one reason expected
    } cases[] = {
        {"first header lost its first letter", kHead + "ame: A\r\n1,2\r\nName: B\r\n3,4\r\n>",
         "records before the first data set's name"},
        {"first header in lower case", kHead + "name: A\r\n1,2\r\n>",
         "records before the first data set's name"},
        {"second header lost its first letter", kHead + "Name: A\r\n1,2\r\name: B\r\n3,4\r\n>",
         "damaged data-set name"},
        {"second header with a letter changed", kHead + "Name: A\r\n1,2\r\nMame: B\r\n3,4\r\n>",
         "damaged data-set name"},
        {"a header that begins otherwise", kHead + "Name: A\r\n1,2\r\nNmae: B\r\n3,4\r\n>",
         "damaged data-set name"},
        {"'No' after the first data set",
         kHead + "Name: A\r\n1,2\r\n\r\nNov 03 12:00 resumed\r\nName: B\r\n3,4\r\n>",
         "a line beginning 'No' after data set \"A\""},
        {"'No' before the data", kHead + "No data\r\nName: A\r\n1,2\r\n>",
         "a line beginning 'No' among other lines"},
        {"NUL in a data line", kHead + "Name: A\r\n1,\0002\r\n>"s, "control bytes"},
        {"ESC in a data line",
         kHead + "Name: A\r\n1,\x1b"
                 "2\r\n>",
         "byte 0x1B"},
        {"DEL in a data line",
         kHead + "Name: A\r\n1,\x7f"
                 "2\r\n>",
         "byte 0x7F"},
        {"a CR inside a data line", kHead + "Name: A\r\n1,\r2\r\n>", "byte 0x0D"},
        {"an 'F' line among the data", kHead + "Name: A\r\n1,2\r\nFILE\r\n3,4\r\n>",
         "a line beginning 'F' inside the data"},
        // The edges of the answer.
        {"nothing but the echo and the prompt", "F\r\n>", "held no data set and no 'No data'"},
        {"a blank line and the prompt", kHead + "\r\n>", "held no data set and no 'No data'"},
        {"the last record without its line end", kHead + "Name: A\r\n1,2\r\n10:15:00,1,2>",
         "the last line before the prompt was cut: \"10:15:00,1,2\""},
        {"the last record with its line end after the prompt",
         kHead + "Name: A\r\n1,2\r\n10:15:00,1,2>\r\n", "the last line before the prompt was cut"},
        {"a prompt text this unit never gave", kHead + "Name: A\r\n1,2\r\nXRQ>",
         "the last line before the prompt was cut: \"XRQ\""},
        // Lines that do not keep the shape of the lines around them.
        {"a record run into the next name line",
         kHead + "Name: A\r\n10:15:00,1,2Name: B\r\n3,4\r\n>", "a data-set name inside"},
        {"a name line run into the next one", kHead + "Name: A\r\n1\r\nName: BName: C\r\n2\r\n>",
         "a data-set name inside"},
        {"a later name line that lost its blank", kHead + "Name: A\r\n1,2\r\nName:BRIDGE\r\n3\r\n>",
         "a name line whose form differs"},
        {"a later name line that gained a blank", kHead + "Name:A\r\n1,2\r\nName: B\r\n3\r\n>",
         "a name line whose form differs"},
        {"NUL in a name line", kHead + "Name: A\r\n1\r\nName: B\0002\r\n3\r\n>"s, "byte 0x00"},
        {"a CR inside a name line", kHead + "Name: A\r1,2\r\n3\r\n>", "byte 0x0D"},
        {"XOFF in a '*' line", kHead + "Name: A\r\n1\r\n* ok\x13\r\n2\r\n>", "byte 0x13"},
        {"a '>' inside a record", kHead + "Name: A\r\n1,>2\r\n3\r\n>", "prompt '>' inside a line"},
        {"a '>' in the first line", ">\r\nName: A\r\n1\r\n>", "prompt '>' inside a line"},
        {"a record split by a lone LF", kHead + "Name: A\r\n10:15\n:00,1,2\r\n3\r\n>",
         "LF alone among lines ending in CR LF"},
    };
    for (const auto& c : cases) {
        const ConvertOutcome out = convert(c.download);
        const auto& reasons = out.lines.reasons();
        ASSERT_EQ(reasons.size(), 1u) << c.what << ": " << joined(reasons);
        EXPECT_NE(reasons[0].find(c.reason), std::string::npos) << c.what << ": " << reasons[0];
        for (const auto& f : fs::directory_iterator(dataDir))
            fs::remove(f.path());
    }
}

TEST_F(Verdict, UnusualButCleanDownloadsStaySafe) {
    using namespace std::string_literals;
    const struct {
        const char* what;
        std::string download;
        std::size_t notes;
    } cases[] = {
        {"tabs", kHead + "Name: A\r\n1\t2\t3\r\n>", 0},
        {"8-bit names and text",
         kHead + "Name: Temp \xb0"
                 "C\r\n21.5 \xb5S \xff\x80\r\n>",
         0},
        {"long lines", kHead + "Name: A\r\n" + std::string(3u << 20, '7') + "\r\n>", 0},
        {"empty data sets", kHead + "Name: A\r\n\r\nName: B\r\n\r\nName: C\r\n1\r\n>", 0},
        {"LF alone", "\nName: A\n1,2\n>", 0},
        {"CR before LF", kHead + "Name: A\r\n1,2\r\n>", 0},
        {"'*' notes among the data", kHead + "Name: A\r\n1\r\n* recalibrated\r\n2\r\n>", 1},
        {"Name:X", kHead + "Name:X\r\n1\r\n>", 1},
        {"empty name", kHead + "Name: \r\n1\r\n>", 1},
        {"noise before the answer",
         "\0\x01\x1b"
         "abc\xff\r\n* S/N\r\nName: A\r\n1\r\n>"s,
         0},
        {"the unit's own 'No data'", kHead + "No data in memory\r\n>", 0},
        {"the lone 'No data' and nothing else", "No data\r\n>", 0},
        {"times with ':' in data", kHead + "Name: A\r\n12:00:01, 3.4\r\nTime: 1\r\n>", 0},
        {"an empty name among named sets", kHead + "Name: A\r\n1\r\nName:\r\n2\r\n>", 1},
        {"every name without a blank", kHead + "Name:A\r\n1\r\nName:B\r\n2\r\n>", 2},
        {"a one-letter name line", kHead + "N: SITE1\r\n1\r\nN: SITE2\r\n2\r\n>", 0},
        {"records holding N, NaN and ':'",
         kHead + "Name: A\r\n24-03-01 10:00:00, NaN, N\r\n24-03-01 10:10:00, N/A: 1\r\n>", 0},
        {"a CR before the prompt", kHead + "Name: A\r\n1\r\n\r>", 0},
        {"blanks around the prompt", kHead + "Name: A\r\n1\r\n  > ", 1},
        {"a line end after the prompt", kHead + "Name: A\r\n1\r\n>\r\n", 1},
        {"'*' lines with 8-bit text", kHead + "* Ger\xe4t\r\nName: A\r\n1\r\n>", 0},
    };
    for (const auto& c : cases) {
        const ConvertOutcome out = convert(c.download);
        EXPECT_TRUE(out.lines.reasons().empty()) << c.what << ": " << joined(out.lines.reasons());
        EXPECT_EQ(out.lines.notes().size(), c.notes) << c.what << ": " << joined(out.lines.notes());
        EXPECT_TRUE(out.result == ConvertResult::Collected || out.result == ConvertResult::NoData)
            << c.what << ": " << out.detail;
        for (const auto& f : fs::directory_iterator(dataDir))
            fs::remove(f.path());
    }
}

TEST_F(Verdict, FilesAreWrittenAsBeforeWhateverTheVerdict) {
    // A damaged line is copied whole, and a "No" line still ends what is written; only the
    // verdict changes, and the line counts are those of the files.
    const ConvertOutcome out = convert(kHead + "Name: A\r\n1,\x01"
                                               "2\r\n3\r\nNo\r\nName: B\r\n4\r\n>");
    EXPECT_EQ(out.result, ConvertResult::NoData);
    ASSERT_EQ(out.files.size(), 1u);
    EXPECT_EQ(readFile(out.files[0]), "Name: A\r\n1,\x01"
                                      "2\r\n3\r\n");
    ASSERT_EQ(out.lines.sets().size(), 1u);
    EXPECT_EQ(out.lines.sets()[0].lines, 2u);
    EXPECT_EQ(out.lines.reasons().size(), 2u); // the control byte and the 'No' line
    EXPECT_EQ(out.lines.unjudgedBytes(), 0u);
}

TEST(VerdictRules, OneLetterAway) {
    const struct {
        const char* text;
        bool away;
    } cases[] = {{"ame", true},   {"name", true},  {"Nme", true},   {"Names", true},
                 {"XName", true}, {"Name", false}, {"Na", false},   {"12", false},
                 {"", false},     {"eman", false}, {"Nmae", false}, {"Temp", false}};
    for (const auto& c : cases)
        EXPECT_EQ(oneLetterAway(c.text, "Name"), c.away) << c.text;
}

TEST(VerdictRules, EveryFactHasItsReasonAndLineErrorsCountOnlyWhenChecked) {
    VerdictFacts safe;
    safe.endedWithPrompt = safe.everySetWritten = safe.filesDurable = safe.keptDurable = true;
    EXPECT_TRUE(verdictReasons(safe).empty());
    safe.lineErrors.checked = false;
    safe.lineErrors.framing = 3; // a device without counters reports nothing to trust
    EXPECT_TRUE(verdictReasons(safe).empty());
    EXPECT_EQ(safe.lineErrors.text(), "not checked");

    VerdictFacts errors = safe;
    errors.lineErrors = {};
    errors.lineErrors.checked = true;
    EXPECT_EQ(errors.lineErrors.text(), "none");
    errors.lineErrors.framing = 2;
    errors.lineErrors.overrun = 1;
    const auto reasons = verdictReasons(errors);
    ASSERT_EQ(reasons.size(), 1u);
    EXPECT_NE(reasons[0].find("2 framing, 1 overrun"), std::string::npos) << reasons[0];
    EXPECT_EQ(foundReasons(errors), reasons);

    VerdictFacts all;
    all.promptInside = true;
    const auto many = verdictReasons(all);
    EXPECT_EQ(many.front(), "it did not end with the unit's prompt");
    EXPECT_EQ(many.size(), 4u); // prompt, sets, prompt inside, kept copy
    EXPECT_TRUE(foundReasons(all).empty());
}

TEST_F(Verdict, NotesStayBoundedHoweverManyTheLinesBring) {
    std::string download = kHead + "Name: A\r\n";
    for (int i = 0; i < 100; ++i)
        download += "* note " + std::to_string(i) + "\r\n1\r\n";
    const ConvertOutcome out = convert(download + ">");
    EXPECT_TRUE(out.lines.reasons().empty());
    EXPECT_EQ(out.lines.notes().size(), LineJudge::kNotesKept);
    EXPECT_EQ(out.lines.notesLeftOut(), 100 - LineJudge::kNotesKept);
    ASSERT_EQ(out.lines.sets().size(), 1u);
    EXPECT_EQ(out.lines.sets()[0].lines, 100u);
}

TEST_F(Verdict, ThePromptsLineIsNoRecordAndMayCarryTheUnitsOwnPromptText) {
    // A line that is only the prompt stays out of the data files and the counts.
    ConvertOutcome out = convert(kHead + "Name: A\r\n1\r\n2\r\n>\r\n\r\n");
    ASSERT_EQ(out.files.size(), 1u);
    EXPECT_EQ(readFile(out.files[0]), "Name: A\r\n1\r\n2\r\n");
    EXPECT_EQ(out.lines.sets()[0].lines, 2u);
    EXPECT_FALSE(downloadMayBeIncomplete(out, 0));
    EXPECT_FALSE(out.cut);
    fs::remove(out.files[0]);

    // The text a unit prints before its prompt when it answers "!" passes before the
    // download's prompt, and no other text does.
    const std::string download = kHead + "Name: A\r\n1\r\nXRQ10472 >";
    std::ofstream(intermediate, std::ios::binary | std::ios::trunc) << download;
    out = convertIntermediateFile(intermediate, dataDir, nullptr, "XRQ10472 ");
    EXPECT_TRUE(out.lines.reasons().empty()) << joined(out.lines.reasons());
    EXPECT_FALSE(downloadMayBeIncomplete(out, 0));
    fs::remove(out.files[0]);
    out = convertIntermediateFile(intermediate, dataDir, nullptr, "XRQ10473 ");
    ASSERT_EQ(out.lines.reasons().size(), 1u);
    EXPECT_NE(out.lines.reasons()[0].find("cut"), std::string::npos);
}

TEST_F(Verdict, ANameRunIntoALongRecordIsFoundAcrossTheReadersPieces) {
    // The record fills the reader's buffer of two pieces to within a few bytes, so that
    // "Name:" straddles the seam between the line's first piece and its next at one of
    // these offsets.
    const std::string before = "\nName: A\r\n";
    for (std::size_t cut = 0; cut <= 6; ++cut) {
        const std::string record(2 * LineReader::kPiece - before.size() - cut, '7');
        const ConvertOutcome out = convert(before + record + "Name: B\r\n1\r\n>");
        bool merged = false;
        for (const auto& r : out.lines.reasons())
            merged = merged || r.find("a data-set name inside another line") != std::string::npos;
        EXPECT_TRUE(merged) << cut << ": " << joined(out.lines.reasons());
        for (const auto& f : fs::directory_iterator(dataDir))
            fs::remove(f.path());
    }
}

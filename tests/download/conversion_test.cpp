// SPDX-License-Identifier: GPL-3.0-or-later
// Reading the intermediate file back and splitting it into data files.
#include "download/data_collection.h"
#include "support/read_file.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sys/resource.h>
#include <sys/stat.h>

using namespace download;
namespace fs = std::filesystem;

namespace {

using testsupport::readFile;

void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

std::vector<std::string> listDir(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

class Conversion : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(tmp.isValid());
        root = tmp.path().toStdString();
        dataDir = root + "/data/";
        fs::create_directory(dataDir);
        intermediate = root + "/_$XRQInt.txt";
    }
    ConvertOutcome convert(const std::string& download) {
        writeFile(intermediate, download);
        return convertIntermediateFile(intermediate, dataDir);
    }

    QTemporaryDir tmp;
    std::string root, dataDir, intermediate;
};

} // namespace

TEST(LineKinds, ByFirstBytes) {
    const struct {
        const char* line;
        LineKind kind;
    } cases[] = {
        {"", LineKind::Blank},         {"* comment", LineKind::Comment},
        {"F", LineKind::Command},      {"Fxx", LineKind::Command},
        {"No data", LineKind::NoData}, {"No", LineKind::NoData},
        {"N", LineKind::Header},       {"Name: SITE1", LineKind::Header},
        {"NO DATA", LineKind::Header}, {"12:00,1.5", LineKind::Data},
        {" Name", LineKind::Data},     {"f", LineKind::Data},
        {"\r", LineKind::Data},
    };
    for (const auto& c : cases)
        EXPECT_EQ(classifyLine(c.line), c.kind) << '"' << c.line << '"';
}

TEST(HeaderNames, TextTwoAfterFirstColon) {
    const struct {
        const char* header;
        bool ok;
        const char* name;
    } cases[] = {
        {"Name: SITE1", true, "SITE1"},
        {"Name:X", true, ""},
        {"Name:", true, ""},
        {"Name:  two", true, " two"},
        {"Name: a:b c", true, "a:b c"},
        {"Name SITE1", false, ""},
        {"N:-x", true, "x"},
    };
    for (const auto& c : cases) {
        std::string name = "unchanged";
        EXPECT_EQ(headerName(c.header, name), c.ok) << c.header;
        if (c.ok) {
            EXPECT_EQ(name, c.name) << c.header;
        }
    }
}

TEST(SafeNames, Utf8AndUnderscoresForWhatSticksRefuse) {
    EXPECT_EQ(safeFileName("SITE1"), "SITE1");
    EXPECT_EQ(safeFileName("../../etc/passwd"), ".._.._etc_passwd");
    EXPECT_EQ(safeFileName(std::string("a\0b\tc\x1f\x7f\x85", 8)), "a_b_c___");
    // Characters Windows and FAT/exFAT sticks refuse.
    EXPECT_EQ(safeFileName("a\\b:c*d?e\"f<g>h|i"), "a_b_c_d_e_f_g_h_i");
    // Latin-1 letters are written in UTF-8; blanks, dots and other signs stay.
    EXPECT_EQ(safeFileName("Caf\xe9 \xd8st.1 (A)"), "Caf\xc3\xa9 \xc3\x98st.1 (A)");
}

TEST(SafeNames, LongNamesAreCutBetweenCharacters) {
    // 300 "é": 600 bytes in UTF-8, cut to at most 247 bytes and never inside a character.
    const std::string name = safeFileName(std::string(300, '\xe9'));
    const std::string fitted = fitFileName(name, "/data/");
    EXPECT_EQ(fitted.size(), 246u);
    EXPECT_EQ(fitted, name.substr(0, 246));
    // One ASCII byte first shifts every character by one: still cut at a boundary.
    const std::string shifted = fitFileName(safeFileName("x" + std::string(300, '\xe9')), "/d/");
    EXPECT_EQ(shifted.size(), 247u);
    EXPECT_EQ(static_cast<unsigned char>(shifted.back()), 0xA9);
}

TEST_F(Conversion, CommentsCommandsAndPromptAreSkipped) {
    const auto out = convert("F\r\n* XRQ data\r\nName: SITE1\r\n1,2,3\r\n4,5,6\r\n>");
    EXPECT_EQ(out.result, ConvertResult::Collected);
    ASSERT_EQ(out.files, std::vector<std::string>{dataDir + "SITE1.txt"});
    EXPECT_EQ(readFile(dataDir + "SITE1.txt"), "Name: SITE1\r\n1,2,3\r\n4,5,6\r\n");
}

TEST_F(Conversion, LfOnlyAndLoneCrLines) {
    // A line ends at LF; only one CR right before it belongs to the line end.
    const auto out = convert("Name: A\n1\r\r\n2\r3\n>");
    EXPECT_EQ(out.result, ConvertResult::Collected);
    EXPECT_EQ(readFile(dataDir + "A.txt"), "Name: A\r\n1\r\r\n2\r3\r\n");
}

TEST_F(Conversion, TwoHeadersAndDataBeforeTheFirstDropped) {
    const auto out = convert("orphan\r\nName: ONE\r\na\r\n\r\nName: TWO\r\nb\r\nc\r\n>");
    EXPECT_EQ(out.result, ConvertResult::Collected);
    EXPECT_EQ(listDir(dataDir), (std::vector<std::string>{"ONE.txt", "TWO.txt"}));
    EXPECT_EQ(readFile(dataDir + "ONE.txt"), "Name: ONE\r\na\r\n");
    EXPECT_EQ(readFile(dataDir + "TWO.txt"), "Name: TWO\r\nb\r\nc\r\n");
}

TEST_F(Conversion, NoDataAndNoHeaderCreateNothing) {
    EXPECT_EQ(convert("F\r\nNo data\r\n>").result, ConvertResult::NoData);
    EXPECT_EQ(convert("1,2\r\n3,4\r\n>").result, ConvertResult::Collected);
    EXPECT_EQ(convert("").result, ConvertResult::Collected);
    EXPECT_TRUE(listDir(dataDir).empty());
}

TEST_F(Conversion, NoDataAfterAHeaderKeepsTheEarlierFile) {
    const auto out = convert("Name: A\r\n1\r\nNo more\r\nName: B\r\n2\r\n>");
    EXPECT_EQ(out.result, ConvertResult::NoData);
    EXPECT_EQ(listDir(dataDir), std::vector<std::string>{"A.txt"});
    EXPECT_EQ(readFile(dataDir + "A.txt"), "Name: A\r\n1\r\n");
}

TEST_F(Conversion, NameWithoutSeparatorGivesEmptyName) {
    EXPECT_EQ(convert("Name:X\r\n1\r\n>").result, ConvertResult::Collected);
    EXPECT_EQ(readFile(dataDir + ".txt"), "Name:X\r\n1\r\n");
}

TEST_F(Conversion, RepeatsAreNumberedAndNeverOverwrite) {
    const std::string download = "Name: SITE1\r\n1\r\n>";
    writeFile(dataDir + "SITE1_001.txt", "keep me");
    std::vector<std::string> produced;
    for (int i = 0; i < 4; ++i) {
        const auto out = convert(download);
        ASSERT_EQ(out.result, ConvertResult::Collected);
        ASSERT_EQ(out.files.size(), 1u);
        produced.push_back(fs::path(out.files[0]).filename().string());
    }
    // _001 already existed, so it is skipped and keeps its content.
    EXPECT_EQ(produced, (std::vector<std::string>{"SITE1.txt", "SITE1_000.txt", "SITE1_002.txt",
                                                  "SITE1_003.txt"}));
    EXPECT_EQ(readFile(dataDir + "SITE1_001.txt"), "keep me");
    EXPECT_EQ(readFile(dataDir + "SITE1_003.txt"), "Name: SITE1\r\n1\r\n");
}

TEST_F(Conversion, AllNamesTakenGoIntoAFolderOfTheDownloadWithoutOverwriting) {
    writeFile(dataDir + "S.txt", "old");
    for (int i = 0; i <= 998; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "S_%03d.txt", i);
        writeFile(dataDir + name, "old");
    }
    const auto out = convert("Name: A\r\nfirst\r\nName: S\r\n1\r\nName: S\r\n2\r\n>");
    EXPECT_EQ(out.result, ConvertResult::Collected);
    EXPECT_EQ(readFile(dataDir + "S.txt"), "old");
    EXPECT_EQ(readFile(dataDir + "S_998.txt"), "old");
    EXPECT_EQ(readFile(dataDir + "A.txt"), "Name: A\r\nfirst\r\n");
    // The sets without a free name: in a folder named after the download's date and time,
    // numbered there as anywhere.
    ASSERT_FALSE(out.overflowFolder.empty());
    ASSERT_EQ(out.files.size(), 3u);
    EXPECT_EQ(out.files[1], out.overflowFolder + "/S.txt");
    EXPECT_EQ(out.files[2], out.overflowFolder + "/S_000.txt");
    EXPECT_EQ(readFile(out.files[1]), "Name: S\r\n1\r\n");
    EXPECT_EQ(readFile(out.files[2]), "Name: S\r\n2\r\n");
    EXPECT_EQ(fs::path(out.overflowFolder).parent_path().string() + "/", dataDir);
    EXPECT_EQ(fs::path(out.overflowFolder).filename().string().size(),
              std::string("2026-06-01_08-00-00").size());
    EXPECT_EQ(listDir(dataDir).size(), 1002u); // A, S, S_000..998 and the folder
}

TEST_F(Conversion, DanglingLinkCountsAsTaken) {
    fs::create_symlink(root + "/elsewhere.txt", dataDir + "L.txt");
    const auto out = convert("Name: L\r\n1\r\n>");
    EXPECT_EQ(out.result, ConvertResult::Collected);
    EXPECT_FALSE(fs::exists(root + "/elsewhere.txt"));
    EXPECT_EQ(readFile(dataDir + "L_000.txt"), "Name: L\r\n1\r\n");
}

TEST_F(Conversion, FailuresKeepEarlierFilesAndTheIntermediate) {
    // A header without ':' after a complete data set.
    const std::string bad = "Name: A\r\n1\r\nNameless\r\n2\r\n>";
    EXPECT_EQ(convert(bad).result, ConvertResult::InvalidFormat);
    EXPECT_EQ(readFile(dataDir + "A.txt"), "Name: A\r\n1\r\n");
    EXPECT_EQ(readFile(intermediate), bad);

    // A data directory that does not exist.
    dataDir = root + "/missing/";
    const auto out = convert("Name: B\r\n1\r\n>");
    EXPECT_EQ(out.result, ConvertResult::InvalidFormat);
    EXPECT_TRUE(out.files.empty());
}

TEST_F(Conversion, MissingIntermediateCannotBeReopened) {
    EXPECT_EQ(convertIntermediateFile(root + "/nothing.txt", dataDir).result,
              ConvertResult::CannotReopen);
}

TEST_F(Conversion, DirectoryWithoutTrailingSlashJoinsDirectly) {
    dataDir = root + "/Data";
    EXPECT_EQ(convert("Name: SITE1\r\n1\r\n>").result, ConvertResult::Collected);
    EXPECT_EQ(readFile(root + "/DataSITE1.txt"), "Name: SITE1\r\n1\r\n");
}

TEST_F(Conversion, HostileNamesStayInTheDataDirectory) {
    const auto out = convert("Name: ../escape\r\n1\r\nName: a/b\x01\r\n2\r\n"
                             "Name: Caf\xe9: 1?\r\n3\r\n>");
    EXPECT_EQ(out.result, ConvertResult::Collected);
    EXPECT_FALSE(fs::exists(root + "/escape.txt"));
    EXPECT_EQ(listDir(dataDir),
              (std::vector<std::string>{".._escape.txt", "Caf\xc3\xa9_ 1_.txt", "a_b_.txt"}));
    // The header line itself is copied unchanged, byte for byte.
    EXPECT_EQ(readFile(dataDir + "a_b_.txt"), "Name: a/b\x01\r\n2\r\n");
    EXPECT_EQ(readFile(dataDir + "Caf\xc3\xa9_ 1_.txt"), "Name: Caf\xe9: 1?\r\n3\r\n");
}

TEST_F(Conversion, OverlongNamesAreCutToAFileNameThatWorks) {
    const std::string name(300, 'n');
    EXPECT_EQ(convert("Name: " + name + "\r\n1\r\nName: " + name + "\r\n2\r\n>").result,
              ConvertResult::Collected);
    const std::string cut(247, 'n');
    EXPECT_EQ(readFile(dataDir + cut + ".txt"), "Name: " + name + "\r\n1\r\n");
    EXPECT_EQ(readFile(dataDir + cut + "_000.txt"), "Name: " + name + "\r\n2\r\n");
    // Joined to a directory without a final '/', the name shares that component.
    EXPECT_EQ(fitFileName(name, "/x/Data").size(), 243u);
    EXPECT_EQ(fitFileName("short", "/x/Data"), "short");
}

TEST_F(Conversion, LongLinesLoseNothing) {
    std::string longLine(7999, 'x');
    longLine += "yz";                     // 8001 bytes, across the old 7999-byte pieces
    const std::string huge(3 << 20, 'q'); // larger than the read and write buffers
    const auto out = convert("Name: L\r\n" + longLine + "\r\n" + huge + "\r\nend\r\n>");
    EXPECT_EQ(out.result, ConvertResult::Collected);
    EXPECT_EQ(readFile(dataDir + "L.txt"),
              "Name: L\r\n" + longLine + "\r\n" + huge + "\r\nend\r\n");
}

TEST_F(Conversion, ManyLinesAcrossBufferBoundaries) {
    std::string download = "Name: M\r\n", expected = download;
    for (int i = 0; i < 200000; ++i) {
        const std::string line = std::to_string(i) + ",12.5,-3";
        download += line + "\r\n";
        expected += line + "\r\n";
    }
    download += ">";
    EXPECT_EQ(convert(download).result, ConvertResult::Collected);
    EXPECT_EQ(readFile(dataDir + "M.txt"), expected);
}

TEST_F(Conversion, AWriteFailureIsNotReportedAsSuccess) {
    // A file-size limit makes writes beyond 64 kB fail with EFBIG, like a full disk.
    struct rlimit old {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    const std::string download = "Name: BIG\r\n" + std::string(200000, 'd') + "\r\n>";
    writeFile(intermediate, download);
    auto* oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = old;
    small.rlim_cur = 64 * 1024;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const auto out = convertIntermediateFile(intermediate, dataDir);
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(out.result, ConvertResult::InvalidFormat);
    // The partial file stays, named as incomplete, never under the set's own name.
    EXPECT_FALSE(fs::exists(dataDir + "BIG.txt"));
    ASSERT_FALSE(out.incompleteFile.empty());
    const std::string partial = readFile(out.incompleteFile);
    EXPECT_EQ(download.rfind(partial.substr(0, 11), 0), 0u);
    EXPECT_LT(partial.size(), download.size());
    EXPECT_TRUE(out.files.empty());
    EXPECT_EQ(readFile(intermediate), download);
}

TEST_F(Conversion, LinesLongerThanAPieceStreamWhole) {
    const std::size_t piece = LineReader::kPiece;
    // A data line of several pieces with a CR right at a piece boundary, a header whose name
    // lies beyond the first piece, and a comment of several pieces that is skipped whole.
    // The reader's buffer holds two pieces; the data line starts 9 bytes into the file, so
    // its byte 2 * piece - 10 is the buffer's last: a CR there must wait for what follows.
    std::string data(5 * piece + 17, 'd');
    data[2 * piece - 10] = '\r';
    data[2 * piece] = 'N'; // inside a line: no header
    const std::string longHeader = "N" + std::string(2 * piece + 5, '-') + ": LONG";
    const std::string comment = "*" + std::string(2 * piece, 'c');
    const auto out =
        convert("Name: A\r\n" + data + "\r\n" + comment + "\r\n" + longHeader + "\r\nx\r\n>");
    EXPECT_EQ(out.result, ConvertResult::Collected);
    EXPECT_EQ(readFile(dataDir + "A.txt"), "Name: A\r\n" + data + "\r\n");
    EXPECT_EQ(readFile(dataDir + "LONG.txt"), longHeader + "\r\nx\r\n");
}

TEST_F(Conversion, PlantedIntermediateFilesAreNotRead) {
    writeFile(root + "/elsewhere.txt", "Name: X\r\n1\r\n>");
    fs::create_symlink(root + "/elsewhere.txt", intermediate);
    EXPECT_EQ(convertIntermediateFile(intermediate, dataDir).result, ConvertResult::CannotReopen);
    fs::remove(intermediate);
    ASSERT_EQ(::mkfifo(intermediate.c_str(), 0600), 0);
    const auto fifo = convertIntermediateFile(intermediate, dataDir); // returns, no hang
    EXPECT_EQ(fifo.result, ConvertResult::CannotReopen);
    EXPECT_NE(fifo.detail.find("not a regular file"), std::string::npos);
    fs::remove(intermediate);
    EXPECT_TRUE(listDir(dataDir).empty());

    // Replaced between the download and the conversion: not the file that was written.
    writeFile(intermediate, "Name: X\r\n1\r\n>");
    FileIdentity written{1, 1};
    EXPECT_EQ(convertIntermediateFile(intermediate, dataDir, &written).result,
              ConvertResult::CannotReopen);
}

TEST_F(Conversion, BytesThrownAwayAfterThePromptAreCounted) {
    const struct {
        const char* download;
        std::uint64_t late;
        bool incomplete;
    } cases[] = {
        {"Name: A\r\n1\r\n>", 0, false},    // the prompt alone
        {"Name: A\r\n1\r\nXRQ>", 0, false}, // the prompt's own line
        {"Name: A\r\n1\r\n>", 1, true},     // more came after it
        {"Name: A\r\n1,2>3\r\n4", 0, true}, // the rest of a record left out
        {"Name: A\r\n12>", 40, true},       // '>' inside a record, the rest late
        {"Name: A\r\n1,2>3\r\n", 0, false}, // nothing left out
    };
    for (const auto& c : cases) {
        const auto out = convert(c.download);
        EXPECT_EQ(downloadMayBeIncomplete(out, c.late), c.incomplete) << c.download;
    }
}

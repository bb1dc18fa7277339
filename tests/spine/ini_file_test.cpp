// SPDX-License-Identifier: GPL-3.0-or-later
// The settings file: Windows profile semantics on files written by us, by hand or elsewhere.
#include "platform/ini_file.h"
#include "spine_fixture.h"

#include <QDir>

#include <sys/stat.h>
#include <unistd.h>

using platform::IniFile;

class IniFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        path = dir.path().toStdString() + "/XRQ.ini";
    }
    QTemporaryDir dir;
    std::string path;
};

TEST_F(IniFileTest, RoundTripWritesRawCrLfLinesAndReadsThemBack) {
    IniFile ini(path);
    EXPECT_EQ(ini.ReadInteger("Serial", "Port", 1), 1); // no file: defaults
    EXPECT_EQ(ini.ReadString("Data", "Directory", "def/"), "def/");
    ASSERT_TRUE(ini.WriteInteger("Serial", "Port", 3));
    ASSERT_TRUE(ini.WriteString("Data", "Directory", "C:\\XRQ Data\\%d;\"x\"=y/"));
    ASSERT_TRUE(ini.WriteInteger("Serial", "Port", 12)); // replaces, does not add
    EXPECT_EQ(readBytes(path),
              "[Serial]\r\nPort=12\r\n[Data]\r\nDirectory=C:\\XRQ Data\\%d;\"x\"=y/\r\n");

    IniFile again(path); // nothing cached: a new object sees the same
    EXPECT_EQ(again.ReadInteger("serial", "PORT", 1), 12);
    EXPECT_EQ(again.ReadString("DATA", "directory", ""), "C:\\XRQ Data\\%d;\"x\"=y/");
}

TEST_F(IniFileTest, HandWrittenFileKeepsItsOtherLinesAndLineEnds) {
    const std::string original = "; written by hand\n"
                                 "orphan=before any section\n"
                                 "[Other]\n"
                                 "Port=77\n"
                                 "\n"
                                 "[ SERIAL ]\n"
                                 "  port = 5  \n"
                                 "Speed=9600\n"
                                 "\n"
                                 "[Data]\n"
                                 "Directory=\"/home/op/XRQ Data/\"\n"
                                 "[Serial]\n"
                                 "Port=9\n";
    writeBytes(path, original);
    IniFile ini(path);
    EXPECT_EQ(ini.ReadInteger("Serial", "Port", 1), 5); // first section of the name wins
    EXPECT_EQ(ini.ReadString("Data", "Directory", ""), "/home/op/XRQ Data/"); // quotes dropped
    EXPECT_EQ(ini.ReadString("Serial", "orphan", "none"), "none");
    EXPECT_TRUE(ini.SectionExists("other"));
    EXPECT_FALSE(ini.ValueExists("Data", "Port"));

    ASSERT_TRUE(ini.WriteInteger("Serial", "Port", 2));
    ASSERT_TRUE(ini.WriteString("Serial", "Parity", "N"));
    std::string expected = original;
    expected.replace(expected.find("  port = 5  "), 12, "Port=2");
    expected.replace(expected.find("Speed=9600\n"), 11, "Speed=9600\nParity=N\n");
    EXPECT_EQ(readBytes(path), expected);

    ASSERT_TRUE(ini.DeleteKey("Serial", "Parity"));
    EXPECT_FALSE(ini.ValueExists("Serial", "Parity"));
}

TEST_F(IniFileTest, IntegersThatDoNotParseReadAsTheDefault) {
    const std::pair<std::string, int> cases[] = {
        {"abc", 1},
        {"", 1},
        {"12abc", 1},
        {"1.5", 1},
        {"99999999999", 1},
        {"- 3", 1},
        {"0x", 1},
        {"$", 1},
        {" 42 ", 42},
        {"-7", -7},
        {"+5", 5},
        {"0", 0},
        {"0x1F", 31},
        {"$10", 16},
        {"\"8\"", 8},
        {"2147483647", 2147483647},
        {"-2147483648", -2147483647 - 1},
        {"2147483648", 1},
    };
    for (const auto& [text, value] : cases) {
        writeBytes(path, "[Serial]\r\nPort=" + text + "\r\n");
        EXPECT_EQ(IniFile(path).ReadInteger("Serial", "Port", 1), value) << '"' << text << '"';
    }
}

TEST_F(IniFileTest, WritesThatWouldBreakTheFileOrCannotHappenFailAndChangeNothing) {
    IniFile ini(path);
    ASSERT_TRUE(ini.WriteString("Data", "Directory", "/ok/"));
    const std::string before = readBytes(path);
    EXPECT_FALSE(ini.WriteString("Data", "Directory", "/two\nlines/"));
    EXPECT_FALSE(ini.WriteString("Data", "Dir=ectory", "x"));
    EXPECT_FALSE(ini.WriteString("Da]ta", "Directory", "x"));
    EXPECT_FALSE(ini.WriteString("", "Directory", "x"));
    EXPECT_FALSE(ini.WriteString("Data", "", "x"));
    EXPECT_EQ(readBytes(path), before);

    IniFile nowhere(dir.path().toStdString() + "/missing/XRQ.ini");
    EXPECT_FALSE(nowhere.WriteInteger("Serial", "Port", 3));
    EXPECT_EQ(nowhere.ReadInteger("Serial", "Port", 1), 1);
    EXPECT_FALSE(QDir(dir.path() + "/missing").exists());
    // No temporary files left beside the settings.
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), QStringList{"XRQ.ini"});
}

TEST_F(IniFileTest, AFileThatCannotBeReadIsNeverRewrittenFromNothing) {
    writeBytes(path, "[Serial]\r\nPort=4\r\n[Mine]\r\nKeep=1\r\n");
    ASSERT_EQ(::chmod(path.c_str(), 0), 0);
    if (::access(path.c_str(), R_OK) == 0)
        GTEST_SKIP() << "this user reads any file (root); the ordinary-user run covers it";
    IniFile ini(path);
    EXPECT_EQ(ini.ReadInteger("Serial", "Port", 1), 1);
    EXPECT_FALSE(ini.WriteInteger("Serial", "Port", 5));
    EXPECT_FALSE(ini.WriteString("Data", "Directory", "/d/"));
    EXPECT_FALSE(ini.DeleteKey("Mine", "Keep"));
    ASSERT_EQ(::chmod(path.c_str(), 0600), 0);
    EXPECT_EQ(readBytes(path), "[Serial]\r\nPort=4\r\n[Mine]\r\nKeep=1\r\n");
}

TEST_F(IniFileTest, NamesWithBlanksAroundThemAreTrimmedOnWriteAndRead) {
    IniFile ini(path);
    ASSERT_TRUE(ini.WriteString(" Data ", " Directory\t", "/d/"));
    EXPECT_EQ(readBytes(path), "[Data]\r\nDirectory=/d/\r\n");
    EXPECT_EQ(ini.ReadString("Data", "Directory", "none"), "/d/");
    EXPECT_EQ(ini.ReadString("  data", "directory  ", "none"), "/d/");
    ASSERT_TRUE(ini.WriteString("Data ", "Directory", "/e/"));
    EXPECT_EQ(readBytes(path), "[Data]\r\nDirectory=/e/\r\n");
    EXPECT_TRUE(ini.ValueExists(" Data", " Directory"));
}

// SPDX-License-Identifier: GPL-3.0-or-later
// What the Units window's Export CSV and Open Files do, without the window: the name it
// suggests, the history written as the operator's file (never half of it), and the folders a
// download's files are in.
#include "register/register_texts.h"
#include "support/read_file.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

using namespace unitreg;

namespace {

std::vector<UnitEvent> oneBatteryReading() {
    UnitEvent battery;
    battery.kind = EventKind::Battery;
    battery.at = 1793000000000;
    battery.volts = 12.25;
    battery.celsius = 20.5;
    battery.reply = "Bat: 12.25>";
    return {battery};
}

} // namespace

TEST(HistoryExport, TheSuggestedNameKeepsOnlyTheSerialsSafeCharacters) {
    const struct {
        std::string serial;
        const char* name;
    } cases[] = {
        {"AB12CD34", "XRQAB12CD34-history.csv"},
        {"A/B..C D", "XRQA_B__C_D-history.csv"},
        {std::string("\xE9\xFF") + "1", "XRQ__1-history.csv"}, // beyond ASCII, even letters
        {"", "XRQ-history.csv"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(historyFileName(c.serial).toStdString(), c.name) << c.serial;
}

TEST(HistoryExport, TheFileIsWrittenWholeOrAnEarlierOneStays) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("history.csv"));
    const std::vector<UnitEvent> events = oneBatteryReading();

    // Written, and written again over the earlier one.
    std::ofstream(QFile::encodeName(path).toStdString()) << "earlier";
    EXPECT_EQ(writeHistoryCsv(path, "AB12", events), "");
    EXPECT_EQ(testsupport::readFile(QFile::encodeName(path).toStdString()),
              historyCsv("AB12", events).toStdString());
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files).size(), 1) << "nothing left beside it";

    // Into a folder that is not there: the operator's words name the file, nothing is made.
    const QString nowhere = dir.filePath(QStringLiteral("gone/history.csv"));
    const std::string failed = writeHistoryCsv(nowhere, "AB12", events);
    EXPECT_EQ(failed.rfind("Cannot write " + QFile::encodeName(nowhere).toStdString() + ": ", 0),
              0u)
        << failed;
    EXPECT_FALSE(QFile::exists(dir.filePath(QStringLiteral("gone"))));
}

TEST(HistoryExport, ADownloadsFilesAreShownByTheirFoldersEachOnce) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    ASSERT_TRUE(QDir(dir.path()).mkpath(QStringLiteral("b")));
    const std::string root = QFile::encodeName(dir.path()).toStdString();
    for (const char* name : {"/A.txt", "/B.txt", "/b/C.txt"})
        std::ofstream(root + name) << "x";
    const FilesFolders found =
        filesFolders({root + "/b/C.txt", root + "/A.txt", root + "/gone.txt", root + "/B.txt"});
    EXPECT_EQ(found.folders, (std::set<QString>{dir.path(), dir.filePath(QStringLiteral("b"))}));
    EXPECT_EQ(found.missing, QStringList{QString::fromStdString(root + "/gone.txt")});

    const FilesFolders none = filesFolders({root + "/gone.txt"});
    EXPECT_TRUE(none.folders.empty());
    EXPECT_EQ(noFilesText(none.missing),
              "The data files of this download are no longer there:\n" + root + "/gone.txt");
    EXPECT_EQ(noFilesText({}), "This download wrote no data files.");
}

// SPDX-License-Identifier: GPL-3.0-or-later
// Reading data files as the download writes them, and what the viewer makes of bad input.
#include "viewer_reader/data_file.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <sys/stat.h>

using namespace viewer;

namespace {

// Lines joined with CR LF, as the program writes data files.
QByteArray crlf(std::initializer_list<const char*> lines) {
    QByteArray out;
    for (const char* l : lines)
        out += QByteArray(l) + "\r\n";
    return out;
}

double stamp(const char* text) {
    double s = -1;
    EXPECT_TRUE(parseUnitDateTime(text, s)) << text;
    return s;
}

const QByteArray kRiver = crlf({
    "Name: RIVER-A",
    "Date     Time    , Batt V, Temp C, Level m, Cond uS",
    "26-05-11 08:00:00, 12.64, 11.82, 1.412, 412.5",
    "26-05-11 08:15:00, 12.64, 11.97, 1.409, 413.1",
    "26-05-11 08:30:00, 12.63, 12.21, 1.405, 413.0",
});

} // namespace

TEST(UnitDateTime, AcceptsOnlyRealStampsInTheUnitsForm) {
    double s = 0;
    ASSERT_TRUE(parseUnitDateTime("00-01-01 00:00:00", s));
    EXPECT_EQ(s, 946684800.0); // 2000-01-01 UTC wall clock
    EXPECT_EQ(stamp("26-05-11 08:15:00") - stamp("26-05-11 08:00:00"), 900.0);
    EXPECT_EQ(stamp("24-03-01 00:00:00") - stamp("24-02-29 00:00:00"), 86400.0);
    for (const char* bad : {"26-02-29 00:00:00", "26-13-01 00:00:00", "26-04-31 00:00:00",
                            "26-05-11 24:00:00", "26-05-11 08:60:00", "26-05-11T08:00:00",
                            "2026-05-11 08:00", "26-5-11 08:00:00", "", "26-05-11 08:00:0x"})
        EXPECT_FALSE(parseUnitDateTime(bad, s)) << bad;
    EXPECT_EQ(isoDateTime(stamp("26-05-11 08:15:09")), "2026-05-11T08:15:09");
    EXPECT_EQ(displayDateTime(stamp("99-12-31 23:59:59")), "2099-12-31 23:59:59");
}

// The unit's own stamp is read on a short path: it gives what the general reading gives for
// the same stamp with two blanks before the clock (which only the general reading takes).
TEST(UnitDateTime, TheUnitsOwnStampReadsAsAnyOtherLayout) {
    for (const char* stamp :
         {"26-05-11 08:15:09", "99/12/31 23:59:59", "11.05.26 00:00:00", "26-05-11 23:59:60",
          "26-05-11 24:00:00", "26-05-11 23:60:00", "26-05-11 23:59:61", "26-05/11 08:00:00",
          "26-05-11 08:00-00", "2a-05-11 08:00:00", "26-05-11 08:0a:00", "26:05:11 08:00:00",
          "00-00-00 00:00:00", "26-13-45 08:00:00"}) {
        std::string general = stamp;
        general.insert(8, " ");
        StampFields fast, slow;
        const bool read = splitStamp(stamp, fast);
        EXPECT_EQ(read, splitStamp(general, slow)) << stamp;
        if (!read)
            continue;
        EXPECT_TRUE(fast.shape == slow.shape) << stamp;
        EXPECT_EQ(fast.hasClock, slow.hasClock) << stamp;
        EXPECT_EQ(fast.clockSeconds, slow.clockSeconds) << stamp;
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(fast.field[i], slow.field[i]) << stamp;
    }
}

TEST(UnitNumber, CLocaleNumbersOnly) {
    double v = 0;
    EXPECT_TRUE(parseNumber(" 12.64 ", v));
    EXPECT_EQ(v, 12.64);
    EXPECT_TRUE(parseNumber("+4", v));
    EXPECT_EQ(v, 4);
    EXPECT_TRUE(parseNumber("-.5e1", v));
    EXPECT_EQ(v, -5);
    for (const char* bad : {"", " ", "12,5", "nan", "inf", "-inf", "1.2.3", "12 V", "++1", "0x10"})
        EXPECT_FALSE(parseNumber(bad, v)) << bad;
}

// The usual cells are read on a short path; every cell reads as the full parser reads it,
// to the bit.
TEST(UnitNumber, EveryDecimalReadsAsTheFullParserReadsIt) {
    std::vector<std::string> cells = {"0",
                                      "-0",
                                      "5.",
                                      ".5",
                                      "-.5",
                                      "007.50",
                                      "12.64",
                                      "-273.15",
                                      "999999999999999",
                                      "9999999999999999",
                                      "123456789012345.6",
                                      "0.1234567890123456789012",
                                      "0.0000000000000000000001",
                                      "1.7976931348623157",
                                      "4503599627370497",
                                      "0.30000000000000004",
                                      "1e5",
                                      "-2.5E-3"};
    std::uint64_t seed = 12345;
    for (int i = 0; i < 20000; ++i) {
        seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
        const int digits = 1 + static_cast<int>((seed >> 33) % 18);
        const int point = static_cast<int>((seed >> 40) % static_cast<std::uint64_t>(digits + 1));
        std::string cell = (seed >> 60) & 1 ? "-" : "";
        std::uint64_t d = seed;
        for (int k = 0; k < digits; ++k, d = d * 31 + 7) {
            if (k == point)
                cell += '.';
            cell += static_cast<char>('0' + (d >> 59) % 10);
        }
        cells.push_back(cell);
    }
    for (const std::string& cell : cells) {
        double expected = 0, got = 0;
        const auto r = std::from_chars(cell.data(), cell.data() + cell.size(), expected);
        ASSERT_TRUE(r.ec == std::errc() && r.ptr == cell.data() + cell.size()) << cell;
        ASSERT_TRUE(parseNumber(cell, got)) << cell;
        EXPECT_EQ(std::bit_cast<std::uint64_t>(got), std::bit_cast<std::uint64_t>(expected))
            << cell;
    }
    double v;
    for (const char* bad : {".", "-", "-.", "1..2", "1-2", "--1", "1.2.", " . "})
        EXPECT_FALSE(parseNumber(bad, v)) << bad;
}

TEST(ParseDataFile, TimeAxisTitlesAndColumnsFromTheFile) {
    const DataSet set = parseDataFile(kRiver, "/data/RIVER-A.txt");
    ASSERT_TRUE(set.error.isEmpty()) << set.error.toStdString();
    EXPECT_TRUE(set.hasHeader);
    EXPECT_EQ(set.name, "RIVER-A");
    EXPECT_EQ(set.axis, Axis::Time);
    EXPECT_EQ(set.timeCells, 1);
    ASSERT_EQ(set.rowCount(), 3u);
    EXPECT_EQ(set.x[0], stamp("26-05-11 08:00:00"));
    EXPECT_EQ(set.x[2] - set.x[0], 1800.0);
    ASSERT_EQ(set.columns.size(), 4u);
    EXPECT_EQ(set.numericColumnCount(), 4);
    EXPECT_EQ(set.columns[0].title, "Batt V");
    EXPECT_EQ(set.columns[3].title, "Cond uS");
    EXPECT_EQ(set.columns[1].values, (std::vector<double>{11.82, 11.97, 12.21}));
    const ColumnStats& st = set.columns[3].stats;
    EXPECT_EQ(st.count, 3u);
    EXPECT_EQ(st.min, 412.5);
    EXPECT_EQ(st.max, 413.1);
    EXPECT_NEAR(st.mean, (412.5 + 413.1 + 413.0) / 3, 1e-9);
    EXPECT_EQ(set.skippedRows, 0u);
    EXPECT_EQ(set.rowCells(1),
              (QStringList{"26-05-11 08:15:00", "12.64", "11.97", "1.409", "413.1"}));
}

TEST(ParseDataFile, RowNumbersWithoutTimeAndColumnsWithoutTitleLine) {
    // LF only and no final line end: what an operator's own file may look like.
    const DataSet set = parseDataFile("Name: X\n1.5, 7\n2.5, 8\n3.5, 9");
    ASSERT_TRUE(set.error.isEmpty());
    EXPECT_EQ(set.axis, Axis::RowNumber);
    EXPECT_TRUE(set.titles.isEmpty());
    EXPECT_EQ(set.x, (std::vector<double>{1, 2, 3}));
    ASSERT_EQ(set.columns.size(), 2u);
    EXPECT_EQ(set.title(0), "Column 1");
    EXPECT_EQ(set.columns[1].values, (std::vector<double>{7, 8, 9}));

    // No header either: the name comes from the file.
    const DataSet bare = parseDataFile(crlf({"1, 2", "3, 4"}), "/d/plain.txt");
    EXPECT_FALSE(bare.hasHeader);
    EXPECT_EQ(bare.name, "plain");
    EXPECT_EQ(bare.rowCount(), 2u);

    // Date and time in cells of their own.
    const DataSet split =
        parseDataFile(crlf({"Name: S", "26-05-11, 08:00:00, 1", "26-05-11, 09:00:00, 2"}));
    EXPECT_EQ(split.axis, Axis::Time);
    EXPECT_EQ(split.timeCells, 2);
    ASSERT_EQ(split.columns.size(), 1u);
    EXPECT_EQ(split.x[1] - split.x[0], 3600.0);
}

TEST(ParseDataFile, MissingAndNonNumericCellsAreGapsMalformedRowsAreCounted) {
    const DataSet set = parseDataFile(crlf({
        "Name: GAPS",
        "Date     Time    , A, B, State",
        "26-05-11 08:00:00, 1.0, 10, OK",
        "26-05-11 08:10:00, , 11, OK",        // empty cell
        "26-05-11 08:20:00, ERR, 12, LOW",    // not a number
        "26-05-11 08:30:00, 4.0",             // cut short
        "26-05-11 08:40:00, 5.0, 14, OK, 99", // too many cells
        "26-13-11 08:50:00, 6.0, 15, OK",     // no such month
        "garbage",                            // no time at all
        "26-05-11 09:00:00, 7.0, 16, O\x01K", // control byte
        "",
        "26-05-11 09:10:00, 8.0, 17, OK",
    }));
    ASSERT_TRUE(set.error.isEmpty());
    EXPECT_EQ(set.rowCount(), 5u);
    EXPECT_EQ(set.skippedRows, 4u);
    EXPECT_EQ(set.skippedText(), "4 rows could not be read");
    EXPECT_EQ(set.skippedLines, (std::vector<std::size_t>{7, 8, 9, 10}));
    const auto& a = set.columns[0].values;
    ASSERT_EQ(a.size(), 5u);
    EXPECT_EQ(a[0], 1.0);
    EXPECT_TRUE(std::isnan(a[1]));
    EXPECT_TRUE(std::isnan(a[2]));
    EXPECT_EQ(a[3], 4.0);
    EXPECT_TRUE(std::isnan(set.columns[1].values[3]));
    EXPECT_EQ(set.columns[0].stats.count, 3u);
    // A column of words is shown in the table but is no series.
    EXPECT_FALSE(set.columns[2].numeric);
    EXPECT_EQ(set.numericColumnCount(), 2);

    EXPECT_EQ(parseDataFile(crlf({"1", "x"})).skippedText(), "1 row could not be read");
}

// A control byte anywhere in a row (rows are looked at eight bytes at a time) makes it
// unreadable; tabs and Latin-1 letters do not.
TEST(ParseDataFile, ControlBytesAnywhereInARowAndOnlyThem) {
    QByteArray text = "Name: CTRL\r\n";
    std::size_t rows = 0, bad = 0;
    const std::string word = "abcdefghijklmnopqrstuvwx";
    for (const char inserted : {'\x01', '\x0b', '\x1f', '\x7f', '\t', '\xe9', '\x80', '\x9f'}) {
        const bool control = inserted != '\t' && static_cast<unsigned char>(inserted) < 0x80;
        for (std::size_t at = 1; at < word.size(); ++at) {
            std::string cell = word;
            cell.insert(at, 1, inserted);
            const int minute = static_cast<int>(rows++);
            text += QByteArray::fromStdString(QString::asprintf("26-05-%02d %02d:%02d:00, 1.5, ",
                                                                1 + minute / 1440, minute / 60 % 24,
                                                                minute % 60)
                                                  .toStdString() +
                                              cell + "\r\n");
            bad += control;
        }
    }
    const DataSet set = parseDataFile(text);
    ASSERT_TRUE(set.error.isEmpty()) << set.error.toStdString();
    EXPECT_EQ(set.skippedRows, bad);
    EXPECT_EQ(set.rowCount(), rows - bad);
}

// The rows a caller counts (a series) are reserved at once; the budget still holds for every
// row, whether the count is right, short or too long.
TEST(ParseDataFile, RowsTheCallerCountsAreReservedWithinTheBudget) {
    QByteArray text;
    for (int i = 0; i < 3000; ++i)
        text += QString::asprintf("26-05-%02d %02d:%02d:00, %d.5, 7\n", 1 + i / 1440, i / 60 % 24,
                                  i % 60, i)
                    .toLatin1();
    struct Case {
        std::uint64_t expected, budget;
        bool read;
    } cases[] = {
        {3000, 1 << 20, true}, {100, 1 << 20, true},      {100000, 8 << 20, true},
        {3000, 60000, false},  {1000000, 1 << 20, false},
    };
    for (const Case& c : cases) {
        ReadLimits limits;
        limits.expectedRows = c.expected;
        limits.memoryBudget = c.budget;
        const DataSet set = parseDataFile(text, "rows.txt", nullptr, {}, limits);
        EXPECT_EQ(set.error.isEmpty(), c.read) << c.expected << ": " << set.error.toStdString();
        EXPECT_EQ(set.rowCount(), c.read ? 3000u : 0u) << c.expected;
        EXPECT_LE(set.accountedPeak, c.budget) << c.expected;
        if (!c.read) {
            EXPECT_TRUE(set.error.startsWith("The file is too large to view: ")) << c.expected;
        }
    }
}

TEST(ParseDataFile, Latin1TitlesAndName) {
    const DataSet set = parseDataFile(crlf({"Name: Rh\xF4ne 2",
                                            "Temp \xB0"
                                            "C, Leitf. \xB5S",
                                            "1, 2", "3, 4"}));
    EXPECT_EQ(set.name, QString::fromUtf8("Rhône 2"));
    ASSERT_EQ(set.columns.size(), 2u);
    EXPECT_EQ(set.columns[0].title, QString::fromUtf8("Temp °C"));
    EXPECT_EQ(set.columns[1].title, QString::fromUtf8("Leitf. µS"));
    EXPECT_EQ(set.columns[1].values, (std::vector<double>{2, 4}));
}

TEST(ParseDataFile, NothingToShowIsReportedNotFatal) {
    EXPECT_EQ(parseDataFile("").error, "The file is empty.");
    EXPECT_EQ(parseDataFile(" \r\n\r\n").error, "The file is empty.");
    EXPECT_EQ(parseDataFile(QByteArray("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16)).error,
              "The file holds binary data, not a data file.");
    EXPECT_EQ(parseDataFile(crlf({"Name: EMPTY"})).error, "The file holds no rows of values.");
    EXPECT_EQ(parseDataFile(crlf({"Name: T", "Date, Value"})).error,
              "The file holds no rows of values.");
    EXPECT_FALSE(parseDataFile(crlf({"Name: W", "a, b", "c, d"})).error.isEmpty());
}

TEST(ParseDataFile, ClockThatWentBackIsSortedAndGapsAreMeasured) {
    const DataSet set = parseDataFile(crlf({
        "26-05-11 08:15:00, 2",
        "26-05-11 08:00:00, 1",
        "26-05-11 08:30:00, 3",
        "26-05-11 08:45:00, 4",
        "26-05-11 12:00:00, 5",
    }));
    EXPECT_FALSE(set.sorted);
    EXPECT_TRUE(std::is_sorted(set.x.begin(), set.x.end()));
    EXPECT_EQ(set.columns[0].values, (std::vector<double>{1, 2, 3, 4, 5}));
    EXPECT_EQ(set.rowCells(0)[0], "26-05-11 08:00:00"); // the table follows the order
    EXPECT_EQ(set.gapSeconds, 3 * 900.0);
}

TEST(ParseDataFile, CsvHasOneHeaderIsoTimesAndUtf8) {
    const DataSet set =
        parseDataFile(crlf({"Name: C",
                            "Date     Time    , Temp \xB0"
                            "C, Note",
                            "26-05-11 08:00:00, 1.50, a,b", "26-05-11 08:10:00, , \"q\""}));
    ASSERT_TRUE(set.error.isEmpty());
    // "a,b" makes a row with one cell too many: it is skipped, not misread.
    EXPECT_EQ(set.skippedRows, 1u);
    const QByteArray csv = toCsv(set);
    EXPECT_EQ(csv, QByteArray("Time,Temp \xC2\xB0"
                              "C,Note\n"
                              "2026-05-11T08:10:00,,\"\"\"q\"\"\"\n"));
}

TEST(LoadDataFile, OnlyRegularFilesAreRead) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString fifo = dir.filePath("pipe");
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    EXPECT_EQ(loadDataFile(fifo).error, "This is not a regular file.");
    EXPECT_EQ(loadDataFile(dir.path()).error, "This is not a regular file.");
    EXPECT_EQ(loadDataFile(dir.filePath("none.txt")).error, "The file does not exist.");

    const QString good = dir.filePath("RIVER-A.txt");
    QFile f(good);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(kRiver);
    f.close();
    std::vector<int> seen;
    const DataSet set = loadDataFile(good, nullptr, [&](int p) { seen.push_back(p); });
    EXPECT_TRUE(set.error.isEmpty());
    EXPECT_EQ(set.rowCount(), 3u);
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.back(), 100);
    EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
}

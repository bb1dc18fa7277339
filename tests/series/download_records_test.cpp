// SPDX-License-Identifier: GPL-3.0-or-later
// A download read as a stream (series/download_records.h): the same sets and records as the
// text read whole, records read again from any place, and a series taken from the file the
// same as one taken from the text.
#include "record_lines.h"
#include "series/download_records.h"
#include "series/line_reader.h"
#include "series/record_time.h"
#include "series/series_store.h"
#include "support/result_assert.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <random>

using namespace series;

namespace {

std::string writeFile(const QTemporaryDir& dir, const std::string& name, const std::string& text) {
    const std::string path = dir.filePath(QString::fromStdString(name)).toStdString();
    std::ofstream(path, std::ios::binary) << text;
    return path;
}

std::string join(const std::vector<std::string>& records, const char* end = "\r\n") {
    std::string text;
    for (const std::string& r : records)
        text += r + end;
    return text;
}

struct TextCase {
    const char* what;
    std::string text;
};

std::vector<TextCase> textCases() {
    const std::string many = join(testsupport::lines(0, 200));
    // Longer than the reader's buffer: handed out in pieces, CRs inside them kept, a CR kept
    // back at a piece's end when the line end may follow it.
    std::string longRecord = "26-06-01 00:00:00, " + std::string(2 * LineReader::kPiece + 7, '7');
    for (std::size_t at = 100; at < longRecord.size(); at += 4099)
        longRecord[at] = '\r';
    return {
        {"two sets, CRLF", "F\r\nName: A\r\n1\r\n2\r\nName: B\r\n3\r\n>"},
        {"LF only", "F\nName: A\n1\n2\n>"},
        {"comments and blanks inside a set", "F\r\nName: A\r\n1\r\n* clock\r\n\r\n2\r\n>"},
        {"records before any header", "F\r\n0\r\nName: A\r\n1\r\n>"},
        {"sets of one name", "F\r\nName: A\r\n1\r\nName: A\r\n1\r\n2\r\nName: B\r\n>"},
        {"many records (marks)", "F\r\nName: A\r\n" + many + "Name: B\r\n" + many + ">"},
        {"cut: a torn last line", "F\r\nName: A\r\n1\r\n2\r\n26-06-01 00:0"},
        {"the prompt on a line of its own", "F\r\nName: A\r\n1\r\n> \r\n"},
        {"a prompt past a long torn line", "F\r\nName: A\r\n1\r\n" + std::string(6000, 'x') + ">"},
        {"no data", "F\r\nName: A\r\n1\r\nNo data\r\n>"},
        {"a header without ':'", "F\r\nName: A\r\n1\r\nName A\r\n2\r\n>"},
        {"a record longer than the reader's buffer",
         "F\r\nName: A\r\n1\r\n" + longRecord + "\r\n2\r\r\n" + longRecord + "\n>"},
        {"empty", ""},
    };
}

class DownloadRecordsRead : public testing::TestWithParam<TextCase> {};

TEST_P(DownloadRecordsRead, TheFileGivesWhatTheTextGives) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::string& text = GetParam().text;
    const DownloadSets whole = parseDownloadText(text);
    const auto read = readDownloadRecords(writeFile(dir, "kept.txt", text));
    ASSERT_EQ(read->readable(), whole.readable);
    EXPECT_EQ(read->error(), whole.error);
    EXPECT_EQ(read->noData(), whole.noData);
    EXPECT_EQ(read->cut(), whole.cut);
    if (!whole.readable)
        return;
    ASSERT_EQ(read->sets().size(), whole.sets.size());
    for (std::size_t s = 0; s < whole.sets.size(); ++s) {
        const SetLines& want = whole.sets[s];
        const SetIndex& got = read->sets()[s];
        EXPECT_EQ(got.name, want.name);
        EXPECT_EQ(got.complete, want.complete);
        ASSERT_EQ(got.size(), want.records.size());
        std::vector<std::string_view> views(want.records.begin(), want.records.end());
        EXPECT_EQ(got.dateOrder, chooseDateOrder(views));
        // From every place a seek can start at: a mark, beside one, the end.
        for (const std::size_t from : {std::size_t(0), std::size_t(1), std::size_t(63),
                                       std::size_t(64), std::size_t(65), got.size()}) {
            if (from > got.size())
                continue;
            ASSERT_TRUE(read->seek(s, from)) << read->readError();
            std::string_view line;
            for (std::size_t i = from; i < got.size(); ++i) {
                ASSERT_TRUE(read->next(line)) << read->readError();
                ASSERT_EQ(line, want.records[i]) << "set " << s << " record " << i;
                EXPECT_EQ(got.hashes[i], recordHash(want.records[i]));
            }
            EXPECT_FALSE(read->next(line)) << "past the set's end";
            EXPECT_FALSE(read->failed());
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Texts, DownloadRecordsRead, testing::ValuesIn(textCases()),
                         [](const testing::TestParamInfo<TextCase>& info) {
                             std::string name;
                             for (const char c : std::string(info.param.what))
                                 name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                             return name;
                         });

TEST(DownloadRecords, AFileChangedSinceItWasIndexedIsNotTaken) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::string text = "F\r\nName: A\r\n" + join(testsupport::lines(0, 300)) + ">";
    const std::string path = writeFile(dir, "kept.txt", text);
    const auto read = readDownloadRecords(path);
    ASSERT_TRUE(read->readable());
    std::string changed = text;
    changed[changed.find("00:00:00, 250")] = '3'; // one digit, the length kept
    std::ofstream(path, std::ios::binary | std::ios::in) << changed;
    SeriesStore store;
    ASSERT_TRUE(done(store.open(dir.filePath(QStringLiteral("series.sqlite")).toStdString())));
    const ApplyResult r = store.apply({"XRQ1", path, 1000, true}, *read, {});
    EXPECT_FALSE(r.ok);
    EXPECT_NE(r.error.find("changed while the series read it"), std::string::npos) << r.error;
    EXPECT_TRUE(store.list().empty()) << "the transaction rolled back";
    EXPECT_FALSE(store.hasDownload("XRQ1", path));
}

// Visits of one unit, taken from the kept files and from their texts into two stores: the
// same records, segments, flags and words.
TEST(DownloadRecords, ASeriesTakenFromTheFilesIsTheSeriesTakenFromTheTexts) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    using testsupport::lines;
    std::vector<std::string> changed = lines(0, 400);
    changed[150] = "26-06-01 00:00:00, 15O"; // one record changed on the line
    struct Visit {
        std::vector<std::string> records;
        bool cut, safe;
    };
    const std::vector<Visit> visits = {
        {lines(0, 200), false, true},    {changed, false, true},
        {lines(0, 500), false, true},    {lines(0, 300), true, false},
        {lines(100, 700), false, true}, // a wrap
        {lines(900, 950), false, false}, {lines(100, 760), false, true},
    };
    SeriesStore fromFiles, fromTexts;
    ASSERT_TRUE(done(fromFiles.open(dir.filePath(QStringLiteral("f.sqlite")).toStdString())));
    ASSERT_TRUE(done(fromTexts.open(dir.filePath(QStringLiteral("t.sqlite")).toStdString())));
    std::string said;
    for (std::size_t v = 0; v < visits.size(); ++v) {
        const std::string text = "F\r\nName: SITE1\r\n" + join(visits[v].records) +
                                 "Name: SITE2\r\n" + join(lines(0, int(v) * 70)) +
                                 (visits[v].cut ? "26-06" : ">");
        const std::string kept = writeFile(dir, "k" + std::to_string(v) + ".txt", text);
        const DownloadInput in{"XRQ1", kept, std::int64_t(v + 1) * 60000, visits[v].safe};
        const auto read = readDownloadRecords(kept);
        const ApplyResult a = fromFiles.apply(in, *read, {});
        const ApplyResult b = fromTexts.apply(in, parseDownloadText(text), {});
        ASSERT_TRUE(a.ok) << a.error;
        EXPECT_EQ(a.text(), b.text()) << "visit " << v;
        said += a.text() + "\n";
    }
    auto dump = [](SeriesStore& store) {
        std::string out;
        for (const SeriesInfo& info : store.list()) {
            out += info.name + " " + std::to_string(info.disputed) + "\n";
            store.forEachRecord(info.id, [&](const RecordRef& r) {
                out += std::to_string(r.segment) + " " + std::string(r.line) + " " +
                       std::to_string(r.timeFlags) + (r.provisional ? " p" : "") +
                       (r.disputed ? " d" : "") + "\n";
                return true;
            });
        }
        return out;
    };
    EXPECT_EQ(dump(fromFiles), dump(fromTexts));
    for (const char* what :
         {"1 record disputed", "1 dispute settled", "provisional replaced", "a new segment"})
        EXPECT_NE(said.find(what), std::string::npos) << what << " in:\n" << said;
}

// The usual interval counted step by step is the median the records' steps give.
TEST(DownloadRecords, TheUsualIntervalCountedIsTheMedianOfTheSteps) {
    std::mt19937 random(46);
    for (int round = 0; round < 50; ++round) {
        std::vector<double> stamps;
        double t = 0;
        for (int i = int(random() % 40); i > 0; --i) {
            t += double(int(random() % 7) - 1) * 60; // steps back, none, and forward
            stamps.push_back(t);
        }
        std::vector<double> steps;
        for (std::size_t i = 1; i < stamps.size(); ++i)
            if (stamps[i] > stamps[i - 1])
                steps.push_back(stamps[i] - stamps[i - 1]);
        double median = 0;
        if (!steps.empty()) {
            std::sort(steps.begin(), steps.end());
            median = steps[steps.size() / 2];
        }
        EXPECT_EQ(usualInterval(stamps), median) << "round " << round;
    }
}

} // namespace

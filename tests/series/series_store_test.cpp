// SPDX-License-Identifier: GPL-3.0-or-later
// The series store: downloads taken one after another, as a unit is visited.
#include "record_lines.h"
#include "series/series_export.h"
#include "series/series_store.h"
#include "support/fault_vfs.h"
#include "support/result_assert.h"
#include "support/sqlite_statements.h"

#include <QFile>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <functional>

#include <sys/wait.h>
#include <unistd.h>

using namespace series;

namespace {

using testsupport::lines;
using testsupport::operator+;

// A download's text: "F", each set's header and records, the prompt (none when cut).
std::string downloadText(const std::vector<std::pair<std::string, std::vector<std::string>>>& sets,
                         bool cut = false) {
    std::string text = "F\r\n";
    for (const auto& [name, records] : sets) {
        text += "Name: " + name + "\r\n";
        for (const std::string& r : records)
            text += r + "\r\n";
    }
    if (cut)
        text += "26-06-01 00:0"; // a torn line: no record
    else
        text += ">";
    return text;
}

class SeriesStoreTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        path = dir.filePath(QStringLiteral("series.sqlite")).toStdString();
        ASSERT_TRUE(done(store.open(path)));
    }

    ApplyResult take(const std::string& text, bool safe = true, const std::string& kept = {},
                     const UnitFacts& facts = {}) {
        DownloadInput in;
        in.serial = "XRQ1";
        in.keptPath = kept.empty() ? "kept-" + std::to_string(++downloads) : kept;
        in.atMs = 1000 * (++clock);
        in.safe = safe;
        return store.apply(in, parseDownloadText(text), facts);
    }

    // The series' records in order, and their segments and provisional marks.
    struct Seen {
        std::vector<std::string> records;
        std::vector<int> segments;
        std::size_t provisional = 0;
    };
    Seen seen(const std::string& name = "SITE1", int ordinal = 0) {
        Seen out;
        const auto info = store.find("XRQ1", name, ordinal);
        if (!info)
            return out;
        store.forEachRecord(info->id, [&](const RecordRef& r) {
            out.records.emplace_back(r.line);
            out.segments.push_back(r.segment);
            out.provisional += r.provisional;
            return true;
        });
        return out;
    }

    QTemporaryDir dir;
    std::string path;
    SeriesStore store;
    int downloads = 0;
    std::int64_t clock = 1000;
};

} // namespace

TEST_F(SeriesStoreTest, GrowingMemorySaysWhatWasTaken) {
    auto first = take(downloadText({{"SITE1", lines(0, 312)}}));
    ASSERT_TRUE(first.ok) << first.error;
    EXPECT_EQ(first.text(), "SITE1: 312 new records, 0 already held");
    auto second = take(downloadText({{"SITE1", lines(0, 360)}}));
    EXPECT_EQ(second.text(), "SITE1: 48 new records, 312 already held");
    EXPECT_EQ(seen().records, lines(0, 360));
    const auto info = store.find("XRQ1", "SITE1");
    ASSERT_TRUE(info);
    EXPECT_EQ(info->segments, 1);
}

TEST_F(SeriesStoreTest, ReplayingADownloadAddsNothing) {
    const std::string text = downloadText({{"SITE1", lines(0, 50)}});
    ASSERT_TRUE(take(text, true, "a.txt").ok);
    const auto again = take(text, true, "a.txt"); // the same kept download
    EXPECT_TRUE(again.replayed);
    const auto copy = take(text, true, "copy-of-a.txt"); // the same bytes by another name
    EXPECT_EQ(copy.text(), "SITE1: 0 new records, 50 already held");
    EXPECT_EQ(seen().records.size(), 50u);
}

TEST_F(SeriesStoreTest, EqualLinesAtDifferentPlacesAndTwoSetsOfOneName) {
    const std::vector<std::string> same = {"x", "x", "y", "x"};
    auto r = take(downloadText({{"SITE1", same}, {"SITE1", {"x", "x"}}, {"SITE2", {"z"}}}));
    ASSERT_TRUE(r.ok) << r.error;
    ASSERT_EQ(r.sets.size(), 3u);
    EXPECT_EQ(r.sets[1].ordinal, 1);
    EXPECT_EQ(seen("SITE1", 0).records, same);
    EXPECT_EQ(seen("SITE1", 1).records, (std::vector<std::string>{"x", "x"}));
    r = take(downloadText({{"SITE1", {"x", "x", "y", "x", "x"}}, {"SITE1", {"x", "x", "x"}}}));
    EXPECT_EQ(r.sets[0].added, 1u);
    EXPECT_EQ(r.sets[1].added, 1u);
    EXPECT_EQ(seen("SITE1", 1).records.size(), 3u);
}

TEST_F(SeriesStoreTest, CutAndShorterDownloads) {
    ASSERT_TRUE(take(downloadText({{"SITE1", lines(0, 100)}})).ok);
    // Cut mid-set: whole lines only, h's beginning, nothing new and no flag.
    const auto cut = take(downloadText({{"SITE1", lines(0, 40)}}, true));
    ASSERT_EQ(cut.sets.size(), 1u);
    EXPECT_EQ(cut.sets[0].added, 0u);
    EXPECT_FALSE(cut.sets[0].fewer);
    // Complete but shorter: the unit holds fewer records than before.
    const auto shorter = take(downloadText({{"SITE1", lines(0, 40)}}));
    EXPECT_TRUE(shorter.sets[0].fewer);
    EXPECT_NE(shorter.text().find("the unit holds fewer records than before"), std::string::npos);
    EXPECT_EQ(seen().records.size(), 100u);
    const auto notes = store.notes(store.find("XRQ1", "SITE1")->id);
    ASSERT_FALSE(notes.empty());
    EXPECT_NE(notes.back().text.find("fewer"), std::string::npos);
}

TEST_F(SeriesStoreTest, ClearsAndDifferencesStartSegments) {
    ASSERT_TRUE(take(downloadText({{"SITE1", lines(0, 10)}})).ok);
    // A clear recorded since the segment's last download: the same-looking records are new.
    UnitFacts facts;
    facts.clearsMs.push_back(1000 * (clock + 1) - 500);
    auto r = take(downloadText({{"SITE1", lines(0, 12)}}), true, {}, facts);
    EXPECT_TRUE(r.sets[0].newSegment && r.sets[0].afterClear);
    EXPECT_EQ(r.sets[0].added, 12u);
    // The clear is before that segment's download now: the next one follows it.
    r = take(downloadText({{"SITE1", lines(0, 13)}}), true, {}, facts);
    EXPECT_EQ(r.text(), "SITE1: 1 new record, 12 already held");
    // Different records: a new segment, where they differ said.
    r = take(downloadText({{"SITE1", lines(0, 5) + std::vector<std::string>{"other", "more"}}}),
             true, {}, facts);
    EXPECT_EQ(r.text(), "SITE1: 7 new records, 0 already held; a new segment: differs at records "
                        "6 and 7, fewer than 8 records apart");
    const Seen s = seen();
    EXPECT_EQ(s.records.size(), 10u + 13u + 7u);
    EXPECT_EQ(s.segments.front(), 1);
    EXPECT_EQ(s.segments.back(), 3);
}

TEST_F(SeriesStoreTest, ProvisionalRecordsAreConfirmedOrReplaced) {
    ASSERT_TRUE(take(downloadText({{"SITE1", lines(0, 20)}})).ok);
    auto r = take(downloadText({{"SITE1", lines(0, 25)}}), false);
    EXPECT_TRUE(r.sets[0].provisional);
    EXPECT_EQ(seen().provisional, 5u);
    // A safe download that holds them confirms them.
    r = take(downloadText({{"SITE1", lines(0, 27)}}));
    EXPECT_EQ(r.sets[0].confirmed, 5u);
    EXPECT_EQ(seen().provisional, 0u);
    // Provisional records the safe download does not hold are replaced by what it holds.
    r = take(downloadText({{"SITE1", lines(0, 27) + lines(0, 3, "garbled ")}}), false);
    EXPECT_EQ(seen().provisional, 3u);
    r = take(downloadText({{"SITE1", lines(0, 30)}}));
    EXPECT_EQ(r.sets[0].replaced, 3u);
    EXPECT_EQ(r.sets[0].added, 3u);
    EXPECT_EQ(seen().records, lines(0, 30));
    EXPECT_EQ(seen().provisional, 0u);
    EXPECT_EQ(store.find("XRQ1", "SITE1")->segments, 1);
}

TEST_F(SeriesStoreTest, ASeriesBegunByAnUnsafeDownloadIsReplacedByASafeOne) {
    ASSERT_TRUE(take(downloadText({{"SITE1", lines(0, 5, "garbled ")}}), false).ok);
    EXPECT_EQ(seen().provisional, 5u);
    const auto r = take(downloadText({{"SITE1", lines(0, 8)}}));
    EXPECT_EQ(r.sets[0].replaced, 5u);
    EXPECT_EQ(seen().records, lines(0, 8));
    EXPECT_EQ(seen().provisional, 0u);
    EXPECT_EQ(store.find("XRQ1", "SITE1")->segments, 1);
}

TEST_F(SeriesStoreTest, AKilledTransactionLeavesTheSeriesAsBefore) {
    ASSERT_TRUE(take(downloadText({{"SITE1", lines(0, 100)}})).ok);
    store.close();
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // The killed process: a big download, killed after its first chunk is written.
        SeriesStore other;
        if (!other.open(path))
            ::_exit(2);
        SeriesStore::setFaultHook([](const char* where) {
            if (std::string_view(where) == "chunk written")
                ::kill(::getpid(), SIGKILL);
        });
        DownloadInput in{"XRQ1", "big", 999999, true};
        other.apply(in, parseDownloadText(downloadText({{"SITE1", lines(0, 20000)}})), {});
        ::_exit(3);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status)) << status;
    ASSERT_TRUE(done(store.open(path)));
    EXPECT_EQ(seen().records, lines(0, 100));
    EXPECT_FALSE(store.hasDownload("XRQ1", "big"));
    // And the next download is taken as if nothing had happened.
    EXPECT_EQ(take(downloadText({{"SITE1", lines(0, 101)}})).text(),
              "SITE1: 1 new record, 100 already held");
}

// SQLite answers a switch to its write-ahead log that a failed sync stopped with the mode it
// stays in, not with an error: a new store would have stayed in rollback mode unnoticed, where
// a viewer reading the series holds up the next download's write.
TEST(SeriesStoreOpen, ANewStoreWhoseLogSwitchFailedOnceGetsItsLogAllTheSame) {
    faultvfs::install();
    QTemporaryDir dir;
    const std::string path = dir.filePath(QStringLiteral("series.sqlite")).toStdString();
    faultvfs::failSyncs(1);
    SeriesStore store;
    const auto opened = store.open(path);
    const bool failed = faultvfs::failedSoFar() > 0;
    faultvfs::failSyncs(0);
    ASSERT_TRUE(done(opened));
    ASSERT_TRUE(failed) << "no sync was failed";
    store.close();
    EXPECT_EQ(faultvfs::journalModeOf(path), "wal");
}

// What goes wrong at an open is told by kind, for callers decide on it: a file that is no store
// (Corrupt) is put aside and rebuilt, one made by a newer program (TooNew) or held by another
// program (Busy) is left as it is, the latter tried again.
TEST(SeriesStoreOpen, TellsTheKindOfTroubleItsCallersDecideOn) {
    using platform::ErrorKind;
    enum class Way { Open, Read, Keep };
    struct Case {
        const char* name;
        std::function<void(const std::string&)> make;
        std::vector<std::pair<Way, ErrorKind>> told;
    };
    const std::vector<Case> cases = {
        {"bytes that are no store",
         [](const std::string& path) {
             QFile f(QString::fromStdString(path));
             ASSERT_TRUE(f.open(QIODevice::WriteOnly));
             f.write(QByteArray(8192, 'x'));
         },
         {{Way::Open, ErrorKind::Corrupt}, {Way::Read, ErrorKind::Corrupt}}},
        {"a database that holds no series",
         [](const std::string& path) {
             EXPECT_TRUE(testsupport::runSql(path, {"CREATE TABLE other(x)"}));
         },
         {{Way::Read, ErrorKind::Corrupt}, {Way::Keep, ErrorKind::Corrupt}}},
        {"made by a newer program",
         [](const std::string& path) {
             EXPECT_TRUE(
                 testsupport::runSql(path, {"CREATE TABLE other(x)", "PRAGMA user_version = 99"}));
         },
         {{Way::Open, ErrorKind::TooNew},
          {Way::Read, ErrorKind::TooNew},
          {Way::Keep, ErrorKind::TooNew}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir dir;
        const std::string path = dir.filePath(QStringLiteral("series.sqlite")).toStdString();
        c.make(path);
        for (const auto& [way, kind] : c.told) {
            SeriesStore store;
            const auto opened = way == Way::Open   ? store.open(path)
                                : way == Way::Read ? store.openToRead(path)
                                                   : store.openToKeep(path);
            ASSERT_FALSE(opened.ok()) << int(way);
            EXPECT_EQ(opened.kind(), kind) << int(way) << ": " << opened.text();
            EXPECT_NE(opened.text().find(path), std::string::npos) << opened.text();
            EXPECT_FALSE(store.isOpen());
        }
    }
}

// A store another program holds a lock on past the writer's wait is Busy (which passes), never
// Corrupt, which would have the download's apply put it aside as damaged; let go, it opens.
TEST(SeriesStoreOpen, AStoreHeldByAnotherProgramIsBusyAndLeftInPlace) {
    QTemporaryDir dir;
    const std::string path = dir.filePath(QStringLiteral("series.sqlite")).toStdString();
    {
        SeriesStore store;
        ASSERT_TRUE(done(store.open(path)));
    }
    const QString name = QStringLiteral("another-program");
    {
        QSqlDatabase other = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        other.setDatabaseName(QString::fromStdString(path));
        ASSERT_TRUE(other.open());
        QSqlQuery lock(other);
        // In the write-ahead log's exclusive mode no other connection reads or writes.
        ASSERT_TRUE(lock.exec(QStringLiteral("PRAGMA locking_mode=EXCLUSIVE")));
        ASSERT_TRUE(lock.exec(QStringLiteral("BEGIN EXCLUSIVE")));
        ASSERT_TRUE(lock.exec(QStringLiteral("CREATE TABLE held(x)")));
        SeriesStore store;
        const auto opened = store.open(path);
        ASSERT_FALSE(opened.ok());
        EXPECT_EQ(opened.kind(), platform::ErrorKind::Busy) << opened.text();
        EXPECT_TRUE(platform::passes(opened.kind()));
        ASSERT_TRUE(lock.exec(QStringLiteral("ROLLBACK")));
    }
    QSqlDatabase::removeDatabase(name);
    SeriesStore store;
    EXPECT_TRUE(done(store.open(path)));
}

TEST(SeriesDownloadText, WholeLinesOnlyAndTheSetsInOrder) {
    const DownloadSets cut = parseDownloadText(
        "F\r\n* comment\r\nName: A\r\nDate, V\r\n1\r\n\r\nName: A\r\n2\r\nName: B\r\n3\r\n4");
    ASSERT_TRUE(cut.readable);
    EXPECT_TRUE(cut.cut);
    ASSERT_EQ(cut.sets.size(), 3u);
    EXPECT_EQ(cut.sets[0].records, (std::vector<std::string>{"Date, V", "1"}));
    EXPECT_TRUE(cut.sets[1].complete);
    EXPECT_EQ(cut.sets[2].records, (std::vector<std::string>{"3"})); // "4" is torn
    EXPECT_FALSE(cut.sets[2].complete);
    EXPECT_TRUE(parseDownloadText("F\r\nNo data\r\n>").noData);
    EXPECT_FALSE(parseDownloadText("F\r\nName without colon\r\n>").readable);
}

namespace {

// `v` with the record at `place` given as `line`.
std::vector<std::string> with(std::vector<std::string> v, std::size_t place, std::string line) {
    v[place] = std::move(line);
    return v;
}

} // namespace

// The cases of a visit that goes wrong between two that do not: each leaves one row per
// record the unit holds.
TEST_F(SeriesStoreTest, ADamagedVisitBetweenCleanOnesLeavesOneRowPerRecord) {
    ASSERT_TRUE(take(downloadText({{"SITE1", lines(0, 100)}})).ok);
    // Not safe, a NUL in record 3: the same memory, its new records provisional; what it
    // said at record 3 is kept, and does not dispute what a safe download said.
    auto r =
        take(downloadText(
                 {{"SITE1", with(lines(0, 150), 2, std::string("26-06-01 00:00:00,\0 2", 21))}}),
             false);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.text(), "SITE1: 50 new records, 100 already held, the new ones provisional (the "
                        "download was not called safe)");
    EXPECT_EQ(seen().provisional, 50u);
    r = take(downloadText({{"SITE1", lines(0, 200)}}));
    EXPECT_EQ(r.text(), "SITE1: 50 new records, 150 already held, 50 provisional confirmed");
    EXPECT_EQ(seen().records, lines(0, 200));
    const auto info = store.find("XRQ1", "SITE1");
    EXPECT_EQ(info->segments, 1);
    EXPECT_EQ(info->provisional, 0u);
    EXPECT_EQ(info->disputed, 0u);
}

TEST_F(SeriesStoreTest, OneChangedRecordIsDisputedThenSettled) {
    ASSERT_TRUE(take(downloadText({{"SITE1", lines(0, 100)}})).ok);
    // Safe, one old record with a digit changed (no parity on the line).
    auto r = take(downloadText({{"SITE1", with(lines(0, 150), 40, "26-06-01 00:00:00, 47")}}));
    EXPECT_EQ(r.text(), "SITE1: 50 new records, 100 already held, 1 record disputed (another "
                        "record said at its place)");
    EXPECT_EQ(seen().records, lines(0, 150)); // the record held first is shown
    EXPECT_EQ(store.find("XRQ1", "SITE1")->disputed, 1u);
    std::vector<std::uint64_t> disputed;
    store.forEachRecord(store.find("XRQ1", "SITE1")->id, [&](const RecordRef& ref) {
        if (ref.disputed)
            disputed.push_back(ref.index);
        return true;
    });
    EXPECT_EQ(disputed, std::vector<std::uint64_t>{40});
    // The export says so: the row's flags and the count.
    std::string csv;
    exportCsv(
        store, *store.find("XRQ1", "SITE1"), {},
        [&](std::string_view p) {
            csv.append(p);
            return true;
        },
        ExportLayout::Classic);
    EXPECT_NE(csv.find("# records: 150 in 1 segment, 0 provisional, 1 disputed\r\n"),
              std::string::npos)
        << csv.substr(0, 800);
    EXPECT_NE(csv.find("# flag disputed: 1 record\r\n"), std::string::npos);
    EXPECT_NE(csv.find(",40,disputed; repeated time; offset unknown,kept-1\r\n"), std::string::npos)
        << csv.substr(csv.find(",40,"), 80);
    // The next visit agrees with the first: settled.
    r = take(downloadText({{"SITE1", lines(0, 200)}}));
    EXPECT_EQ(r.text(), "SITE1: 50 new records, 150 already held, 1 dispute settled");
    EXPECT_EQ(seen().records, lines(0, 200));
    EXPECT_EQ(store.find("XRQ1", "SITE1")->disputed, 0u);
    EXPECT_EQ(store.find("XRQ1", "SITE1")->segments, 1);
}

TEST_F(SeriesStoreTest, ADisputeSettledForTheRecordSaidSecond) {
    // The first visit brought the changed record; the two after it agree on the other one.
    ASSERT_TRUE(take(downloadText({{"SITE1", with(lines(0, 100), 40, "changed")}})).ok);
    ASSERT_TRUE(take(downloadText({{"SITE1", lines(0, 150)}})).ok);
    EXPECT_EQ(store.find("XRQ1", "SITE1")->disputed, 1u);
    EXPECT_EQ(seen().records[40], "changed");
    const auto r = take(downloadText({{"SITE1", lines(0, 160)}}));
    EXPECT_EQ(r.sets[0].settled, 1u);
    EXPECT_EQ(seen().records, lines(0, 160));
    EXPECT_EQ(store.find("XRQ1", "SITE1")->disputed, 0u);
}

TEST_F(SeriesStoreTest, ACutDownloadThenAFullOne) {
    ASSERT_TRUE(take(downloadText({{"SITE1", lines(0, 100)}})).ok);
    auto r = take(downloadText({{"SITE1", lines(0, 60)}}, true));
    EXPECT_EQ(r.text(), "SITE1: 0 new records, 60 already held");
    r = take(downloadText({{"SITE1", lines(0, 200)}}));
    EXPECT_EQ(r.text(), "SITE1: 100 new records, 100 already held");
    EXPECT_EQ(seen().records, lines(0, 200));
}

TEST_F(SeriesStoreTest, AnUnsafeDownloadNeverMakesAConfirmedSegment) {
    ASSERT_TRUE(take(downloadText({{"SITE1", lines(0, 100)}})).ok);
    // Another memory (a clear this laptop never knew of), not called safe: apart.
    auto r = take(downloadText({{"SITE1", lines(0, 30, "26-07-01 00:00:00, ")}}), false);
    EXPECT_EQ(
        r.text(),
        "SITE1: 30 new records, 0 already held, the new ones provisional (the "
        "download was not called safe); a new segment: differs at records 1 "
        "and 2, fewer than 8 records apart (provisional, apart: the download was not called safe)");
    EXPECT_EQ(store.find("XRQ1", "SITE1")->segments, 2);
    EXPECT_EQ(seen().provisional, 30u);
    // A safe download of the first memory replaces them.
    r = take(downloadText({{"SITE1", lines(0, 120)}}));
    EXPECT_EQ(r.text(), "SITE1: 20 new records, 100 already held, 30 provisional replaced");
    EXPECT_EQ(seen().records, lines(0, 120));
    EXPECT_EQ(store.find("XRQ1", "SITE1")->segments, 1);
    // Apart again, and this time a safe download of that memory confirms them.
    ASSERT_TRUE(take(downloadText({{"SITE1", lines(0, 30, "26-07-01 00:00:00, ")}}), false).ok);
    r = take(downloadText({{"SITE1", lines(0, 40, "26-07-01 00:00:00, ")}}));
    EXPECT_EQ(r.text(), "SITE1: 10 new records, 30 already held, 30 provisional confirmed");
    const Seen s = seen();
    EXPECT_EQ(s.records, lines(0, 120) + lines(0, 40, "26-07-01 00:00:00, "));
    EXPECT_EQ(s.provisional, 0u);
    EXPECT_EQ(s.segments.back(), 2);
}

// A clock reset to its default date: the same records again after the same records. Both
// stay, flagged repeated (the first of the second run follows another record: not).
TEST_F(SeriesStoreTest, EqualRecordsAfterEqualRecordsAreKeptAndFlaggedRepeated) {
    const auto run = lines(0, 3, "00-01-01 00:00:00, ");
    ASSERT_TRUE(take(downloadText({{"SITE1", run + run}})).ok);
    EXPECT_EQ(seen().records, run + run);
    std::string csv;
    exportCsv(
        store, *store.find("XRQ1", "SITE1"), {},
        [&](std::string_view p) {
            csv.append(p);
            return true;
        },
        ExportLayout::Classic);
    EXPECT_NE(csv.find("# flag repeated: 4 records\r\n"), std::string::npos) << csv;
    auto count = [&](const std::string& text) {
        std::size_t n = 0;
        for (auto at = csv.find(text); at != std::string::npos; at = csv.find(text, at + 1))
            ++n;
        return n;
    };
    EXPECT_EQ(count(",1,repeated; repeated time; offset unknown,"), 2u) << csv;
    EXPECT_EQ(count(",0,repeated time; offset unknown,"), 1u) << csv;
}

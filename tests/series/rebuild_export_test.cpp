// SPDX-License-Identifier: GPL-3.0-or-later
// The series rebuilt from the kept downloads and the unit register equals the series taken
// one download at a time; the CSV export says what the series holds.
#include "platform/durable_file.h"
#include "register/unit_register.h"
#include "series/register_facts.h"
#include "series/series_apply.h"
#include "series/series_export.h"
#include "series/series_store.h"
#include "series/shared_records.h"
#include "support/result_assert.h"
#include "support/sqlite_statements.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <functional>

#include <sys/stat.h>
#include <unistd.h>

using namespace series;

namespace {

std::int64_t utcMs(int y, int mo, int d, int h, int mi = 0) {
    std::int64_t days = 0;
    viewer::civilDays(y, mo, d, days);
    return ((days * 86400) + h * 3600 + mi * 60) * 1000;
}

// Records every 10 minutes from 2026-10-20 00:00 (unit time), `from` to `to`.
std::string memoryText(int from, int to, bool title = true) {
    std::string text = std::string("F\r\nName: SITE1\r\n") + (title ? "Date Time, Volts\r\n" : "");
    for (int i = from; i < to; ++i) {
        const std::int64_t s = utcMs(2026, 10, 20, 0) / 1000 + i * 600;
        std::int64_t days = s / 86400, rest = s % 86400;
        int y, m, d;
        viewer::civilFromDays(days, y, m, d);
        char line[64];
        std::snprintf(line, sizeof line, "%02d-%02d-%02d %02lld:%02lld:00, %d.%d\r\n", y % 100, m,
                      d, (long long)(rest / 3600), (long long)(rest / 60 % 60), 12, i % 10);
        text += line;
    }
    return text + ">";
}

std::string exportAll(SeriesStore& store) {
    std::string all;
    for (const SeriesInfo& info : store.list()) {
        all += "== " + info.name + "\n";
        exportCsv(
            store, info, {},
            [&](std::string_view piece) {
                all.append(piece);
                return true;
            },
            ExportLayout::Classic);
    }
    return all;
}

// A kept download written as `text` and recorded in the register, as the program leaves one.
unitreg::Download keptDownload(unitreg::UnitRegister& reg, const std::string& serial,
                               const std::string& kept, const std::string& text, std::int64_t at,
                               std::vector<std::string> reasons) {
    QFile f(QString::fromStdString(kept));
    EXPECT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(text.data(), qint64(text.size()));
    f.close();
    unitreg::Download d;
    d.serial = serial;
    d.started = at;
    d.ended = at + 60000;
    d.keptFile = kept;
    d.complete = d.verified = reasons.empty();
    d.reasons = std::move(reasons);
    EXPECT_TRUE(reg.recordDownload(d));
    return d;
}

struct Visit {
    std::int64_t at;
    std::string text;
    bool safe;
};

} // namespace

TEST(SeriesRebuild, RebuildEqualsIncremental) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::string folder = dir.path().toStdString() + "/";
    QDir().mkpath(dir.filePath(QStringLiteral("downloads/XRQ7")));
    unitreg::UnitRegister reg;
    ASSERT_EQ(reg.open(folder + kRegisterFileName).state, unitreg::OpenOutcome::State::Open);
    const std::string serial = "XRQ7";
    // Set in summer (UTC+2); a clear; set again in winter (UTC+1); one download not safe.
    // The first set with its offset recorded, the second as older registers have it (the
    // offset then follows from the text and the instant).
    ASSERT_TRUE(reg.recordClockSet(
        {serial, utcMs(2026, 10, 19, 22), "26-10-20 00:00:00", 7200, "Europe/Berlin"}));
    const std::vector<Visit> visits = {
        {utcMs(2026, 10, 21, 8), memoryText(0, 100), true},
        {utcMs(2026, 10, 22, 8), memoryText(0, 250), true},
        {utcMs(2026, 10, 23, 8), memoryText(0, 250), true},   // nothing new
        {utcMs(2026, 10, 24, 8), memoryText(0, 400), false},  // provisional
        {utcMs(2026, 10, 25, 8), memoryText(0, 420), true},   // confirms
        {utcMs(2026, 10, 28, 8), memoryText(500, 520), true}, // after the clear
        {utcMs(2026, 11, 3, 8), memoryText(500, 700), true},  // after the winter set
        // A memory that wraps (and sends no title line once it has).
        {utcMs(2026, 11, 4, 8), memoryText(650, 760, false), true},
    };
    ASSERT_TRUE(reg.recordClear({serial, utcMs(2026, 10, 27, 9), true}));
    ASSERT_TRUE(
        reg.recordClockSet({serial, utcMs(2026, 11, 2, 9), "26-11-02 10:00:00", std::nullopt, ""}));

    SeriesStore store;
    ASSERT_TRUE(done(store.open(storePath(folder))));
    int n = 0;
    for (const Visit& v : visits) {
        const std::string kept = folder + "downloads/XRQ7/k" + std::to_string(++n) + ".txt";
        keptDownload(reg, serial, kept, v.text, v.at,
                     v.safe ? std::vector<std::string>{} : std::vector<std::string>{"not safe"});
        auto factsRead = readRegisterFacts(folder + kRegisterFileName, serial);
        ASSERT_TRUE(factsRead.ok()) << factsRead.text();
        RegisterFacts& facts = *factsRead;
        // Taken once the download has ended, as the program does.
        const ApplyResult r =
            store.apply({serial, kept, v.at + 60000, v.safe}, readDownloadFile(kept), facts.facts);
        ASSERT_TRUE(r.ok) << r.error;
    }
    // A download cut short is kept and recorded, but never converted nor taken.
    {
        const std::string kept = folder + "downloads/XRQ7/cut.txt";
        QFile f(QString::fromStdString(kept));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        const std::string text = memoryText(650, 800, false);
        f.write(text.data(), qint64(text.size() - 20)); // no prompt
        f.close();
        unitreg::Download d;
        d.serial = serial;
        d.started = utcMs(2026, 11, 5, 8);
        d.keptFile = kept;
        ASSERT_TRUE(reg.recordDownload(d));
    }
    const std::string incremental = exportAll(store);
    // Every confirmed record waits to be shared, once, under the identity of what it is.
    auto shared = testsupport::sharedRecords(storePath(folder));
    std::sort(shared.begin(), shared.end());
    const auto info = store.find(serial, "SITE1");
    ASSERT_TRUE(info);
    EXPECT_EQ(info->segments, 2);
    EXPECT_EQ(info->records, 420u + 260u); // each segment's title line names its columns
    EXPECT_EQ(info->provisional, 0u);
    store.close();

    const RebuildResult rebuilt = rebuild(folder);
    ASSERT_TRUE(rebuilt.ok) << rebuilt.error;
    EXPECT_EQ(rebuilt.downloads, visits.size()); // the cut one left out
    ASSERT_TRUE(done(store.open(storePath(folder))));
    EXPECT_EQ(exportAll(store), incremental);
    // The rebuilt store shares the same records under the same identities (the server keeps
    // them once).
    EXPECT_EQ(shared.size(), info->records);
    auto again = testsupport::sharedRecords(storePath(folder));
    std::sort(again.begin(), again.end());
    EXPECT_EQ(again, shared);

    // The export: winter records of the summer setting are converted with its offset.
    EXPECT_EQ(incremental.find("Date Time"), std::string::npos) << incremental.substr(0, 2000);
    EXPECT_NE(incremental.find("26-10-20 00:00:00,2026-10-19T22:00:00Z,+02:00,26-10-20 00:00:00,"
                               "12.0,segment start,"),
              std::string::npos)
        << incremental.substr(0, 2000);
    EXPECT_NE(incremental.find("# segment 2, record 1: segment starts: the unit was cleared"),
              std::string::npos);
    // Taken after the winter set, stamped before it: only the summer setting holds it.
    EXPECT_NE(incremental.find("26-10-24 20:40:00,2026-10-24T18:40:00Z,+02:00,26-10-24 20:40:00,"
                               "12.0,,"),
              std::string::npos);

    // A lost store is rebuilt before the next download is taken.
    store.close();
    ASSERT_TRUE(QFile::remove(QString::fromStdString(storePath(folder))));
    const ApplyResult next = applyDownload(folder, parseDownloadText(memoryText(650, 770, false)),
                                           serial, folder + "downloads/XRQ7/k9.txt", true);
    ASSERT_TRUE(next.ok) << next.error;
    EXPECT_EQ(next.text(), "SITE1: 10 new records, 110 already held");
}

TEST(SeriesExport, CsvColumnsQuotingAndFlags) {
    QTemporaryDir dir;
    SeriesStore store;
    ASSERT_TRUE(done(store.open(dir.filePath(QStringLiteral("s.sqlite")).toStdString())));
    const std::string text = "F\r\nName: LAKE\xE9\r\n"
                             "26-06-01 00:00:00, 1, \"quoted\"\r\n"
                             "26-06-01 00:01:00, 2\r\n"
                             "26-06-01 00:02:00, 3\r\n"
                             "26-06-01 00:02:00, 4\r\n" // repeated
                             "26-06-01 00:01:30, 5\r\n" // backwards
                             "26-06-01 01:00:00, 6\r\n" // gap
                             "no time here\r\n>";
    UnitFacts facts;
    facts.clockSets.push_back({utcMs(2026, 5, 1, 0), 3600, ""});
    ASSERT_TRUE(
        store.apply({"U1", "k.txt", utcMs(2026, 6, 2, 0), true}, parseDownloadText(text), facts)
            .ok);
    const auto info = store.find("U1", "LAKE\xE9");
    ASSERT_TRUE(info);
    std::string csv;
    ASSERT_EQ(exportCsv(
                  store, *info, {},
                  [&](std::string_view p) {
                      csv.append(p);
                      return true;
                  },
                  ExportLayout::Classic),
              7);
    EXPECT_NE(csv.find("# data set: LAKE\xC3\xA9\r\n"), std::string::npos) << csv; // UTF-8
    EXPECT_NE(csv.find("unit_time,utc,offset,field_1,field_2,field_3,flags,download\r\n"),
              std::string::npos);
    EXPECT_NE(csv.find("26-06-01 00:00:00,2026-05-31T23:00:00Z,+01:00,26-06-01 00:00:00,1,"
                       "\"\"\"quoted\"\"\",segment start,k.txt\r\n"),
              std::string::npos)
        << csv;
    EXPECT_NE(csv.find(",4,,repeated time,"), std::string::npos) << csv;
    EXPECT_NE(csv.find(",5,,backwards,"), std::string::npos);
    EXPECT_NE(csv.find(",6,,gap,"), std::string::npos);
    EXPECT_NE(csv.find("\r\n,,,no time here,,,,k.txt\r\n"), std::string::npos) << csv;
    // The same instants for a reader without the CSV (a plot).
    std::vector<std::string> instants;
    ASSERT_TRUE(forEachRecordUtc(storeSource(store, *info),
                                 [&](const RecordRef&, bool, double, const RecordClock::Utc& u) {
                                     instants.push_back(u.known ? isoUtc(u.seconds) : "");
                                     return true;
                                 }));
    ASSERT_EQ(instants.size(), 7u);
    EXPECT_EQ(instants.front(), "2026-05-31T23:00:00Z");
    EXPECT_EQ(instants.back(), "");
    // A range by UTC.
    double from = 0, to = 0;
    ASSERT_TRUE(parseRangeTime("2026-05-31T23:01:00Z", from));
    ASSERT_TRUE(parseRangeTime("2026-05-31T23:02:00", to));
    csv.clear();
    EXPECT_EQ(exportCsv(store, *info, {from, to},
                        [&](std::string_view p) {
                            csv.append(p);
                            return true;
                        }),
              4);
}

// The series takes the same downloads as they end and when rebuilt from the register: a
// stopped one, one whose capture could not be written, one cut short, one not called safe
// and one with a "No" line after its sets, among safe ones. Compared record by record.
TEST(SeriesRebuild, TheLivePathAndTheRebuildTakeTheSameDownloads) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::string folder = dir.path().toStdString() + "/";
    QDir().mkpath(dir.filePath(QStringLiteral("downloads/XRQ8")));
    unitreg::UnitRegister reg;
    ASSERT_EQ(reg.open(folder + kRegisterFileName).state, unitreg::OpenOutcome::State::Open);
    const std::string serial = "XRQ8";
    std::string noAfterSets = memoryText(0, 190);
    noAfterSets.insert(noAfterSets.size() - 1, "No data\r\n");
    std::string cut = memoryText(0, 170);
    cut.resize(cut.size() - 30);
    const struct {
        const char* what;
        std::string text;
        bool captured; // how the capture ended, as the download knows it
        std::vector<std::string> reasons;
    } visits[] = {
        {"safe", memoryText(0, 100), true, {}},
        {"stopped, the rest waited out", memoryText(0, 150), false, {capture_end::kStopped}},
        {"not written", memoryText(0, 160), false, {capture_end::kNotWritten}},
        {"cut", cut, false, {capture_end::kNoPrompt}},
        {"not safe", memoryText(0, 180), true, {"control bytes in the download's lines"}},
        {"'No' after its sets", noAfterSets, true, {"a line beginning 'No' after data set"}},
        {"safe again", memoryText(0, 200), true, {}},
    };
    SeriesStore store;
    ASSERT_TRUE(done(store.open(storePath(folder))));
    int n = 0;
    std::size_t taken = 0;
    for (const auto& v : visits) {
        SCOPED_TRACE(v.what);
        const std::int64_t at = utcMs(2026, 11, 1 + n, 8);
        const std::string kept = folder + "downloads/XRQ8/k" + std::to_string(++n) + ".txt";
        const unitreg::Download d = keptDownload(reg, serial, kept, v.text, at, v.reasons);
        auto factsRead = readRegisterFacts(folder + kRegisterFileName, serial);
        ASSERT_TRUE(factsRead.ok()) << factsRead.text();
        RegisterFacts& facts = *factsRead;
        ASSERT_EQ(facts.kept.back().captured, v.captured);
        const DownloadSets sets = readDownloadFile(kept);
        if (!seriesTakes(sets, v.captured))
            continue;
        ++taken;
        const ApplyResult r = store.apply({serial, kept, at, d.verified}, sets, facts.facts);
        ASSERT_TRUE(r.ok) << r.error;
    }
    EXPECT_EQ(taken, 3u); // the two safe ones and the one not called safe
    const std::string live = exportAll(store);
    store.close();

    const RebuildResult rebuilt = rebuild(folder);
    ASSERT_TRUE(rebuilt.ok) << rebuilt.error;
    EXPECT_EQ(rebuilt.downloads, taken);
    ASSERT_TRUE(done(store.open(storePath(folder))));
    EXPECT_EQ(exportAll(store), live);
}

// A store made by an older version's rules is made again from the kept downloads, once, at
// the first download after the upgrade: the "Why" of one damaged visit, whose older store
// held the unsafe download's records as a segment of their own.
TEST(SeriesRebuild, AStoreOfOlderRulesIsRebuiltOnceAtTheUpgrade) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::string folder = dir.path().toStdString() + "/";
    QDir().mkpath(dir.filePath(QStringLiteral("downloads/XRQ9")));
    unitreg::UnitRegister reg;
    ASSERT_EQ(reg.open(folder + kRegisterFileName).state, unitreg::OpenOutcome::State::Open);
    const std::string serial = "XRQ9";
    std::string damaged = memoryText(0, 150);
    damaged[damaged.find("20 00:20:00")] = '\0'; // record 3
    const std::string k1 = folder + "downloads/XRQ9/k1.txt", k2 = folder + "downloads/XRQ9/k2.txt";
    keptDownload(reg, serial, k1, memoryText(0, 100), utcMs(2026, 11, 1, 8), {});
    keptDownload(reg, serial, k2, damaged, utcMs(2026, 11, 2, 8), {"control bytes"});
    {
        SeriesStore store;
        ASSERT_TRUE(done(store.open(storePath(folder))));
        auto factsRead = readRegisterFacts(folder + kRegisterFileName, serial);
        ASSERT_TRUE(factsRead.ok()) << factsRead.text();
        RegisterFacts& facts = *factsRead;
        ASSERT_TRUE(
            store
                .apply({serial, k1, utcMs(2026, 11, 1, 8), true}, readDownloadFile(k1), facts.facts)
                .ok);
        store.close();
    }
    // As the older version left it: its own schema, and the unsafe download's records as a
    // second segment beside the first (which the rules of now never make).
    ASSERT_TRUE(testsupport::runSql(
        storePath(folder),
        {"DROP TABLE versions", "DROP TABLE clock_sets", "DROP TABLE pruned", "DROP TABLE meta",
         "DROP TABLE titles",
         // Its count took the title line for a record.
         "UPDATE segments SET records = records + 1",
         "INSERT INTO segments(series_id, seq, records, confirmed, last_download_at) "
         "SELECT series_id, 1, records, 0, last_download_at FROM segments",
         "INSERT INTO chunks(segment_id, first, count, bytes, download_id, utc_offset, "
         "date_order, data) SELECT (SELECT MAX(id) FROM segments), first, count, bytes, "
         "download_id, utc_offset, date_order, data FROM chunks",
         "PRAGMA user_version = 2"}));
    {
        // Opened to write by another program first (xrq-series prune-kept): its schema is
        // migrated, its series still of the older rules.
        SeriesStore store;
        ASSERT_TRUE(done(store.open(storePath(folder))));
        EXPECT_EQ(store.find(serial, "SITE1")->segments, 2);
        EXPECT_EQ(store.find(serial, "SITE1")->records, 2u * 101u);
        EXPECT_EQ(store.find(serial, "SITE1")->columnTitles, "");
        EXPECT_EQ(store.rulesVersion(), 2);
    }
    EXPECT_TRUE(storeMadeByOlderRules(folder));
    const std::string k3 = folder + "downloads/XRQ9/k3.txt";
    keptDownload(reg, serial, k3, memoryText(0, 200), utcMs(2026, 11, 3, 8), {});
    const ApplyResult r = applyDownload(folder, readDownloadFile(k3), serial, k3, true);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.text(), "SITE1: 50 new records, 150 already held, 50 provisional confirmed");
    SeriesStore store;
    ASSERT_TRUE(done(store.open(storePath(folder))));
    EXPECT_EQ(store.rulesVersion(), kRulesVersion); // once: the next download takes it as it is
    EXPECT_FALSE(storeMadeByOlderRules(folder));
    const auto info = store.find(serial, "SITE1");
    EXPECT_EQ(info->records, 200u); // the title line names the columns
    EXPECT_EQ(info->columnTitles, "Date Time, Volts");
    EXPECT_EQ(info->segments, 1);
    EXPECT_EQ(info->provisional, 0u);
}

// The clock sets learnt from the server live in the store alone: a rebuild carries them over
// from the store it replaces, and one that cannot be read is kept aside, its loss told.
struct LearntCase {
    const char* name;
    bool learnt;     // a set was learnt before the rebuild
    bool unreadable; // the store replaced is no store
    std::size_t carried;
};

void PrintTo(const LearntCase& c, std::ostream* os) {
    *os << c.name;
}

class LearntAcrossRebuild : public ::testing::TestWithParam<LearntCase> {};

TEST_P(LearntAcrossRebuild, CarriedFromTheStoreReplaced) {
    const LearntCase& c = GetParam();
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::string folder = dir.path().toStdString() + "/";
    QDir().mkpath(dir.filePath(QStringLiteral("downloads/XRQ5")));
    unitreg::UnitRegister reg;
    ASSERT_EQ(reg.open(folder + kRegisterFileName).state, unitreg::OpenOutcome::State::Open);
    const std::string serial = "XRQ5";
    // This laptop never set the unit: another laptop set it at +01:00 before the records.
    const std::string k1 = folder + "downloads/XRQ5/k1.txt";
    keptDownload(reg, serial, k1, memoryText(0, 10), utcMs(2026, 10, 21, 8), {});
    const std::string utcOfFirst = "26-10-20 00:00:00,2026-10-19T23:00:00Z,+01:00,";
    {
        SeriesStore store;
        ASSERT_TRUE(done(store.open(storePath(folder))));
        auto factsRead = readRegisterFacts(folder + kRegisterFileName, serial);
        ASSERT_TRUE(factsRead.ok()) << factsRead.text();
        RegisterFacts& facts = *factsRead;
        ASSERT_TRUE(store
                        .apply({serial, k1, utcMs(2026, 10, 21, 8), true}, readDownloadFile(k1),
                               facts.facts)
                        .ok);
        if (c.learnt) {
            const auto added = store.keepLearntClockSets(
                serial, {{utcMs(2026, 10, 19, 23), 3600, "26-10-20 00:00:00"}});
            ASSERT_TRUE(done(added));
            ASSERT_EQ(*added, 1u);
        }
        EXPECT_EQ(exportAll(store).find(utcOfFirst) != std::string::npos, c.learnt);
    }
    const QByteArray noStore("not a store at all, but the operator's file all the same");
    if (c.unreadable) {
        QFile f(QString::fromStdString(storePath(folder)));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(noStore);
    }
    // Twice: what the first rebuild carried over, the second carries again.
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        const RebuildResult rebuilt = rebuild(folder);
        ASSERT_TRUE(rebuilt.ok) << rebuilt.error;
        EXPECT_EQ(rebuilt.downloads, 1u);
        EXPECT_EQ(rebuilt.learntCarried, c.carried);
        const bool lost = c.unreadable && round == 0;
        EXPECT_EQ(rebuilt.learntNotCarried.empty(), !lost) << rebuilt.learntNotCarried;
        EXPECT_EQ(rebuilt.keptAside.empty(), !lost);
        if (lost) {
            QFile aside(QString::fromStdString(rebuilt.keptAside));
            ASSERT_TRUE(aside.open(QIODevice::ReadOnly)) << rebuilt.keptAside;
            EXPECT_EQ(aside.readAll(), noStore);
        }
        SeriesStore store;
        ASSERT_TRUE(done(store.open(storePath(folder))));
        EXPECT_EQ(store.clockSets(serial).size(), c.carried);
        const std::string csv = exportAll(store);
        EXPECT_EQ(csv.find(utcOfFirst) != std::string::npos, c.carried > 0) << csv.substr(0, 600);
    }
}

INSTANTIATE_TEST_SUITE_P(SeriesRebuild, LearntAcrossRebuild,
                         ::testing::Values(LearntCase{"SetsCarried", true, false, 1},
                                           LearntCase{"OldStoreUnreadable", true, true, 0},
                                           LearntCase{"NoneLearnt", false, false, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

// A store in place that is not damaged but cannot be read now, or not by this program, is not
// the rebuild's to put aside or replace: refused, the store as it was, nothing kept aside; once
// it can be read again, the rebuild goes on.
TEST(SeriesRebuild, AStoreThatCannotBeReadNowIsLeftAsItIs) {
    struct Case {
        const char* name;
        std::function<void(const std::string&store)> make, undo;
    };
    const std::vector<Case> cases = {
        {"made by a newer program",
         [](const std::string& store) {
             EXPECT_TRUE(testsupport::runSql(store, {"PRAGMA user_version = 99"}));
         },
         [](const std::string& store) {
             EXPECT_TRUE(testsupport::runSql(store, {"PRAGMA user_version = 3"}));
         }},
        {"not this user's to read", [](const std::string& store) { ::chmod(store.c_str(), 0); },
         [](const std::string& store) { ::chmod(store.c_str(), 0600); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (::geteuid() == 0 && std::string(c.name) == "not this user's to read")
            continue; // root reads every file
        QTemporaryDir dir;
        ASSERT_TRUE(dir.isValid());
        const std::string folder = dir.path().toStdString() + "/";
        QDir().mkpath(dir.filePath(QStringLiteral("downloads/XRQ6")));
        unitreg::UnitRegister reg;
        ASSERT_EQ(reg.open(folder + kRegisterFileName).state, unitreg::OpenOutcome::State::Open);
        keptDownload(reg, "XRQ6", folder + "downloads/XRQ6/k1.txt", memoryText(0, 10),
                     utcMs(2026, 10, 21, 8), {});
        ASSERT_TRUE(rebuild(folder).ok);
        const std::string store = storePath(folder);
        c.make(store);
        QFile before(QString::fromStdString(store));
        const QByteArray bytes = before.open(QIODevice::ReadOnly) ? before.readAll() : QByteArray();
        before.close();
        const RebuildResult refused = rebuild(folder);
        EXPECT_FALSE(refused.ok);
        EXPECT_NE(refused.error.find("left as it is"), std::string::npos) << refused.error;
        EXPECT_TRUE(refused.keptAside.empty());
        EXPECT_TRUE(QDir(dir.path())
                        .entryList({QStringLiteral("series-damaged-*")}, QDir::Files)
                        .isEmpty());
        QFile after(QString::fromStdString(store));
        if (after.open(QIODevice::ReadOnly)) {
            EXPECT_EQ(after.readAll(), bytes);
        }
        c.undo(store);
        const RebuildResult again = rebuild(folder);
        EXPECT_TRUE(again.ok) << again.error;
        EXPECT_EQ(again.downloads, 1u);
    }
}

// The rebuilt store's new name is told as not yet safe when its folder cannot be synced: the
// store stays in place, and the next rebuild, with the disk well again, says all is well.
TEST(SeriesRebuild, AFolderThatCannotBeSyncedAfterThePlacingIsTold) {
    struct FailingFolderSync : platform::DurabilityProbe {
        std::string store;
        int before(Call call, int, const std::string&, const std::string&) override {
            struct stat st {};
            // Only once the rebuilt store is in place: the rebuild's own opens come before.
            const bool placed =
                ::stat(store.c_str(), &st) == 0 &&
                ::stat((platform::folderOf(store) + "/series-rebuilding.sqlite").c_str(), &st) != 0;
            return call == Call::SyncFolder && placed ? EIO : 0;
        }
    };
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::string folder = dir.path().toStdString() + "/";
    QDir().mkpath(dir.filePath(QStringLiteral("downloads/XRQ6")));
    {
        unitreg::UnitRegister reg;
        ASSERT_EQ(reg.open(folder + kRegisterFileName).state, unitreg::OpenOutcome::State::Open);
        keptDownload(reg, "XRQ6", folder + "downloads/XRQ6/k1.txt", memoryText(0, 10),
                     utcMs(2026, 10, 21, 8), {});
    }
    FailingFolderSync failing;
    failing.store = storePath(folder);
    platform::setDurabilityProbe(&failing);
    const RebuildResult told = rebuild(folder);
    platform::setDurabilityProbe(nullptr);
    EXPECT_FALSE(told.ok);
    EXPECT_NE(told.error.find("could not be synced"), std::string::npos) << told.error;
    struct stat st {};
    EXPECT_EQ(::stat(failing.store.c_str(), &st), 0);
    const RebuildResult again = rebuild(folder);
    EXPECT_TRUE(again.ok) << again.error;
    EXPECT_EQ(again.downloads, 1u);
}

// Two segments of one memory, as the older rules left a short memory with one record changed
// at its second visit: the next download that holds both joins them, and so does a rebuild,
// each record once, the changed one settled, the join told in the export's provenance.
TEST(SeriesRebuild, CopiesOfOneMemoryJoinAtTheNextDownloadAndAtTheRebuild) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::string folder = dir.path().toStdString() + "/";
    QDir().mkpath(dir.filePath(QStringLiteral("downloads/XRQ9")));
    unitreg::UnitRegister reg;
    ASSERT_EQ(reg.open(folder + kRegisterFileName).state, unitreg::OpenOutcome::State::Open);
    const std::string serial = "XRQ9";
    std::string changed = memoryText(0, 120);
    changed.replace(changed.find("20 00:20:00, 12.2"), 17, "20 00:20:00, 17.2"); // record 3
    const std::string k1 = folder + "downloads/XRQ9/k1.txt", k2 = folder + "downloads/XRQ9/k2.txt",
                      k3 = folder + "downloads/XRQ9/k3.txt";
    const std::int64_t at1 = utcMs(2026, 11, 1, 8), at2 = utcMs(2026, 11, 2, 8),
                       at3 = utcMs(2026, 11, 3, 8);
    keptDownload(reg, serial, k1, memoryText(0, 80), at1, {});
    keptDownload(reg, serial, k2, changed, at2, {});
    keptDownload(reg, serial, k3, memoryText(0, 160), at3, {});
    SeriesStore store;
    ASSERT_TRUE(done(store.open(storePath(folder))));
    auto factsRead = readRegisterFacts(folder + kRegisterFileName, serial);
    ASSERT_TRUE(factsRead.ok()) << factsRead.text();
    RegisterFacts& facts = *factsRead;
    ASSERT_TRUE(store.apply({serial, k1, at1, true}, readDownloadFile(k1), facts.facts).ok);
    // The older rules split the second visit off; a clear known to that download alone stands
    // in for them here (the register knows of none).
    UnitFacts split = facts.facts;
    split.clearsMs.push_back(at1 + 1000);
    ASSERT_TRUE(store.apply({serial, k2, at2, true}, readDownloadFile(k2), split).ok);
    ASSERT_EQ(store.find(serial, "SITE1")->segments, 2);
    ASSERT_EQ(store.find(serial, "SITE1")->records, 80u + 120u); // title lines are no records

    const ApplyResult r = store.apply({serial, k3, at3, true}, readDownloadFile(k3), facts.facts);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.sets[0].joined, 1u);
    auto info = store.find(serial, "SITE1");
    EXPECT_EQ(info->segments, 1);
    EXPECT_EQ(info->records, 160u);
    EXPECT_EQ(info->disputed, 0u); // record 3: two downloads against one
    const std::string csv = exportAll(store);
    EXPECT_NE(csv.find("# segment 1, record 1: segment 1 joined here: a later download holds "
                       "both: the same memory, one record said otherwise"),
              std::string::npos)
        << csv.substr(0, 2000);
    EXPECT_NE(csv.find("# segment 1, record 1: (segment 1 before it was joined) segment starts: "
                       "first download"),
              std::string::npos);
    EXPECT_EQ(csv.find("17.2"), std::string::npos); // settled for the line two downloads said
    store.close();

    const RebuildResult rebuilt = rebuild(folder);
    ASSERT_TRUE(rebuilt.ok) << rebuilt.error;
    ASSERT_TRUE(done(store.open(storePath(folder))));
    info = store.find(serial, "SITE1");
    EXPECT_EQ(info->segments, 1);
    EXPECT_EQ(info->records, 160u);
    EXPECT_EQ(info->disputed, 0u);
    // Every record once in the rebuilt store too, in the unit's order.
    std::vector<std::string> seen;
    store.forEachRecord(info->id, [&](const RecordRef& rec) {
        seen.emplace_back(rec.line);
        return true;
    });
    EXPECT_EQ(seen, parseDownloadText(memoryText(0, 160)).sets[0].records);
}

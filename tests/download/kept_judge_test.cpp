// SPDX-License-Identifier: GPL-3.0-or-later
// Downloads an earlier program called safe, judged again by the current line rules at the
// first start after the upgrade: once, told as a fact of the register, and taken by the series
// as not safe from then on.
#include "download/kept_judge.h"

#include "register/register_texts.h"
#include "register/unit_register.h"
#include "series/register_facts.h"
#include "series/series_apply.h"
#include "series/series_store.h"
#include "support/result_assert.h"
#include "support/sqlite_statements.h"
#include "tests/support/wait.h"

#include <QDir>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <optional>

using namespace std::chrono_literals;

namespace {

const std::string kClean = "F\r\nName: SITE1\r\n26-06-01 00:00:00, 1\r\n26-06-01 00:00:10, 2\r\n"
                           "26-06-01 00:00:20, 3\r\n>";
// What the line rules of before called safe: the last record run into the prompt, two
// records run into one, a later name line that lost its blank.
const std::string kCutLast =
    "F\r\nName: SITE1\r\n26-06-01 00:00:00, 1\r\n26-06-01 00:00:10, 2\r\n"
    "26-06-01 00:00:20, 3\r\n26-06-01 00:00:30, 4\r\n26-06-01 00:00:40, 5>";

void writeFile(const std::string& path, const std::string& bytes) {
    QDir().mkpath(QFileInfo(QString::fromStdString(path)).absolutePath());
    QFile f(QString::fromStdString(path));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    ASSERT_EQ(f.write(bytes.data(), qint64(bytes.size())), qint64(bytes.size()));
}

TEST(KeptLinesJudgedAgain, TheCurrentRulesFindWhatTheOldOnesMissed) {
    const struct {
        const char* what;
        std::string bytes;
        const char* reasonHas; // nullptr: still safe
    } cases[] = {
        {"a clean download", kClean, nullptr},
        {"the unit's No data", "F\r\nNo data\r\n>", nullptr},
        {"an empty data set and a tab", "F\r\nName: A\r\nName: B\r\n1\t2\r\n>", nullptr},
        {"the last record cut by the prompt", kCutLast, "the last line before the prompt was cut"},
        {"nothing but the prompt", "F\r\n>", "held no data set"},
        {"a record run into the next name line",
         "F\r\nName: A\r\n26-06-01 00:00:00, 1Name: B\r\n26-06-01 00:00:10, 2\r\n>",
         "two lines run into one"},
        {"a later name line without its blank",
         "F\r\nName: A\r\n26-06-01 00:00:00, 1\r\nName:BRIDGE\r\n26-06-01 00:00:10, 2\r\n>",
         "name"},
    };
    QTemporaryDir tmp;
    ASSERT_TRUE(tmp.isValid());
    for (const auto& c : cases) {
        const std::string path = tmp.path().toStdString() + "/kept.txt";
        QFile::remove(QString::fromStdString(path));
        writeFile(path, c.bytes);
        const auto judged = download::judgeKeptLines(path);
        ASSERT_TRUE(done(judged)) << c.what;
        const std::vector<std::string>& reasons = *judged;
        if (!c.reasonHas) {
            EXPECT_TRUE(reasons.empty()) << c.what << ": " << (reasons.empty() ? "" : reasons[0]);
            continue;
        }
        ASSERT_FALSE(reasons.empty()) << c.what;
        std::string all;
        for (const std::string& r : reasons)
            all += r + " | ";
        EXPECT_NE(all.find(c.reasonHas), std::string::npos) << c.what << ": " << all;
    }
    const auto gone = download::judgeKeptLines(tmp.path().toStdString() + "/gone.txt");
    ASSERT_FALSE(gone.ok());
    EXPECT_EQ(gone.kind(), platform::ErrorKind::NotFound);
    EXPECT_NE(gone.text().find("gone.txt"), std::string::npos) << gone.text();
}

class JudgedAgain : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(tmp.isValid());
        folder = tmp.path().toStdString() + "/";
        registerPath = folder + unitreg::kFileName;
    }

    // A register as the program before the upgrade left it: both downloads called safe, the
    // series built from them, and the schema one step back (the step only adds tables).
    void leaveAsBeforeTheUpgrade() {
        {
            unitreg::UnitRegister reg;
            ASSERT_EQ(reg.open(registerPath).state, unitreg::OpenOutcome::State::Open);
            int n = 0;
            for (const auto& [name, text] : {std::pair{"clean", kClean}, {"cut", kCutLast}}) {
                const std::string kept = folder + "downloads/XRQ7/" + name + ".txt";
                writeFile(kept, text);
                unitreg::Download d;
                d.serial = "XRQ7";
                d.started = 1780000000000 + 3600000 * ++n;
                d.ended = d.started + 60000;
                d.keptFile = kept;
                d.complete = d.verified = true;
                d.sets = 1;
                ASSERT_TRUE(reg.recordDownload(d));
            }
        }
        ASSERT_TRUE(
            testsupport::runSql(registerPath, {"DROP TABLE judged_again", "DROP TABLE judge_again",
                                               "PRAGMA user_version=5"}));
        const series::RebuildResult built = series::rebuild(folder);
        ASSERT_TRUE(built.ok) << built.error;
        ASSERT_EQ(built.downloads, 2u);
        EXPECT_EQ(provisional(), 0u);
    }

    std::uint64_t provisional() {
        series::SeriesStore store;
        EXPECT_TRUE(done(store.open(series::storePath(folder))));
        std::uint64_t n = 0;
        for (const series::SeriesInfo& s : store.list())
            n += s.provisional;
        return n;
    }

    download::JudgedAgainSummary judgeAtStart(RegisterWriter& writer) {
        std::optional<download::JudgedAgainSummary> summary;
        QObject context;
        download::judgeKeptDownloadsAgain(
            writer, &context, folder, [&](const download::JudgedAgainSummary& s) { summary = s; });
        EXPECT_TRUE(testsupport::waitUntil([&] { return summary.has_value(); }, 60s));
        EXPECT_TRUE(writer.waitIdle(30s));
        return summary.value_or(download::JudgedAgainSummary{});
    }

    QTemporaryDir tmp;
    std::string folder, registerPath;
};

TEST_F(JudgedAgain, AnUpgradedRegisterJudgesItsSafeDownloadsOnceAndTellsTheOneNoLongerSafe) {
    leaveAsBeforeTheUpgrade();
    RegisterWriter& writer = unitRegister();
    ASSERT_EQ(writer.open(registerPath).state, unitreg::OpenOutcome::State::Open);
    const download::JudgedAgainSummary first = judgeAtStart(writer);
    EXPECT_EQ(first.judged, 2u);
    ASSERT_EQ(first.notSafe.size(), 1u);
    EXPECT_NE(first.notSafe[0].find("cut.txt: the last line before the prompt was cut"),
              std::string::npos)
        << first.notSafe[0];
    EXPECT_TRUE(first.rebuilt) << first.rebuildError;
    const auto lines = download::judgedAgainLogLines(first);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[0], "Earlier downloads judged again by the current line rules: 2, no longer "
                        "verified: 1");
    // Once: the next start finds nothing waiting.
    const download::JudgedAgainSummary second = judgeAtStart(writer);
    EXPECT_EQ(second.judged, 0u);
    EXPECT_TRUE(download::judgedAgainLogLines(second).empty());
    writer.close();

    // The series takes the cut download as not safe: its records the clean one never held
    // stand provisional, as a rebuild leaves them.
    EXPECT_GT(provisional(), 0u);
    auto factsRead = series::readRegisterFacts(registerPath, "XRQ7");
    ASSERT_TRUE(factsRead.ok()) << factsRead.text();
    series::RegisterFacts& facts = *factsRead;
    ASSERT_EQ(facts.kept.size(), 2u);
    EXPECT_TRUE(facts.kept[0].safe);
    EXPECT_FALSE(facts.kept[1].safe);

    // The register tells it as a fact of its own, the download's row as it was, and the fact
    // waits to be shared.
    unitreg::UnitRegister reg;
    ASSERT_EQ(reg.open(registerPath).state, unitreg::OpenOutcome::State::Open);
    int judgedEvents = 0, downloads = 0;
    for (const unitreg::UnitEvent& e : reg.history("XRQ7")) {
        if (e.kind == unitreg::EventKind::Download) {
            ++downloads;
            EXPECT_TRUE(e.download.verified);
        }
        if (e.kind != unitreg::EventKind::JudgedAgain)
            continue;
        ++judgedEvents;
        const QString text = unitreg::eventDetails(e);
        EXPECT_TRUE(text.startsWith("judged again: not verified: the last line before the "
                                    "prompt was cut"))
            << text.toStdString();
        EXPECT_EQ(unitreg::eventKindText(e.kind), QStringLiteral("Judged again"));
    }
    EXPECT_EQ(judgedEvents, 1);
    EXPECT_EQ(downloads, 2);
    EXPECT_TRUE(reg.keptToJudgeAgain().empty());
    reg.close();
    auto db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), "outbox");
    db.setDatabaseName(QString::fromStdString(registerPath));
    ASSERT_TRUE(db.open());
    QSqlQuery q(db);
    ASSERT_TRUE(q.exec("SELECT count(*) FROM fleet_outbox WHERE type = 'judged_again'"));
    ASSERT_TRUE(q.next());
    EXPECT_EQ(q.value(0).toInt(), 1);
    q.finish();
    db.close();
    db = QSqlDatabase();
    QSqlDatabase::removeDatabase("outbox");
}

TEST_F(JudgedAgain, AKeptCopyThatIsGoneLeavesItsDownloadAsItWasJudged) {
    leaveAsBeforeTheUpgrade();
    QFile::remove(QString::fromStdString(folder + "downloads/XRQ7/cut.txt"));
    RegisterWriter& writer = unitRegister();
    ASSERT_EQ(writer.open(registerPath).state, unitreg::OpenOutcome::State::Open);
    const download::JudgedAgainSummary s = judgeAtStart(writer);
    EXPECT_EQ(s.judged, 1u);
    EXPECT_TRUE(s.notSafe.empty());
    ASSERT_EQ(s.unreadable.size(), 1u);
    EXPECT_NE(s.unreadable[0].find("cut.txt"), std::string::npos);
    EXPECT_FALSE(s.rebuilt) << "nothing was found no longer safe";
    EXPECT_EQ(judgeAtStart(writer).unreadable.size(), 0u) << "told once";
    writer.close();
}

// A register made new by this program has nothing to judge again.
TEST_F(JudgedAgain, ANewRegisterHasNothingWaiting) {
    unitreg::UnitRegister reg;
    ASSERT_EQ(reg.open(registerPath).state, unitreg::OpenOutcome::State::Open);
    unitreg::Download d;
    d.serial = "XRQ7";
    d.started = 1;
    d.keptFile = folder + "k.txt";
    d.complete = d.verified = true;
    ASSERT_TRUE(reg.recordDownload(d));
    EXPECT_TRUE(reg.keptToJudgeAgain().empty());
}

} // namespace

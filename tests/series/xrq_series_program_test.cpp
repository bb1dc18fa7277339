// SPDX-License-Identifier: GPL-3.0-or-later
// xrq-series as a script runs it: its commands, --json and its exit status.
#include "register/unit_register.h"
#include "series/register_facts.h"
#include "series/series_apply.h"
#include "series/series_store.h"
#include "support/child_process.h"
#include "support/result_assert.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>

using namespace std::chrono_literals;

namespace {

struct Ran {
    int code = -1;
    std::string out, err;
};

// `tracer`: words that run the program under another (strace injecting a fault), or none.
Ran xrqSeries(const QTemporaryDir& dir, std::vector<std::string> args,
              std::vector<std::string> tracer = {}) {
    const std::string out = dir.filePath(QStringLiteral("out.txt")).toStdString();
    args.insert(args.begin(), {"--files-folder", dir.path().toStdString()});
    std::string program = XRQ_BIN_DIR "/xrq-series";
    if (!tracer.empty()) {
        args.insert(args.begin(), program);
        args.insert(args.begin(), tracer.begin() + 1, tracer.end());
        program = tracer.front();
    }
    testsupport::ChildProcess child(program, args, out);
    Ran r;
    EXPECT_TRUE(child.waitForExit(60s)) << child.errorOutput();
    r.code = child.exitedNormally() ? child.exitCode() : -1;
    r.err = child.errorOutput();
    std::ifstream in(out, std::ios::binary);
    r.out.assign(std::istreambuf_iterator<char>(in), {});
    return r;
}

} // namespace

TEST(XrqSeriesProgram, CommandsJsonAndExitStatus) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::string folder = dir.path().toStdString() + "/";
    // No store yet: nothing listed, and none made.
    Ran r = xrqSeries(dir, {"--json", "list"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(QJsonDocument::fromJson(QByteArray::fromStdString(r.out))["series"].toArray().size(),
              0);
    EXPECT_FALSE(QFile::exists(QString::fromStdString(series::storePath(folder))));
    EXPECT_EQ(xrqSeries(dir, {"export", "XRQ1", "SITE1"}).code, 3);

    {
        series::SeriesStore store;
        ASSERT_TRUE(done(store.open(series::storePath(folder))));
        ASSERT_TRUE(store
                        .apply({"XRQ1", "k1.txt", 1000, true},
                               series::parseDownloadText("F\r\nName: SITE1\r\n26-06-01 00:00:00, "
                                                         "1\r\n26-06-01 00:01:00, 2\r\n>"),
                               {})
                        .ok);
    }
    r = xrqSeries(dir, {"--json", "list"});
    ASSERT_EQ(r.code, 0) << r.err;
    const QJsonArray all =
        QJsonDocument::fromJson(QByteArray::fromStdString(r.out))["series"].toArray();
    ASSERT_EQ(all.size(), 1);
    EXPECT_EQ(all[0]["serial"].toString(), "XRQ1");
    EXPECT_EQ(all[0]["records"].toInt(), 2);

    r = xrqSeries(dir, {"export", "XRQ1", "SITE1", "--from", "2026-06-01T00:01:00"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "unit_time,utc,utc_offset_minutes,field_2,flags,download,download_utc\r\n"
                     "2026-06-01T00:01:00,,,2,offset unknown,k1.txt,1970-01-01T00:00:01Z\r\n");
    r = xrqSeries(
        dir, {"export", "XRQ1", "SITE1", "--from", "2026-06-01T00:01:00", "--layout", "classic"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("26-06-01 00:01:00,,,26-06-01 00:01:00,2,offset unknown,k1.txt\r\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find(",1,"), std::string::npos) << r.out;
    EXPECT_EQ(xrqSeries(dir, {"export", "XRQ1", "SITE1", "--layout", "fancy"}).code, 1);

    // --output never replaces a file.
    const std::string target = folder + "site1.csv";
    r = xrqSeries(dir, {"--json", "export", "XRQ1", "SITE1", "--output", target});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(QJsonDocument::fromJson(QByteArray::fromStdString(r.out))["rows"].toInt(), 2);
    EXPECT_EQ(QJsonDocument::fromJson(QByteArray::fromStdString(r.out))["metadata"].toString(),
              QString::fromStdString(target + "-metadata.json"));
    EXPECT_EQ(xrqSeries(dir, {"export", "XRQ1", "SITE1", "--output", target}).code, 4);
    // The export is said to be written only once its folder is synced (the third fsync, after
    // the file's own and its metadata's): a folder that cannot be is told, with the output's
    // status.
    const QString strace = QStandardPaths::findExecutable(QStringLiteral("strace"));
    if (!strace.isEmpty()) {
        r = xrqSeries(dir, {"--json", "export", "XRQ1", "SITE1", "--output", folder + "s2.csv"},
                      {strace.toStdString(), "-qq", "-f", "-o", "/dev/null", "-e", "trace=fsync",
                       "-e", "inject=fsync:error=EIO:when=3"});
        if (r.err.find("ptrace") == std::string::npos) { // tracing may be refused here
            EXPECT_EQ(r.code, 4) << r.err;
            EXPECT_NE(r.err.find("its folder could not be synced"), std::string::npos) << r.err;
        }
    }

    EXPECT_EQ(xrqSeries(dir, {"export", "XRQ1"}).code, 1);
    EXPECT_EQ(xrqSeries(dir, {"--from", "soon", "export", "XRQ1", "SITE1"}).code, 1);
    EXPECT_EQ(xrqSeries(dir, {"export", "XRQ1", "SITE9"}).code, 3);
    // Without the unit register a rebuild would empty the series: refused, the series kept.
    r = xrqSeries(dir, {"--json", "rebuild"});
    EXPECT_EQ(r.code, 5) << r.err;
    EXPECT_NE(r.err.find("register"), std::string::npos) << r.err;
    r = xrqSeries(dir, {"list"});
    EXPECT_NE(r.out.find("XRQ1\tSITE1\t2 records"), std::string::npos) << r.out;
    r = xrqSeries(dir, {"--json", "prune-kept"});
    EXPECT_EQ(r.code, 0) << r.err;
}

// A kept download prune-kept removed (a later safe one holds it wholly) is known to a later
// rebuild as pruned, not as one it could not read; the series is as before.
TEST(XrqSeriesProgram, APrunedDownloadIsKnownAsPrunedToARebuild) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::string folder = dir.path().toStdString() + "/";
    unitreg::UnitRegister reg;
    ASSERT_EQ(reg.open(folder + series::kRegisterFileName).state,
              unitreg::OpenOutcome::State::Open);
    auto text = [](int records) {
        std::string t = "F\r\nName: SITE1\r\n";
        for (int i = 0; i < records; ++i)
            t += "26-06-01 00:00:00, " + std::to_string(i) + "\r\n";
        return t + ">";
    };
    std::vector<std::string> kept;
    for (const int records : {100, 150}) {
        kept.push_back(folder + "k" + std::to_string(records) + ".txt");
        std::ofstream(kept.back(), std::ios::binary) << text(records);
        unitreg::Download d;
        d.serial = "XRQ1";
        d.started = 1780000000000LL + records;
        d.ended = d.started + 1000;
        d.keptFile = kept.back();
        d.complete = d.verified = true;
        ASSERT_TRUE(reg.recordDownload(d));
        const series::ApplyResult r = series::applyDownload(
            folder, series::readDownloadFile(kept.back()), "XRQ1", kept.back(), true);
        ASSERT_TRUE(r.ok) << r.error;
    }
    Ran r = xrqSeries(dir, {"--json", "prune-kept", "--remove"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_FALSE(QFile::exists(QString::fromStdString(kept[0])));
    r = xrqSeries(dir, {"--json", "rebuild"});
    EXPECT_EQ(r.code, 0) << r.out << r.err;
    const QJsonObject rebuilt = QJsonDocument::fromJson(QByteArray::fromStdString(r.out)).object();
    EXPECT_TRUE(rebuilt["unreadable"].toArray().isEmpty()) << r.out;
    ASSERT_EQ(rebuilt["pruned"].toArray().size(), 1) << r.out;
    EXPECT_EQ(rebuilt["pruned"][0]["path"].toString().toStdString(), kept[0]);
    EXPECT_EQ(rebuilt["pruned"][0]["held_by"].toString().toStdString(), kept[1]);
    r = xrqSeries(dir, {"--json", "list"});
    EXPECT_EQ(
        QJsonDocument::fromJson(QByteArray::fromStdString(r.out))["series"][0]["records"].toInt(),
        150);
    // A second rebuild still knows it.
    r = xrqSeries(dir, {"rebuild"});
    EXPECT_EQ(r.code, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("Pruned: " + kept[0]), std::string::npos) << r.out;
}

// prune-kept, then a rebuild: the series holds the same records with the same flags as
// before (each record once, a settled place still settled), only the downloads named differ.
struct PruneCase {
    const char* name;
    std::vector<std::tuple<int, int, bool>> visits; // records, one changed at (or -1), safe
    std::size_t pruned, keptForDisputes;
    int disputed; // places disputed, before and after
};

void PrintTo(const PruneCase& c, std::ostream* os) {
    *os << c.name;
}

class PruneThenRebuild : public ::testing::TestWithParam<PruneCase> {};

TEST_P(PruneThenRebuild, KeepsEveryRecordAndFlag) {
    const PruneCase& c = GetParam();
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::string folder = dir.path().toStdString() + "/";
    unitreg::UnitRegister reg;
    ASSERT_EQ(reg.open(folder + series::kRegisterFileName).state,
              unitreg::OpenOutcome::State::Open);
    int n = 0;
    for (const auto& [records, changed, safe] : c.visits) {
        std::string t = "F\r\nName: SITE1\r\n";
        for (int i = 0; i < records; ++i)
            t += "26-06-01 00:00:00, " + std::to_string(i) + (i == changed ? "9" : "") + "\r\n";
        const std::string kept = folder + "k" + std::to_string(++n) + ".txt";
        std::ofstream(kept, std::ios::binary) << t + ">";
        unitreg::Download d;
        d.serial = "XRQ1";
        d.started = 1780000000000LL + n * 1000;
        d.ended = d.started + 500;
        d.keptFile = kept;
        d.complete = d.verified = safe;
        if (!safe)
            d.reasons = {"not safe"};
        ASSERT_TRUE(reg.recordDownload(d));
        const series::ApplyResult r =
            series::applyDownload(folder, series::readDownloadFile(kept), "XRQ1", kept, safe);
        ASSERT_TRUE(r.ok) << r.error;
    }
    // The export without what names a download (its column, and the segments' notes).
    auto exported = [&] {
        const Ran r = xrqSeries(dir, {"export", "XRQ1", "SITE1", "--layout", "classic"});
        EXPECT_EQ(r.code, 0) << r.err;
        std::string out;
        std::size_t from = 0;
        for (std::size_t end; (end = r.out.find("\r\n", from)) != std::string::npos;
             from = end + 2) {
            const std::string line = r.out.substr(from, end - from);
            if (line.rfind("# segment ", 0) == 0)
                continue;
            out += line.substr(0, line[0] == '#' ? line.size() : line.rfind(',')) + "\n";
        }
        return out;
    };
    const std::string before = exported();
    EXPECT_NE(
        before.find(c.disputed ? "# flag disputed: " + std::to_string(c.disputed) : "# records: "),
        std::string::npos)
        << before.substr(0, 800);
    Ran r = xrqSeries(dir, {"--json", "prune-kept", "--remove"});
    ASSERT_EQ(r.code, 0) << r.err;
    const QJsonObject pruned = QJsonDocument::fromJson(QByteArray::fromStdString(r.out)).object();
    EXPECT_EQ(std::size_t(pruned["kept_downloads"].toArray().size()), c.pruned) << r.out;
    EXPECT_EQ(std::size_t(pruned["kept_for_disputes"].toArray().size()), c.keptForDisputes)
        << r.out;
    r = xrqSeries(dir, {"--json", "rebuild"});
    ASSERT_EQ(r.code, 0) << r.out << r.err;
    const std::string after = exported();
    const auto differs = std::mismatch(before.begin(), before.end(), after.begin(), after.end());
    const std::size_t at = before.rfind('\n', std::size_t(differs.first - before.begin()));
    EXPECT_TRUE(after == before) << "the series differs after: "
                                 << before.substr(at == std::string::npos ? 0 : at, 160);
}

INSTANTIATE_TEST_SUITE_P(
    XrqSeriesProgram, PruneThenRebuild,
    ::testing::Values(
        PruneCase{"Growing", {{100, -1, true}, {150, -1, true}, {200, -1, true}}, 2, 0, 0},
        PruneCase{"ProvisionalThenConfirmed", {{100, -1, false}, {150, -1, true}}, 1, 0, 0},
        // The second download's word settles the changed record with the third's.
        PruneCase{"SettledPlace", {{150, 20, true}, {200, -1, true}, {250, -1, true}}, 0, 1, 0},
        // The first download brought the record held where the third disagrees.
        PruneCase{"DisputedPlace", {{100, -1, true}, {150, -1, true}, {200, 20, true}}, 0, 1, 1}),
    [](const auto& info) { return std::string(info.param.name); });

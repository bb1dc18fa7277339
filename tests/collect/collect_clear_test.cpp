// SPDX-License-Identifier: GPL-3.0-or-later
// xrq-collect --clear against the simulator: the memory is cleared only when the download is
// safe everywhere it must be, and then every record the unit logged before the reported
// window is in the series.
#include "series/series_export.h"
#include "series/series_store.h"
#include "support/child_process.h"
#include "support/program_sandbox.h"
#include "support/result_assert.h"
#include "tools/sim/data_set.h"
#include "tools/sim/pty_unit.h"
#include "tools/sim/state_file.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <fstream>
#include <iterator>

namespace {

using namespace std::chrono_literals;

class CollectClear : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(sandbox.ok());
        ASSERT_TRUE(QDir().mkpath(QString::fromStdString(sandbox.portFolder())));
        ASSERT_TRUE(QDir().mkpath(QString::fromStdString(sandbox.data())));
    }

    sim::PtyUnit& plug(int n, sim::FaultOptions faults = {}, unsigned logEvery = 0,
                       std::optional<std::string> raw = std::nullopt) {
        sim::SimOptions o;
        o.rawDownload = std::move(raw);
        o.linkPath = sandbox.portFolder() + "COM" + std::to_string(n);
        o.baud = 0;
        o.dataSets = sim::generateDataSets(2, 30, 0, 1);
        o.faults = faults;
        o.logEverySeconds = logEvery;
        if (logEvery > 0) {
            // A unit that has been logging for a minute already: its state says so.
            o.stateFile = sandbox.root() + "/unit-" + std::to_string(n) + ".state";
            sim::saveStateFile(o.stateFile, {o.serialNumber, std::chrono::seconds(0), o.dataSets,
                                             std::time(nullptr) - 60});
        }
        units.push_back(sim::PtyUnit::start(o));
        return *units.back();
    }

    struct Finished {
        int code = -1;
        std::string err;
        QJsonObject json;
    };
    Finished run(int port) {
        const std::string out = sandbox.root() + "/clear-" + std::to_string(port) + ".json";
        testsupport::ChildProcess child(
            XRQ_BIN_DIR "/xrq-collect",
            {"--port", std::to_string(port), "--dir", sandbox.data(), "--clear", "--json"}, out);
        Finished f;
        EXPECT_TRUE(child.waitForExit(90s)) << child.errorOutput();
        f.code = child.exitedNormally() ? child.exitCode() : -1;
        f.err = child.errorOutput();
        std::ifstream in(out, std::ios::binary);
        const std::string text(std::istreambuf_iterator<char>(in), {});
        f.json = QJsonDocument::fromJson(QByteArray::fromStdString(text)).object();
        return f;
    }

    std::vector<std::string> seriesRecords(const std::string& name) {
        series::SeriesStore store;
        std::vector<std::string> out;
        if (!store.open(sandbox.tempFiles() + series::kFileName))
            return out;
        const auto info = store.find("XRQ10472", name);
        if (info)
            store.forEachRecord(info->id, [&](const series::RecordRef& r) {
                out.emplace_back(r.line);
                return true;
            });
        return out;
    }

    testsupport::ProgramSandbox sandbox;
    std::vector<std::unique_ptr<sim::PtyUnit>> units;
};

// The unit's clock text (the computer's local time) as UTC milliseconds.
std::int64_t stampMs(const std::string& record) {
    return QDateTime::fromString(QString::fromStdString("20" + record.substr(0, 17)),
                                 QStringLiteral("yyyy-MM-dd HH:mm:ss"))
        .toMSecsSinceEpoch();
}

} // namespace

TEST_F(CollectClear, ASafeDownloadIsClearedAndTheSeriesHoldsEveryRecordBeforeTheWindow) {
    sim::PtyUnit& unit = plug(3, {}, 1);
    const auto sets = unit.memory();
    const Finished f = run(3);
    ASSERT_EQ(f.code, 0) << f.err;
    const QJsonObject clear = f.json["clear"].toObject();
    EXPECT_TRUE(clear["cleared"].toBool()) << f.err;
    EXPECT_TRUE(clear["reason"].isNull());
    EXPECT_GE(clear["windowSeconds"].toDouble(), 0.0);
    EXPECT_TRUE(unit.memory().empty());
    // Read twice: the first read kept raw beside the download, the window from the second.
    ASSERT_TRUE(clear["firstRead"].isString()) << f.err;
    ASSERT_TRUE(clear["secondRead"].isString());
    const auto at = [&](const char* key) {
        return QDateTime::fromString(clear[key].toString(), Qt::ISODateWithMs).toMSecsSinceEpoch();
    };
    EXPECT_LT(at("firstRead"), at("secondRead"));
    EXPECT_EQ(at("secondRead"), at("windowFrom"));
    const QString firstKept = clear["firstReadKept"].toString();
    EXPECT_TRUE(QFile::exists(firstKept)) << firstKept.toStdString();
    EXPECT_NE(firstKept, f.json["keptFile"].toString());
    for (const sim::DataSet& set : sets) {
        const auto held = seriesRecords(set.name);
        if (set.name == "LOG") { // it went on logging until the download
            ASSERT_GE(held.size(), set.records.size());
            EXPECT_TRUE(std::equal(set.records.begin(), set.records.end(), held.begin()));
        } else {
            EXPECT_EQ(held, set.records) << set.name;
        }
    }
    // The logging clock's records: one a second, none missing up to the window's start.
    const auto logged = seriesRecords("LOG");
    ASSERT_FALSE(logged.empty());
    for (std::size_t i = 1; i < logged.size(); ++i)
        EXPECT_EQ(stampMs(logged[i]) - stampMs(logged[i - 1]), 1000) << logged[i];
    const std::int64_t from =
        QDateTime::fromString(clear["windowFrom"].toString(), Qt::ISODateWithMs)
            .toMSecsSinceEpoch();
    EXPECT_GE(stampMs(logged.back()), from - 1000) << logged.back();
    EXPECT_LE(stampMs(logged.back()), from + 1000 * (clear["windowSeconds"].toDouble() + 1));
}

TEST_F(CollectClear, RefusedInEachUnsafeCase) {
    struct Case {
        const char* name;
        sim::FaultOptions faults;
        bool seriesUnusable;
        int exit;
        const char* reason;
    };
    sim::FaultOptions cut;
    cut.silentAfterBytes = 300;
    sim::FaultOptions noConfirmation;
    noConfirmation.ignoredCommands = "Y";
    sim::FaultOptions changedDigit; // in the first read only: both look safe
    changedDigit.changedDigitInOddDownloads = true;
    const Case cases[] = {
        {"a download not called safe", cut, false, 7, "the download was not called safe"},
        {"the series cannot take it", {}, true, 11, "the series has not taken the download"},
        {"no prompt after Y", noConfirmation, false, 11, "did not confirm"},
        {"a record changed in one of the two reads", changedDigit, false, 11,
         "the two reads of the memory differ: record 1 of data set 1"},
    };
    int port = 4;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string store = sandbox.tempFiles() + series::kFileName;
        QDir().rmdir(QString::fromStdString(store));
        if (c.seriesUnusable) { // a folder where the store should be
            ASSERT_TRUE(QDir().mkpath(QString::fromStdString(store)));
        }
        sim::PtyUnit& unit = plug(port, c.faults);
        const auto before = unit.memory();
        const Finished f = run(port++);
        EXPECT_EQ(f.code, c.exit) << f.err;
        const QJsonObject clear = f.json["clear"].toObject();
        EXPECT_FALSE(clear["cleared"].toBool());
        EXPECT_NE(clear["reason"].toString().toStdString().find(c.reason), std::string::npos)
            << clear["reason"].toString().toStdString();
        EXPECT_EQ(unit.memory(), before);
        QDir().rmdir(QString::fromStdString(store));
    }
}

// Answers to "F" at the edges of what a unit sends, byte for byte: none is called safe, so
// nothing of the clear is sent and the memory stays whole.
TEST_F(CollectClear, AnswersCutOrMergedAtTheirEdgesAreNeverCleared) {
    const std::string head = "\r\n* XRQ data logger S/N XRQ10472\r\nFILE DUMP\r\n";
    const struct {
        const char* name;
        std::string answer;
        const char* reason;
    } cases[] = {
        {"only the prompt", "F\r\n>", "held no data set"},
        {"a blank line and the prompt", "\r\n\r\n>", "held no data set"},
        {"the last record without its line end",
         head + "Name: A\r\n26-01-01 10:00:00,1,2\r\n26-01-01 10:15:00,1,2>",
         "the last line before the prompt was cut"},
        {"a record run into the next name line",
         head + "Name: A\r\n26-01-01 10:00:00,1,2Name: B\r\n26-01-01 10:00:00,3\r\n>",
         "a data-set name inside another line"},
        {"a later name line without its blank",
         head + "Name: A\r\n26-01-01 10:00:00,1\r\nName:BRIDGE\r\n26-01-01 10:00:00,2\r\n>",
         "a name line whose form differs"},
    };
    int port = 30;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sim::PtyUnit& unit = plug(port, {}, 0, c.answer);
        const auto before = unit.memory();
        const Finished f = run(port++);
        EXPECT_EQ(f.code, 7) << f.err;
        EXPECT_FALSE(f.json["verified"].toBool());
        const QJsonObject clear = f.json["clear"].toObject();
        EXPECT_FALSE(clear["cleared"].toBool());
        EXPECT_TRUE(clear["windowTo"].isUndefined()) << "a clear was sent";
        EXPECT_EQ(unit.memory(), before);
        bool named = false;
        for (const QJsonValue& r : f.json["reasons"].toArray())
            named = named || r.toString().contains(QLatin1String(c.reason));
        EXPECT_TRUE(named) << QJsonDocument(f.json["reasons"].toArray()).toJson().toStdString();
    }
}

// Five unattended runs, never cleared, on a unit that keeps logging: the series holds every
// record once, and its export is the unit's memory.
TEST_F(CollectClear, FiveRunsWithoutClearingHoldEachRecordOnce) {
    sim::PtyUnit& unit = plug(9, {}, 1);
    for (int i = 0; i < 5; ++i) {
        const std::string out = sandbox.root() + "/run-" + std::to_string(i) + ".json";
        testsupport::ChildProcess child(XRQ_BIN_DIR "/xrq-collect",
                                        {"--port", "9", "--dir", sandbox.data(), "--json"}, out);
        ASSERT_TRUE(child.waitForExit(90s)) << child.errorOutput();
        ASSERT_EQ(child.exitCode(), 0) << child.errorOutput();
    }
    series::SeriesStore store;
    ASSERT_TRUE(done(store.open(sandbox.tempFiles() + series::kFileName)));
    for (const sim::DataSet& set : unit.memory()) {
        SCOPED_TRACE(set.name);
        const auto info = store.find("XRQ10472", set.name);
        ASSERT_TRUE(info);
        EXPECT_EQ(info->segments, 1);
        std::string csv;
        ASSERT_GE(series::exportCsv(
                      store, *info, {},
                      [&](std::string_view p) {
                          csv.append(p);
                          return true;
                      },
                      series::ExportLayout::Classic),
                  0);
        // The rows' fields joined as the unit wrote them, against the unit's memory.
        std::vector<std::string> rows;
        std::size_t columns = 0;
        std::size_t at = 0;
        while (at < csv.size()) {
            const auto end = csv.find("\r\n", at);
            const std::string line = csv.substr(at, end - at);
            at = end + 2;
            if (line.empty() || line[0] == '#')
                continue;
            std::vector<std::string> cells;
            std::size_t from = 0;
            for (;;) {
                const auto comma = line.find(',', from);
                cells.push_back(line.substr(from, comma - from));
                if (comma == std::string::npos)
                    break;
                from = comma + 1;
            }
            if (columns == 0) { // the title row
                columns = cells.size();
                continue;
            }
            ASSERT_EQ(cells.size(), columns);
            std::string record;
            for (std::size_t c = 3; c + 2 < cells.size() && !cells[c].empty(); ++c)
                record += (c > 3 ? ", " : "") + cells[c];
            rows.push_back(record);
        }
        // The set's title line names its columns: no record of the series.
        std::vector<std::string> records = set.records;
        if (!records.empty()) {
            const std::string_view next = records.size() > 1 ? records[1] : std::string_view();
            if (series::namesColumns(records[0], records.size() > 1 ? &next : nullptr))
                records.erase(records.begin());
        }
        EXPECT_EQ(rows, records);
    }
}

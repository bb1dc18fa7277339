// SPDX-License-Identifier: GPL-3.0-or-later
// The Units window's series work without a window: a unit's series listed, and one exported
// as CSV off the UI thread, durably, never over a file the operator did not choose to replace.
#include "platform/durable_file.h"
#include "register/register_writer.h"
#include "register/unit_series.h"
#include "series/series_apply.h"
#include "series/series_export.h"
#include "units_window/units_window.h"

#include "support/result_assert.h"
#include "support/wait.h"

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <thread>

namespace {

class UnitSeriesTest : public testing::Test, public platform::DurabilityProbe {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        folder = dir.path().toStdString() + "/";
        out = folder + "out/";
        ASSERT_TRUE(QDir().mkpath(QString::fromStdString(out)));
        series::SeriesStore store;
        ASSERT_TRUE(done(store.open(series::storePath(folder))));
        take(store, "XRQ1", {{"SITE1", 3}, {"SITE2", 2}, {"SITE1", 1}});
        take(store, "XRQ2", {{"LAKE", 4}});
        ASSERT_TRUE(done(store.openToRead(series::storePath(folder))));
        expected = csvOf(store, "SITE1");
        platform::setDurabilityProbe(this);
    }
    void TearDown() override { platform::setDurabilityProbe(nullptr); }

    void take(series::SeriesStore& store, const std::string& serial,
              const std::vector<std::pair<std::string, int>>& sets) {
        series::DownloadSets d;
        for (const auto& [name, n] : sets) {
            d.sets.push_back({name, {}, true});
            for (int i = 0; i < n; ++i)
                d.sets.back().records.push_back("26-06-01 08:0" + std::to_string(i) + ":00, " +
                                                std::to_string(i) + ", \"q\"");
        }
        ASSERT_TRUE(store.apply({serial, "kept-" + serial, 1780300000000LL, true}, d, {}).ok);
    }
    static std::string csvOf(series::SeriesStore& store, const std::string& name) {
        std::string csv;
        series::exportCsv(store, *store.find("XRQ1", name), {}, [&](std::string_view piece) {
            csv += piece;
            return true;
        });
        return csv;
    }
    series::SeriesInfo info(const std::string& name) {
        series::SeriesStore store;
        EXPECT_TRUE(done(store.openToRead(series::storePath(folder))));
        return *store.find("XRQ1", name);
    }
    static std::string read(const std::string& path) {
        QFile f(QString::fromStdString(path));
        return f.open(QIODevice::ReadOnly) ? f.readAll().toStdString() : std::string("(none)");
    }
    QStringList leftovers() const {
        return QDir(QString::fromStdString(out)).entryList(QDir::Files | QDir::Hidden);
    }
    UnitSeries::Outcome exportTo(UnitSeries& work, const std::string& path, bool replace) {
        UnitSeries::Outcome got;
        bool done = false;
        auto c = QObject::connect(&work, &UnitSeries::exported, [&](const UnitSeries::Outcome& o) {
            got = o;
            done = true;
        });
        work.exportTo(folder, info("SITE1"), path, replace);
        EXPECT_TRUE(testsupport::waitUntil([&] { return done; }));
        QObject::disconnect(c);
        return got;
    }

    // The probe: which threads write, and a way to hold the writer or fail a call.
    int before(Call call, int, const std::string&, const std::string&) override {
        std::unique_lock held(lock);
        writers.push_back(std::this_thread::get_id());
        if (call == Call::Write && holdWrites) {
            inWrite = true;
            changed.notify_all();
            changed.wait(held, [&] { return !holdWrites; });
        }
        return call == failCall ? failWith : 0;
    }

    QTemporaryDir dir;
    std::string folder, out, expected;
    std::mutex lock;
    std::condition_variable changed;
    std::vector<std::thread::id> writers;
    bool holdWrites = false, inWrite = false;
    Call failCall = Call::Rename;
    int failWith = 0;
};

} // namespace

TEST_F(UnitSeriesTest, ListsTheUnitsSeriesOnly) {
    UnitSeries work;
    std::vector<UnitSeries::Listing> got;
    QObject::connect(&work, &UnitSeries::listed,
                     [&](const UnitSeries::Listing& l) { got.push_back(l); });
    work.list(folder, "XRQ1");
    work.list(folder, "XRQ9");
    work.list(folder + "nowhere/", "XRQ1");
    ASSERT_TRUE(testsupport::waitUntil([&] { return got.size() == 3; }));
    ASSERT_EQ(got[0].series.size(), 3u);
    EXPECT_EQ(UnitSeries::describe(got[0].series[0]), "SITE1: 3 records, 1 segment");
    EXPECT_EQ(UnitSeries::describe(got[0].series[1]), "SITE1 (set 2): 1 record, 1 segment");
    EXPECT_EQ(UnitSeries::describe(got[0].series[2]), "SITE2: 2 records, 1 segment");
    EXPECT_TRUE(got[1].series.empty());
    EXPECT_TRUE(got[1].error.empty());
    EXPECT_TRUE(got[2].series.empty()); // no store yet: no series, and no fault
    EXPECT_TRUE(got[2].error.empty()) << got[2].error;
}

TEST_F(UnitSeriesTest, ExportIsWrittenOffTheUiThreadSyncedAndWhole) {
    UnitSeries work;
    {
        std::lock_guard held(lock);
        holdWrites = true;
    }
    bool done = false;
    UnitSeries::Outcome outcome;
    QObject::connect(&work, &UnitSeries::exported, [&](const UnitSeries::Outcome& o) {
        outcome = o;
        done = true;
    });
    work.exportTo(folder, info("SITE1"), out + "site1.csv", false);
    EXPECT_TRUE(work.exporting());
    {
        // The writer waits in its first write while this (the UI) thread goes on.
        std::unique_lock held(lock);
        ASSERT_TRUE(changed.wait_for(held, std::chrono::seconds(20), [&] { return inWrite; }));
        holdWrites = false;
        changed.notify_all();
    }
    ASSERT_TRUE(testsupport::waitUntil([&] { return done; }));
    EXPECT_TRUE(outcome.ok) << outcome.error;
    EXPECT_EQ(outcome.records, 3);
    EXPECT_EQ(outcome.text().toStdString(), "Exported 3 records of SITE1 to " + out + "site1.csv");
    EXPECT_FALSE(work.exporting());
    EXPECT_EQ(read(out + "site1.csv"), expected);
    // The plain layout's metadata beside it, nothing else.
    EXPECT_EQ(leftovers(), QStringList({"site1.csv", "site1.csv-metadata.json"}));
    std::lock_guard held(lock);
    ASSERT_FALSE(writers.empty());
    for (const auto& id : writers)
        EXPECT_NE(id, std::this_thread::get_id());
}

TEST_F(UnitSeriesTest, AFileThereIsReplacedOnlyWhenTheOperatorSaidSoAndFailuresLeaveNothing) {
    struct Case {
        const char* name;
        bool existing, replace;
        Call failCall;
        int failWith;
        bool ok;
        const char* error; // part of it
    } cases[] = {
        {"new file", false, false, Call::Rename, 0, true, ""},
        {"there, not confirmed", true, false, Call::Rename, 0, false, "nothing was replaced"},
        {"there, confirmed", true, true, Call::Rename, 0, true, ""},
        {"disk full while writing", false, false, Call::Write, ENOSPC, false,
         "No space left on device"},
        {"sync fails", true, true, Call::SyncFile, EIO, false, "Input/output error"},
    };
    for (const Case& c : cases) {
        const std::string path = out + "case.csv";
        QFile::remove(QString::fromStdString(path));
        QFile::remove(QString::fromStdString(series::metadataPathOf(path)));
        if (c.existing) {
            QFile f(QString::fromStdString(path));
            ASSERT_TRUE(f.open(QIODevice::WriteOnly));
            f.write("the operator's own");
        }
        {
            std::lock_guard held(lock);
            failCall = c.failCall;
            failWith = c.failWith;
        }
        UnitSeries work;
        const UnitSeries::Outcome o = exportTo(work, path, c.replace);
        EXPECT_EQ(o.ok, c.ok) << c.name << ": " << o.error;
        EXPECT_NE(o.error.find(c.error), std::string::npos) << c.name << ": " << o.error;
        const std::string now = read(path);
        const std::string kept = c.existing ? "the operator's own" : "(none)";
        EXPECT_EQ(now, c.ok ? expected : kept) << c.name;
        EXPECT_EQ(leftovers(), c.ok         ? QStringList({"case.csv", "case.csv-metadata.json"})
                               : c.existing ? QStringList{"case.csv"}
                                            : QStringList{})
            << c.name;
        EXPECT_EQ(o.text().startsWith("SITE1 was not exported: "), !c.ok) << c.name;
    }
}

// The window's group box: the selected unit's series listed, Open Series hands the chosen one
// to the viewer's start, Export Series... says how it went.
TEST_F(UnitSeriesTest, UnitsWindowListsOpensAndExportsTheSelectedUnitsSeries) {
    const std::string registerPath = folder + "units.sqlite";
    {
        unitreg::UnitRegister reg;
        ASSERT_EQ(reg.open(registerPath).state, unitreg::OpenOutcome::State::Open);
        ASSERT_TRUE(reg.recordVisit({"XRQ1", 1, 1, ""}));
    }
    RegisterWriter& writer = unitRegister();
    ASSERT_NE(writer.open(registerPath).state, unitreg::OpenOutcome::State::Unavailable);
    {
        UnitsWindow window;
        window.FilesFolder = folder;
        std::vector<series::SeriesInfo> started;
        window.StartSeriesViewer = [&](const series::SeriesInfo& info) -> platform::Result<void> {
            started.push_back(info);
            return {};
        };
        window.AskSeriesPath = [&](const QString&, bool& replace) {
            replace = false;
            return QString::fromStdString(out + "window.csv");
        };
        window.show();
        ASSERT_TRUE(testsupport::waitUntil([&] { return window.seriesShown().size() == 3; }));
        EXPECT_EQ(window.SeriesList->item(1)->text(), "SITE1 (set 2): 1 record, 1 segment");
        window.SeriesList->setCurrentRow(1);
        window.ButtonOpenSeries->click();
        ASSERT_EQ(started.size(), 1u);
        EXPECT_EQ(started[0].name, "SITE1");
        EXPECT_EQ(started[0].ordinal, 1);

        window.SeriesList->setCurrentRow(0);
        window.ButtonExportSeries->click();
        EXPECT_FALSE(window.ButtonExportSeries->isEnabled()); // one export at a time
        ASSERT_TRUE(testsupport::waitUntil([&] {
            return window.LabelSeries->text().startsWith("Exported 3 records of SITE1");
        })) << window.LabelSeries->text().toStdString();
        EXPECT_EQ(read(out + "window.csv"), expected);
        EXPECT_TRUE(window.ButtonExportSeries->isEnabled());
    }
    writer.close();
}

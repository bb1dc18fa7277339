// SPDX-License-Identifier: GPL-3.0-or-later
// A unit's series in the viewer: read from the store read only, one plot at the records' UTC
// instants, segment starts and flagged records marked; and what it says when it cannot.
#include "app/viewer_launch.h"
#include "series/series_apply.h"
#include "series/series_store.h"
#include "viewer/data_set_view.h"
#include "viewer/series_reading.h"
#include "viewer/view_command_line.h"
#include "viewer/viewer_window.h"

#include "support/result_assert.h"
#include "support/wait.h"

#include <QAbstractAxis>
#include <QChart>
#include <QFile>
#include <QHeaderView>
#include <QLabel>
#include <QScatterSeries>
#include <QTabWidget>
#include <QTableView>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <algorithm>
#include <sys/stat.h>
#include <tuple>

using namespace viewer;

namespace {

// "26-06-01 08:MM:00, <value>" for the minutes given.
std::vector<std::string> minutes(std::initializer_list<int> at, double value) {
    std::vector<std::string> out;
    for (const int m : at) {
        char line[64];
        std::snprintf(line, sizeof line, "26-06-01 %02d:%02d:00, %.1f", 8 + m / 60, m % 60,
                      value + m);
        out.push_back(line);
    }
    return out;
}

class SeriesView : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        folder = dir.path() + "/";
        series::SeriesStore store;
        ASSERT_TRUE(done(store.open(series::storePath(QFile::encodeName(folder).toStdString()))));
        // The unit's clock was set at 07:00 local, an hour ahead of UTC.
        series::UnitFacts facts;
        facts.clockSets.push_back({1780290000000LL, 3600, "26-06-01 07:00:00"});
        // First visit (09:10 UTC): ten records a minute apart, one repeated time, one gap of
        // two hours.
        take(store, facts, 1780305000000LL, true, minutes({0, 1, 2, 3, 4, 4, 5, 6, 7, 127}, 10));
        // Second visit: the unit holds other records (a new segment), and the download was
        // not called safe (provisional).
        take(store, facts, 1780310000000LL, false, minutes({200, 201, 202}, 50));
        store.close();
        request.filesFolder = folder;
        request.serial = "XRQ1";
        request.name = "SITE1";
    }

    void take(series::SeriesStore& store, const series::UnitFacts& facts, std::int64_t atMs,
              bool safe, const std::vector<std::string>& records, std::string serial = "XRQ1") {
        series::DownloadSets sets;
        sets.sets.push_back({"SITE1", records, true});
        const series::ApplyResult r =
            store.apply({serial, "kept-" + serial + std::to_string(atMs), atMs, safe}, sets, facts);
        ASSERT_TRUE(r.ok) << r.error;
    }

    QTemporaryDir dir;
    QString folder;
    SeriesRequest request;
};

} // namespace

// The set's title lines name the columns; where two visits' differ, both names.
TEST_F(SeriesView, ColumnsAreNamedByTheSetsTitleLines) {
    {
        series::SeriesStore store;
        ASSERT_TRUE(done(store.open(series::storePath(QFile::encodeName(folder).toStdString()))));
        series::UnitFacts facts;
        facts.clearsMs = {1780306000000LL};
        for (const auto& [at, titles, first] :
             {std::tuple{1780305000000LL, "Date Time, Level m", 0},
              std::tuple{1780307000000LL, "Date Time, Depth m", 30}}) {
            series::DownloadSets sets;
            sets.sets.push_back({"SITE1", minutes({first, first + 1}, 1.5), true, titles});
            ASSERT_TRUE(
                store.apply({"XRQ2", "kept-2-" + std::to_string(at), at, true}, sets, facts).ok);
        }
    }
    request.serial = "XRQ2";
    const DataSet set = readSeries(request);
    ASSERT_TRUE(set.error.isEmpty()) << set.error.toStdString();
    EXPECT_EQ(set.rowCount(), 4u);
    ASSERT_EQ(set.columns.size(), 1u);
    EXPECT_EQ(set.title(0), "Level m / Depth m");
}

TEST_F(SeriesView, WholeSeriesAtUtcWithSegmentsAndFlagsMarked) {
    const QString store = folder + "series.sqlite";
    const QFileInfo before(store);
    const DataSet set = readSeries(request);
    ASSERT_TRUE(set.error.isEmpty()) << set.error.toStdString();
    EXPECT_EQ(set.rowCount(), 13u);
    EXPECT_EQ(set.axis, Axis::Time);
    // 08:00 on the unit's clock is 07:00 UTC.
    EXPECT_EQ(isoDateTime(set.x.front()), "2026-06-01T07:00:00");
    EXPECT_EQ(isoDateTime(set.x.back()), "2026-06-01T10:22:00");
    ASSERT_EQ(set.columns.size(), 1u);
    EXPECT_EQ(set.columns[0].values.front(), 10.0);
    EXPECT_EQ(set.marks.segmentStarts.size(), 2u);
    EXPECT_EQ(isoDateTime(set.marks.segmentStarts[1]), "2026-06-01T10:20:00");
    // The repeated time, the gap and the three provisional records.
    EXPECT_EQ(set.marks.flaggedRows, (std::vector<std::size_t>{5, 9, 10, 11, 12}));
    EXPECT_EQ(set.marks.flagsOf(5), "repeated time");
    EXPECT_EQ(set.marks.flagsOf(9), "gap");
    EXPECT_EQ(set.marks.flagsOf(11), "provisional");
    EXPECT_EQ(set.marks.flagsOf(0), "");
    const QString summary = set.summary();
    EXPECT_TRUE(summary.contains("2 segments")) << summary.toStdString();
    EXPECT_TRUE(summary.contains("times in UTC")) << summary.toStdString();
    EXPECT_TRUE(summary.contains("3 flagged provisional")) << summary.toStdString();
    // Read only: the store is as it was.
    EXPECT_EQ(QFileInfo(store).lastModified(), before.lastModified());
    EXPECT_EQ(QFileInfo(store).size(), before.size());

    // The window, as `xrq-view --series XRQ1 SITE1` opens it.
    ViewerWindow w;
    w.show();
    w.openSeries(request);
    ASSERT_TRUE(testsupport::waitUntil([&] { return w.loadsRunning() == 0; }, 60000));
    EXPECT_EQ(w.tabs()->tabText(0), "SITE1 (unit XRQ1)");
    DataSetView* v = w.currentView();
    ASSERT_NE(v, nullptr) << w.statusText().toStdString();
    EXPECT_EQ(v->chartView()->verticalMarks().size(), 2u);
    EXPECT_EQ(set.clock, DataSet::Clock::Utc);
    EXPECT_TRUE(v->chartView()
                    ->chart()
                    ->axes(Qt::Horizontal)
                    .front()
                    ->titleText()
                    .startsWith("Time (UTC)"));
    // Every row of the table has the one fixed height, however the rows came.
    QTableView* table = v->rowTable();
    EXPECT_EQ(table->verticalHeader()->sectionResizeMode(12), QHeaderView::Fixed);
    EXPECT_EQ(table->rowHeight(12), table->fontMetrics().height() + 4);
    ASSERT_NE(v->flaggedSeries(), nullptr);
    EXPECT_EQ(v->flaggedSeries()->count(), 5);
    EXPECT_TRUE(v->valuesAt(set.x[9]).contains("flagged: gap"))
        << v->valuesAt(set.x[9]).toStdString();
    // Zoomed into the first visit: its marks only.
    v->setXRange(set.x[0], set.x[8]);
    v->redraw();
    EXPECT_EQ(v->chartView()->verticalMarks().size(), 1u);
    EXPECT_EQ(v->flaggedSeries()->count(), 1);
    EXPECT_TRUE(w.statusText().contains("2 segments")) << w.statusText().toStdString();
}

// Rows that are not the records one for one (a stamp the reader cannot read, times that run
// backwards and are sorted) still carry their own record's marks and values.
TEST_F(SeriesView, SortedAndUnreadableRecordsKeepTheirMarks) {
    {
        series::SeriesStore store;
        ASSERT_TRUE(done(store.open(series::storePath(QFile::encodeName(folder).toStdString()))));
        series::UnitFacts facts;
        facts.clockSets.push_back({1780290000000LL, 3600, "26-06-01 07:00:00"});
        take(store, facts, 1780300000000LL, true,
             {"26-06-01 08:10:00, 1.0", "26-06-01 08:11:00, 2.0", "no time, 9.9",
              "26-06-01 08:05:00, 3.0", "26-06-01 08:06:00, 4.0"},
             "XRQ2");
    }
    SeriesRequest r = request;
    r.serial = "XRQ2";
    const DataSet set = readSeries(r);
    ASSERT_TRUE(set.error.isEmpty()) << set.error.toStdString();
    ASSERT_EQ(set.rowCount(), 4u);
    EXPECT_EQ(set.skippedRows, 1u);
    const std::vector<double> values{3.0, 4.0, 1.0, 2.0};
    EXPECT_EQ(set.columns[0].values, values);
    EXPECT_EQ(isoDateTime(set.x.front()), "2026-06-01T07:05:00");
    EXPECT_TRUE(std::is_sorted(set.x.begin(), set.x.end()));
    EXPECT_EQ(set.marks.flaggedRows, (std::vector<std::size_t>{0}));
    EXPECT_EQ(set.marks.flagsOf(0), "backwards");
    ASSERT_EQ(set.marks.segmentStarts.size(), 1u);
    EXPECT_EQ(isoDateTime(set.marks.segmentStarts[0]), "2026-06-01T07:10:00");
    EXPECT_TRUE(set.summary().contains("1 flagged backwards")) << set.summary().toStdString();
}

TEST_F(SeriesView, WhatItCannotShowIsSaid) {
    struct Case {
        const char* name;
        std::function<void(SeriesRequest&)> change;
        const char* says;
    } cases[] = {
        {"no store", [&](SeriesRequest& r) { r.filesFolder = folder + "none/"; },
         "No series are kept in"},
        {"no such unit", [](SeriesRequest& r) { r.serial = "XRQ2"; },
         "The unit XRQ2 has no series for the data set SITE1."},
        {"no such set", [](SeriesRequest& r) { r.ordinal = 1; },
         "The unit XRQ1 has no series for the data set SITE1 (set 2)."},
        {"over the budget", [](SeriesRequest&) {}, "The series is too large to view: 13 records"},
    };
    for (const Case& c : cases) {
        SeriesRequest r = request;
        c.change(r);
        ReadLimits limits;
        if (std::string(c.name) == "over the budget")
            limits.memoryBudget = 64;
        const DataSet set = readSeries(r, nullptr, {}, limits);
        EXPECT_TRUE(set.error.startsWith(c.says)) << c.name << ": " << set.error.toStdString();
        EXPECT_EQ(set.rowCount(), 0u) << c.name;
    }
    // A file that is no store is refused, and left as it was.
    QTemporaryDir other;
    QFile junk(other.path() + "/series.sqlite");
    ASSERT_TRUE(junk.open(QIODevice::WriteOnly));
    junk.write("not a store");
    junk.close();
    SeriesRequest r = request;
    r.filesFolder = other.path() + "/";
    EXPECT_TRUE(readSeries(r).error.startsWith("The series cannot be read: "));
    QFile back(other.path() + "/series.sqlite");
    ASSERT_TRUE(back.open(QIODevice::ReadOnly));
    EXPECT_EQ(back.readAll(), "not a store");
}

// What the program writes to start the viewer on a series is what the viewer reads, whatever
// bytes the unit's names hold; a command line it cannot read is refused, not guessed at.
TEST(SeriesCommandLine, WhatTheProgramWritesTheViewerReads) {
    struct Case {
        QByteArray serial, name;
        int ordinal;
    } cases[] = {
        {"XRQ10472", "SITE1", 0},
        {"-XRQ7", "-SITE", 1},
        {"XRQ\xe9", "Sit\xe9 2, north", 2},
    };
    QStringList started;
    viewer_launch::setStarter([&](const QString&, const QStringList& args) {
        started = args;
        return true;
    });
    for (const Case& c : cases) {
        const QStringList args =
            viewer_launch::seriesArguments(c.serial, c.name, c.ordinal, "/data/files");
        const ViewCommandLine line = readViewCommandLine(QStringList{"xrq-view"} + args);
        ASSERT_FALSE(line.refused) << line.text.toStdString();
        EXPECT_TRUE(line.series);
        EXPECT_EQ(line.request.serial, c.serial);
        EXPECT_EQ(line.request.name, c.name);
        EXPECT_EQ(line.request.ordinal, c.ordinal);
        EXPECT_EQ(line.request.filesFolder, "/data/files/");
        if (!viewer_launch::viewerProgram().isEmpty()) {
            EXPECT_TRUE(
                viewer_launch::startSeriesViewer(c.serial, c.name, c.ordinal, "/data/files").ok());
            EXPECT_EQ(started, args);
        }
    }
    viewer_launch::setStarter({});

    const ViewCommandLine files =
        readViewCommandLine({"xrq-view", "--folder", "/d", "--", "a.txt", "-b.txt"});
    EXPECT_FALSE(files.refused);
    EXPECT_FALSE(files.series);
    EXPECT_EQ(files.dataFolder, "/d");
    EXPECT_EQ(files.files, (QStringList{"a.txt", "-b.txt"}));
    const QStringList refused[] = {
        {"xrq-view", "--series", "XRQ1"},
        {"xrq-view", "--series", "XRQ1", "SITE1", "SITE2"},
        {"xrq-view", "--set", "0", "--series", "XRQ1", "SITE1"},
        {"xrq-view", "--set", "two", "--series", "XRQ1", "SITE1"},
        {"xrq-view", "--set", "2", "a.txt"},
        {"xrq-view", "--no-such-option"},
    };
    for (const QStringList& args : refused)
        EXPECT_TRUE(readViewCommandLine(args).refused) << args.join(' ').toStdString();
    EXPECT_TRUE(readViewCommandLine({"xrq-view", "--help"}).help);
}

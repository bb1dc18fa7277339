// SPDX-License-Identifier: GPL-3.0-or-later
// The viewer window offscreen on files written by the program's own conversion, bad files,
// the saved outputs, and the main window's hooks after a download from the simulated unit.
#include "support/program_fixture.h"

#include "app/viewer_launch.h"
#include "download/data_collection.h"
#include "setup/fSetup.h"
#include "tools/sim/data_set.h"
#include "viewer/data_loader.h"
#include "viewer/data_set_view.h"
#include "viewer/stats_model.h"
#include "viewer/viewer_window.h"

#include <QAbstractAxis>
#include <QAbstractItemModel>
#include <QChart>
#include <QCheckBox>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QLegendMarker>
#include <QLineEdit>
#include <QLineSeries>
#include <QListWidget>
#include <QMenu>
#include <QPointer>
#include <QPushButton>
#include <QTabWidget>
#include <QTableView>
#include <QTableWidget>
#include <QValueAxis>

#include <atomic>
#include <condition_variable>
#include <fcntl.h>
#include <fstream>
#include <mutex>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace testsupport;
using viewer::DataSetView;
using viewer::ViewerWindow;

namespace {

// Data files made from the bundled sample the way a download makes them.
std::vector<std::string> writeSampleFiles(const std::string& dir) {
    std::string answer = "F\r\n";
    for (const sim::DataSet& set : sim::sampleDataSets()) {
        answer += "Name: " + set.name + "\r\n";
        for (const auto& r : set.records)
            answer += r + "\r\n";
    }
    answer += ">";
    const std::string intermediate = dir + "_int.txt";
    std::ofstream(intermediate, std::ios::binary) << answer;
    const auto outcome = download::convertIntermediateFile(intermediate, dir);
    EXPECT_EQ(outcome.result, download::ConvertResult::Collected);
    return outcome.files;
}

QStringList qPaths(const std::vector<std::string>& files) {
    QStringList out;
    for (const auto& f : files)
        out.append(QString::fromStdString(f));
    return out;
}

bool waitLoaded(ViewerWindow& w) {
    return waitUntil([&] { return w.loadsRunning() == 0; }, 60000);
}

// Series with a legend entry: one per column drawn.
QStringList legendNames(const DataSetView& v) {
    QCoreApplication::processEvents(); // the legend lays its entries out on the next events
    QStringList names;
    for (QAbstractSeries* s : v.chart()->series())
        for (QLegendMarker* m : v.chart()->legend()->markers(s))
            if (m->isVisible())
                names.append(s->name());
    return names;
}

class Viewer : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(tmp.isValid());
        dir = tmp.path().toStdString() + "/";
    }
    QTemporaryDir tmp;
    std::string dir;
};

TEST_F(Viewer, SampleSetsShowOneSeriesPerNumericColumn) {
    const auto files = writeSampleFiles(dir);
    ASSERT_EQ(files.size(), 3u);
    ViewerWindow w;
    w.resize(1200, 700);
    w.show();
    w.openFiles(qPaths(files));
    ASSERT_TRUE(waitLoaded(w));
    ASSERT_EQ(w.tabs()->count(), 3);
    const auto sets = sim::sampleDataSets();
    for (int i = 0; i < 3; ++i) {
        DataSetView* v = w.viewAt(i);
        ASSERT_NE(v, nullptr) << i;
        EXPECT_EQ(w.tabs()->tabText(i), QString::fromStdString(sets[i].name));
        EXPECT_EQ(v->dataSet().axis, viewer::Axis::Time);
        EXPECT_EQ(legendNames(*v), (QStringList{"Batt V", "Temp C", "Level m", "Cond uS"}));
        // A data file's times are the unit's own clock, and the axis says so.
        const QString clock = v->chartView()->chart()->axes(Qt::Horizontal).front()->titleText();
        EXPECT_TRUE(clock.startsWith("Time (the unit's own clock)")) << clock.toStdString();
        EXPECT_FALSE(clock.contains("UTC")) << clock.toStdString();
        for (int c = 0; c < 4; ++c) {
            ASSERT_NE(v->seriesOf(c), nullptr);
            EXPECT_EQ(v->seriesOf(c)->count(), static_cast<int>(sets[i].records.size()) - 1);
        }
        EXPECT_EQ(v->statsModel()->rowCount(), 4);
        EXPECT_EQ(v->statsModel()->text(0, viewer::StatsModel::Count),
                  QString::number(sets[i].records.size() - 1));
        // The table: time plus each column, one row per record (the title line is none).
        EXPECT_EQ(v->rowTable()->model()->rowCount(), static_cast<int>(sets[i].records.size()) - 1);
        EXPECT_EQ(v->rowTable()->model()->columnCount(), 5);
    }
    EXPECT_TRUE(w.ActionSavePicture->isEnabled());
}

TEST_F(Viewer, ColumnChoiceAxesAndZoom) {
    const auto files = writeSampleFiles(dir);
    ViewerWindow w;
    w.resize(1200, 700);
    w.show();
    w.openFiles(qPaths({files[0]}));
    ASSERT_TRUE(waitLoaded(w));
    DataSetView* v = w.currentView();
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->chart()->axes(Qt::Vertical).size(), 4);
    v->setSeparateAxes(false);
    EXPECT_EQ(v->chart()->axes(Qt::Vertical).size(), 1);
    v->setColumnShown(3, false);
    EXPECT_EQ(legendNames(*v), (QStringList{"Batt V", "Temp C", "Level m"}));
    // Shared axis spans the columns drawn, not the hidden one.
    auto* y = qobject_cast<QValueAxis*>(v->chart()->axes(Qt::Vertical).front());
    ASSERT_NE(y, nullptr);
    EXPECT_LT(y->max(), 100.0);
    EXPECT_GE(y->min(), 0.0);

    // Zoomed into rows 3..6: those points and one neighbour on each side.
    const auto& x = v->dataSet().x;
    v->setXRange(x[3], x[6]);
    v->redraw();
    EXPECT_EQ(v->seriesOf(0)->count(), 6);
    EXPECT_TRUE(v->valuesAt(x[4] + 1).startsWith("2026-05-11 09:00:00"));
    EXPECT_TRUE(v->valuesAt(x[4]).contains("Temp C: 12.8"));
    v->resetZoom();
    EXPECT_EQ(v->xMin(), x.front());
    EXPECT_EQ(v->xMax(), x.back());
}

TEST_F(Viewer, GapsSplitTheLineButNotTheLegend) {
    std::ofstream(dir + "gaps.txt", std::ios::binary)
        << "Name: G\r\nDate     Time    , A, B\r\n"
           "26-05-11 08:00:00, 1, 5\r\n26-05-11 08:10:00, 2, 6\r\n26-05-11 08:20:00, 3, x\r\n"
           "26-05-11 08:30:00, 4, 7\r\n26-05-11 12:00:00, 5, 8\r\n26-05-11 12:10:00, 6, 9\r\n";
    ViewerWindow w;
    w.resize(1000, 600);
    w.show();
    w.openFiles({QString::fromStdString(dir + "gaps.txt")});
    ASSERT_TRUE(waitLoaded(w));
    DataSetView* v = w.currentView();
    ASSERT_NE(v, nullptr);
    // A: one outage in time; B: the outage and a cell that is no number.
    EXPECT_EQ(v->chart()->series().size(), 2 + 3);
    EXPECT_EQ(legendNames(*v), (QStringList{"A", "B"}));
    EXPECT_EQ(v->seriesOf(0)->count(), 4);
    v->resetZoom();
    v->redraw();
    EXPECT_EQ(legendNames(*v), (QStringList{"A", "B"}));
}

TEST_F(Viewer, BadFilesGetATabThatSaysWhy) {
    QFile(QString::fromStdString(dir + "empty.txt")).open(QIODevice::WriteOnly);
    std::ofstream(dir + "binary.txt", std::ios::binary) << std::string("\x7f"
                                                                       "ELF\0\0\x01",
                                                                       7);
    ViewerWindow w;
    w.show();
    w.openFiles({QString::fromStdString(dir + "empty.txt"),
                 QString::fromStdString(dir + "binary.txt"),
                 QString::fromStdString(dir + "missing.txt")});
    ASSERT_TRUE(waitLoaded(w));
    ASSERT_EQ(w.tabs()->count(), 3);
    const QStringList expected = {"empty.txt: The file is empty.",
                                  "binary.txt: The file holds binary data, not a data file.",
                                  "missing.txt: The file does not exist."};
    for (int i = 0; i < 3; ++i) {
        auto* note = w.tabs()->widget(i)->findChild<QLabel*>("loadError");
        ASSERT_NE(note, nullptr) << i;
        EXPECT_EQ(note->text(), expected[i]);
        EXPECT_EQ(w.viewAt(i), nullptr);
    }
    EXPECT_FALSE(w.ActionExportCsv->isEnabled());
}

TEST_F(Viewer, PictureAndCsvAreWrittenWholeOrNotAtAll) {
    const auto files = writeSampleFiles(dir);
    ViewerWindow w;
    w.resize(1000, 600);
    w.show();
    w.openFiles(qPaths({files[1]}));
    ASSERT_TRUE(waitLoaded(w));
    DataSetView* v = w.currentView();
    ASSERT_NE(v, nullptr);
    QString error;
    const QString png = QString::fromStdString(dir + "plot.png");
    ASSERT_TRUE(v->savePicture(png, error)) << error.toStdString();
    QImage image;
    ASSERT_TRUE(image.load(png, "PNG"));
    EXPECT_GT(image.width(), 100);

    const QString csv = QString::fromStdString(dir + "out.csv");
    ASSERT_TRUE(v->exportCsv(csv, error));
    const std::string text = readFile(csv.toStdString());
    EXPECT_EQ(text.substr(0, text.find('\n')), "Time,Batt V,Temp C,Level m,Cond uS");
    EXPECT_NE(text.find("\n2026-05-12T14:00:00,12.58,16.03,2.205,388.0\n"), std::string::npos);

    EXPECT_FALSE(v->exportCsv(QString::fromStdString(dir + "no/such/folder/out.csv"), error));
    EXPECT_FALSE(error.isEmpty());
}

TEST_F(Viewer, LoaderDroppedMidWayNeverReports) {
    const auto big = sim::generateDataSets(1, 200000);
    std::string text = "Name: BIG\r\n";
    for (const auto& r : big[0].records)
        text += r + "\r\n";
    std::ofstream(dir + "big.txt", std::ios::binary) << text;
    int reports = 0;
    {
        viewer::DataLoader loader;
        QObject::connect(&loader, &viewer::DataLoader::loaded, [&] { ++reports; });
        QObject::connect(&loader, &viewer::DataLoader::progress, [&] { ++reports; });
        loader.start(QString::fromStdString(dir + "big.txt"));
    } // cancelled and let go here: nothing it finds is delivered
    QCoreApplication::processEvents();
    EXPECT_EQ(reports, 0);

    viewer::DataLoader loader;
    std::shared_ptr<const viewer::DataSet> got;
    int lastPercent = -1;
    QObject::connect(&loader, &viewer::DataLoader::loaded,
                     [&](std::shared_ptr<viewer::DataSet> s) { got = s; });
    QObject::connect(&loader, &viewer::DataLoader::progress, [&](int p) { lastPercent = p; });
    loader.start(QString::fromStdString(dir + "big.txt"));
    ASSERT_TRUE(waitUntil([&] { return got != nullptr; }, 60000));
    EXPECT_EQ(got->rowCount(), 200000u);
    EXPECT_EQ(got->numericColumnCount(), 4);
    EXPECT_GE(lastPercent, 20);
}

// A reading stuck in the kernel (a FIFO that never delivers) holds up neither closing its tab
// nor closing the window: the reading thread is let go, and what it finds later is dropped.
TEST_F(Viewer, ClosingNeverWaitsForAStuckRead) {
    const std::string fifo = dir + "stuck";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    // Held open for writing (read-write does not block on a FIFO), so that the reading's own
    // open returns and its read waits for bytes that only the test can send.
    const int writer = ::open(fifo.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(writer, 0);
    struct Probe {
        std::atomic<int> blocked{0}, returned{0}, gone{0};
    };
    auto probe = std::make_shared<Probe>();
    // Counts the readings' closures gone: the reading threads have ended.
    struct Gone {
        explicit Gone(std::shared_ptr<Probe> p) : probe(std::move(p)) {}
        std::shared_ptr<Probe> probe;
        ~Gone() {
            ++probe->gone;
            wakeWaiters();
        }
    };
    auto gone = std::make_shared<Gone>(probe);
    viewer::DataLoader::Reading stuck = [probe, gone, fifo](const std::atomic<bool>&,
                                                            const viewer::ProgressFn&) {
        const int fd = ::open(fifo.c_str(), O_RDONLY | O_CLOEXEC);
        ++probe->blocked;
        wakeWaiters();
        char byte = 0;
        const auto n = fd >= 0 ? ::read(fd, &byte, 1) : -1;
        if (fd >= 0)
            ::close(fd);
        ++probe->returned;
        viewer::DataSet set;
        set.error = n > 0 ? QStringLiteral("late") : QStringLiteral("closed");
        return set;
    };
    gone.reset();

    // Should closing wait for the reading, the watchdog frees it after a deadline, and the
    // test fails instead of hanging.
    std::mutex lock;
    std::condition_variable changed;
    bool closed = false, fired = false;
    std::thread watchdog([&] {
        std::unique_lock held(lock);
        if (!changed.wait_for(held, std::chrono::seconds(15), [&] { return closed; })) {
            fired = true;
            const char bytes[2] = {'x', 'x'};
            [[maybe_unused]] const auto n = ::write(writer, bytes, 2);
        }
    });

    auto* w = new ViewerWindow;
    w->show();
    w->openReading("stuck 1", "stuck 1", stuck);
    w->openReading("stuck 2", "stuck 2", std::move(stuck));
    ASSERT_TRUE(waitUntil([&] { return probe->blocked == 2; }));
    EXPECT_EQ(w->loadsRunning(), 2);
    w->ActionCloseTab->trigger();
    EXPECT_EQ(w->loadsRunning(), 1);
    EXPECT_EQ(w->tabs()->count(), 1);
    delete w; // the window closing with a reading still stuck
    {
        std::lock_guard held(lock);
        closed = true;
    }
    changed.notify_all();
    watchdog.join();
    EXPECT_FALSE(fired) << "closing waited for a stuck read";
    EXPECT_EQ(probe->returned, fired ? 2 : 0);

    // Freed now, the readings end on their own and deliver nothing.
    const char bytes[2] = {'x', 'x'};
    if (!fired) {
        ASSERT_EQ(::write(writer, bytes, 2), 2);
    }
    ASSERT_TRUE(waitUntil([&] { return probe->gone == 1; }));
    QCoreApplication::processEvents();
    EXPECT_EQ(probe->returned, 2);
    ::close(writer);
}

// The main window: Tools > "View Data..." and, after a download, the status bar's "View".
class ViewerHooks : public ProgramFixture {};

TEST_F(ViewerHooks, ViewAfterDownloadOpensTheThreeSetsPlotted) {
    EXPECT_TRUE(FormXRQMain->MenuTools->actions().contains(FormXRQMain->ActionViewData));
    EXPECT_EQ(FormXRQMain->ActionViewData->text(), "&View Data...");
    EXPECT_FALSE(FormXRQMain->ButtonView->isVisible());

    connectSampleUnit();
    FormSetup->EditDataDirectory->setText(QString::fromStdString(dataDir));
    FormXRQMain->ActionCollectExecute(nullptr);
    ASSERT_TRUE(FormXRQMain->ButtonView->isVisible());
    ASSERT_EQ(FormXRQMain->LastDownload.files.size(), 3u);

    // The viewer starts as a program of its own, found beside this one, with the files.
    QString program;
    QStringList args;
    viewer_launch::setStarter([&](const QString& p, const QStringList& a) {
        program = p;
        args = a;
        return true;
    });
    FormXRQMain->ButtonView->click();
    viewer_launch::setStarter({});
    EXPECT_EQ(program, QString::fromLatin1(XRQ_BIN_DIR) + "/xrq-view");
    ASSERT_EQ(args.size(), 3 + 3);
    EXPECT_EQ(args.mid(0, 3), (QStringList{"--folder", QString::fromStdString(dataDir), "--"}));
    EXPECT_EQ(args.mid(3), qPaths(FormXRQMain->LastDownload.files));
    EXPECT_TRUE(FormXRQMain->findChildren<ViewerWindow*>().isEmpty());
}

} // namespace

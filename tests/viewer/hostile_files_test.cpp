// SPDX-License-Identifier: GPL-3.0-or-later
// The reader on hostile and foreign files (wide, huge lines, sparse, FIFO, values no plot
// can hold, the date layouts other units write), and the viewer window staying idle.
#include "viewer/column_list_model.h"
#include "viewer/data_set_view.h"
#include "viewer/viewer_window.h"
#include "viewer_reader/data_file.h"

#include "support/wait.h"

#include <QChartView>
#include <QFile>
#include <QGraphicsTextItem>
#include <QScreen>
#include <QTemporaryDir>
#include <QTimer>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace viewer;

namespace {

QString writeFile(const QTemporaryDir& dir, const QString& name, const QByteArray& bytes) {
    QFile f(dir.filePath(name));
    EXPECT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(bytes);
    return f.fileName();
}

QByteArray wideFile(int columns, int rows) {
    QByteArray out;
    for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < columns; ++c)
            out += (c ? "," : "") + QByteArray::number(r + c % 7);
        out += "\r\n";
    }
    return out;
}

} // namespace

TEST(HostileFiles, DateLayoutsOfOtherUnits) {
    struct Case {
        const char* first;
        const char* second;
        const char* iso; // the first row's time
        DateOrder order;
        bool open;
    } cases[] = {
        {"26-05-11 08:00:00", "26-05-11 08:15:00", "2026-05-11T08:00:00", DateOrder::YMD, false},
        {"26/12/01 10:00:00", "26/12/01 11:00:00", "2026-12-01T10:00:00", DateOrder::YMD, true},
        {"26/12/01 10:00", "26/12/02 10:00", "2026-12-01T10:00:00", DateOrder::YMD, true},
        {"13/05/2026 10:00", "14/05/2026 10:00", "2026-05-13T10:00:00", DateOrder::DMY, false},
        {"05/13/2026 10:00", "05/14/2026 10:00", "2026-05-13T10:00:00", DateOrder::MDY, false},
        {"13/05/26 10:00", "14/05/26 10:00", "2013-05-26T10:00:00", DateOrder::YMD, true},
        {"11.05.2026 08:00:00", "11.05.2026 08:01:00", "2026-05-11T08:00:00", DateOrder::DMY,
         false},
        {"2026-05-11T08:00:00", "2026-05-11T08:00:30", "2026-05-11T08:00:00", DateOrder::YMD,
         false},
        {"2026-05-11 08:00", "2026-05-11 08:10", "2026-05-11T08:00:00", DateOrder::YMD, false},
        {"2026/05/11T08:00:00Z", "2026/05/11T09:00:00Z", "2026-05-11T08:00:00", DateOrder::YMD,
         false},
    };
    for (const Case& c : cases) {
        const QByteArray text = QByteArray(c.first) + ", 1\r\n" + c.second + ", 2\r\n";
        const DataSet set = parseDataFile(text);
        ASSERT_TRUE(set.error.isEmpty()) << c.first;
        EXPECT_EQ(set.axis, Axis::Time) << c.first;
        ASSERT_EQ(set.rowCount(), 2u) << c.first;
        EXPECT_EQ(isoDateTime(set.x[0]), c.iso) << c.first;
        EXPECT_EQ(set.dateOrder, c.order) << c.first;
        EXPECT_EQ(set.dateOrderOpen(), c.open) << c.first;
    }
    // The data decides where one reading runs evenly and the other jumps by years.
    QByteArray hourly;
    for (int day = 1; day <= 3; ++day)
        for (int h = 0; h < 24; h += 6)
            hourly += QString::asprintf("26/12/%02d %02d:00:00, %d\r\n", day, h, h).toLatin1();
    const DataSet decided = parseDataFile(hourly);
    EXPECT_EQ(decided.dateOrder, DateOrder::YMD);
    EXPECT_FALSE(decided.dateOrderOpen());
    EXPECT_TRUE(decided.summary().contains("dates read as year/month/day"));

    // Left open, the operator's choice re-reads and re-sorts the rows.
    DataSet open = parseDataFile("01/02/26 10:00, 1\r\n02/01/26 10:00, 2\r\n");
    ASSERT_TRUE(open.dateOrderOpen());
    EXPECT_EQ(open.otherOrders, std::vector<DateOrder>{DateOrder::MDY});
    chooseDateOrder(open, DateOrder::MDY);
    EXPECT_FALSE(open.dateOrderOpen());
    EXPECT_EQ(isoDateTime(open.x[0]), "2026-01-02T10:00:00");
    EXPECT_EQ(open.columns[0].values, (std::vector<double>{1, 2}));
    chooseDateOrder(open, DateOrder::DMY); // closed: no effect
    EXPECT_EQ(open.dateOrder, DateOrder::MDY);
}

TEST(HostileFiles, ValuesNoPlotCanHoldAreCountedAndSortingIsSaid) {
    const DataSet set = parseDataFile("26-05-11 08:10:00, 1e308, 1\r\n"
                                      "26-05-11 08:00:00, -1e308, nan\r\n"
                                      "26-05-11 08:00:00, inf, 1e999\r\n"
                                      "26-05-11 08:20:00, -Infinity, 4\r\n");
    ASSERT_TRUE(set.error.isEmpty());
    EXPECT_EQ(set.unplottable, 6u);
    EXPECT_FALSE(set.columns[0].numeric); // nothing in it can be drawn
    EXPECT_TRUE(set.columns[1].numeric);
    // Repeated times keep the file's order.
    EXPECT_EQ(set.rowCells(0)[1], "-1e308");
    EXPECT_EQ(set.rowCells(1)[1], "inf");
    EXPECT_EQ(set.rowsOutOfOrder, 1u);
    EXPECT_EQ(set.summary(), "4 rows; 6 values could not be plotted; sorted into time order "
                             "(1 row was out of order)");
}

TEST(HostileFiles, WideLongSparseAndSpecialFilesStayBounded) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    for (const int columns : {1000, 100000}) {
        const DataSet set = loadDataFile(writeFile(dir, "wide.txt", wideFile(columns, 3)));
        ASSERT_TRUE(set.error.isEmpty()) << columns;
        EXPECT_EQ(set.columns.size(), static_cast<std::size_t>(columns));
        EXPECT_EQ(set.numericColumnCount(), columns);
        EXPECT_EQ(ColumnListModel(std::make_shared<DataSet>(set)).shownCount(),
                  ColumnListModel::kMaxShown);
        EXPECT_EQ(set.rowCells(2).size(), columns);
    }
    // A line past the cell bound, and one past the byte bound, are cut and counted.
    ReadLimits small;
    small.maxCells = 5000;
    small.maxLineBytes = 1 << 20;
    const QByteArray lines =
        "1, 2\r\n" + wideFile(20000, 1) + QByteArray(3 << 20, '7') + "\r\n3, 4\r\n";
    const DataSet cut = loadDataFile(writeFile(dir, "long.txt", lines), nullptr, {}, small);
    ASSERT_TRUE(cut.error.isEmpty()) << cut.error.toStdString();
    EXPECT_EQ(cut.rowCount(), 2u);
    EXPECT_EQ(cut.skippedRows, 2u);
    EXPECT_EQ(cut.skippedLines, (std::vector<std::size_t>{2, 3}));
    EXPECT_EQ(cut.columns[1].values, (std::vector<double>{2, 4}));

    // Too many values for the memory share: refused before reading on.
    ReadLimits tight;
    tight.memoryBudget = 1 << 20;
    const DataSet big =
        loadDataFile(writeFile(dir, "big.txt", wideFile(1000, 300)), nullptr, {}, tight);
    EXPECT_TRUE(big.error.startsWith("The file is too large to view: 3"))
        << big.error.toStdString();
    EXPECT_TRUE(big.error.endsWith(" rows x 1000 columns would need 0.003 GB"))
        << big.error.toStdString();

    // A sparse file of 2 GB of nothing is seen as binary at its start.
    const QString sparse = dir.filePath("sparse.txt");
    const int fd = ::open(QFile::encodeName(sparse).constData(), O_CREAT | O_WRONLY, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, 2LL << 30), 0);
    ::close(fd);
    EXPECT_EQ(loadDataFile(sparse).error, "The file holds binary data, not a data file.");

    const QString fifo = dir.filePath("pipe");
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    EXPECT_EQ(loadDataFile(fifo).error, "This is not a regular file.");
}

// The budget is counted for every row before it is stored: a title line of a million cells
// makes every row cost a million values, however short its line. The file's start promises
// few rows (its first rows are tens of megabytes long); the rest are short.
TEST(HostileFiles, MillionCellTitleLineCannotOvershootTheBudget) {
    QByteArray titles;
    titles.reserve(8 << 20);
    for (int c = 0; c < 1000000; ++c)
        titles += (c ? ",c" : "c") + QByteArray::number(c);
    titles += "\r\n";
    const QByteArray longRow = "1," + QByteArray(22 << 20, 'x') + "\r\n";
    const QByteArray wideRow = "1," + QByteArray(60000, ',') + "\r\n"; // long, yet < 64 kB
    struct Case {
        const char* name;
        QByteArray rows;
    } cases[] = {
        {"long rows, then short ones",
         longRow + longRow + longRow + QByteArray("2,3\r\n").repeated(100)},
        {"long rows, then wide ones", longRow + longRow + longRow + wideRow.repeated(40)},
        {"wide rows only", wideRow.repeated(400)},
    };
    ReadLimits limits;
    limits.memoryBudget = std::uint64_t{256} << 20;
    for (const Case& c : cases) {
        const DataSet set = parseDataFile(titles + c.rows, "titles.txt", nullptr, {}, limits);
        EXPECT_TRUE(set.error.startsWith("The file is too large to view: "))
            << c.name << ": " << set.error.toStdString();
        EXPECT_TRUE(set.error.contains(" x 1000000 columns")) << c.name;
        EXPECT_EQ(set.rowCount(), 0u) << c.name;
        EXPECT_LE(set.accountedPeak, limits.memoryBudget) << c.name;
    }
    // The same rows under a budget that holds them are all read.
    limits.memoryBudget = std::uint64_t{4} << 30;
    const DataSet whole =
        parseDataFile(titles + wideRow.repeated(20), "titles.txt", nullptr, {}, limits);
    ASSERT_TRUE(whole.error.isEmpty()) << whole.error.toStdString();
    EXPECT_EQ(whole.rowCount(), 20u);
    EXPECT_GT(whole.accountedPeak, std::uint64_t{20} * 8000000);
    EXPECT_LE(whole.accountedPeak, limits.memoryBudget);
}

TEST(ViewerIdle, NothingRunsOnceThePlotHasSettled) {
    QTemporaryDir dir;
    QByteArray text = "Name: IDLE\r\nDate     Time    , Batt V, Temp C\r\n";
    for (int i = 0; i < 500; ++i)
        text += QString::asprintf("26-05-%02d %02d:%02d:00, %.2f, %.3f\r\n", 1 + i / 24 / 60,
                                  i / 60 % 24, i % 60, 12.0 + i * 0.001, 1e-4 * i)
                    .toLatin1();
    ViewerWindow w;
    w.fitInto(QRect(0, 0, 1024, 600));
    w.show();
    w.openFiles({writeFile(dir, "idle.txt", text)});
    ASSERT_TRUE(testsupport::waitUntil([&] { return w.loadsRunning() == 0; }, 60000));
    DataSetView* v = w.currentView();
    ASSERT_NE(v, nullptr);
    EXPECT_TRUE(w.screen()->availableGeometry().contains(w.frameGeometry()));

    // Let the first paint settle, then watch the event loop for a while.
    QEventLoop settle;
    QTimer::singleShot(500, &settle, &QEventLoop::quit);
    settle.exec();
    struct PaintCounter : QObject {
        int paints = 0;
        bool eventFilter(QObject*, QEvent* e) override {
            paints += e->type() == QEvent::Paint;
            return false;
        }
    } counter;
    v->chartView()->viewport()->installEventFilter(&counter);
    const int redraws = v->redrawCount();
    QEventLoop idle;
    QTimer::singleShot(1500, &idle, &QEventLoop::quit);
    idle.exec();
    EXPECT_EQ(v->redrawCount(), redraws);
    EXPECT_EQ(counter.paints, 0);
    for (QTimer* t : w.findChildren<QTimer*>())
        EXPECT_FALSE(t->isActive()) << t->objectName().toStdString();

    // No tick label cut short.
    for (QGraphicsItem* item : v->chartView()->scene()->items())
        if (auto* label = dynamic_cast<QGraphicsTextItem*>(item)) {
            const QString shown = label->toPlainText();
            EXPECT_FALSE(shown.contains(QChar(0x2026)) || shown.contains("..."))
                << shown.toStdString();
        }

    // Saving says where.
    const QString png = dir.filePath("plot.png");
    ASSERT_TRUE(w.savePictureTo(png));
    EXPECT_EQ(w.statusText(), "Picture saved to " + png);
    ASSERT_TRUE(w.exportCsvTo(dir.filePath("out.csv")));
    EXPECT_EQ(w.statusText(), "500 rows exported to " + dir.filePath("out.csv"));
}

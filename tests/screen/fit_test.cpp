// SPDX-License-Identifier: GPL-3.0-or-later
// Where a window goes on a small screen, how a status line is laid out in its room, and what
// the progress of a download says, without the program's windows.
#include "download/data_collection.h"
#include "download/download_progress.h"
#include "tools/sim/unit_model.h"
#include "widgets/status_panel.h"
#include "window_fit/window_fit.h"

#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QFileInfo>
#include <QScreen>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <fstream>
#include <random>

namespace {

TEST(FitFrame, WindowsComeInsideTheAvailableAreaShrunkButNotBelowTheirMinimum) {
    const QRect small(0, 0, 1024, 600);
    const QRect panelled(0, 24, 1366, 744); // a top panel of 24 pixels
    struct Case {
        const char* what;
        QRect frame, available;
        QSize minimum;
        QRect expected;
    };
    const Case cases[] = {
        {"fits: unchanged", {100, 50, 443, 500}, small, {}, {100, 50, 443, 500}},
        // The main window centred at 1024x600: its title bar was above the screen.
        {"taller than the screen", {290, -37, 443, 675}, small, {}, {290, 0, 443, 600}},
        {"sticks out right and below", {900, 500, 300, 200}, small, {}, {724, 400, 300, 200}},
        {"left of and above the screen", {-50, -20, 300, 200}, small, {}, {0, 0, 300, 200}},
        {"wider and taller", {-10, -10, 1240, 735}, small, {}, {0, 0, 1024, 600}},
        {"under a panel", {10, 0, 400, 300}, panelled, {}, {10, 24, 400, 300}},
        {"taller than the area under a panel", {10, 0, 400, 800}, panelled, {}, {10, 24, 400, 744}},
        // Cannot shrink further: the title bar and left edge stay reachable.
        {"minimum larger than the screen",
         {200, 100, 900, 700},
         small,
         {900, 650},
         {124, 0, 900, 650}},
        {"second screen to the right",
         {2000, 100, 500, 400},
         QRect(1366, 0, 1024, 600),
         {},
         {1890, 100, 500, 400}},
        {"no screen known", {5, 5, 50, 50}, QRect(), {}, {5, 5, 50, 50}},
    };
    for (const Case& c : cases) {
        const QRect got = window_fit::fitFrame(c.frame, c.available, c.minimum);
        EXPECT_EQ(got, c.expected) << c.what;
        if (c.available.isValid() && c.minimum.height() <= c.available.height() &&
            c.minimum.width() <= c.available.width()) {
            EXPECT_TRUE(c.available.contains(got)) << c.what;
        }
    }
}

TEST(FitClient, TheWholeFrameTitleBarIncludedComesInsideTheArea) {
    const QRect tablet(0, 0, 1024, 600);
    const QRect desktop(0, 0, 1920, 1080);
    const QRect panelled(0, 24, 1366, 744); // a top panel of 24 pixels
    const QMargins none;
    const QMargins openbox(1, 20, 1, 5); // left, title bar, right, bottom
    const QMargins thick(4, 30, 4, 4);
    struct Case {
        const char* what;
        QRect client;
        QMargins frame;
        QRect available;
        QSize minimum;
        QRect expected;
    };
    const Case cases[] = {
        {"fits with its frame: unchanged",
         {100, 50, 400, 300},
         openbox,
         tablet,
         {},
         {100, 50, 400, 300}},
        // The terminal placed by its client area at the top edge: its title bar was above.
        {"client at the top edge: the title bar comes down",
         {217, 0, 585, 563},
         openbox,
         tablet,
         {},
         {217, 20, 585, 563}},
        {"the same without a window manager: unchanged",
         {217, 0, 585, 563},
         none,
         tablet,
         {},
         {217, 0, 585, 563}},
        {"as tall as the screen: shrunk by the frame",
         {290, 0, 435, 600},
         openbox,
         tablet,
         {},
         {290, 20, 435, 575}},
        {"wider and taller than a tablet",
         {0, 0, 1240, 735},
         thick,
         tablet,
         {},
         {4, 30, 1016, 566}},
        {"a desktop's right and bottom edges",
         {1800, 1000, 300, 200},
         openbox,
         desktop,
         {},
         {1619, 875, 300, 200}},
        {"the whole desktop asked for",
         {0, 0, 1920, 1080},
         thick,
         desktop,
         {},
         {4, 30, 1912, 1046}},
        {"under a panel", {10, 10, 400, 300}, openbox, panelled, {}, {10, 44, 400, 300}},
        // Cannot shrink further: the title bar and the left edge stay in the area.
        {"minimum larger than the screen",
         {200, 100, 900, 700},
         openbox,
         tablet,
         {900, 650},
         {123, 20, 900, 650}},
    };
    for (const Case& c : cases) {
        const QRect got = window_fit::fitClient(c.client, c.frame, c.available, c.minimum);
        EXPECT_EQ(got, c.expected) << c.what;
        const QRect frame = got.marginsAdded(c.frame);
        if (c.minimum.height() + c.frame.top() + c.frame.bottom() <= c.available.height()) {
            EXPECT_TRUE(c.available.contains(frame)) << c.what;
        } else {
            EXPECT_TRUE(c.available.contains(frame.topLeft())) << c.what << ": title bar";
        }
    }
}

// While a box is framed the window system may report it at a passing place (the screen's
// corner); fitted there it stayed there, away from the window it speaks of.
TEST(FitToScreen, ABoxLeftToPlaceItselfIsFittedCentredOverItsWindowAndAPlacedOneWhereItIs) {
    const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
    QWidget owner;
    owner.setGeometry(area.x() + 300, area.y() + 200, 400, 300);
    owner.show();
    auto passing = [](QWidget& w, const QRect& place, bool placedByProgram) {
        w.setGeometry(place);
        w.setAttribute(Qt::WA_Moved, placedByProgram);
    };
    QDialog box(&owner);
    passing(box, QRect(area.x() - 50, area.y() - 40, 200, 100), false);
    window_fit::fitToScreen(&box);
    EXPECT_EQ(box.geometry().center(), owner.geometry().center());

    // Over a window at the screen's edge: centred, then pulled inside.
    owner.setGeometry(area.right() - 150, area.y() + 200, 150, 300);
    passing(box, QRect(area.x() - 50, area.y() - 40, 200, 100), false);
    window_fit::fitToScreen(&box);
    EXPECT_EQ(box.geometry().right(), area.right());
    EXPECT_EQ(box.geometry().center().y(), owner.geometry().center().y());

    // Placed by the program: moved only as far as the screen asks.
    passing(box, QRect(area.x() - 50, area.y() - 40, 200, 100), true);
    window_fit::fitToScreen(&box);
    EXPECT_EQ(box.geometry().topLeft(), area.topLeft());
}

TEST(FitLines, TextsWrapIntoTheirLinesAndTheRestIsShortenedInTheMiddle) {
    const QFont font = QApplication::font();
    const QFontMetrics fm(font);
    const QString path = QStringLiteral(
        "/home/operator/.local/share/Quorvant/XRQ/work/some/deeper/folder/_$XRQInt.txt");
    const QString interrupted =
        "Download stopped by the operator. Received 1.25 MB in 40.0 s; kept in " + path;
    struct Case {
        const char* what;
        QString text;
        int width;
        int maxLines;
        bool shortened;
    };
    const Case cases[] = {
        {"short", "Receiving", 400, 2, false},
        {"wraps into two", interrupted, fm.horizontalAdvance(interrupted) / 2 + 40, 2, false},
        {"too long for two", interrupted, fm.horizontalAdvance(interrupted) / 3, 2, true},
        {"explicit lines", "Data set 2: SITE2, 10 records\n1.2 kB in 1.0 s", 400, 2, false},
        {"more lines than room, but short: the last ones share a line", "a\nb\nc", 400, 2, false},
        {"more lines than room, too long to share", "a\n" + QString("b").repeated(200) + "\nc", 400,
         2, true},
        {"a path without blanks breaks anywhere", path, fm.horizontalAdvance(path) / 2 + 20, 3,
         false},
    };
    for (const Case& c : cases) {
        bool cut = false;
        const QStringList lines = fitLines(c.text, font, c.width, c.maxLines, &cut);
        EXPECT_EQ(cut, c.shortened) << c.what;
        EXPECT_LE(lines.size(), c.maxLines) << c.what;
        for (const QString& line : lines)
            EXPECT_LE(fm.horizontalAdvance(line), c.width) << c.what << ": " << line.toStdString();
        if (!cut) {
            // Nothing lost: the lines are the text (less the blanks at their breaks).
            QString joined = lines.join(QString());
            QString plain = c.text;
            EXPECT_EQ(joined.remove(' ').remove('\n'), plain.remove(' ').remove('\n')) << c.what;
        } else {
            EXPECT_TRUE(lines.back().contains(QChar(0x2026))) << c.what; // the ellipsis
        }
    }
    // The end of a shortened path (the file's name) stays in sight.
    const QStringList lines = fitLines(interrupted, font, fm.horizontalAdvance(interrupted) / 3, 2);
    EXPECT_TRUE(lines.back().endsWith("_$XRQInt.txt")) << lines.back().toStdString();
}

TEST(FitLabel, AShortenedTextIsWholeInTheTooltipAndToldOnce) {
    QWidget window;
    auto* label = new FitLabel(2, &window);
    QStringList told;
    QObject::connect(label, &FitLabel::shortened, [&](const QString& t) { told << t; });
    window.resize(200, 100);
    label->setGeometry(0, 0, 200, 60);
    window.show();
    const QString longText = QString("word ").repeated(80);
    label->setFullText(longText);
    EXPECT_TRUE(label->isShortened());
    EXPECT_EQ(label->toolTip(), longText);
    EXPECT_EQ(label->shownLines().size(), 2);
    label->resize(190, 60);
    EXPECT_EQ(told, QStringList{longText}); // once, not at every resize

    label->setFullText("short");
    EXPECT_FALSE(label->isShortened());
    EXPECT_TRUE(label->toolTip().isEmpty());
    label->setFullText({});
    EXPECT_TRUE(label->isHidden());
}

// The bytes a simulated unit sends for "F", as a recorded download.
std::string recordedDownload(const std::vector<sim::DataSet>& sets) {
    sim::SimOptions options;
    options.dataSets = sets;
    sim::UnitModel unit(options);
    const sim::Reply reply = unit.receive('F');
    std::string bytes = "F" + reply.text;
    if (reply.download)
        for (std::string piece; !(piece = reply.download->read(4096)).empty();)
            bytes += piece;
    return bytes;
}

TEST(DownloadProgressModel, CountsSetsAndRecordsOfARecordedDownloadInAnyChunking) {
    auto sets = sim::generateDataSets(3, 40);
    sets[1].records.resize(7);
    sets[2].name = "Ridge \"North\" 2";
    const std::string bytes = recordedDownload(sets);
    std::mt19937 random(7);
    for (const std::size_t chunk : {std::size_t(1), std::size_t(3), std::size_t(0), bytes.size()}) {
        download::DownloadProgressModel model;
        for (std::size_t at = 0; at < bytes.size();) {
            const std::size_t n = chunk ? chunk : 1 + random() % 300;
            model.feed(std::string_view(bytes).substr(at, n));
            at += n;
        }
        ASSERT_EQ(model.sets().size(), 3u) << chunk;
        for (std::size_t i = 0; i < sets.size(); ++i) {
            EXPECT_EQ(model.sets()[i].name, sets[i].name) << chunk;
            EXPECT_EQ(model.sets()[i].records, sets[i].records.size()) << chunk;
        }
        EXPECT_EQ(model.records(), 40u + 7u + 40u);
        EXPECT_EQ(model.bytes(), bytes.size());
        EXPECT_EQ(model.linesWithoutSet(), 0u);
        EXPECT_FALSE(model.noData());
        EXPECT_EQ(download::setsLine(model, false),
                  "Data set 3: Ridge \"North\" 2, 40 records (87 records in 3 sets so far)");
        EXPECT_EQ(download::setsLine(model, true),
                  "Received 3 data sets, 87 records; the last: Ridge \"North\" 2");
    }
}

TEST(DownloadProgressModel, LineKindsAsTheConversionReadsThem) {
    struct Case {
        const char* what;
        std::string bytes;
        std::size_t sets;
        std::uint64_t records, orphans;
        bool noData;
        std::string firstName;
    };
    const Case cases[] = {
        {"empty memory", "F\r\n* XRQ\r\nNo data\r\n>", 0, 0, 0, true, ""},
        {"records before any header are dropped", "12,3\r\nName: A\r\n1\r\n2\r\n>", 1, 2, 1, false,
         "A"},
        {"after No data nothing counts", "No data\r\nName: A\r\n1\r\n>", 0, 0, 0, true, ""},
        {"name without blank loses its first byte", "Name:XY\r\n1\r\n", 1, 1, 0, false, "Y"},
        {"LF only, blank lines and comments", "Name: B\n\n* c\n1\n2\n3\n", 1, 3, 0, false, "B"},
        {"a last line without its end is not a record yet", "Name: C\r\n1\r\n2", 1, 1, 0, false,
         "C"},
        {"a very long header keeps a head of its name",
         "Name: " + std::string(2000, 'L') + "\r\n1\r\n", 1, 1, 0, false,
         std::string(download::DownloadProgressModel::kLineHead - 6, 'L') + "..."},
    };
    for (const Case& c : cases) {
        download::DownloadProgressModel model;
        model.feed(c.bytes);
        EXPECT_EQ(model.sets().size(), c.sets) << c.what;
        EXPECT_EQ(model.records(), c.records) << c.what;
        EXPECT_EQ(model.linesWithoutSet(), c.orphans) << c.what;
        EXPECT_EQ(model.noData(), c.noData) << c.what;
        if (c.sets > 0) {
            EXPECT_EQ(model.sets()[0].name, c.firstName) << c.what;
        }
    }
    download::DownloadProgressModel waiting;
    EXPECT_EQ(download::setsLine(waiting, false), "Waiting for the first data set");
}

TEST(DownloadProgressModel, ItsCountsAreThoseOfTheFilesTheConversionWrites) {
    QTemporaryDir tmp;
    const std::string dir = tmp.path().toStdString() + "/";
    auto sets = sim::generateDataSets(4, 25);
    sets[3].records.clear();
    const std::string bytes = recordedDownload(sets);
    const std::string intermediate = dir + "_$XRQInt.txt";
    std::ofstream(intermediate, std::ios::binary) << bytes;
    const auto outcome = download::convertIntermediateFile(intermediate, dir);
    ASSERT_EQ(outcome.result, download::ConvertResult::Collected);
    download::DownloadProgressModel model;
    model.feed(bytes);
    const auto files = download::summarizeFiles(outcome.files);
    ASSERT_EQ(files.size(), model.sets().size());
    for (std::size_t i = 0; i < files.size(); ++i) {
        EXPECT_TRUE(files[i].readable);
        EXPECT_EQ(files[i].records, model.sets()[i].records) << files[i].path;
        EXPECT_EQ(files[i].bytes, QFileInfo(QString::fromStdString(files[i].path)).size());
    }
    EXPECT_EQ(download::summaryLine(files[3]), "SITE04.txt: 0 records, 14 bytes");
    const auto gone = download::summarizeFiles({dir + "missing.txt"});
    ASSERT_EQ(gone.size(), 1u);
    EXPECT_FALSE(gone[0].readable);
    EXPECT_EQ(download::summaryLine(gone[0]), "missing.txt: cannot be read back");
}

TEST(DownloadProgress, TheBytesLineTellsTimeSinceTheLastByte) {
    download::DownloadProgress p;
    p.start(0);
    EXPECT_EQ(download::bytesLine(p, 0, false), "0 bytes in 0.0 s (0 bytes/s); no byte yet");
    p.update(250000, 10000);
    EXPECT_EQ(download::bytesLine(p, 2.24, false),
              "250.0 kB in 10.0 s (25.0 kB/s); last byte 2.2 s ago");
    EXPECT_EQ(download::bytesLine(p, 2.24, true), "250.0 kB in 10.0 s (25.0 kB/s)");
}

} // namespace

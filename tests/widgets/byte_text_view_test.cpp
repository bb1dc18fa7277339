// SPDX-License-Identifier: GPL-3.0-or-later
// The byte text view: its line index over the received bytes, selection and copy, and that
// appends paint only what is in view.
#include "support/wait.h"
#include "widgets/byte_text_view.h"

#include <QApplication>
#include <QBackingStore>
#include <QClipboard>
#include <QCoreApplication>
#include <QFontMetrics>
#include <QImage>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QScrollBar>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using testsupport::waitUntil;

std::vector<QString> linesOf(const ByteTextStore& store) {
    std::vector<QString> lines;
    for (std::int64_t i = 0; i < store.lineCount(); ++i)
        lines.push_back(store.text(store.lineStart(i), store.lineEnd(i)));
    return lines;
}

const struct {
    std::string bytes;
    std::vector<QString> lines;
} kCases[] = {
    {"abc", {"abc"}},
    {"a\r\nb\r\n", {"a", "b", ""}},
    {"a\nb", {"a", "b"}},
    {"a\rb", {"a", "b"}},
    {"a\r\r\nb", {"a", "", "b"}},
    {"\n\r", {"", "", ""}},
    {"\r\n\r\n", {"", "", ""}},
    {"x\n\r\ny\r", {"x", "", "y", ""}},
    {"\xe9\xff", {QString::fromLatin1("\xe9\xff")}},
    {std::string("a\0b", 3), {QString::fromLatin1("a\0b", 3)}},
};

TEST(ByteTextStore, LineBreaksAreCrLfAsOneAndLoneCrOrLfEach) {
    for (const auto& c : kCases) {
        ByteTextStore store;
        store.append(c.bytes);
        EXPECT_EQ(store.size(), static_cast<std::int64_t>(c.bytes.size()));
        EXPECT_EQ(linesOf(store), c.lines) << c.bytes;
        // The whole text reads as the echo always showed it.
        bool afterCr = false;
        EXPECT_EQ(store.text(0, store.size()), ByteTextStore::displayText(c.bytes, afterCr))
            << c.bytes;
        EXPECT_EQ(store.bytes(0, store.size()), c.bytes);
    }
}

TEST(ByteTextStore, AnySplitBetweenAppendsGivesTheSameLines) {
    for (const auto& c : kCases) {
        for (std::size_t cut = 0; cut <= c.bytes.size(); ++cut) {
            ByteTextStore store;
            store.append(std::string_view(c.bytes).substr(0, cut));
            store.append(std::string_view(c.bytes).substr(cut));
            EXPECT_EQ(linesOf(store), c.lines) << c.bytes << " cut at " << cut;
        }
    }
}

TEST(ByteTextStore, PairSplitAcrossStorageBlocksAndPositionsInsideABreak) {
    // A CR as the last byte of the first megabyte, its LF as the first of the next.
    const std::size_t block = std::size_t{1} << 20;
    ByteTextStore store;
    store.append(std::string(block - 1, 'x') + "\r");
    store.append("\nnext\xb5");
    ASSERT_EQ(store.lineCount(), 2);
    EXPECT_EQ(store.lineEnd(0), static_cast<std::int64_t>(block - 1));
    EXPECT_EQ(store.lineStart(1), static_cast<std::int64_t>(block + 1));
    EXPECT_EQ(store.text(store.lineStart(1), store.size()), QString::fromLatin1("next\xb5"));
    EXPECT_EQ(store.text(block - 2, block + 3), "x\nne");
    // Between the CR and the LF is still the first line; the second starts after the LF.
    EXPECT_EQ(store.lineOf(block), 0);
    EXPECT_EQ(store.lineOf(block + 1), 1);
    EXPECT_EQ(store.widestLine(), static_cast<std::int64_t>(block - 1));
    // The bytes and their index, not several times their size.
    EXPECT_LT(store.reservedBytes(), 3 * block);
}

TEST(ByteTextStore, TabsWidenALineToTheNextEighthColumn) {
    ByteTextStore store;
    store.append("ab\tc\r\n\t\t");
    EXPECT_EQ(store.widestLine(), 16);
    store.clear();
    EXPECT_EQ(store.size(), 0);
    EXPECT_EQ(store.lineCount(), 1);
    EXPECT_EQ(store.widestLine(), 0);
}

void press(QWidget* w, int key, Qt::KeyboardModifiers mods = Qt::NoModifier) {
    QKeyEvent event(QEvent::KeyPress, key, mods);
    QCoreApplication::sendEvent(w, &event);
}

TEST(ByteTextView, KeyboardSelectionAndCopyGiveTheShownText) {
    ByteTextView view;
    view.appendBytes("one\r\ntwo\rthree\n\xe9t\xe9");
    EXPECT_EQ(view.toPlainText(), QString::fromLatin1("one\ntwo\nthree\n\xe9t\xe9"));

    press(&view, Qt::Key_Home, Qt::ControlModifier);
    EXPECT_EQ(view.cursorPosition(), 0);
    for (int i = 0; i < 4; ++i) // past the line's end, over the CR LF into the next line
        press(&view, Qt::Key_Right, Qt::ShiftModifier);
    EXPECT_EQ(view.selectedText(), "one\n");
    press(&view, Qt::Key_Down, Qt::ShiftModifier);
    EXPECT_EQ(view.selectedText(), "one\ntwo\n");
    press(&view, Qt::Key_End, Qt::ShiftModifier);
    EXPECT_EQ(view.selectedText(), "one\ntwo\nthree");
    // Up and down keep the column through a shorter line.
    press(&view, Qt::Key_Right);
    EXPECT_FALSE(view.hasSelection());
    press(&view, Qt::Key_Up);
    press(&view, Qt::Key_Down, Qt::ShiftModifier);
    EXPECT_EQ(view.selectedText(), "\nthree");
    press(&view, Qt::Key_End, Qt::ControlModifier | Qt::ShiftModifier);
    press(&view, Qt::Key_Left, Qt::ShiftModifier);
    EXPECT_EQ(view.selectedText(), QString::fromLatin1("\nthree\n\xe9t"));

    press(&view, Qt::Key_A, Qt::ControlModifier);
    EXPECT_EQ(view.selectedText(), view.toPlainText());
    QApplication::clipboard()->clear();
    press(&view, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QApplication::clipboard()->text(), view.toPlainText());
}

TEST(ByteTextView, MouseDragSelectsFromWhereItWasPressed) {
    ByteTextView view;
    view.resize(300, 200);
    view.appendBytes("alpha\r\nbeta\tgamma\r\n");
    const QFontMetrics metrics(view.font());
    const int cw = metrics.horizontalAdvance(QLatin1Char('M'));
    const int lh = metrics.lineSpacing();
    auto at = [&](int column, int line) {
        return QPointF(4 + column * cw + 1, 4 + line * lh + lh / 2);
    };
    QMouseEvent down(QEvent::MouseButtonPress, at(2, 0), at(2, 0), Qt::LeftButton, Qt::LeftButton,
                     Qt::NoModifier);
    QCoreApplication::sendEvent(view.viewport(), &down);
    // Column 9 of the second line lies after its tab (which covers columns 4 to 7).
    QMouseEvent move(QEvent::MouseMove, at(9, 1), at(9, 1), Qt::NoButton, Qt::LeftButton,
                     Qt::NoModifier);
    QCoreApplication::sendEvent(view.viewport(), &move);
    EXPECT_EQ(view.selectedText(), "pha\nbeta\tg");
}

class Painting : public ::testing::Test {
protected:
    void SetUp() override {
        view.resize(320, 160);
        view.setRefreshInterval(100);
        view.show();
        ASSERT_TRUE(waitUntil([&] { return view.paintCount() > 0; }));
    }
    // Until appends have been shown and the gate has stopped again.
    void settle() {
        ASSERT_TRUE(waitUntil([&] { return !view.refreshPending(); }));
        QCoreApplication::processEvents();
        QCoreApplication::processEvents();
    }
    static std::string lines(int from, int count) {
        std::string text;
        for (int i = from; i < from + count; ++i)
            text += "line " + std::to_string(i) + "\r\n";
        return text;
    }
    ByteTextView view;
};

TEST_F(Painting, AppendsOutOfViewPaintNothingAndTheEndIsFollowed) {
    view.appendBytes(lines(0, 100));
    settle();
    EXPECT_TRUE(view.atEnd());
    EXPECT_GT(view.verticalScrollBar()->maximum(), 0);
    EXPECT_TRUE(view.verticalScrollBar()->isVisible());
    // Nothing wider than the view: no horizontal bar.
    EXPECT_FALSE(view.horizontalScrollBar()->isVisible());

    // Idle: no timer, no paint.
    int painted = view.paintCount();
    EXPECT_FALSE(view.refreshPending());
    waitUntil([] { return false; }, 400);
    EXPECT_EQ(view.paintCount(), painted);

    // Scrolled back to the top, new lines below the view are taken in without a paint.
    view.verticalScrollBar()->setValue(0);
    settle();
    painted = view.paintCount();
    const int maximum = view.verticalScrollBar()->maximum();
    view.appendBytes(lines(100, 50));
    settle();
    EXPECT_EQ(view.paintCount(), painted);
    EXPECT_EQ(view.verticalScrollBar()->value(), 0);
    EXPECT_EQ(view.verticalScrollBar()->maximum(), maximum + 50);

    // At the end again, one more line paints less than the whole view.
    view.verticalScrollBar()->setValue(view.verticalScrollBar()->maximum());
    settle();
    painted = view.paintCount();
    view.appendBytes(lines(150, 1));
    settle();
    EXPECT_TRUE(view.atEnd());
    EXPECT_GT(view.paintCount(), painted);
    EXPECT_LT(view.lastPaintRect().height(), view.viewport()->height());
    EXPECT_TRUE(view.toPlainText().endsWith("line 150\n"));
}

TEST_F(Painting, ManyAppendsInQuickSuccessionAreShownTogether) {
    const int before = view.paintCount();
    for (int i = 0; i < 200; ++i)
        view.appendBytes(lines(i, 1));
    settle();
    // The first append shows at once, the rest with the gate: two updates, not two hundred.
    EXPECT_LE(view.paintCount() - before, 4);
    EXPECT_TRUE(view.atEnd());
    EXPECT_EQ(view.store().lineCount(), 201);
}

// Counts the paint events a widget receives.
struct PaintCounter : QObject {
    int count = 0;
    QRect largest;
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint) {
            ++count;
            const QRect rect = static_cast<QPaintEvent*>(event)->rect();
            if (rect.height() * rect.width() > largest.height() * largest.width())
                largest = rect;
        }
        return false;
    }
};

TEST_F(Painting, ScrollBarsComeAndGoButStayStillWhileTheEndIsFollowed) {
    view.appendBytes(lines(0, 300));
    settle();
    ASSERT_TRUE(view.verticalScrollBar()->isVisible());
    EXPECT_FALSE(view.horizontalScrollBar()->isVisible());

    // The handle sits at the bottom at its smallest: more lines move nothing on the bar.
    PaintCounter barPaints;
    view.verticalScrollBar()->installEventFilter(&barPaints);
    for (int round = 0; round < 5; ++round) {
        view.appendBytes(lines(300 + 20 * round, 20));
        settle();
    }
    EXPECT_TRUE(view.atEnd());
    EXPECT_LE(barPaints.count, 1) << barPaints.count;

    // A line wider than the view brings the horizontal bar; an empty view needs neither.
    view.appendBytes(std::string(400, 'w') + "\r\n");
    settle();
    EXPECT_TRUE(waitUntil([&] { return view.horizontalScrollBar()->isVisible(); }));
    view.clear();
    EXPECT_TRUE(waitUntil([&] {
        return !view.horizontalScrollBar()->isVisible() && !view.verticalScrollBar()->isVisible();
    }));
}

// A download's echo: one line over 8,000 bytes, then short ones. The view followed the long
// line to its end; the lines after it show from their first column, not cut by one.
TEST_F(Painting, AfterALongLineTheShortLinesShowFromTheirStart) {
    view.appendBytes("Name: SITE1\r\n" + std::string(8200, 'd'));
    settle();
    EXPECT_GT(view.horizontalScrollBar()->value(), 0); // the long line's end was followed
    view.appendBytes("\r\n26/11/30 10:00:00\r\n>");
    settle();
    EXPECT_TRUE(view.atEnd());
    EXPECT_EQ(view.horizontalScrollBar()->value(), 0);
}

TEST_F(Painting, AMovingHandleRepaintsOnlyWhereItWasAndIsAndTheBarLooksPaintedWhole) {
    view.appendBytes(lines(0, 12));
    settle();
    QScrollBar* bar = view.verticalScrollBar();
    ASSERT_TRUE(bar->isVisible());
    PaintCounter barPaints;
    bar->installEventFilter(&barPaints);
    // Each round the handle shrinks and moves down with the end that is followed.
    for (int round = 0; round < 4; ++round) {
        view.appendBytes(lines(12 + 6 * round, 6));
        settle();
    }
    ASSERT_TRUE(view.atEnd());
    ASSERT_GT(barPaints.count, 0);
    EXPECT_LT(barPaints.largest.height(), bar->height());

    // What the window shows of the bar is what a whole paint of it gives.
    auto looksPaintedWhole = [&](QScrollBar* shownBar) {
        auto* shown = dynamic_cast<QImage*>(view.backingStore()->paintDevice());
        if (!shown)
            return false;
        const QRect area(shownBar->mapTo(&view, QPoint(0, 0)), shownBar->size());
        return shown->copy(area).convertToFormat(QImage::Format_RGB32) ==
               shownBar->grab().toImage().convertToFormat(QImage::Format_RGB32);
    };
    EXPECT_TRUE(looksPaintedWhole(bar));

    // The same across: a long line, then the handle moved along it step by step.
    view.appendBytes(std::string(600, 'w'));
    settle();
    QScrollBar* across = view.horizontalScrollBar();
    ASSERT_TRUE(waitUntil([&] { return across->isVisible(); }));
    for (int step = 1; step <= 3; ++step) {
        across->setValue(across->maximum() * step / 4);
        settle();
    }
    EXPECT_TRUE(looksPaintedWhole(across));
}

} // namespace

namespace {

TEST(ByteTextStoreText, BytesShowAsLatin1AndCrLfAsOneBreak) {
    const struct {
        std::string bytes;
        QString shown;
    } cases[] = {
        {"abc", "abc"},
        {"a\r\nb\r\n", "a\nb\n"},
        {"a\nb", "a\nb"},
        {"a\rb", "a\nb"},
        {"a\r\r\nb", "a\n\nb"},
        {"\xe9\xff", QString::fromLatin1("\xe9\xff")},
        {std::string("a\0b", 3), QString::fromLatin1("a\0b", 3)},
    };
    for (const auto& c : cases) {
        bool afterCr = false;
        EXPECT_EQ(ByteTextStore::displayText(c.bytes, afterCr), c.shown) << c.bytes;
    }
    // A CR LF pair split between two strings is still one break.
    bool afterCr = false;
    const QString first = ByteTextStore::displayText("x\r", afterCr);
    EXPECT_EQ(first + ByteTextStore::displayText("\ny", afterCr), "x\ny");
}

} // namespace

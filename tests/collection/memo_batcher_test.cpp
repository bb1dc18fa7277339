// Received text reaches a text area in batches, unchanged apart from how line ends render.
#include "serial/byte_text_view.h"
#include "serial/memo_batcher.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <gtest/gtest.h>

namespace {

TEST(MemoBatcherText, BytesShowAsLatin1AndCrLfAsOneBreak) {
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
        EXPECT_EQ(MemoBatcher::displayText(c.bytes, afterCr), c.shown) << c.bytes;
    }
    // A CR LF pair split between two batches is still one break.
    bool afterCr = false;
    const QString first = MemoBatcher::displayText("x\r", afterCr);
    EXPECT_EQ(first + MemoBatcher::displayText("\ny", afterCr), "x\ny");
}

TEST(MemoBatcher, CollectsChunksAndInsertsThemLater) {
    ByteTextView memo;
    memo.setPlainText("earlier\n");
    MemoBatcher batcher(&memo, 50);
    for (int i = 0; i < 100; ++i)
        batcher.append("line " + std::to_string(i) + "\r\n");
    // Nothing inserted yet: the chunks wait for the batch.
    EXPECT_EQ(memo.toPlainText(), "earlier\n");
    EXPECT_GT(batcher.pending(), 0u);

    QElapsedTimer t;
    t.start();
    while (batcher.pending() > 0 && t.elapsed() < 10000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
    EXPECT_EQ(batcher.pending(), 0u);
    const QString text = memo.toPlainText();
    EXPECT_TRUE(text.startsWith("earlier\nline 0\nline 1\n"));
    EXPECT_TRUE(text.endsWith("line 99\n"));
    EXPECT_EQ(memo.cursorPosition(), memo.store().size());
}

TEST(MemoBatcher, FlushInsertsAtOnceAndSurvivesAGoneMemo) {
    auto memo = std::make_unique<ByteTextView>();
    MemoBatcher batcher(memo.get(), 60000);
    batcher.append("abc");
    batcher.flush();
    EXPECT_EQ(memo->toPlainText(), "abc");
    batcher.append("def");
    memo.reset();
    batcher.flush(); // dropped quietly, no crash
    EXPECT_EQ(batcher.pending(), 0u);
}

} // namespace

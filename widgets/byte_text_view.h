// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A read-only text view over the bytes that arrived, for the echo of the unit's traffic.
//
// The text is kept as the received bytes themselves plus a line index, so a long download
// costs about its own size in memory (a text document costs several times that). Only the
// visible lines are painted; appends are taken at once but shown at most a few times a
// second, and not at all while the new lines are out of view.
//
// Bytes show as Latin-1, one character per byte. A CR LF pair is one line break, a lone CR
// or LF one break each, also when the pair is split between two appends. A tab advances to
// the next multiple of eight columns; other control bytes show as a blank cell. The copied
// text has '\n' at each line break. UI thread only.

#include <QAbstractScrollArea>
#include <QElapsedTimer>
#include <QString>
#include <QTimer>

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// The bytes and where each line starts. Positions are byte offsets from the first byte.
class ByteTextStore {
public:
    // The text a byte string shows as (the rule above, as text); `afterCr` carries a CR at
    // the end of one string over to the next, so a pair split between two still renders as
    // one break.
    static QString displayText(std::string_view bytes, bool& afterCr);

    void append(std::string_view bytes);
    void clear();

    std::int64_t size() const { return m_size; }
    char at(std::int64_t pos) const {
        return m_blocks[static_cast<std::size_t>(pos >> kBlockBits)][pos & (kBlockSize - 1)];
    }
    // At least one line, the (possibly empty) one after the last break included.
    std::int64_t lineCount() const { return static_cast<std::int64_t>(m_lineStarts.size()); }
    std::int64_t lineStart(std::int64_t line) const {
        return m_lineStarts[static_cast<std::size_t>(line)];
    }
    // Where the line's text ends, before its CR, LF or CR LF.
    std::int64_t lineEnd(std::int64_t line) const;
    // The line holding a position; a position inside a line break belongs to the line it ends.
    std::int64_t lineOf(std::int64_t pos) const;
    // The most display columns any line takes (tabs expanded).
    std::int64_t widestLine() const;

    // The bytes in [from, to) as they are.
    std::string bytes(std::int64_t from, std::int64_t to) const;
    // The text between two positions as Latin-1, each line break as one '\n'.
    QString text(std::int64_t from, std::int64_t to) const;

    // Memory held for the bytes and the index, for the benchmark and tests.
    std::size_t reservedBytes() const;

private:
    static constexpr int kBlockBits = 20;
    static constexpr std::int64_t kBlockSize = std::int64_t{1} << kBlockBits;

    // Fixed blocks, never moved or reallocated: growth costs no copy and no transient double.
    std::vector<std::unique_ptr<char[]>> m_blocks;
    std::int64_t m_size = 0;
    std::deque<std::int64_t> m_lineStarts{0};
    std::int64_t m_widest = 0;
    std::int64_t m_column = 0; // display column at the end of the last line
};

class QuietScrollBar;

class ByteTextView : public QAbstractScrollArea {
    Q_OBJECT
public:
    explicit ByteTextView(QWidget* parent = nullptr);
    ~ByteTextView() override;

    // Received bytes go at the end. When the end was in view (and nothing is selected) the
    // view follows it.
    void appendBytes(std::string_view bytes);
    // Replaces everything with the text's Latin-1 bytes (characters above U+00FF as '?').
    void setPlainText(const QString& text);
    void clear();
    // The whole text as shown, each line break as '\n'.
    QString toPlainText() const;
    const ByteTextStore& store() const { return m_store; }

    // Never editable; kept for the callers that ask.
    bool isReadOnly() const { return true; }

    bool hasSelection() const { return m_anchor != m_cursor; }
    QString selectedText() const;
    void selectAll();
    // Selects [from, to) by position; the caret goes to `to`.
    void select(std::int64_t from, std::int64_t to);
    std::int64_t cursorPosition() const { return m_cursor; }
    void copy() const;

    // Scrolled to the last line.
    bool atEnd() const;
    // Shortest time between two updates caused by appends.
    void setRefreshInterval(int ms) { m_refreshInterval = ms; }
    // Appends wait for the gate before they are shown (its timer runs only meanwhile).
    bool refreshPending() const { return m_refreshGate.isActive(); }

    // Paint events so far, and the area of the last one (tests and the benchmark).
    int paintCount() const { return m_paintCount; }
    QRect lastPaintRect() const { return m_lastPaintRect; }

    // The first fully or partly visible line and the number of lines that fit.
    std::int64_t firstVisibleLine() const;
    int linesPerPage() const;

signals:
    // Bytes were appended (before they are shown: painting is gated, this is not).
    void bytesAppended();

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void refresh();
    void updateMetrics();
    void updateScrollBars();
    void ensureVisible(std::int64_t pos);
    void moveCursor(std::int64_t pos, bool keepAnchor);
    void repaintLines(std::int64_t first, std::int64_t last);
    std::int64_t positionAt(const QPoint& viewportPoint) const;
    // Display column of a position within its line, and the position at a column.
    std::int64_t columnOf(std::int64_t line, std::int64_t pos) const;
    std::int64_t positionAtColumn(std::int64_t line, std::int64_t column) const;
    void paintLine(class QPainter& painter, std::int64_t line, int y, std::int64_t firstColumn,
                   std::int64_t columns, std::int64_t selFrom, std::int64_t selTo);

    ByteTextStore m_store;
    std::int64_t m_anchor = 0;
    std::int64_t m_cursor = 0;
    std::int64_t m_wantedColumn = -1; // kept across up/down moves through shorter lines
    std::int64_t m_shownLines = 1;    // line count the scroll bars last took in
    bool m_stale = false;             // appended since the last refresh
    // Whether each scroll bar (vertical, horizontal) has anything to scroll, as last laid out.
    std::pair<bool, bool> m_barsNeeded{false, false};
    // While appends keep coming, the one that finds the interval over shows them; the gate's
    // timer, set half an interval later, fires only once they stop (no wake-up of its own
    // while text streams in).
    QTimer m_refreshGate;
    QElapsedTimer m_sinceRefresh;
    int m_refreshInterval = 250;
    QuietScrollBar* m_vertical = nullptr; // owned by the scroll area
    QuietScrollBar* m_horizontal = nullptr;
    int m_lineHeight = 1;
    int m_charWidth = 1;
    int m_ascent = 0;
    int m_paintCount = 0;
    QRect m_lastPaintRect;
};

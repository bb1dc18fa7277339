// SPDX-License-Identifier: GPL-3.0-or-later
#include "widgets/byte_text_view.h"

#include "platform/exception_guard.h"
#include "widgets/quiet_scroll_bar.h"

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QScrollBar>

#include <algorithm>
#include <climits>
#include <cstring>

namespace {

constexpr int kMargin = 4; // around the text, as the document margin of the toolkit's text areas
constexpr std::int64_t kTabColumns = 8;

std::int64_t afterTab(std::int64_t column) {
    return (column / kTabColumns + 1) * kTabColumns;
}

int clampToInt(std::int64_t value) {
    return static_cast<int>(std::clamp<std::int64_t>(value, 0, INT_MAX / 2));
}

bool isControl(unsigned char c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F);
}

} // namespace

// ---------------------------------------------------------------------------------------
// ByteTextStore

QString ByteTextStore::displayText(std::string_view bytes, bool& afterCr) {
    QString text;
    text.reserve(static_cast<qsizetype>(bytes.size()));
    for (const char c : bytes) {
        if (c == '\n' && afterCr) {
            afterCr = false;
            continue;
        }
        afterCr = c == '\r';
        text.append(afterCr ? QChar(u'\n')
                            : QChar(static_cast<char16_t>(static_cast<unsigned char>(c))));
    }
    return text;
}

void ByteTextStore::append(std::string_view bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const std::int64_t offset = m_size & (kBlockSize - 1);
        if (offset == 0 && static_cast<std::size_t>(m_size >> kBlockBits) == m_blocks.size())
            m_blocks.push_back(std::make_unique_for_overwrite<char[]>(kBlockSize));
        const std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(kBlockSize - offset),
                                                    bytes.size() - done);
        std::memcpy(m_blocks.back().get() + offset, bytes.data() + done, n);

        for (std::size_t i = 0; i < n; ++i) {
            const char c = bytes[done + i];
            const std::int64_t next = m_size + static_cast<std::int64_t>(i) + 1;
            if (c == '\n' || c == '\r') {
                // The LF of a CR LF pair only moves the line's start past itself; the pair may
                // have been split between two appends.
                if (c == '\n' && m_lineStarts.back() == next - 1 && next >= 2 &&
                    at(next - 2) == '\r') {
                    m_lineStarts.back() = next;
                    continue;
                }
                m_widest = std::max(m_widest, m_column);
                m_column = 0;
                m_lineStarts.push_back(next);
            } else if (c == '\t') {
                m_column = afterTab(m_column);
            } else {
                ++m_column;
            }
        }
        m_size += static_cast<std::int64_t>(n);
        done += n;
    }
}

void ByteTextStore::clear() {
    m_blocks.clear();
    m_blocks.shrink_to_fit();
    m_size = 0;
    m_lineStarts.assign(1, 0);
    m_widest = 0;
    m_column = 0;
}

std::int64_t ByteTextStore::lineEnd(std::int64_t line) const {
    if (line + 1 >= lineCount())
        return m_size;
    const std::int64_t next = lineStart(line + 1);
    if (at(next - 1) == '\n' && next - 2 >= lineStart(line) && at(next - 2) == '\r')
        return next - 2;
    return next - 1;
}

std::int64_t ByteTextStore::lineOf(std::int64_t pos) const {
    const auto it = std::upper_bound(m_lineStarts.begin(), m_lineStarts.end(), pos);
    return std::max<std::int64_t>(0, (it - m_lineStarts.begin()) - 1);
}

std::int64_t ByteTextStore::widestLine() const {
    return std::max(m_widest, m_column);
}

std::string ByteTextStore::bytes(std::int64_t from, std::int64_t to) const {
    std::string out;
    from = std::clamp<std::int64_t>(from, 0, m_size);
    to = std::clamp<std::int64_t>(to, from, m_size);
    out.reserve(static_cast<std::size_t>(to - from));
    while (from < to) {
        const std::int64_t offset = from & (kBlockSize - 1);
        const std::int64_t n = std::min(kBlockSize - offset, to - from);
        out.append(m_blocks[static_cast<std::size_t>(from >> kBlockBits)].get() + offset,
                   static_cast<std::size_t>(n));
        from += n;
    }
    return out;
}

QString ByteTextStore::text(std::int64_t from, std::int64_t to) const {
    QString out;
    from = std::clamp<std::int64_t>(from, 0, m_size);
    to = std::clamp<std::int64_t>(to, from, m_size);
    if (from == to)
        return out;
    out.reserve(clampToInt(to - from));
    std::int64_t line = lineOf(from);
    std::int64_t pos = from;
    for (;;) {
        const std::int64_t end = lineEnd(line);
        if (pos < std::min(end, to)) {
            const std::string part = bytes(pos, std::min(end, to));
            out.append(QLatin1String(part.data(), static_cast<qsizetype>(part.size())));
        }
        if (to <= end || line + 1 >= lineCount())
            break;
        out.append(QLatin1Char('\n'));
        pos = lineStart(++line);
        if (pos >= to)
            break;
    }
    return out;
}

std::size_t ByteTextStore::reservedBytes() const {
    return m_blocks.size() * static_cast<std::size_t>(kBlockSize) +
           m_lineStarts.size() * sizeof(std::int64_t);
}

// ---------------------------------------------------------------------------------------
// ByteTextView

ByteTextView::ByteTextView(QWidget* parent) : QAbstractScrollArea(parent) {
    setFocusPolicy(Qt::StrongFocus);
    viewport()->setCursor(Qt::IBeamCursor);
    viewport()->setBackgroundRole(QPalette::Base);
    m_vertical = new QuietScrollBar(Qt::Vertical);
    m_horizontal = new QuietScrollBar(Qt::Horizontal);
    setVerticalScrollBar(m_vertical);
    setHorizontalScrollBar(m_horizontal);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    // The toolkit lays the scroll bars out again after every range change, and each layout
    // raises both bars in turn, which repaints them whole although nothing on them moved:
    // four times a second while text streams in, and a tall bar is costly to paint (the
    // painter hands its fills to a thread pool). They are laid out only when one of them
    // comes or goes (updateScrollBars), and on resizes as before.
    for (QScrollBar* bar : {verticalScrollBar(), horizontalScrollBar()})
        QObject::disconnect(bar, SIGNAL(rangeChanged(int, int)), this,
                            SLOT(_q_showOrHideScrollBars()));
    // A fast unit appends many times a second; what it shows is brought up to date at most
    // this often. The gate stops itself once nothing new came in.
    m_refreshGate.setSingleShot(true);
    connect(&m_refreshGate, &QTimer::timeout, this, platform::guarded([this] {
        if (m_stale)
            refresh();
    }));
    updateMetrics();
    updateScrollBars();
}

ByteTextView::~ByteTextView() = default;

void ByteTextView::appendBytes(std::string_view bytes) {
    if (bytes.empty())
        return;
    const bool caretAtEnd = !hasSelection() && m_cursor == m_store.size();
    m_store.append(bytes);
    if (caretAtEnd)
        m_anchor = m_cursor = m_store.size();
    m_stale = true;
    if (!m_refreshGate.isActive() || m_sinceRefresh.elapsed() >= m_refreshInterval)
        refresh();
    emit bytesAppended();
}

void ByteTextView::refresh() {
    m_stale = false;
    const std::int64_t changedFrom = m_shownLines - 1; // the former last line may have grown
    const bool follow = atEnd();
    m_shownLines = m_store.lineCount();
    m_vertical->hold();
    m_horizontal->hold();
    updateScrollBars();
    if (follow) {
        // Scrolling moves what is already painted; only the uncovered lines are drawn.
        verticalScrollBar()->setValue(verticalScrollBar()->maximum());
        if (!hasSelection())
            ensureVisible(m_cursor);
    }
    m_vertical->release();
    m_horizontal->release();
    repaintLines(changedFrom, m_shownLines - 1);
    m_sinceRefresh.start();
    m_refreshGate.start(m_refreshInterval + m_refreshInterval / 2);
}

void ByteTextView::setPlainText(const QString& text) {
    clear();
    const QByteArray bytes = text.toLatin1();
    appendBytes(std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())));
}

void ByteTextView::clear() {
    m_store.clear();
    m_anchor = m_cursor = 0;
    m_wantedColumn = -1;
    m_shownLines = 1;
    m_stale = false;
    updateScrollBars();
    viewport()->update();
}

QString ByteTextView::toPlainText() const {
    return m_store.text(0, m_store.size());
}

QString ByteTextView::selectedText() const {
    return m_store.text(std::min(m_anchor, m_cursor), std::max(m_anchor, m_cursor));
}

void ByteTextView::selectAll() {
    select(0, m_store.size());
}

void ByteTextView::select(std::int64_t from, std::int64_t to) {
    m_anchor = std::clamp<std::int64_t>(from, 0, m_store.size());
    m_cursor = std::clamp<std::int64_t>(to, 0, m_store.size());
    m_wantedColumn = -1;
    viewport()->update();
}

void ByteTextView::copy() const {
    if (hasSelection())
        QApplication::clipboard()->setText(selectedText());
}

bool ByteTextView::atEnd() const {
    return verticalScrollBar()->value() >= verticalScrollBar()->maximum();
}

std::int64_t ByteTextView::firstVisibleLine() const {
    return verticalScrollBar()->value();
}

int ByteTextView::linesPerPage() const {
    return std::max(1, (viewport()->height() - kMargin) / m_lineHeight);
}

void ByteTextView::updateMetrics() {
    const QFontMetrics metrics(font());
    m_lineHeight = std::max(1, metrics.lineSpacing());
    m_charWidth = std::max(1, metrics.horizontalAdvance(QLatin1Char('M')));
    m_ascent = metrics.ascent();
}

void ByteTextView::updateScrollBars() {
    const int page = linesPerPage();
    QScrollBar* vertical = verticalScrollBar();
    vertical->setSingleStep(1);
    vertical->setPageStep(page);
    vertical->setRange(0, clampToInt(m_shownLines - page));

    // One cell more than the widest line, for the caret after its last character.
    const std::int64_t width = (m_store.widestLine() + 1) * m_charWidth + 2 * kMargin;
    QScrollBar* horizontal = horizontalScrollBar();
    horizontal->setSingleStep(m_charWidth);
    horizontal->setPageStep(viewport()->width());
    horizontal->setRange(0, clampToInt(width - viewport()->width()));

    const std::pair<bool, bool> needed{vertical->maximum() > 0, horizontal->maximum() > 0};
    if (needed != m_barsNeeded)
        QCoreApplication::postEvent(this, new QEvent(QEvent::LayoutRequest));
    m_barsNeeded = needed;
}

void ByteTextView::repaintLines(std::int64_t first, std::int64_t last) {
    const std::int64_t top = firstVisibleLine();
    const std::int64_t bottom =
        top + (viewport()->height() - kMargin) / m_lineHeight; // partly shown
    first = std::max(first, top);
    last = std::min(last, bottom);
    if (first > last)
        return; // nothing new in view: no paint at all
    const int y = kMargin + static_cast<int>(first - top) * m_lineHeight;
    viewport()->update(0, y, viewport()->width(),
                       static_cast<int>(last - first + 1) * m_lineHeight);
}

void ByteTextView::ensureVisible(std::int64_t pos) {
    const std::int64_t line = m_store.lineOf(pos);
    const std::int64_t top = firstVisibleLine();
    const int page = linesPerPage();
    if (line < top)
        verticalScrollBar()->setValue(clampToInt(line));
    else if (line >= top + page)
        verticalScrollBar()->setValue(clampToInt(line - page + 1));

    const std::int64_t x = columnOf(line, pos) * m_charWidth;
    const int left = horizontalScrollBar()->value();
    const int room = viewport()->width() - 2 * kMargin;
    // Back to the left: a place within the first width of the view shows the lines from
    // their start (after a long line, the short one that follows is not left cut by a column).
    if (x < left)
        horizontalScrollBar()->setValue(x + m_charWidth <= room ? 0 : clampToInt(x));
    else if (x + m_charWidth > left + room)
        horizontalScrollBar()->setValue(clampToInt(x + m_charWidth - room));
}

std::int64_t ByteTextView::columnOf(std::int64_t line, std::int64_t pos) const {
    std::int64_t column = 0;
    const std::int64_t end = std::min(pos, m_store.lineEnd(line));
    for (std::int64_t p = m_store.lineStart(line); p < end; ++p)
        column = m_store.at(p) == '\t' ? afterTab(column) : column + 1;
    return column;
}

std::int64_t ByteTextView::positionAtColumn(std::int64_t line, std::int64_t column) const {
    const std::int64_t end = m_store.lineEnd(line);
    std::int64_t p = m_store.lineStart(line);
    for (std::int64_t at = 0; p < end; ++p) {
        const std::int64_t next = m_store.at(p) == '\t' ? afterTab(at) : at + 1;
        if (next > column)
            break;
        at = next;
    }
    return p;
}

std::int64_t ByteTextView::positionAt(const QPoint& point) const {
    const std::int64_t line = std::clamp<std::int64_t>(
        firstVisibleLine() + (point.y() - kMargin) / m_lineHeight, 0, m_store.lineCount() - 1);
    const int x = point.x() - kMargin + horizontalScrollBar()->value() + m_charWidth / 2;
    return positionAtColumn(line, std::max(0, x) / m_charWidth);
}

void ByteTextView::paintLine(QPainter& painter, std::int64_t line, int y, std::int64_t firstColumn,
                             std::int64_t columns, std::int64_t selFrom, std::int64_t selTo) {
    const std::int64_t start = m_store.lineStart(line);
    const std::int64_t end = m_store.lineEnd(line);
    const int left = kMargin - horizontalScrollBar()->value();
    const QPalette& colours = palette();

    // Only the columns in view are turned into text.
    std::int64_t from = positionAtColumn(line, firstColumn);
    std::int64_t column = columnOf(line, from);
    const std::int64_t firstDrawn = column;
    QString shown;
    for (std::int64_t p = from; p < end && column < firstColumn + columns; ++p) {
        const auto c = static_cast<unsigned char>(m_store.at(p));
        if (c == '\t') {
            const std::int64_t next = afterTab(column);
            shown.append(QString(static_cast<qsizetype>(next - column), QLatin1Char(' ')));
            column = next;
        } else {
            shown.append(isControl(c) ? QLatin1Char(' ') : QLatin1Char(static_cast<char>(c)));
            ++column;
        }
    }
    const int textX = left + static_cast<int>(firstDrawn * m_charWidth);
    const int baseline = y + m_ascent;

    QRect selected;
    if (selFrom < selTo && selFrom <= end && selTo >= start) {
        const std::int64_t a = columnOf(line, std::max(selFrom, start));
        std::int64_t b = columnOf(line, std::min(selTo, end));
        if (selTo > end)
            ++b; // the line break is selected too
        if (b > a) {
            selected = QRect(left + clampToInt(a * m_charWidth), y,
                             clampToInt((b - a) * m_charWidth), m_lineHeight);
            painter.fillRect(selected, colours.color(QPalette::Highlight));
        }
    }
    painter.setPen(colours.color(QPalette::Text));
    painter.drawText(textX, baseline, shown);
    if (!selected.isEmpty()) {
        painter.save();
        painter.setClipRect(selected);
        painter.setPen(colours.color(QPalette::HighlightedText));
        painter.drawText(textX, baseline, shown);
        painter.restore();
    }
}

void ByteTextView::paintEvent(QPaintEvent* event) {
    ++m_paintCount;
    m_lastPaintRect = event->rect();
    QPainter painter(viewport());
    painter.fillRect(event->rect(), palette().color(QPalette::Base));
    painter.setFont(font());

    const std::int64_t top = firstVisibleLine();
    const QRect area = event->rect();
    const std::int64_t first = top + std::max(0, area.top() - kMargin) / m_lineHeight;
    const std::int64_t last = std::min(m_store.lineCount() - 1,
                                       top + std::max(0, area.bottom() - kMargin) / m_lineHeight);
    const std::int64_t firstColumn = horizontalScrollBar()->value() / m_charWidth;
    const std::int64_t columns = viewport()->width() / m_charWidth + 2;
    const std::int64_t selFrom = std::min(m_anchor, m_cursor);
    const std::int64_t selTo = std::max(m_anchor, m_cursor);
    for (std::int64_t line = first; line <= last; ++line)
        paintLine(painter, line, kMargin + static_cast<int>(line - top) * m_lineHeight, firstColumn,
                  columns, selFrom, selTo);

    // A steady caret: a blinking one would wake the program several times a second.
    if (hasFocus()) {
        const std::int64_t line = m_store.lineOf(m_cursor);
        if (line >= first && line <= last) {
            const int x = kMargin - horizontalScrollBar()->value() +
                          clampToInt(columnOf(line, m_cursor) * m_charWidth);
            painter.fillRect(x, kMargin + static_cast<int>(line - top) * m_lineHeight, 1,
                             m_lineHeight, palette().color(QPalette::Text));
        }
    }
}

void ByteTextView::resizeEvent(QResizeEvent* event) {
    QAbstractScrollArea::resizeEvent(event);
    const bool follow = atEnd();
    updateScrollBars();
    if (follow)
        verticalScrollBar()->setValue(verticalScrollBar()->maximum());
}

void ByteTextView::scrollContentsBy(int dx, int dy) {
    if (std::abs(dy) > linesPerPage())
        viewport()->update();
    else
        viewport()->scroll(dx, dy * m_lineHeight);
}

void ByteTextView::moveCursor(std::int64_t pos, bool keepAnchor) {
    m_cursor = std::clamp<std::int64_t>(pos, 0, m_store.size());
    if (!keepAnchor)
        m_anchor = m_cursor;
    ensureVisible(m_cursor);
    viewport()->update();
}

void ByteTextView::keyPressEvent(QKeyEvent* event) {
    if (event->matches(QKeySequence::Copy)) {
        copy();
        return;
    }
    if (event->matches(QKeySequence::SelectAll)) {
        selectAll();
        return;
    }
    const bool shift = event->modifiers() & Qt::ShiftModifier;
    const bool ctrl = event->modifiers() & Qt::ControlModifier;
    const std::int64_t line = m_store.lineOf(m_cursor);
    const std::int64_t lastLine = m_store.lineCount() - 1;
    auto toLine = [&](std::int64_t target) {
        target = std::clamp<std::int64_t>(target, 0, lastLine);
        if (m_wantedColumn < 0)
            m_wantedColumn = columnOf(line, m_cursor);
        const std::int64_t keep = m_wantedColumn;
        moveCursor(positionAtColumn(target, m_wantedColumn), shift);
        m_wantedColumn = keep;
    };
    std::int64_t pos = m_cursor;
    switch (event->key()) {
    case Qt::Key_Left:
        if (!shift && hasSelection())
            pos = std::min(m_anchor, m_cursor);
        else if (m_cursor > m_store.lineStart(line))
            pos = m_cursor - 1;
        else if (line > 0)
            pos = m_store.lineEnd(line - 1);
        break;
    case Qt::Key_Right:
        if (!shift && hasSelection())
            pos = std::max(m_anchor, m_cursor);
        else if (m_cursor < m_store.lineEnd(line))
            pos = m_cursor + 1;
        else if (line < lastLine)
            pos = m_store.lineStart(line + 1);
        break;
    case Qt::Key_Up:
        toLine(line - 1);
        return;
    case Qt::Key_Down:
        toLine(line + 1);
        return;
    case Qt::Key_PageUp:
        verticalScrollBar()->triggerAction(QAbstractSlider::SliderPageStepSub);
        toLine(line - linesPerPage());
        return;
    case Qt::Key_PageDown:
        verticalScrollBar()->triggerAction(QAbstractSlider::SliderPageStepAdd);
        toLine(line + linesPerPage());
        return;
    case Qt::Key_Home:
        pos = ctrl ? 0 : m_store.lineStart(line);
        break;
    case Qt::Key_End:
        pos = ctrl ? m_store.size() : m_store.lineEnd(line);
        break;
    default:
        event->ignore(); // typed characters are the terminal's business
        return;
    }
    m_wantedColumn = -1;
    moveCursor(pos, shift);
}

void ByteTextView::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        QAbstractScrollArea::mousePressEvent(event);
        return;
    }
    m_wantedColumn = -1;
    moveCursor(positionAt(event->position().toPoint()), event->modifiers() & Qt::ShiftModifier);
}

void ByteTextView::mouseMoveEvent(QMouseEvent* event) {
    if (!(event->buttons() & Qt::LeftButton))
        return;
    moveCursor(positionAt(event->position().toPoint()), true);
}

void ByteTextView::mouseReleaseEvent(QMouseEvent* event) {
    // What was selected with the mouse is offered for pasting with the middle button.
    if (event->button() == Qt::LeftButton && hasSelection() &&
        QApplication::clipboard()->supportsSelection())
        QApplication::clipboard()->setText(selectedText(), QClipboard::Selection);
}

void ByteTextView::mouseDoubleClickEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton)
        return;
    // The word under the pointer: letters and digits, in Latin-1.
    const std::int64_t pos = positionAt(event->position().toPoint());
    const std::int64_t line = m_store.lineOf(pos);
    auto inWord = [this](std::int64_t p) {
        return QChar(static_cast<char16_t>(static_cast<unsigned char>(m_store.at(p))))
                   .isLetterOrNumber() ||
               m_store.at(p) == '_';
    };
    std::int64_t from = pos;
    std::int64_t to = pos;
    while (from > m_store.lineStart(line) && inWord(from - 1))
        --from;
    while (to < m_store.lineEnd(line) && inWord(to))
        ++to;
    select(from, to);
}

void ByteTextView::contextMenuEvent(QContextMenuEvent* event) {
    QMenu menu(this);
    QAction* copyAction = menu.addAction(tr("&Copy"), this, [this] { copy(); });
    copyAction->setShortcut(QKeySequence::Copy);
    copyAction->setEnabled(hasSelection());
    menu.addSeparator();
    QAction* selectAllAction = menu.addAction(tr("Select All"), this, [this] { selectAll(); });
    selectAllAction->setShortcut(QKeySequence::SelectAll);
    selectAllAction->setEnabled(m_store.size() > 0);
    menu.exec(event->globalPos());
}

void ByteTextView::focusInEvent(QFocusEvent* event) {
    QAbstractScrollArea::focusInEvent(event);
    repaintLines(m_store.lineOf(m_cursor), m_store.lineOf(m_cursor));
}

void ByteTextView::focusOutEvent(QFocusEvent* event) {
    QAbstractScrollArea::focusOutEvent(event);
    repaintLines(m_store.lineOf(m_cursor), m_store.lineOf(m_cursor));
}

void ByteTextView::changeEvent(QEvent* event) {
    QAbstractScrollArea::changeEvent(event);
    if (event->type() == QEvent::FontChange) {
        updateMetrics();
        updateScrollBars();
        viewport()->update();
    } else if (event->type() == QEvent::PaletteChange) {
        viewport()->update();
    }
}

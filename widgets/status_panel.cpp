// SPDX-License-Identifier: GPL-3.0-or-later
#include "widgets/status_panel.h"

#include <QApplication>
#include <QClipboard>
#include <QEvent>
#include <QFile>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QMainWindow>
#include <QPainter>
#include <QPushButton>
#include <QStatusBar>
#include <QStatusTipEvent>
#include <QTextLayout>
#include <QTreeWidget>
#include <QUrl>
#include <QVBoxLayout>

namespace {

QString trimmedRight(QString s) {
    while (!s.isEmpty() && s.back().isSpace())
        s.chop(1);
    return s;
}

// The lines `paragraph` wraps into at `width`.
QStringList wrapped(const QString& paragraph, const QFont& font, int width) {
    QStringList lines;
    QTextLayout layout(paragraph, font);
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    layout.beginLayout();
    for (;;) {
        QTextLine line = layout.createLine();
        if (!line.isValid())
            break;
        line.setLineWidth(width);
        lines << paragraph.mid(line.textStart(), line.textLength());
    }
    layout.endLayout();
    if (lines.isEmpty())
        lines << QString();
    return lines;
}

enum Column { colName, colRecords, colSize };

} // namespace

QStringList fitLines(const QString& text, const QFont& font, int width, int maxLines,
                     bool* shortened) {
    width = std::max(width, 1);
    maxLines = std::max(maxLines, 1);
    QStringList all;
    for (const QString& paragraph : text.split(QLatin1Char('\n')))
        all += wrapped(paragraph, font, width);
    const bool over = all.size() > maxLines;
    QStringList out;
    for (int i = 0; i < all.size() && i < maxLines - (over ? 1 : 0); ++i)
        out << trimmedRight(all[i]);
    bool cut = false;
    if (over) {
        // The rest on one line, shortened in its middle: the end of a path or a figure stays.
        QStringList rest = all.mid(maxLines - 1);
        for (QString& r : rest)
            r = r.trimmed();
        const QString joined = rest.join(QLatin1Char(' '));
        out << QFontMetrics(font).elidedText(joined, Qt::ElideMiddle, width);
        cut = out.back() != joined;
    }
    if (shortened)
        *shortened = cut;
    return out;
}

FitLabel::FitLabel(int maxLines, QWidget* parent) : QWidget(parent), m_maxLines(maxLines) {
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    hide();
}

void FitLabel::setFullText(const QString& text) {
    if (text == m_full)
        return;
    m_full = text;
    m_toldShortened = false;
    setVisible(!text.isEmpty());
    relayout();
}

QSize FitLabel::sizeHint() const {
    const QFontMetrics fm(font());
    int widest = 0;
    for (const QString& paragraph : m_full.split(QLatin1Char('\n')))
        widest = std::max(widest, fm.horizontalAdvance(paragraph));
    return {std::min(widest, 60 * fm.averageCharWidth()),
            std::max<int>(1, static_cast<int>(m_lines.size())) * fm.lineSpacing()};
}

QSize FitLabel::minimumSizeHint() const {
    const QFontMetrics fm(font());
    // Narrow: the panel never holds the window wider than the operator makes it.
    return {10 * fm.averageCharWidth(), fm.lineSpacing()};
}

void FitLabel::relayout() {
    bool cut = false;
    const QStringList lines =
        m_full.isEmpty() ? QStringList()
                         : fitLines(m_full, font(), contentsRect().width(), m_maxLines, &cut);
    const bool changedCount = lines.size() != m_lines.size();
    m_lines = lines;
    m_shortened = cut;
    setToolTip(cut ? m_full : QString());
    if (changedCount) {
        setFixedHeight(std::max<int>(1, static_cast<int>(m_lines.size())) *
                       QFontMetrics(font()).lineSpacing());
        updateGeometry();
    }
    update();
    // A width of its own is known only once laid out in the window.
    if (cut && !m_toldShortened && isVisible() && width() > minimumSizeHint().width()) {
        m_toldShortened = true;
        emit shortened(m_full);
    }
}

void FitLabel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setPen(palette().color(QPalette::WindowText));
    const QFontMetrics fm(font());
    const QRect area = contentsRect();
    for (int i = 0; i < m_lines.size(); ++i)
        painter.drawText(area.left(), area.top() + i * fm.lineSpacing() + fm.ascent(), m_lines[i]);
}

void FitLabel::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    relayout();
}

void FitLabel::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::FontChange)
        relayout();
}

StatusPanel::StatusPanel(QWidget* parent) : QFrame(parent) {
    setObjectName(QStringLiteral("StatusPanel"));
    setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
    m_state = new FitLabel(2, this);
    m_state->setObjectName(QStringLiteral("StatusState"));
    m_progress = new FitLabel(3, this);
    m_progress->setObjectName(QStringLiteral("StatusProgress"));
    m_outcome = new FitLabel(3, this);
    m_outcome->setObjectName(QStringLiteral("StatusOutcome"));
    QFont bold = m_outcome->font();
    bold.setBold(true);
    m_outcome->setFont(bold);
    m_sharing = new FitLabel(1, this);
    m_sharing->setObjectName(QStringLiteral("StatusSharing"));
    m_register = new FitLabel(2, this);
    m_register->setObjectName(QStringLiteral("StatusRegister"));

    m_summary = new QWidget(this);
    m_files = new QTreeWidget(m_summary);
    m_files->setObjectName(QStringLiteral("SummaryList"));
    m_files->setColumnCount(3);
    m_files->setHeaderLabels(
        {QStringLiteral("File"), QStringLiteral("Records"), QStringLiteral("Size")});
    m_files->setRootIsDecorated(false);
    m_files->setUniformRowHeights(true);
    m_files->setTextElideMode(Qt::ElideMiddle);
    m_files->header()->setStretchLastSection(false);
    m_files->header()->setSectionResizeMode(colName, QHeaderView::Stretch);
    m_files->header()->setSectionResizeMode(colRecords, QHeaderView::ResizeToContents);
    m_files->header()->setSectionResizeMode(colSize, QHeaderView::ResizeToContents);
    // Four rows in sight; more scroll. The memo above gives up the room.
    const int row = m_files->fontMetrics().height() + 4;
    m_files->setFixedHeight(m_files->header()->sizeHint().height() + 4 * row + 4);
    m_openFolder = new QPushButton(QStringLiteral("Open Folder"), m_summary);
    m_openFolder->setObjectName(QStringLiteral("ButtonOpenFolder"));
    m_copyPath = new QPushButton(QStringLiteral("Copy Path"), m_summary);
    m_copyPath->setObjectName(QStringLiteral("ButtonCopyPath"));
    m_copyPath->setToolTip(QStringLiteral("Copy the selected file's path (or the folder's)"));
    auto* buttons = new QVBoxLayout;
    buttons->addWidget(m_openFolder);
    buttons->addWidget(m_copyPath);
    buttons->addStretch(1);
    auto* summaryRow = new QHBoxLayout(m_summary);
    summaryRow->setContentsMargins(0, 0, 0, 0);
    summaryRow->addWidget(m_files, 1);
    summaryRow->addLayout(buttons);
    m_summary->hide();

    connect(m_openFolder, &QPushButton::clicked, this, [this] {
        if (OpenUrl && !m_folder.isEmpty())
            OpenUrl(QUrl::fromLocalFile(m_folder));
    });
    connect(m_copyPath, &QPushButton::clicked, this, [this] {
        if (QClipboard* clipboard = QGuiApplication::clipboard())
            clipboard->setText(pathToCopy());
    });
    for (FitLabel* line : {m_state, m_progress, m_outcome, m_sharing, m_register})
        connect(line, &FitLabel::shortened, this, [this](const QString& text) {
            if (LogShortened)
                LogShortened(text);
        });

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(6, 3, 6, 3);
    column->setSpacing(2);
    column->addWidget(m_state);
    column->addWidget(m_progress);
    column->addWidget(m_outcome);
    column->addWidget(m_summary);
    column->addWidget(m_sharing);
    column->addWidget(m_register);
    updateVisibility();
}

void StatusPanel::setState(const QString& text) {
    m_state->setFullText(text);
    updateVisibility();
}

void StatusPanel::setProgress(const QString& text) {
    m_progress->setFullText(text);
    updateVisibility();
    emit progressShown(text);
}

void StatusPanel::setOutcome(const QString& text) {
    m_outcome->setFullText(text);
    updateVisibility();
}

void StatusPanel::setSharing(const QString& text) {
    m_sharing->setFullText(text);
    updateVisibility();
}

void StatusPanel::setRegister(const QString& text) {
    m_register->setFullText(text);
    updateVisibility();
}

void StatusPanel::beginDownload() {
    setOutcome({});
    clearSummary();
}

void StatusPanel::showSummary(const QString& folder, const std::vector<SummaryRow>& files) {
    m_folder = folder;
    m_files->clear();
    for (const SummaryRow& file : files) {
        const QString path = QFile::decodeName(QByteArray::fromStdString(file.path));
        auto* item = new QTreeWidgetItem(m_files);
        item->setText(colName, QFileInfo(path).fileName());
        item->setToolTip(colName, path);
        item->setData(colName, Qt::UserRole, path);
        item->setText(colRecords, file.records);
        item->setText(colSize, file.size);
        item->setTextAlignment(colRecords, Qt::AlignRight | Qt::AlignVCenter);
        item->setTextAlignment(colSize, Qt::AlignRight | Qt::AlignVCenter);
    }
    m_openFolder->setToolTip(folder);
    m_summary->setVisible(!files.empty());
    updateVisibility();
}

void StatusPanel::clearSummary() {
    m_files->clear();
    m_folder.clear();
    m_summary->hide();
    updateVisibility();
}

QString StatusPanel::pathToCopy() const {
    if (const QTreeWidgetItem* item = m_files->currentItem())
        return item->data(colName, Qt::UserRole).toString();
    return m_folder;
}

StatusPanel* StatusPanel::of(const QWidget* window) {
    return window ? window->findChild<StatusPanel*>() : nullptr;
}

void StatusPanel::updateVisibility() {
    setVisible(!m_state->fullText().isEmpty() || !m_progress->fullText().isEmpty() ||
               !m_outcome->fullText().isEmpty() || !m_sharing->fullText().isEmpty() ||
               !m_register->fullText().isEmpty() || !m_summary->isHidden());
}

StatusTipGuard::StatusTipGuard(QMainWindow* window) : QObject(window), m_bar(window->statusBar()) {
    window->installEventFilter(this);
    connect(m_bar, &QStatusBar::messageChanged, this, [this](const QString& text) {
        if (!m_hovering)
            m_kept = text;
    });
}

bool StatusTipGuard::eventFilter(QObject*, QEvent* event) {
    if (event->type() != QEvent::StatusTip || !m_bar)
        return false;
    // A hover's tip shows over the kept message; its end (an empty tip) brings that back
    // instead of wiping it.
    const QString tip = static_cast<QStatusTipEvent*>(event)->tip();
    m_hovering = true;
    if (!tip.isEmpty())
        m_bar->showMessage(tip);
    else if (!m_kept.isEmpty())
        m_bar->showMessage(m_kept);
    else
        m_bar->clearMessage();
    m_hovering = false;
    return true;
}

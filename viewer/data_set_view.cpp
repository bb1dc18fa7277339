// SPDX-License-Identifier: GPL-3.0-or-later
#include "viewer/data_set_view.h"

#include "viewer/column_list_model.h"
#include "viewer/row_table_model.h"
#include "viewer/stats_model.h"

#include <QCategoryAxis>
#include <QCheckBox>
#include <QHeaderView>
#include <QLabel>
#include <QLegendMarker>
#include <QLineSeries>
#include <QListView>
#include <QMouseEvent>
#include <QPainter>
#include <QSaveFile>
#include <QScatterSeries>
#include <QSet>
#include <QSplitter>
#include <QTableView>
#include <QTimer>
#include <QVBoxLayout>
#include <QValueAxis>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>

namespace viewer {

namespace {

// More polylines than this in one series (a column full of gaps) are joined into the last:
// each piece is a chart item of its own, and thousands of them would make every redraw slow.
constexpr std::size_t kMaxPieces = 200;

// Columns and rows of the table measured for their widths: the rest take the usual width.
constexpr int kMeasuredColumns = 64;
constexpr int kMeasuredRows = 64;

// A printf format that shows ticks `step` apart over values up to `largest` in full: as
// many decimals as the step needs, or as many significant digits where a fixed point would
// be too long. Qt's default ("%.6g" cut into "12....") elides what does not fit.
QString tickFormat(double step, double largest) {
    if (!(step > 0) || !std::isfinite(step) || !std::isfinite(largest))
        return QStringLiteral("%g");
    const int stepDigit = static_cast<int>(std::floor(std::log10(step)));
    const int topDigit = largest > 0 ? static_cast<int>(std::floor(std::log10(largest))) : 0;
    if (topDigit < 9 && stepDigit > -7) {
        // Enough decimals for the step's own precision (0.25 needs two).
        int decimals = std::max(0, -stepDigit);
        while (decimals < 9) {
            const double scaled = step * std::pow(10.0, decimals);
            if (std::abs(scaled - std::round(scaled)) < 1e-6 * scaled)
                break;
            ++decimals;
        }
        return QStringLiteral("%.%1f").arg(decimals);
    }
    const int significant = std::clamp(topDigit - stepDigit + 2, 2, 17);
    return QStringLiteral("%.%1g").arg(significant);
}

} // namespace

QString timeAxisTitle(DataSet::Clock clock) {
    switch (clock) {
    case DataSet::Clock::Utc:
        return QStringLiteral("Time (UTC)");
    case DataSet::Clock::Unit:
        return QStringLiteral("Time (the unit's own clock)");
    case DataSet::Clock::Mixed:
        break;
    }
    return QStringLiteral("Time (UTC, the unit's own clock where its offset is not known)");
}

// ---- PlotChartView ----

PlotChartView::PlotChartView(QChart* chart, QWidget* parent) : QChartView(chart, parent) {
    setRubberBand(QChartView::HorizontalRubberBand);
    setRenderHint(QPainter::Antialiasing);
    setMouseTracking(true);
}

void PlotChartView::wheelEvent(QWheelEvent* event) {
    const QRectF area = chart()->plotArea();
    const double steps = event->angleDelta().y() / 120.0;
    if (steps == 0 || area.width() <= 0) {
        event->ignore();
        return;
    }
    const double factor = std::pow(0.8, steps); // < 1 zooms in
    // Keep the value under the pointer where it is.
    const double px = std::clamp(event->position().x() - area.left(), 0.0, area.width());
    const double left = px * (1 - factor);
    const double width = area.width() * factor;
    chart()->zoomIn(QRectF(area.left() + left, area.top(), width, area.height()));
    event->accept();
}

void PlotChartView::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::MiddleButton ||
        (event->button() == Qt::LeftButton && (event->modifiers() & Qt::ShiftModifier))) {
        m_panning = true;
        m_panFrom = event->position();
        event->accept();
        return;
    }
    QChartView::mousePressEvent(event);
}

void PlotChartView::mouseMoveEvent(QMouseEvent* event) {
    if (m_panning) {
        const double dx = event->position().x() - m_panFrom.x();
        m_panFrom = event->position();
        chart()->scroll(-dx, 0);
        event->accept();
    } else {
        QChartView::mouseMoveEvent(event);
    }
    emit pointerMoved(mapToScene(event->position().toPoint()));
}

void PlotChartView::mouseReleaseEvent(QMouseEvent* event) {
    if (m_panning) {
        m_panning = false;
        event->accept();
        return;
    }
    QChartView::mouseReleaseEvent(event);
}

void PlotChartView::setVerticalMarks(std::vector<double> xs) {
    if (xs == m_marks)
        return;
    m_marks = std::move(xs);
    viewport()->update();
}

void PlotChartView::drawForeground(QPainter* painter, const QRectF& rect) {
    QChartView::drawForeground(painter, rect);
    const auto* axis = chart()->axes(Qt::Horizontal).value(0);
    const auto* values = qobject_cast<const QValueAxis*>(axis);
    if (m_marks.empty() || !values || !(values->max() > values->min()))
        return;
    const QRectF area = chart()->mapRectToScene(chart()->plotArea());
    painter->save();
    QPen pen(QColor(120, 120, 120));
    pen.setStyle(Qt::DashLine);
    pen.setCosmetic(true);
    painter->setPen(pen);
    const double scale = area.width() / (values->max() - values->min());
    for (const double x : m_marks) {
        const double at = area.left() + (x - values->min()) * scale;
        if (at >= area.left() && at <= area.right())
            painter->drawLine(QPointF(at, area.top()), QPointF(at, area.bottom()));
    }
    painter->restore();
}

void PlotChartView::leaveEvent(QEvent* event) {
    QChartView::leaveEvent(event);
    emit pointerLeft();
}

// ---- DataSetView ----

DataSetView::DataSetView(std::shared_ptr<const DataSet> set, QWidget* parent)
    : QWidget(parent), m_set(std::move(set)) {
    buildControls();
    rebuildTracks();
    resetZoom();
    redraw(); // drawn when shown, not one event later
}

DataSetView::~DataSetView() = default;

// Whole: the view's controls top to bottom as the reader sees them.
void DataSetView::buildControls() {
    const DataSet& set = *m_set;
    m_chart = new QChart;
    m_chart->setTitle(set.name);
    m_chart->legend()->setAlignment(Qt::AlignBottom);
    m_chart->setMargins(QMargins(4, 4, 4, 4));

    if (set.axis == Axis::Time) {
        m_timeAxis = new QCategoryAxis;
        m_timeAxis->setLabelsPosition(QCategoryAxis::AxisLabelsPositionOnValue);
        m_timeAxis->setTitleText(timeAxisTitle(set.clock));
        m_xAxis = m_timeAxis;
    } else {
        m_xAxis = new QValueAxis;
        m_xAxis->setLabelFormat(QStringLiteral("%.0f"));
        m_xAxis->setTitleText(QStringLiteral("Row"));
    }
    m_chart->addAxis(m_xAxis, Qt::AlignBottom);
    connect(m_xAxis, &QValueAxis::rangeChanged, this, [this](qreal lo, qreal hi) {
        Q_UNUSED(lo);
        Q_UNUSED(hi);
        if (!m_settingRange)
            scheduleRedraw();
    });
    connect(m_chart, &QChart::plotAreaChanged, this, [this](const QRectF& area) {
        // Only a new width changes what is drawn (the points per pixel, the time ticks).
        const int pixels = std::max(16, static_cast<int>(area.width()));
        if (pixels != m_drawn.pixels && pixels != m_widthBefore)
            scheduleRedraw();
    });

    m_chartView = new PlotChartView(m_chart, this);
    m_chartView->setMinimumSize(360, 240);
    connect(m_chartView, &PlotChartView::pointerMoved, this, &DataSetView::onPointer);
    connect(m_chartView, &PlotChartView::pointerLeft, this, [this] { m_hover->clear(); });

    m_columns = new ColumnListModel(m_set, this);
    m_columnList = new QListView(this);
    m_columnList->setUniformItemSizes(true);
    m_columnList->setModel(m_columns);
    connect(m_columns, &ColumnListModel::shownChanged, this, [this] { rebuildTracks(); });
    connect(m_columns, &ColumnListModel::tooMany, this, [this] {
        emit message(QStringLiteral("At most %1 columns are drawn at once: untick one first.")
                         .arg(ColumnListModel::kMaxShown));
    });
    m_separate = new QCheckBox(QStringLiteral("Separate axes"), this);
    m_separate->setChecked(true);
    connect(m_separate, &QCheckBox::toggled, this, [this] { rebuildTracks(); });

    m_statsModel = new StatsModel(m_set, this);
    m_stats = new QTableView(this);
    m_stats->setModel(m_statsModel);
    m_stats->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_stats->verticalHeader()->hide();
    m_stats->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    m_stats->verticalHeader()->setDefaultSectionSize(m_stats->fontMetrics().height() + 4);

    m_table = new QTableView(this);
    // The rows' height is set before the rows are there: set after, it is set on each of
    // them, one signal a row (seconds for a series of millions).
    m_table->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    m_table->verticalHeader()->setDefaultSectionSize(m_table->fontMetrics().height() + 4);
    m_table->setModel(new RowTableModel(m_set, m_table));
    m_table->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    sizeTableColumns();

    m_hover = new QLabel(this);
    m_hover->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_hover->setMinimumHeight(m_hover->fontMetrics().height());

    auto* left = new QWidget(this);
    auto* leftColumn = new QVBoxLayout(left);
    leftColumn->setContentsMargins(0, 0, 0, 0);
    leftColumn->addWidget(new QLabel(QStringLiteral("Columns"), left));
    leftColumn->addWidget(m_columnList, 1);
    leftColumn->addWidget(m_separate);
    leftColumn->addWidget(new QLabel(QStringLiteral("Statistics"), left));
    leftColumn->addWidget(m_stats, 1);

    auto* middle = new QWidget(this);
    auto* middleColumn = new QVBoxLayout(middle);
    middleColumn->setContentsMargins(0, 0, 0, 0);
    middleColumn->addWidget(m_chartView, 1);
    middleColumn->addWidget(m_hover);
    const QString info = set.summary();
    auto* infoLabel = new QLabel(info, middle);
    infoLabel->setObjectName(QStringLiteral("rowInfo"));
    infoLabel->setWordWrap(true);
    middleColumn->addWidget(infoLabel);

    auto* splitter = new QSplitter(Qt::Horizontal, this);
    splitter->addWidget(left);
    splitter->addWidget(middle);
    splitter->addWidget(m_table);
    splitter->setStretchFactor(0, 0);
    splitter->setStretchFactor(1, 3);
    splitter->setStretchFactor(2, 1);
    splitter->setSizes({260, 560, 300});
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(2, 2, 2, 2);
    layout->addWidget(splitter);

    m_redrawTimer = new QTimer(this);
    m_redrawTimer->setSingleShot(true);
    m_redrawTimer->setInterval(0);
    connect(m_redrawTimer, &QTimer::timeout, this, &DataSetView::redrawIfChanged);
}

void DataSetView::sizeTableColumns() {
    // Each column as wide as its title and the first rows' cells; a file of a million
    // columns is measured only at its start.
    const QAbstractItemModel* model = m_table->model();
    const QFontMetrics metrics(m_table->font());
    const QFontMetrics headMetrics(m_table->horizontalHeader()->font());
    const int columns = std::min(model->columnCount(), kMeasuredColumns);
    const int rows = std::min(model->rowCount(), kMeasuredRows);
    for (int c = 0; c < columns; ++c) {
        int width = headMetrics.horizontalAdvance(model->headerData(c, Qt::Horizontal).toString());
        for (int r = 0; r < rows; ++r)
            width =
                std::max(width, metrics.horizontalAdvance(model->index(r, c).data().toString()));
        m_table->horizontalHeader()->resizeSection(c, width + 16);
    }
    QHeaderView* head = m_stats->horizontalHeader();
    const int statsRows = std::min(m_statsModel->rowCount(), kMeasuredRows);
    for (int c = 0; c < StatsModel::Fields; ++c) {
        int width =
            headMetrics.horizontalAdvance(m_statsModel->headerData(c, Qt::Horizontal).toString());
        for (int r = 0; r < statsRows; ++r)
            width = std::max(width, metrics.horizontalAdvance(
                                        m_statsModel->text(r, static_cast<StatsModel::Field>(c))));
        head->resizeSection(c, width + 16);
    }
}

std::vector<int> DataSetView::shownColumns() const {
    std::vector<int> out;
    for (int i = 0; i < m_columns->rowCount(); ++i)
        if (m_columns->shown(i))
            out.push_back(m_columns->column(i));
    return out;
}

void DataSetView::setColumnShown(int column, bool shown) {
    for (int i = 0; i < m_columns->rowCount(); ++i)
        if (m_columns->column(i) == column)
            m_columns->setShown(i, shown);
}

void DataSetView::setSeparateAxes(bool separate) {
    m_separate->setChecked(separate);
}

QLineSeries* DataSetView::seriesOf(int column) const {
    for (const Track& t : m_tracks)
        if (t.column == column && !t.pieces.empty())
            return t.pieces.front();
    return nullptr;
}

QLineSeries* DataSetView::addPiece(Track& track) {
    auto* series = new QLineSeries;
    series->setName(m_set->title(static_cast<std::size_t>(track.column)));
    QPen pen(track.colour);
    pen.setWidthF(1.5);
    series->setPen(pen);
    m_chart->addSeries(series);
    series->attachAxis(m_xAxis);
    series->attachAxis(track.yAxis ? track.yAxis : m_sharedY);
    if (!track.pieces.empty()) // one legend entry per column
        for (QLegendMarker* marker : m_chart->legend()->markers(series))
            marker->setVisible(false);
    track.pieces.push_back(series);
    return series;
}

void DataSetView::rebuildTracks() {
    for (Track& t : m_tracks) {
        for (QLineSeries* s : t.pieces) {
            m_chart->removeSeries(s);
            delete s;
        }
        if (t.yAxis) {
            m_chart->removeAxis(t.yAxis);
            delete t.yAxis;
        }
    }
    m_tracks.clear();
    ++m_generation;
    if (m_flagged) {
        m_chart->removeSeries(m_flagged);
        delete m_flagged;
        m_flagged = nullptr;
    }
    if (m_sharedY) {
        m_chart->removeAxis(m_sharedY);
        delete m_sharedY;
        m_sharedY = nullptr;
    }

    const bool separate = m_separate->isChecked();
    if (!separate) {
        m_sharedY = new QValueAxis;
        m_chart->addAxis(m_sharedY, Qt::AlignLeft);
    }
    for (int i = 0; i < m_columns->rowCount(); ++i) {
        if (!m_columns->shown(i))
            continue;
        Track t;
        t.column = m_columns->column(i);
        t.colour = ColumnListModel::colour(i);
        if (separate) {
            t.yAxis = new QValueAxis;
            t.yAxis->setLabelsColor(t.colour);
            t.yAxis->setLinePenColor(t.colour);
            t.yAxis->setTitleText(m_set->title(static_cast<std::size_t>(t.column)));
            t.yAxis->setTitleBrush(t.colour);
            // Alternate sides so that each axis stays readable; only the first draws a grid.
            t.yAxis->setGridLineVisible(m_tracks.empty());
            m_chart->addAxis(t.yAxis, m_tracks.size() % 2 == 0 ? Qt::AlignLeft : Qt::AlignRight);
        }
        m_tracks.push_back(t);
        addPiece(m_tracks.back());
    }
    if (!m_set->marks.flaggedRows.empty() && !m_tracks.empty()) {
        // On the first column drawn, where its value is; at the foot of its axis where none.
        m_flagged = new QScatterSeries;
        m_flagged->setName(QStringLiteral("Flagged records"));
        m_flagged->setMarkerShape(QScatterSeries::MarkerShapeRectangle);
        m_flagged->setMarkerSize(7);
        m_flagged->setColor(QColor(200, 30, 30));
        m_flagged->setBorderColor(QColor(200, 30, 30));
        m_chart->addSeries(m_flagged);
        m_flagged->attachAxis(m_xAxis);
        m_flagged->attachAxis(m_tracks.front().yAxis ? m_tracks.front().yAxis : m_sharedY);
    }
    redraw();
}

void DataSetView::markRows(double x0, double x1, int pixels) {
    const DataSet& set = *m_set;
    const RowMarks& marks = set.marks;
    if (!marks.segmentStarts.empty()) {
        std::vector<double> shown;
        const auto from =
            std::lower_bound(marks.segmentStarts.begin(), marks.segmentStarts.end(), x0);
        const auto to = std::upper_bound(from, marks.segmentStarts.end(), x1);
        for (auto it = from; it != to && shown.size() < static_cast<std::size_t>(pixels); ++it)
            shown.push_back(*it);
        m_chartView->setVerticalMarks(std::move(shown));
    }
    if (!m_flagged)
        return;
    // One point per pixel column: the first flagged row in it. The rows are in x order, so
    // each column's first is found by a search from the last one's.
    const Track& track = m_tracks.front();
    const std::vector<double>& values = set.columns[static_cast<std::size_t>(track.column)].values;
    const QValueAxis* yAxis = track.yAxis ? track.yAxis : m_sharedY;
    const double step = (x1 - x0) / pixels;
    auto xOf = [&](std::size_t row) { return set.x[row]; };
    auto firstAtOrAfter = [&](std::vector<std::size_t>::const_iterator from, double x) {
        return std::partition_point(from, marks.flaggedRows.end(),
                                    [&](std::size_t row) { return xOf(row) < x; });
    };
    QList<QPointF> points;
    auto it = firstAtOrAfter(marks.flaggedRows.begin(), x0);
    while (it != marks.flaggedRows.end() && xOf(*it) <= x1 && step > 0) {
        const std::size_t row = *it;
        const double v = values.empty() ? std::nan("") : values[row];
        points.append(QPointF(xOf(row), std::isnan(v) ? yAxis->min() : v));
        const double column = std::floor((xOf(row) - x0) / step);
        it = firstAtOrAfter(it + 1, x0 + (column + 1) * step);
    }
    m_flagged->replace(points);
}

void DataSetView::scheduleRedraw() {
    if (!m_redrawTimer->isActive())
        m_redrawTimer->start();
}

void DataSetView::redrawIfChanged() {
    const Drawn now{m_xAxis->min(), m_xAxis->max(),
                    std::max(16, static_cast<int>(m_chart->plotArea().width())), m_generation};
    if (!(now == m_drawn))
        redraw();
}

void DataSetView::setYRange(QValueAxis* axis, double lo, double hi) {
    // Halves first: the span of values near the limits must not overflow.
    const double span = hi / 2 - lo / 2;
    const double pad = span > 0 ? span * 0.1 : std::max(std::abs(hi) * 0.05, 1.0);
    axis->setRange(lo - pad, hi + pad);
    if (std::abs(lo) < 1e290 && std::abs(hi) < 1e290)
        axis->applyNiceNumbers();
    const double step = (axis->max() - axis->min()) / std::max(1, axis->tickCount() - 1);
    const QString format = tickFormat(step, std::max(std::abs(axis->min()), std::abs(axis->max())));
    if (axis->labelFormat() != format)
        axis->setLabelFormat(format);
}

double DataSetView::xMin() const {
    return m_xAxis->min();
}

double DataSetView::xMax() const {
    return m_xAxis->max();
}

void DataSetView::setXRange(double x0, double x1) {
    m_settingRange = true;
    m_xAxis->setRange(x0, x1);
    m_settingRange = false;
    scheduleRedraw();
}

void DataSetView::resetZoom() {
    const DataSet& set = *m_set;
    double x0 = set.x.front(), x1 = set.x.back();
    if (!(x1 > x0)) {
        const double pad = set.axis == Axis::Time ? 60 : 1;
        x0 -= pad;
        x1 += pad;
    }
    setXRange(x0, x1);
}

void DataSetView::updateTimeTicks(double x0, double x1) {
    for (const QString& label : m_timeAxis->categoriesLabels())
        m_timeAxis->remove(label);
    const double width = std::max(200.0, m_chart->plotArea().width());
    const int maxTicks = std::max(2, static_cast<int>(width / 90));
    // The axis labels each category at its end and never shows the first one: a blank
    // first category ends just inside the range. Labels must be unique, so a repeated one
    // (the same hour on another day) gets invisible zero-width spaces.
    m_timeAxis->setStartValue(x0);
    const double epsilon = (x1 - x0) * 1e-9;
    m_timeAxis->append(QStringLiteral(" "), x0 + epsilon);
    QSet<QString> used;
    for (const TimeTick& tick : timeTicks(x0, x1, maxTicks)) {
        if (tick.seconds <= x0 + epsilon)
            continue;
        QString label = tick.label;
        while (used.contains(label))
            label += QChar(0x200B);
        used.insert(label);
        m_timeAxis->append(label, tick.seconds);
    }
    // The start in the title where it fits whole (a cut title reads as a wrong time).
    const QString title = timeAxisTitle(m_set->clock);
    const QString full = QStringLiteral("%1, from %2").arg(title, displayDateTime(x0));
    const bool fits = QFontMetrics(m_timeAxis->titleFont()).horizontalAdvance(full) + 24 <= width &&
                      m_chart->plotArea().width() >= width;
    m_timeAxis->setTitleText(fits ? full : title);
}

void DataSetView::redraw() {
    m_redrawTimer->stop();
    const DataSet& set = *m_set;
    const double x0 = m_xAxis->min(), x1 = m_xAxis->max();
    const int pixels = std::max(16, static_cast<int>(m_chart->plotArea().width()));
    const Drawn now{x0, x1, pixels, m_generation};
    if (now.x0 == m_drawn.x0 && now.x1 == m_drawn.x1 && now.generation == m_drawn.generation &&
        now.pixels != m_drawn.pixels)
        m_widthBefore = m_drawn.pixels;
    else
        m_widthBefore = 0;
    m_drawn = now;
    ++m_redraws;
    {
        const auto first = std::lower_bound(set.x.begin(), set.x.end(), x0) - set.x.begin();
        const auto last = std::upper_bound(set.x.begin(), set.x.end(), x1) - set.x.begin();
        m_statsModel->setSpan(static_cast<std::size_t>(first), static_cast<std::size_t>(last));
    }
    const double gap = set.axis == Axis::Time ? set.gapSeconds : 0;
    if (m_timeAxis) // the number of ticks follows the width, so they are made here
        updateTimeTicks(x0, x1);
    double sharedLo = 0, sharedHi = 0;
    bool sharedAny = false;
    for (Track& t : m_tracks) {
        const Column& col = set.columns[static_cast<std::size_t>(t.column)];
        std::vector<Polyline> lines =
            decimate(set.x.data(), col.values.data(), set.rowCount(), x0, x1, pixels, gap);
        if (lines.size() > kMaxPieces) {
            for (std::size_t i = kMaxPieces; i < lines.size(); ++i)
                lines[kMaxPieces - 1].insert(lines[kMaxPieces - 1].end(), lines[i].begin(),
                                             lines[i].end());
            lines.resize(kMaxPieces);
        }
        double lo = 0, hi = 0;
        bool any = false;
        while (t.pieces.size() < lines.size())
            addPiece(t);
        for (std::size_t i = 0; i < t.pieces.size(); ++i) {
            QList<QPointF> points;
            if (i < lines.size()) {
                points.reserve(static_cast<qsizetype>(lines[i].size()));
                for (const PlotPoint& p : lines[i]) {
                    points.append(QPointF(p.x, p.y));
                    if (p.x >= x0 && p.x <= x1) {
                        lo = any ? std::min(lo, p.y) : p.y;
                        hi = any ? std::max(hi, p.y) : p.y;
                        any = true;
                    }
                }
            }
            t.pieces[i]->replace(points);
        }
        if (!any) { // nothing in view: keep the whole column's range
            lo = col.stats.min;
            hi = col.stats.max;
        }
        if (t.yAxis) {
            setYRange(t.yAxis, lo, hi);
        } else {
            sharedLo = sharedAny ? std::min(sharedLo, lo) : lo;
            sharedHi = sharedAny ? std::max(sharedHi, hi) : hi;
            sharedAny = true;
        }
    }
    if (m_sharedY && sharedAny)
        setYRange(m_sharedY, sharedLo, sharedHi);
    markRows(x0, x1, pixels);
}

QString DataSetView::valuesAt(double x) const {
    const DataSet& set = *m_set;
    if (set.rowCount() == 0)
        return {};
    const std::size_t row = nearestIndex(set.x.data(), set.rowCount(), x);
    QString text = set.axis == Axis::Time
                       ? displayDateTime(set.x[row])
                       : QStringLiteral("Row %1").arg(static_cast<qint64>(set.x[row]));
    for (const Track& t : m_tracks) {
        const Column& col = set.columns[static_cast<std::size_t>(t.column)];
        const double v = col.values[row];
        text += QStringLiteral("   %1: %2")
                    .arg(set.title(static_cast<std::size_t>(t.column)),
                         std::isnan(v) ? QStringLiteral("-") : formatValue(v));
    }
    const QString flags = set.marks.flagsOf(row);
    if (!flags.isEmpty())
        text += QStringLiteral("   flagged: %1").arg(flags);
    return text;
}

void DataSetView::onPointer(QPointF scenePos) {
    const QRectF area = m_chart->plotArea();
    const QPointF pos = m_chart->mapFromScene(scenePos);
    if (!area.contains(pos) || area.width() <= 0) {
        m_hover->clear();
        return;
    }
    const double x = xMin() + (pos.x() - area.left()) / area.width() * (xMax() - xMin());
    const QString text = valuesAt(x);
    m_hover->setText(text);
    emit hoverText(text);
}

bool DataSetView::savePicture(const QString& path, QString& error) {
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || !m_chartView->grab().save(&file, "PNG") ||
        !file.commit()) {
        error = file.errorString();
        return false;
    }
    return true;
}

bool DataSetView::exportCsv(const QString& path, QString& error) {
    // QSaveFile: an existing file is replaced only once the new one is complete.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) ||
        !writeCsv(*m_set,
                  [&file](const QByteArray& piece) { return file.write(piece) == piece.size(); }) ||
        !file.commit()) {
        error = file.errorString();
        return false;
    }
    return true;
}

} // namespace viewer

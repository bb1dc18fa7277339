// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// One data set on screen: the column list (which series to draw, on shared or separate
// axes), the plot with zoom and pan, the values under the mouse, the statistics per column
// and the table of rows. What the plot draws comes from decimate(): redrawing costs the
// same for a hundred rows as for a million. UI thread only.

#include "viewer/decimation.h"
#include "viewer_reader/data_file.h"

#include <QChartView>
#include <QWidget>

#include <memory>
#include <vector>

class QCheckBox;
class QLabel;
class QListView;
class QTableView;
class QTimer;
class QAbstractAxis;
class QCategoryAxis;
class QLineSeries;
class QScatterSeries;
class QValueAxis;

namespace viewer {

// The time axis' title by the clock the times are on: "Time (UTC)", "Time (the unit's own
// clock)"; never UTC for a unit's own time.
QString timeAxisTitle(DataSet::Clock clock);

class ColumnListModel;
class StatsModel;

// Chart view with the viewer's mouse: drag to zoom into a time span, wheel to zoom at the
// pointer, middle drag or Shift + drag to pan, right click to zoom out.
class PlotChartView : public QChartView {
    Q_OBJECT
public:
    explicit PlotChartView(QChart* chart, QWidget* parent = nullptr);

    // Lines across the plot at these x (a series' segment starts, those in view), drawn over
    // the chart.
    void setVerticalMarks(std::vector<double> xs);
    const std::vector<double>& verticalMarks() const { return m_marks; }

signals:
    void pointerMoved(QPointF scenePos);
    void pointerLeft();

protected:
    void drawForeground(QPainter* painter, const QRectF& rect) override;
    void wheelEvent(QWheelEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    bool m_panning = false;
    QPointF m_panFrom;
    std::vector<double> m_marks;
};

class DataSetView : public QWidget {
    Q_OBJECT
public:
    explicit DataSetView(std::shared_ptr<const DataSet> set, QWidget* parent = nullptr);
    ~DataSetView() override;

    const DataSet& dataSet() const { return *m_set; }
    QChart* chart() const { return m_chart; }
    PlotChartView* chartView() const { return m_chartView; }
    QListView* columnList() const { return m_columnList; }
    ColumnListModel* columnModel() const { return m_columns; }
    QCheckBox* separateAxesBox() const { return m_separate; }
    QTableView* rowTable() const { return m_table; }
    QTableView* statsTable() const { return m_stats; }
    StatsModel* statsModel() const { return m_statsModel; }
    // Times the series were decimated and handed to the chart (an idle view adds none).
    int redrawCount() const { return m_redraws; }

    // Data-set column indexes drawn now, in list order.
    std::vector<int> shownColumns() const;
    void setColumnShown(int column, bool shown);
    void setSeparateAxes(bool separate);
    // The series drawing a column (its first piece carries the legend entry).
    QLineSeries* seriesOf(int column) const;
    // A series' flagged records in view, at most one point per pixel column (null for a data
    // file).
    QScatterSeries* flaggedSeries() const { return m_flagged; }

    void setXRange(double x0, double x1);
    double xMin() const;
    double xMax() const;
    void resetZoom();
    // Decimates and hands the points to the chart now (normally deferred and coalesced, and
    // only when the range, the columns or the plot's width changed).
    void redraw();
    // The values under an x position, for the status line.
    QString valuesAt(double x) const;

    bool savePicture(const QString& path, QString& error);
    bool exportCsv(const QString& path, QString& error);

signals:
    void hoverText(const QString& text);
    void message(const QString& text); // for the status line

private:
    struct Track {
        int column = 0;
        QColor colour;
        QValueAxis* yAxis = nullptr; // its own when axes are separate
        std::vector<QLineSeries*> pieces;
    };

    void buildControls();
    void sizeTableColumns();
    void rebuildTracks();
    void scheduleRedraw();
    void redrawIfChanged();
    void setYRange(QValueAxis* axis, double lo, double hi);
    void updateTimeTicks(double x0, double x1);
    QLineSeries* addPiece(Track& track);
    void markRows(double x0, double x1, int pixels);
    void onPointer(QPointF scenePos);

    std::shared_ptr<const DataSet> m_set;
    QChart* m_chart = nullptr;
    PlotChartView* m_chartView = nullptr;
    QValueAxis* m_xAxis = nullptr;       // a QCategoryAxis when the axis is time
    QCategoryAxis* m_timeAxis = nullptr; // the same object, or null
    QValueAxis* m_sharedY = nullptr;
    QListView* m_columnList = nullptr;
    ColumnListModel* m_columns = nullptr;
    QCheckBox* m_separate = nullptr;
    QTableView* m_table = nullptr;
    QTableView* m_stats = nullptr;
    StatsModel* m_statsModel = nullptr;
    QLabel* m_hover = nullptr;
    QScatterSeries* m_flagged = nullptr;
    QTimer* m_redrawTimer = nullptr;
    std::vector<Track> m_tracks;
    bool m_settingRange = false;
    // What the last redraw drew: a plot-area change that leaves these alone (the axes'
    // labels moving the plot by a pixel and back) draws nothing.
    struct Drawn {
        double x0 = 0, x1 = 0;
        int pixels = 0;
        int generation = -1;
        bool operator==(const Drawn&) const = default;
    };
    Drawn m_drawn;
    int m_widthBefore = 0; // the width drawn before the last, to stop a two-width swing
    int m_generation = 0;  // bumped when the tracks change
    int m_redraws = 0;
};

} // namespace viewer

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Statistics per numeric column: the whole file's, and beside them those of the span on
// screen. The span's are worked out when a row is shown (a million columns cost nothing
// until scrolled to) and forgotten when the span moves.

#include "viewer_reader/data_file.h"

#include <QAbstractTableModel>

#include <memory>
#include <optional>
#include <vector>

namespace viewer {

class StatsModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Field { Title, Count, Min, Max, Mean, ViewCount, ViewMin, ViewMax, ViewMean, Fields };

    explicit StatsModel(std::shared_ptr<const DataSet> set, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

    // The rows [from, to) on screen.
    void setSpan(std::size_t from, std::size_t to);
    QString text(int row, Field field) const;

private:
    const ColumnStats& spanStats(int row) const;

    std::shared_ptr<const DataSet> m_set;
    std::vector<int> m_columns;
    std::size_t m_from = 0, m_to = 0;
    mutable std::vector<std::optional<ColumnStats>> m_span;
};

QString formatValue(double v);

} // namespace viewer

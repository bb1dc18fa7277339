// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The data set's numeric columns as a checkable list: any number of them listed (a model,
// not one widget item each), at most kMaxShown ticked at once, the first ones to begin with.

#include "viewer_reader/data_file.h"

#include <QAbstractListModel>
#include <QColor>

#include <memory>
#include <vector>

namespace viewer {

class ColumnListModel : public QAbstractListModel {
    Q_OBJECT
public:
    static constexpr int kMaxShown = 8;
    static constexpr int kColumnRole = Qt::UserRole; // the data-set column of a list row

    explicit ColumnListModel(std::shared_ptr<const DataSet> set, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role) override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

    int column(int row) const { return m_columns[static_cast<std::size_t>(row)]; }
    bool shown(int row) const { return m_shown[static_cast<std::size_t>(row)] != 0; }
    int shownCount() const { return m_shownCount; }
    // False when that would tick more than kMaxShown.
    bool setShown(int row, bool shown);
    static QColor colour(int row);

signals:
    void shownChanged();
    void tooMany(); // a tick refused

private:
    std::shared_ptr<const DataSet> m_set;
    std::vector<int> m_columns;
    std::vector<char> m_shown;
    int m_shownCount = 0;
};

} // namespace viewer

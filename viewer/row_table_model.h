// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The rows of a data set for a table view: the time (or row number) and each cell as the
// unit wrote it. Cells are split from the file's bytes when the view asks for them, so a
// million rows cost no more than the file itself.

#include "viewer_reader/data_file.h"

#include <QAbstractTableModel>

#include <memory>

namespace viewer {

class RowTableModel : public QAbstractTableModel {
    Q_OBJECT
public:
    explicit RowTableModel(std::shared_ptr<const DataSet> set, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

private:
    std::shared_ptr<const DataSet> m_set;
    // The last row split, since a view asks for its cells one by one.
    mutable int m_cachedRow = -1;
    mutable QStringList m_cachedCells;
};

} // namespace viewer

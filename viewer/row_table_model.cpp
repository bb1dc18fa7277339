// SPDX-License-Identifier: GPL-3.0-or-later
#include "viewer/row_table_model.h"

#include <limits>

namespace viewer {

RowTableModel::RowTableModel(std::shared_ptr<const DataSet> set, QObject* parent)
    : QAbstractTableModel(parent), m_set(std::move(set)) {}

int RowTableModel::rowCount(const QModelIndex& parent) const {
    if (parent.isValid())
        return 0;
    return static_cast<int>(
        std::min<std::size_t>(m_set->rowCount(), std::numeric_limits<int>::max()));
}

int RowTableModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_set->columns.size()) + 1;
}

QVariant RowTableModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || (role != Qt::DisplayRole && role != Qt::TextAlignmentRole))
        return {};
    if (role == Qt::TextAlignmentRole)
        return index.column() == 0 ? QVariant() : QVariant(Qt::AlignRight | Qt::AlignVCenter);
    const auto row = static_cast<std::size_t>(index.row());
    if (index.column() == 0)
        return m_set->axis == Axis::Time ? displayDateTime(m_set->x[row])
                                         : QString::number(static_cast<qint64>(m_set->x[row]));
    if (m_cachedRow != index.row()) {
        m_cachedCells = m_set->rowCells(row);
        m_cachedRow = index.row();
    }
    const qsizetype at = index.column() - 1 + m_set->timeCells;
    return at < m_cachedCells.size() ? m_cachedCells[at] : QString();
}

QVariant RowTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (role != Qt::DisplayRole)
        return {};
    if (orientation == Qt::Vertical)
        return section + 1;
    if (section == 0)
        return m_set->axis == Axis::Time ? QStringLiteral("Time") : QStringLiteral("Row");
    return m_set->columns[static_cast<std::size_t>(section - 1)].title;
}

} // namespace viewer

// SPDX-License-Identifier: GPL-3.0-or-later
#include "viewer/column_list_model.h"

namespace viewer {

ColumnListModel::ColumnListModel(std::shared_ptr<const DataSet> set, QObject* parent)
    : QAbstractListModel(parent), m_set(std::move(set)) {
    for (std::size_t c = 0; c < m_set->columns.size(); ++c)
        if (m_set->columns[c].numeric)
            m_columns.push_back(static_cast<int>(c));
    m_shown.assign(m_columns.size(), 0);
    for (std::size_t i = 0; i < m_shown.size() && i < kMaxShown; ++i)
        m_shown[i] = 1;
    m_shownCount = static_cast<int>(std::min<std::size_t>(m_columns.size(), kMaxShown));
}

int ColumnListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_columns.size());
}

QColor ColumnListModel::colour(int row) {
    static const QColor kColours[] = {
        QColor(0x1f, 0x77, 0xb4), QColor(0xd6, 0x27, 0x28), QColor(0x2c, 0xa0, 0x2c),
        QColor(0xff, 0x7f, 0x0e), QColor(0x94, 0x67, 0xbd), QColor(0x8c, 0x56, 0x4b),
        QColor(0xe3, 0x77, 0xc2), QColor(0x17, 0xbe, 0xcf), QColor(0x7f, 0x7f, 0x7f),
        QColor(0xbc, 0xbd, 0x22),
    };
    return kColours[static_cast<std::size_t>(row) % std::size(kColours)];
}

QVariant ColumnListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid())
        return {};
    const int row = index.row();
    switch (role) {
    case Qt::DisplayRole:
        return m_set->title(static_cast<std::size_t>(column(row)));
    case Qt::CheckStateRole:
        return shown(row) ? Qt::Checked : Qt::Unchecked;
    case Qt::DecorationRole:
        return colour(row);
    case kColumnRole:
        return column(row);
    default:
        return {};
    }
}

bool ColumnListModel::setShown(int row, bool on) {
    if (row < 0 || row >= rowCount() || shown(row) == on)
        return true;
    if (on && m_shownCount >= kMaxShown) {
        emit tooMany();
        return false;
    }
    m_shown[static_cast<std::size_t>(row)] = on;
    m_shownCount += on ? 1 : -1;
    const QModelIndex at = index(row);
    emit dataChanged(at, at, {Qt::CheckStateRole});
    emit shownChanged();
    return true;
}

bool ColumnListModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    if (!index.isValid() || role != Qt::CheckStateRole)
        return false;
    return setShown(index.row(), value.toInt() == Qt::Checked);
}

Qt::ItemFlags ColumnListModel::flags(const QModelIndex& index) const {
    if (!index.isValid())
        return Qt::NoItemFlags;
    return Qt::ItemIsEnabled | Qt::ItemIsUserCheckable | Qt::ItemIsSelectable;
}

} // namespace viewer

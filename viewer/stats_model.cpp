// SPDX-License-Identifier: GPL-3.0-or-later
#include "viewer/stats_model.h"

namespace viewer {

QString formatValue(double v) {
    return QString::number(v, 'g', 7);
}

StatsModel::StatsModel(std::shared_ptr<const DataSet> set, QObject* parent)
    : QAbstractTableModel(parent), m_set(std::move(set)) {
    for (std::size_t c = 0; c < m_set->columns.size(); ++c)
        if (m_set->columns[c].numeric)
            m_columns.push_back(static_cast<int>(c));
    m_to = m_set->rowCount();
    m_span.resize(m_columns.size());
}

int StatsModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_columns.size());
}

int StatsModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : Fields;
}

void StatsModel::setSpan(std::size_t from, std::size_t to) {
    if (from == m_from && to == m_to)
        return;
    m_from = from;
    m_to = to;
    std::fill(m_span.begin(), m_span.end(), std::nullopt);
    if (!m_columns.empty())
        emit dataChanged(index(0, ViewCount), index(rowCount() - 1, ViewMean));
}

const ColumnStats& StatsModel::spanStats(int row) const {
    auto& slot = m_span[static_cast<std::size_t>(row)];
    if (!slot) {
        const Column& col =
            m_set->columns[static_cast<std::size_t>(m_columns[static_cast<std::size_t>(row)])];
        slot = columnStats(col.values.data(), m_from, std::min(m_to, col.values.size()));
    }
    return *slot;
}

QString StatsModel::text(int row, Field field) const {
    const std::size_t c = static_cast<std::size_t>(m_columns[static_cast<std::size_t>(row)]);
    const ColumnStats& whole = m_set->columns[c].stats;
    const ColumnStats& s = field >= ViewCount ? spanStats(row) : whole;
    const bool none = s.count == 0;
    switch (field) {
    case Title:
        return m_set->title(c);
    case Count:
    case ViewCount:
        return QString::number(s.count);
    case Min:
    case ViewMin:
        return none ? QStringLiteral("-") : formatValue(s.min);
    case Max:
    case ViewMax:
        return none ? QStringLiteral("-") : formatValue(s.max);
    default:
        return none ? QStringLiteral("-") : formatValue(s.mean);
    }
}

QVariant StatsModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid())
        return {};
    if (role == Qt::TextAlignmentRole)
        return index.column() == Title ? QVariant() : QVariant(Qt::AlignRight | Qt::AlignVCenter);
    if (role != Qt::DisplayRole)
        return {};
    return text(index.row(), static_cast<Field>(index.column()));
}

QVariant StatsModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (role != Qt::DisplayRole)
        return {};
    if (orientation == Qt::Vertical)
        return section + 1;
    static const char* const kHeads[] = {"Column",     "Count",      "Min",
                                         "Max",        "Mean",       "In view",
                                         "Min (view)", "Max (view)", "Mean (view)"};
    return QString::fromLatin1(kHeads[section]);
}

} // namespace viewer

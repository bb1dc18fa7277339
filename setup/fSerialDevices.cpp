// SPDX-License-Identifier: GPL-3.0-or-later
#include "setup/fSerialDevices.h"

#include "platform/exception_guard.h"
#include "platform/port_table.h"
#include "platform/serial_device_info.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

namespace {

QPointer<TFormSerialDevices> g_window;

} // namespace

TFormSerialDevices::TFormSerialDevices(QWidget* parent) : QWidget(parent, Qt::Window) {
    setWindowTitle("Serial devices");
    resize(820, 300);

    m_table = new QTableWidget(0, colCount, this);
    m_table->setHorizontalHeaderLabels(
        {"Device", "Stable name (by-id)", "Driver", "Description", "COM port", "State"});
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->verticalHeader()->hide();
    m_table->setSelectionMode(QAbstractItemView::SingleSelection);
    m_table->horizontalHeader()->setStretchLastSection(true);
    // Long by-id names and paths keep their distinctive ends in sight.
    m_table->setTextElideMode(Qt::ElideMiddle);
    m_table->setWordWrap(false);
    connect(m_table, &QTableWidget::cellDoubleClicked, this,
            platform::guarded([this](int row, int) {
                m_table->selectRow(row);
                UseSelected();
            }));

    m_advice = new QLabel(this);
    m_advice->setWordWrap(true);
    m_advice->setTextInteractionFlags(Qt::TextSelectableByMouse);

    m_refresh = new QPushButton("&Refresh", this);
    m_use = new QPushButton("&Use this port", this);
    m_use->setEnabled(false);
    m_use->hide(); // shown with a chooser
    connect(m_use, &QPushButton::clicked, this, platform::guarded([this] { UseSelected(); }));
    connect(m_table, &QTableWidget::itemSelectionChanged, this, [this] {
        const auto* item = m_table->item(m_table->currentRow(), colComPort);
        m_use->setEnabled(m_choose && item && item->data(Qt::UserRole).toInt() > 0);
    });
    m_close = new QPushButton("&Close", this);
    connect(m_refresh, &QPushButton::clicked, this, platform::guarded([this] { Refresh(); }));
    connect(m_close, &QPushButton::clicked, this, &QWidget::close);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(m_use);
    buttons->addWidget(m_refresh);
    buttons->addWidget(m_close);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_table);
    layout->addWidget(m_advice);
    layout->addLayout(buttons);
}

void TFormSerialDevices::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    platform::runGuarded([this] { Refresh(); });
}

void TFormSerialDevices::Refresh() {
    // Probing opens each node once; the cursor covers the pause on a machine with many.
    QApplication::setOverrideCursor(Qt::WaitCursor);
    struct Restore {
        ~Restore() { QApplication::restoreOverrideCursor(); }
    } restore;

    const auto rows = platform::collectSerialDevices(platform::PortTable::current());
    m_table->setRowCount(static_cast<int>(rows.size()));
    QStringList advice;
    for (int r = 0; r < static_cast<int>(rows.size()); ++r) {
        const auto& row = rows[static_cast<std::size_t>(r)];
        const std::string cells[colCount] = {row.node,        row.byId,      row.driver,
                                             row.description, row.comText(), row.stateText()};
        for (int c = 0; c < colCount; ++c) {
            auto* item = new QTableWidgetItem(QString::fromStdString(cells[c]));
            item->setToolTip(item->text());
            m_table->setItem(r, c, item);
        }
        m_table->item(r, colComPort)->setData(Qt::UserRole, row.comNumber.value_or(0));
        if (const std::string a = row.permissionAdvice(); !a.empty())
            advice << QString::fromStdString(a);
    }
    m_table->resizeColumnsToContents();
    for (int c = 0; c < colCount; ++c)
        if (m_table->columnWidth(c) > kMaxColumnWidth)
            m_table->setColumnWidth(c, kMaxColumnWidth);
    if (rows.empty())
        advice << "No serial devices found. Plug in the adapter, then press Refresh.";
    m_advice->setText(advice.join('\n'));
    m_advice->setVisible(!advice.isEmpty());
}

void TFormSerialDevices::SetChooser(std::function<void(int)> choose) {
    m_choose = std::move(choose);
    m_use->setVisible(static_cast<bool>(m_choose));
}

bool TFormSerialDevices::UseSelected() {
    const auto* item = m_table->item(m_table->currentRow(), colComPort);
    const int n = item ? item->data(Qt::UserRole).toInt() : 0;
    if (!m_choose || n <= 0)
        return false;
    m_choose(n);
    return true;
}

void ShowSerialDevicesWindow(QWidget* over, std::function<void(int)> choose) {
    if (!g_window)
        g_window = new TFormSerialDevices;
    g_window->SetChooser(std::move(choose));
    if (over && over->isVisible()) {
        QRect frame = g_window->frameGeometry();
        frame.moveCenter(over->frameGeometry().center());
        g_window->move(frame.topLeft());
    }
    if (g_window->isVisible())
        g_window->Refresh();
    g_window->show();
    g_window->raise();
    g_window->activateWindow();
}

TFormSerialDevices* SerialDevicesWindow() {
    return g_window;
}

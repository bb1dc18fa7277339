// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The "Serial devices" window, opened by the setup dialog's Device Manager button: a
// modeless list of the machine's serial devices (node, stable by-id name, driver,
// description, COM number, free / in use / no permission) with what to do about a device
// the user may not open. Refreshed when shown and on demand; the rows come from
// platform::collectSerialDevices over the port table in force.

#include <QWidget>

#include <functional>

class QLabel;
class QPushButton;
class QTableWidget;

class TFormSerialDevices : public QWidget {
    Q_OBJECT
public:
    explicit TFormSerialDevices(QWidget* parent = nullptr);

    void Refresh();

    QTableWidget* Table() const { return m_table; }
    QLabel* Advice() const { return m_advice; }
    QPushButton* RefreshButton() const { return m_refresh; }
    QPushButton* UseButton() const { return m_use; }

    // Called with the COM number of the device the operator chose (double-click or "Use this
    // port"); without it the window only lists.
    void SetChooser(std::function<void(int)> choose);
    // Chooses the selected row's device; false when it has no COM number or no chooser.
    bool UseSelected();
    // Widest a text column gets; longer texts are elided and shown whole as a tooltip.
    static constexpr int kMaxColumnWidth = 240;

    enum Column { colDevice, colById, colDriver, colDescription, colComPort, colState, colCount };

protected:
    void showEvent(QShowEvent* event) override;

private:
    QTableWidget* m_table;
    QLabel* m_advice;
    QPushButton* m_refresh;
    QPushButton* m_use;
    QPushButton* m_close;
    std::function<void(int)> m_choose;
};

// Shows the one window of the run (creating it on first use), refreshed and raised; placed
// over `over` when given, and choosing through `choose` when given.
void ShowSerialDevicesWindow(QWidget* over = nullptr, std::function<void(int)> choose = {});
// The window, or nullptr before the first ShowSerialDevicesWindow.
TFormSerialDevices* SerialDevicesWindow();

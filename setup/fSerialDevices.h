#pragma once
// The "Serial devices" window, opened by the setup dialog's Device Manager button: a
// modeless list of the machine's serial devices (node, stable by-id name, driver,
// description, COM number, free / in use / no permission) with what to do about a device
// the user may not open. Refreshed when shown and on demand; the rows come from
// platform::collectSerialDevices over the port table in force.

#include <QWidget>

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

    enum Column { colDevice, colById, colDriver, colDescription, colComPort, colState, colCount };

protected:
    void showEvent(QShowEvent* event) override;

private:
    QTableWidget* m_table;
    QLabel* m_advice;
    QPushButton* m_refresh;
    QPushButton* m_close;
};

// Shows the one window of the run (creating it on first use), refreshed and raised.
void ShowSerialDevicesWindow();
// The window, or nullptr before the first ShowSerialDevicesWindow.
TFormSerialDevices* SerialDevicesWindow();

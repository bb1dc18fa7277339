// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Tools > "Units...": every unit in the register (serial, last visit, last download and
// whether it was complete, last battery reading, visits), the selected unit's history
// newest first, its battery voltage and temperature over time, "Export CSV" of the history
// and "Open Files" for a download's data files. The register answers on its own thread; the
// window fills itself when the answers come and follows new records while it is open.
// UI thread.

#include "register/unit_register.h"

#include <QWidget>

#include <functional>
#include <string>
#include <vector>

class QChartView;
class QLabel;
class QPushButton;
class QTableWidget;
class QUrl;

class UnitsWindow : public QWidget {
    Q_OBJECT
public:
    explicit UnitsWindow(QWidget* parent = nullptr);

    QTableWidget* UnitsTable = nullptr;
    QTableWidget* HistoryTable = nullptr;
    QChartView* BatteryChart = nullptr;
    QLabel* LabelRegister = nullptr;
    QPushButton* ButtonExport = nullptr;
    QPushButton* ButtonOpenFiles = nullptr;
    QPushButton* ButtonClose = nullptr;

    // Seams for tests: where Export CSV writes (empty: cancelled), and how a folder is shown.
    std::function<QString(const QString& suggested)> AskSavePath;
    std::function<bool(const QUrl&)> OpenUrl;

    // Reads the units again (kept selection by serial number).
    void reload();
    void selectUnit(const std::string& serial);
    const std::string& selectedSerial() const { return m_serial; }
    const std::vector<unitreg::UnitEvent>& history() const { return m_history; }
    int batteryPoints() const { return m_batteryPoints; }

    void exportCsv();
    void openFiles();

signals:
    // The units table has been filled from the register.
    void unitsLoaded();
    // The selected unit's history and plot have been filled.
    void historyLoaded();

protected:
    void showEvent(QShowEvent* event) override;

private:
    void fillUnits(std::vector<unitreg::UnitSummary> units);
    void fillHistory(const std::string& serial, std::vector<unitreg::UnitEvent> events);
    void loadHistory();
    void unitSelectionChanged();
    void updateButtons();
    void plotBattery(const std::vector<unitreg::UnitEvent>& events);

    std::string m_serial; // the chosen unit's; empty for the units without a serial number
    bool m_unitChosen = false;
    std::vector<std::string> m_rowSerials;
    std::vector<unitreg::UnitEvent> m_history;
    int m_batteryPoints = 0;
    bool m_filling = false;
};

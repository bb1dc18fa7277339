// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Tools > "Units...": every unit in the register (serial, last visit, last download and
// whether it was complete, last battery reading, visits), the selected unit's history
// newest first, its battery voltage and temperature over time, "Export CSV" of the history
// and "Open Files" for a download's data files. The register answers on its own thread; the
// window fills itself when the answers come and follows new records while it is open.
// While the records are shared, the selected unit's history is also asked of the server on a
// thread of its own (fleet/sharing.h): this laptop's history shows meanwhile, and the
// organisation's replaces it when the server answers (unit_history_choice.h says which, and
// the line above the history says so). The units list likewise: the organisation's units when
// the server answers, those this laptop never saw marked (unit_list_choice.h); choosing one of
// them shows the server's history alone. A closed window drops the answers; nothing waits
// for them.
// UI thread.

#include "register/unit_history_choice.h"
#include "register/unit_list_choice.h"
#include "register/unit_register.h"
#include "register/unit_series.h"

#include "platform/result.h"

#include <QWidget>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class QChartView;
class QGroupBox;
class QLabel;
class QListWidget;
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
    // Above the units: which list it is ("organisation's units (server): ...").
    QLabel* LabelUnitsSource = nullptr;
    // Above the history: which history it is ("organisation's history (server)"...).
    QLabel* LabelHistorySource = nullptr;
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
    // This laptop's history of the selected unit (what Export CSV writes).
    const std::vector<unitreg::UnitEvent>& history() const { return m_choice.local(); }
    // Which history is shown, and its rows.
    const UnitHistoryChoice& historyChoice() const { return m_choice; }
    const UnitListChoice& unitListChoice() const { return m_unitList; }
    // The listed units' serial numbers, and whether this laptop saw each, in table order.
    const std::vector<std::string>& listedSerials() const { return m_rowSerials; }
    const std::vector<bool>& listedSeenHere() const { return m_rowSeenHere; }
    const std::vector<HistoryRow>& shownRows() const { return m_rows; }
    int batteryPoints() const { return m_batteryPoints; }

    void exportCsv();
    void openFiles();

    // The selected unit's series (one per data set): Open Series shows one whole in the
    // viewer, Export Series... writes one as CSV (the work is UnitSeries', off this thread).
    QGroupBox* SeriesBox = nullptr;
    QListWidget* SeriesList = nullptr;
    QPushButton* ButtonOpenSeries = nullptr;
    QPushButton* ButtonExportSeries = nullptr;
    QLabel* LabelSeries = nullptr;
    // The files folder that holds series.sqlite (the program's; tests point it elsewhere).
    std::string FilesFolder;
    // Seams: the export's file dialog (empty: cancelled; `replace`: the operator confirmed
    // replacing the file there), and starting the viewer on a series, which the main window
    // sets (the program starts the viewer as a process, app/viewer_launch.h).
    std::function<QString(const QString& suggested, bool& replace)> AskSeriesPath;
    std::function<platform::Result<void>(const series::SeriesInfo& info)> StartSeriesViewer;
    const std::vector<series::SeriesInfo>& seriesShown() const { return m_series; }
    UnitSeries* seriesWork() const { return m_seriesWork; }
    void openSeries();
    void exportSeries();

signals:
    // The units table has been filled from the register.
    void unitsLoaded();
    // The selected unit's history and plot have been filled (again when the server answers).
    void historyLoaded();
    // The selected unit's series have been listed.
    void seriesListed();
    // The server answered (or failed to) for the selected unit, and the window shows it.
    void serverHistoryAnswered();
    // The server answered (or failed to) for the units list, and the window shows it.
    void serverUnitsAnswered();

protected:
    void showEvent(QShowEvent* event) override;

private:
    // `newRecords`: this laptop's list was read again (the chosen unit's history too).
    void fillUnits(bool newRecords);
    // Asks the server for its units when the records are shared, one read at a time.
    void askServerUnits();
    void fillHistory(const std::string& serial, std::vector<unitreg::UnitEvent> events);
    void loadHistory();
    // Asks the server for the unit's history when the records are shared; the answer for a
    // unit still selected goes into the choice.
    void askServerHistory(const std::string& serial);
    void showHistory();
    // The selected row's event in this laptop's history, or -1 (none, another laptop's).
    int selectedLocalEvent() const;
    void unitSelectionChanged();
    void updateButtons();
    void plotBattery(const std::vector<unitreg::UnitEvent>& events);
    QWidget* buildSeriesBox();
    void listSeries();
    void fillSeries(const UnitSeries::Listing& listing);
    void updateSeriesButtons();
    const series::SeriesInfo* chosenSeries() const;

    std::string m_serial; // the chosen unit's; empty for the units without a serial number
    bool m_unitChosen = false;
    std::vector<std::string> m_rowSerials;
    std::vector<bool> m_rowSeenHere;
    UnitListChoice m_unitList;
    bool m_unitsReading = false;
    bool m_unitsAgain = false; // records came while the server's list was read
    QString m_unitsProblemLogged;
    UnitHistoryChoice m_choice;
    std::vector<HistoryRow> m_rows;
    std::uint64_t m_historyAsks = 0; // an answer to an older ask is dropped
    QString m_historyProblemLogged;  // the server's last reason in the run log
    int m_batteryPoints = 0;
    bool m_filling = false;
    UnitSeries* m_seriesWork = nullptr;
    std::vector<series::SeriesInfo> m_series;
};

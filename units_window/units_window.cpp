// SPDX-License-Identifier: GPL-3.0-or-later
#include "units_window/units_window.h"

#include "dialogs/Dialogs.h"
#include "dialogs/run_log.h"
#include "dialogs/source_lines.h"
#include "fleet/sharing.h"
#include "register/register_outbox.h"
#include "register/register_texts.h"
#include "register/register_writer.h"
#include "series/battery_axes.h"
#include "unit/unit_texts.h"

#include <QChart>
#include <QChartView>
#include <QDateTime>
#include <QDateTimeAxis>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLegendMarker>
#include <QLineSeries>
#include <QListWidget>
#include <QPushButton>
#include <QScatterSeries>
#include <QSplitter>
#include <QStandardPaths>
#include <QTableWidget>
#include <QUrl>
#include <QVBoxLayout>
#include <QValueAxis>

#include <algorithm>
#include <utility>

namespace {

QTableWidget* table(const QStringList& headers, QWidget* parent) {
    auto* t = new QTableWidget(0, int(headers.size()), parent);
    t->setHorizontalHeaderLabels(headers);
    t->setSelectionBehavior(QAbstractItemView::SelectRows);
    t->setSelectionMode(QAbstractItemView::SingleSelection);
    t->setEditTriggers(QAbstractItemView::NoEditTriggers);
    t->verticalHeader()->hide();
    t->verticalHeader()->setDefaultSectionSize(t->fontMetrics().height() + 6);
    t->horizontalHeader()->setStretchLastSection(true);
    t->setWordWrap(false);
    return t;
}

// The newest facts of a unit the server's history shows: the table is filled on the UI
// thread, and a unit visited for years by many laptops must not hold it.
constexpr int kServerHistoryRows = 2000;

QTableWidgetItem* cell(const QString& text) {
    auto* item = new QTableWidgetItem(text);
    item->setToolTip(text);
    return item;
}

// `table` under the line that says what it shows (which history, whose units).
QWidget* underItsLine(QLabel* line, QWidget* table, QWidget* parent) {
    auto* box = new QWidget(parent);
    auto* column = new QVBoxLayout(box);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(2);
    column->addWidget(line);
    column->addWidget(table, 1);
    return box;
}

} // namespace

// Whole: the window's widgets laid out top to bottom, as it shows them.
UnitsWindow::UnitsWindow(QWidget* parent) : QWidget(parent, Qt::Window) {
    setObjectName(QStringLiteral("UnitsWindow"));
    setWindowTitle(QStringLiteral("Units"));

    UnitsTable = table({QStringLiteral("Serial"), QStringLiteral("Last visit"),
                        QStringLiteral("Last download"), QStringLiteral("Last battery reading"),
                        QStringLiteral("Visits"), QStringLiteral("Laptops")},
                       this);
    UnitsTable->setObjectName(QStringLiteral("UnitsTable"));
    UnitsTable->setSortingEnabled(false);
    HistoryTable =
        table({QStringLiteral("Time"), QStringLiteral("Event"), QStringLiteral("Details")}, this);
    HistoryTable->setObjectName(QStringLiteral("HistoryTable"));

    auto* chart = new QChart;
    chart->setTitle(QStringLiteral("Battery and temperature"));
    chart->legend()->setAlignment(Qt::AlignBottom);
    chart->setMargins(QMargins(2, 2, 2, 2));
    BatteryChart = new QChartView(chart, this);
    BatteryChart->setObjectName(QStringLiteral("BatteryChart"));
    BatteryChart->setRenderHint(QPainter::Antialiasing);
    BatteryChart->setMinimumWidth(320);

    LabelRegister = new QLabel(this);
    LabelRegister->setObjectName(QStringLiteral("LabelRegister"));
    LabelRegister->setWordWrap(true);
    LabelRegister->setTextInteractionFlags(Qt::TextSelectableByMouse);

    ButtonExport = new QPushButton(QStringLiteral("Export CSV"), this);
    ButtonExport->setObjectName(QStringLiteral("ButtonExport"));
    ButtonExport->setToolTip(QStringLiteral("Save the selected unit's history as a CSV file"));
    ButtonOpenFiles = new QPushButton(QStringLiteral("Open Files"), this);
    ButtonOpenFiles->setObjectName(QStringLiteral("ButtonOpenFiles"));
    ButtonOpenFiles->setToolTip(
        QStringLiteral("Show the data files of the selected download in the file manager"));
    ButtonClose = new QPushButton(QStringLiteral("Close"), this);

    LabelHistorySource = new QLabel(this);
    LabelHistorySource->setObjectName(QStringLiteral("LabelHistorySource"));
    QWidget* historyBox = underItsLine(LabelHistorySource, HistoryTable, this);

    auto* lower = new QSplitter(Qt::Horizontal, this);
    lower->addWidget(historyBox);
    lower->addWidget(BatteryChart);
    lower->setStretchFactor(0, 3);
    lower->setStretchFactor(1, 2);
    auto* split = new QSplitter(Qt::Vertical, this);
    LabelUnitsSource = new QLabel(this);
    LabelUnitsSource->setObjectName(QStringLiteral("LabelUnitsSource"));
    split->addWidget(underItsLine(LabelUnitsSource, UnitsTable, this));
    split->addWidget(lower);
    split->addWidget(buildSeriesBox());
    split->setStretchFactor(0, 2);
    split->setStretchFactor(1, 3);

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(LabelRegister, 1);
    buttons->addWidget(ButtonExport);
    buttons->addWidget(ButtonOpenFiles);
    buttons->addWidget(ButtonClose);
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(6, 6, 6, 6);
    column->addWidget(split, 1);
    column->addLayout(buttons);

    // Within a 1024x600 screen, frame and panel included.
    resize(1000, 540);

    AskSavePath = [this](const QString& suggested) {
        return QFileDialog::getSaveFileName(this, QStringLiteral("Export CSV"), suggested,
                                            QStringLiteral("CSV files (*.csv)"));
    };
    OpenUrl = [](const QUrl& url) { return QDesktopServices::openUrl(url); };

    connect(UnitsTable, &QTableWidget::itemSelectionChanged, this,
            [this] { unitSelectionChanged(); });
    connect(HistoryTable, &QTableWidget::itemSelectionChanged, this, [this] { updateButtons(); });
    connect(HistoryTable, &QTableWidget::cellDoubleClicked, this, [this] { openFiles(); });
    connect(ButtonExport, &QPushButton::clicked, this, [this] { exportCsv(); });
    connect(ButtonOpenFiles, &QPushButton::clicked, this, [this] { openFiles(); });
    connect(ButtonClose, &QPushButton::clicked, this, &QWidget::close);
    connect(unitRegister().signalsObject(), &RegisterSignals::recorded, this,
            [this](const QByteArray&) {
                if (isVisible())
                    reload();
            });
    updateButtons();
}

void UnitsWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    reload();
}

void UnitsWindow::reload() {
    RegisterWriter& reg = unitRegister();
    if (!reg.running() || !reg.available()) {
        const std::string why =
            reg.unavailableWhy().empty() ? "The unit register is not open." : reg.unavailableWhy();
        LabelRegister->setText(QString::fromLocal8Bit(why.c_str()));
    } else {
        LabelRegister->setText(QStringLiteral("Register: ") +
                               QFile::decodeName(QByteArray::fromStdString(reg.path())));
    }
    const fleet::Sharing& sharing = fleet::sharing();
    const bool asking = sharing.shared() && sharing.started();
    // The server's last list stays shown until its next answer replaces it.
    if (asking != m_unitList.askingServer())
        m_unitList.begin(asking);
    reg.query<std::vector<unitreg::UnitSummary>>(
        this, [](unitreg::UnitRegister& r) { return r.units(); },
        [this](std::vector<unitreg::UnitSummary> units) {
            m_unitList.localArrived(std::move(units));
            fillUnits(true);
        });
    if (asking)
        askServerUnits();
}

void UnitsWindow::askServerUnits() {
    if (m_unitsReading) {
        // One read at a time: the newest records are asked for when it answers.
        m_unitsAgain = true;
        return;
    }
    // Runs on a read thread of the sharing's, like the history's.
    m_unitsReading = fleet::sharing().read<fleet::ServerUnits>(
        this,
        [](const std::string& conninfo, const QString&, int stopFd) {
            return fleet::readUnits(conninfo, std::chrono::seconds(5), stopFd);
        },
        [this](fleet::ServerUnits units) {
            m_unitsReading = false;
            // An older list is still the organisation's: shown, and the newer one asked for.
            if (std::exchange(m_unitsAgain, false))
                askServerUnits();
            if (units.ok) {
                fleet::sharing().noteContact(QDateTime::currentMSecsSinceEpoch());
                m_unitsProblemLogged.clear();
            } else if (units.message != m_unitsProblemLogged) {
                m_unitsProblemLogged = units.message;
                LogWrite("Units: the server's units not read: " +
                             units.message.toLocal8Bit().toStdString(),
                         source_line::fleetUnitsNotRead, LogSizeLimit);
            }
            m_unitList.serverAnswered(std::move(units));
            fillUnits(false);
            emit serverUnitsAnswered();
        });
}

// Whole: one row of the table filled cell by cell, between its updates off and on.
void UnitsWindow::fillUnits(bool newRecords) {
    const std::vector<UnitListRow> units = m_unitList.rows();
    LabelUnitsSource->setText(m_unitList.sourceLine());
    LabelUnitsSource->setToolTip(m_unitList.reasonDetail());
    // How many laptops recorded a unit is the server's to say: no column without its list.
    UnitsTable->setColumnHidden(UnitsTable->columnCount() - 1,
                                m_unitList.shown() != UnitListChoice::Source::Server);
    m_filling = true;
    UnitsTable->setUpdatesEnabled(false);
    UnitsTable->clearContents();
    UnitsTable->setRowCount(int(units.size()));
    m_rowSerials.clear();
    m_rowSeenHere.clear();
    int selectRow = -1;
    const QString notHere = QStringLiteral("not on this laptop");
    for (int row = 0; row < int(units.size()); ++row) {
        const UnitListRow& r = units[std::size_t(row)];
        m_rowSerials.push_back(r.serial);
        m_rowSeenHere.push_back(r.seenHere());
        if (m_unitChosen && r.serial == m_serial)
            selectRow = row;
        auto* serial = cell(r.serial.empty() ? QStringLiteral("(no serial number)")
                                             : unitreg::serialText(r.serial));
        if (!r.seenHere()) {
            QFont italic = serial->font();
            italic.setItalic(true);
            serial->setFont(italic);
            serial->setToolTip(serial->text() + QStringLiteral(": never seen by this laptop"));
        }
        UnitsTable->setItem(row, 0, serial);
        UnitsTable->setItem(row, 1, cell(unitreg::localTimeText(r.lastSeen)));
        const unitreg::UnitSummary* u = r.local ? &*r.local : nullptr;
        UnitsTable->setItem(
            row, 2,
            cell(!u                ? notHere
                 : u->lastDownload ? unitreg::localTimeText(*u->lastDownload) +
                                         (u->lastDownloadComplete ? QStringLiteral(", complete")
                                                                  : QStringLiteral(", incomplete"))
                                   : QStringLiteral("never")));
        UnitsTable->setItem(
            row, 3,
            cell(!u ? notHere
                 : u->lastBatteryAt
                     ? QString::fromStdString(formatOneDecimal(u->lastVolts) + " V, " +
                                              formatOneDecimal(u->lastCelsius) + " C") +
                           QStringLiteral(" on ") + unitreg::localTimeText(*u->lastBatteryAt)
                     : QStringLiteral("none")));
        auto* visits = cell(QString::number(r.visits));
        visits->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
        UnitsTable->setItem(row, 4, visits);
        auto* laptops = cell(r.laptops > 0 ? QString::number(r.laptops) : QString());
        laptops->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
        UnitsTable->setItem(row, 5, laptops);
    }
    if (selectRow < 0 && !units.empty())
        selectRow = 0;
    if (UnitsTable->columnWidth(0) < 120) {
        UnitsTable->resizeColumnsToContents();
        UnitsTable->horizontalHeader()->setStretchLastSection(true);
    }
    UnitsTable->setUpdatesEnabled(true);
    // The selection is put back by hand; its change is not a new choice of the operator's.
    if (selectRow >= 0)
        UnitsTable->selectRow(selectRow);
    m_filling = false;
    if (selectRow >= 0) {
        const std::string serial = m_rowSerials[std::size_t(selectRow)];
        // New records may have changed the chosen unit's history; the server's list alone
        // changes it only when it brings the unit to choose.
        const bool again = newRecords || !m_unitChosen || serial != m_serial;
        m_serial = serial;
        m_unitChosen = true;
        if (again)
            loadHistory();
    } else {
        m_serial.clear();
        m_unitChosen = false;
        fillHistory({}, {});
    }
    emit unitsLoaded();
}

void UnitsWindow::selectUnit(const std::string& serial) {
    for (int row = 0; row < int(m_rowSerials.size()); ++row)
        if (m_rowSerials[std::size_t(row)] == serial)
            UnitsTable->selectRow(row);
}

void UnitsWindow::unitSelectionChanged() {
    if (m_filling)
        return;
    const auto rows = UnitsTable->selectionModel()->selectedRows();
    if (rows.isEmpty())
        return;
    const int row = rows.first().row();
    if (row < 0 || row >= int(m_rowSerials.size()))
        return;
    const std::string serial = m_rowSerials[std::size_t(row)];
    if (m_unitChosen && serial == m_serial && !m_choice.local().empty())
        return;
    m_serial = serial;
    m_unitChosen = true;
    loadHistory();
}

void UnitsWindow::loadHistory() {
    const std::string serial = m_serial;
    const fleet::Sharing& sharing = fleet::sharing();
    m_choice.begin(sharing.shared() && sharing.started());
    ++m_historyAsks;
    unitRegister().query<std::vector<unitreg::UnitEvent>>(
        this, [serial](unitreg::UnitRegister& r) { return r.history(serial); },
        [this, serial](std::vector<unitreg::UnitEvent> events) {
            // An answer for a unit no longer selected is dropped; its own is on the way.
            if (serial == m_serial)
                fillHistory(serial, std::move(events));
        });
    askServerHistory(serial);
}

void UnitsWindow::fillHistory(const std::string& serial, std::vector<unitreg::UnitEvent> events) {
    (void)serial;
    m_choice.localArrived(std::move(events));
    showHistory();
    // This laptop's history came again (a unit chosen, a record written): so may its series.
    listSeries();
}

void UnitsWindow::askServerHistory(const std::string& serial) {
    if (!m_unitChosen)
        return;
    const QString unit = unitreg::factUnit(serial);
    const std::uint64_t ask = m_historyAsks;
    // Runs on a read thread of the sharing's: a slow or silent server keeps only that
    // thread, never this window.
    fleet::sharing().read<fleet::ServerHistory>(
        this,
        [unit](const std::string& conninfo, const QString& laptop, int stopFd) {
            return fleet::readUnitHistory(conninfo, unit, laptop, std::chrono::seconds(5), stopFd,
                                          kServerHistoryRows);
        },
        [this, serial, ask](fleet::ServerHistory history) {
            if (ask != m_historyAsks || serial != m_serial)
                return;
            if (history.ok) {
                fleet::sharing().noteContact(QDateTime::currentMSecsSinceEpoch());
                m_historyProblemLogged.clear();
            } else if (history.message != m_historyProblemLogged) {
                // Once per reason: the window asks again at every new record while open.
                m_historyProblemLogged = history.message;
                LogWrite("Units: server history of " + unitreg::serialText(serial).toStdString() +
                             " not read: " + history.message.toLocal8Bit().toStdString(),
                         source_line::fleetHistoryNotRead, LogSizeLimit);
            }
            m_choice.serverAnswered(std::move(history));
            showHistory();
            emit serverHistoryAnswered();
        });
}

void UnitsWindow::showHistory() {
    m_rows = m_choice.rows();
    LabelHistorySource->setText(m_choice.sourceLine());
    LabelHistorySource->setToolTip(m_choice.reasonDetail());
    HistoryTable->setUpdatesEnabled(false);
    HistoryTable->clearContents();
    HistoryTable->setRowCount(int(m_rows.size()));
    for (int row = 0; row < int(m_rows.size()); ++row) {
        const HistoryRow& r = m_rows[std::size_t(row)];
        HistoryTable->setItem(row, 0, cell(unitreg::localTimeText(r.at, true)));
        auto* event = cell(r.event);
        if (r.otherLaptop) {
            QFont italic = event->font();
            italic.setItalic(true);
            event->setFont(italic);
        }
        HistoryTable->setItem(row, 1, event);
        auto* details = cell(r.details);
        if (r.localIndex >= 0) {
            const unitreg::UnitEvent& e = m_choice.local()[std::size_t(r.localIndex)];
            if (e.kind == unitreg::EventKind::Download) {
                QStringList files;
                for (const std::string& f : e.download.files)
                    files << QFile::decodeName(QByteArray::fromStdString(f));
                if (!files.isEmpty())
                    details->setToolTip(files.join(QLatin1Char('\n')));
            }
        }
        HistoryTable->setItem(row, 2, details);
    }
    if (HistoryTable->columnWidth(0) < 130)
        HistoryTable->resizeColumnsToContents();
    HistoryTable->horizontalHeader()->setStretchLastSection(true);
    HistoryTable->setUpdatesEnabled(true);
    plotBattery(m_choice.local());
    updateButtons();
    emit historyLoaded();
}

void UnitsWindow::plotBattery(const std::vector<unitreg::UnitEvent>& events) {
    QChart* chart = BatteryChart->chart();
    chart->removeAllSeries();
    for (QAbstractAxis* axis : chart->axes())
        chart->removeAxis(axis);
    // Each reading a point, joined by a line where there are more: one reading, or two at one
    // time, is a point one sees, not a line of no length.
    auto* volts = new QLineSeries;
    volts->setName(QStringLiteral("Battery (V)"));
    auto* celsius = new QLineSeries;
    celsius->setName(QStringLiteral("Temperature (°C)"));
    auto* voltPoints = new QScatterSeries;
    auto* celsiusPoints = new QScatterSeries;
    double vMin = 1e300, vMax = -1e300, tMin = 1e300, tMax = -1e300;
    std::int64_t first = 0, last = 0;
    m_batteryPoints = 0;
    // The history is newest first; the plot runs left to right in time.
    for (auto it = events.rbegin(); it != events.rend(); ++it) {
        if (it->kind != unitreg::EventKind::Battery)
            continue;
        volts->append(double(it->at), it->volts);
        celsius->append(double(it->at), it->celsius);
        voltPoints->append(double(it->at), it->volts);
        celsiusPoints->append(double(it->at), it->celsius);
        vMin = std::min(vMin, it->volts);
        vMax = std::max(vMax, it->volts);
        tMin = std::min(tMin, it->celsius);
        tMax = std::max(tMax, it->celsius);
        if (!m_batteryPoints++)
            first = it->at;
        last = it->at;
    }
    for (QXYSeries* s :
         std::initializer_list<QXYSeries*>{volts, celsius, voltPoints, celsiusPoints})
        chart->addSeries(s);
    for (auto [line, points] : {std::pair{volts, voltPoints}, std::pair{celsius, celsiusPoints}}) {
        points->setColor(line->color());
        points->setBorderColor(line->color());
        points->setMarkerSize(8);
        // The line's legend entry stands for both.
        for (QLegendMarker* marker : chart->legend()->markers(points))
            marker->setVisible(false);
    }
    auto* time = new QDateTimeAxis;
    time->setTitleText(QStringLiteral("Local time"));
    auto* vAxis = new QValueAxis;
    vAxis->setTitleText(QStringLiteral("V"));
    auto* tAxis = new QValueAxis;
    tAxis->setTitleText(QStringLiteral("°C"));
    chart->addAxis(time, Qt::AlignBottom);
    chart->addAxis(vAxis, Qt::AlignLeft);
    chart->addAxis(tAxis, Qt::AlignRight);
    for (QXYSeries* s : {static_cast<QXYSeries*>(volts), static_cast<QXYSeries*>(voltPoints)}) {
        s->attachAxis(time);
        s->attachAxis(vAxis);
    }
    for (QXYSeries* s :
         {static_cast<QXYSeries*>(celsius), static_cast<QXYSeries*>(celsiusPoints)}) {
        s->attachAxis(time);
        s->attachAxis(tAxis);
    }
    if (m_batteryPoints == 0) {
        chart->setTitle(QStringLiteral("No battery readings"));
        return;
    }
    chart->setTitle(QStringLiteral("Battery and temperature"));
    const series::TimeSpan span = series::batteryTimeSpan(first, last);
    time->setFormat(span.format);
    time->setTickCount(span.ticks);
    time->setRange(QDateTime::fromMSecsSinceEpoch(span.from),
                   QDateTime::fromMSecsSinceEpoch(span.to));
    const series::ValueRange v = series::readingRange(vMin, vMax, 0.4);
    const series::ValueRange t = series::readingRange(tMin, tMax, 2);
    vAxis->setRange(v.lo, v.hi);
    tAxis->setRange(t.lo, t.hi);
    for (QValueAxis* axis : {vAxis, tAxis}) {
        axis->setTickCount(5);
        axis->applyNiceNumbers();
    }
}

void UnitsWindow::updateButtons() {
    ButtonExport->setEnabled(m_unitChosen && !m_choice.local().empty());
    const int event = selectedLocalEvent();
    ButtonOpenFiles->setEnabled(
        event >= 0 && m_choice.local()[std::size_t(event)].kind == unitreg::EventKind::Download &&
        !m_choice.local()[std::size_t(event)].download.files.empty());
}

void UnitsWindow::exportCsv() {
    if (!m_unitChosen)
        return;
    QString folder = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (folder.isEmpty())
        folder = QDir::homePath();
    const QString path =
        AskSavePath(folder + QLatin1Char('/') + unitreg::historyFileName(m_serial));
    if (path.isEmpty())
        return;
    if (const std::string failed = unitreg::writeHistoryCsv(path, m_serial, m_choice.local());
        !failed.empty())
        DlgError(failed);
}

int UnitsWindow::selectedLocalEvent() const {
    const auto rows = HistoryTable->selectionModel()->selectedRows();
    const int row = rows.isEmpty() ? -1 : rows.first().row();
    if (row < 0 || row >= int(m_rows.size()))
        return -1;
    const int event = m_rows[std::size_t(row)].localIndex;
    return event >= 0 && event < int(m_choice.local().size()) ? event : -1;
}

void UnitsWindow::openFiles() {
    // Another laptop's download has no files on this one.
    const int row = selectedLocalEvent();
    if (row < 0 || m_choice.local()[std::size_t(row)].kind != unitreg::EventKind::Download)
        return;
    // A file manager shows folders: each folder that holds one of the files, once.
    const unitreg::FilesFolders found =
        unitreg::filesFolders(m_choice.local()[std::size_t(row)].download.files);
    if (found.folders.empty()) {
        DlgError(unitreg::noFilesText(found.missing));
        return;
    }
    for (const QString& folder : found.folders)
        if (!OpenUrl(QUrl::fromLocalFile(folder)))
            DlgError("No program to show the folder " + QFile::encodeName(folder).toStdString());
}

// ---- The unit's series ----

QWidget* UnitsWindow::buildSeriesBox() {
    FilesFolder = TempFilesPath;
    m_seriesWork = new UnitSeries(this);
    SeriesBox = new QGroupBox(QStringLiteral("Series"), this);
    SeriesBox->setObjectName(QStringLiteral("SeriesBox"));
    SeriesList = new QListWidget(SeriesBox);
    SeriesList->setObjectName(QStringLiteral("SeriesList"));
    SeriesList->setToolTip(QStringLiteral("Every record the unit sent for each data set, over "
                                          "all its downloads"));
    ButtonOpenSeries = new QPushButton(QStringLiteral("Open Series"), SeriesBox);
    ButtonOpenSeries->setObjectName(QStringLiteral("ButtonOpenSeries"));
    ButtonOpenSeries->setToolTip(QStringLiteral("Show the selected series whole in the viewer"));
    ButtonExportSeries = new QPushButton(QStringLiteral("Export Series..."), SeriesBox);
    ButtonExportSeries->setObjectName(QStringLiteral("ButtonExportSeries"));
    ButtonExportSeries->setToolTip(QStringLiteral("Save the selected series as a CSV file"));
    LabelSeries = new QLabel(SeriesBox);
    LabelSeries->setObjectName(QStringLiteral("LabelSeries"));
    LabelSeries->setWordWrap(true);
    LabelSeries->setTextInteractionFlags(Qt::TextSelectableByMouse);
    auto* buttons = new QVBoxLayout;
    buttons->addWidget(ButtonOpenSeries);
    buttons->addWidget(ButtonExportSeries);
    buttons->addStretch(1);
    auto* row = new QHBoxLayout;
    row->addWidget(SeriesList, 1);
    row->addLayout(buttons);
    auto* box = new QVBoxLayout(SeriesBox);
    box->setContentsMargins(4, 4, 4, 4);
    box->addLayout(row, 1);
    box->addWidget(LabelSeries);
    // A unit has a few data sets: four rows in sight (more scroll), and the room left goes
    // to the units and the history, also on a small screen.
    const int rowHeight = SeriesList->fontMetrics().height() + 4;
    SeriesList->setMaximumHeight(4 * rowHeight + 2 * SeriesList->frameWidth() + 4);
    SeriesBox->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Maximum);

    AskSeriesPath = [this](const QString& suggested, bool& replace) {
        // The dialog asks before it names a file that is there: one it returns that exists
        // is one the operator chose to replace.
        const QString path = QFileDialog::getSaveFileName(
            this, QStringLiteral("Export Series"), suggested, QStringLiteral("CSV files (*.csv)"));
        replace = !path.isEmpty() && QFileInfo::exists(path);
        return path;
    };
    connect(SeriesList, &QListWidget::itemSelectionChanged, this,
            [this] { updateSeriesButtons(); });
    connect(SeriesList, &QListWidget::itemDoubleClicked, this, [this] { openSeries(); });
    connect(ButtonOpenSeries, &QPushButton::clicked, this, [this] { openSeries(); });
    connect(ButtonExportSeries, &QPushButton::clicked, this, [this] { exportSeries(); });
    connect(m_seriesWork, &UnitSeries::listed, this,
            [this](const UnitSeries::Listing& listing) { fillSeries(listing); });
    connect(m_seriesWork, &UnitSeries::exported, this, [this](const UnitSeries::Outcome& outcome) {
        LabelSeries->setText(outcome.text());
        updateSeriesButtons();
    });
    updateSeriesButtons();
    return SeriesBox;
}

void UnitsWindow::listSeries() {
    if (!m_unitChosen) {
        fillSeries({});
        return;
    }
    m_seriesWork->list(FilesFolder, m_serial);
}

void UnitsWindow::fillSeries(const UnitSeries::Listing& listing) {
    // An answer for a unit no longer selected is dropped; its own is on the way.
    if (m_unitChosen && listing.serial != m_serial)
        return;
    // The operator's choice stays chosen when the list comes again.
    const series::SeriesInfo* before = chosenSeries();
    const series::SeriesInfo was = before ? *before : series::SeriesInfo{};
    m_series = listing.series;
    SeriesList->clear();
    int row = 0;
    for (const series::SeriesInfo& info : m_series) {
        if (before && info.serial == was.serial && info.name == was.name &&
            info.ordinal == was.ordinal)
            row = SeriesList->count();
        SeriesList->addItem(UnitSeries::describe(info));
    }
    if (!m_series.empty())
        SeriesList->setCurrentRow(row);
    if (!listing.error.empty())
        LabelSeries->setText(QStringLiteral("The series cannot be read: ") +
                             QString::fromLocal8Bit(listing.error.c_str()));
    else if (m_unitChosen && m_series.empty())
        LabelSeries->setText(QStringLiteral("No series for this unit yet: a download makes one "
                                            "per data set."));
    else if (!m_seriesWork->exporting())
        LabelSeries->clear();
    updateSeriesButtons();
    emit seriesListed();
}

const series::SeriesInfo* UnitsWindow::chosenSeries() const {
    const int row = SeriesList->currentRow();
    return row >= 0 && row < int(m_series.size()) ? &m_series[std::size_t(row)] : nullptr;
}

void UnitsWindow::updateSeriesButtons() {
    const bool chosen = chosenSeries() != nullptr;
    ButtonOpenSeries->setEnabled(chosen);
    ButtonExportSeries->setEnabled(chosen && !m_seriesWork->exporting());
}

void UnitsWindow::openSeries() {
    const series::SeriesInfo* info = chosenSeries();
    if (!info)
        return;
    if (!StartSeriesViewer) {
        LabelSeries->setText(QStringLiteral("The viewer cannot be started from this window."));
        return;
    }
    if (auto started = StartSeriesViewer(*info); started)
        LabelSeries->setText(QStringLiteral("The viewer opens ") + UnitSeries::describe(*info));
    else
        LabelSeries->setText(QString::fromStdString(started.text()));
}

void UnitsWindow::exportSeries() {
    const series::SeriesInfo* chosen = chosenSeries();
    if (!chosen || m_seriesWork->exporting())
        return;
    // A copy: the file dialog runs events, and a new list of series may come meanwhile.
    const series::SeriesInfo series = *chosen;
    const series::SeriesInfo* info = &series;
    QString folder = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (folder.isEmpty())
        folder = QDir::homePath();
    // The unit's bytes go into the suggested name as safe characters only.
    QString name;
    for (const QChar c :
         QString::fromLatin1(QByteArray::fromStdString(info->serial + "-" + info->name)))
        name += c.isLetterOrNumber() && c.unicode() < 128 ? c : QLatin1Char('_');
    if (info->ordinal > 0)
        name += QStringLiteral("-set%1").arg(info->ordinal + 1);
    bool replace = false;
    const QString path =
        AskSeriesPath(folder + QStringLiteral("/XRQ%1-series.csv").arg(name), replace);
    if (path.isEmpty())
        return;
    m_seriesWork->exportTo(FilesFolder, *info, QFile::encodeName(path).toStdString(), replace);
    LabelSeries->setText(
        QStringLiteral("Exporting %1 to %2 ...").arg(UnitSeries::describe(*info), path));
    updateSeriesButtons();
}

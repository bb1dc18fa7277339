// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The "Data Viewer" window: one tab per data file, read on a worker thread each while a
// progress bar runs (Cancel stops them), with Open, Save Picture, Export CSV, Close Tab and
// Reset Zoom. A file that cannot be shown gets a tab that says why; nothing a file holds
// can end the program. The window fits inside the screen it opens on. UI thread only.

#include "time_stamps/time_stamps.h"
#include "viewer/data_loader.h"
#include "viewer/series_reading.h"

#include <QMainWindow>
#include <QStringList>

#include <functional>
#include <memory>

class QAction;
class QLabel;
class QProgressBar;
class QPushButton;
class QTabWidget;

namespace viewer {

class DataSetView;
struct DataSet;

class ViewerWindow : public QMainWindow {
    Q_OBJECT
public:
    explicit ViewerWindow(QWidget* parent = nullptr);
    ~ViewerWindow() override;

    // Opens each file in a tab of its own (read in the background).
    void openFiles(const QStringList& paths);
    // Opens what `reading` reads (a unit's series) in a tab titled `title`; `label` names it
    // in the tab's tip and in a failure.
    void openReading(const QString& title, const QString& label, DataLoader::Reading reading);
    // Opens a unit's series in a tab of its own (read in the background).
    void openSeries(const SeriesRequest& request);
    // Folder in which the file dialogs start.
    void setDataFolder(const QString& folder) { m_folder = folder; }
    // Sizes and places the window inside `available` (a screen's available geometry).
    void fitInto(const QRect& available);

    // Asks which order the dates of a file are written in, when the data cannot tell
    // (tests answer it); the default asks with a box.
    using DateOrderQuestion = std::function<DateOrder(const DataSet&)>;
    void setDateOrderQuestion(DateOrderQuestion ask) { m_askDateOrder = std::move(ask); }

    QTabWidget* tabs() const { return m_tabs; }
    DataSetView* currentView() const;
    DataSetView* viewAt(int tab) const;
    int loadsRunning() const { return m_running; }
    QProgressBar* progressBar() const { return m_progress; }
    QString statusText() const;

    QAction* ActionOpen = nullptr;
    QAction* ActionSavePicture = nullptr;
    QAction* ActionExportCsv = nullptr;
    QAction* ActionCloseTab = nullptr;
    QAction* ActionResetZoom = nullptr;
    QAction* ActionCancel = nullptr;

    // Save Picture and Export CSV without their file dialogs; the status line says how it went.
    bool savePictureTo(const QString& path);
    bool exportCsvTo(const QString& path);

signals:
    // Every file asked for so far has been read (or has failed).
    void allLoaded();

private:
    void openDialog();
    void savePicture();
    void exportCsv();
    void closeTab(int tab);
    void addReading(const QString& title, const QString& label,
                    const std::function<void(DataLoader&)>& start);
    void loaded(QWidget* page, DataLoader* loader, std::shared_ptr<DataSet> set);
    void updateActions();
    void say(const QString& text);

    QTabWidget* m_tabs = nullptr;
    QProgressBar* m_progress = nullptr;
    QPushButton* m_cancel = nullptr;
    QLabel* m_message = nullptr;
    QString m_folder;
    int m_running = 0;
    DateOrderQuestion m_askDateOrder;
};

// The screen the viewer opens on: the one under the pointer, else the primary one.
QRect availableScreenArea();

} // namespace viewer

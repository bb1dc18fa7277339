#pragma once
// The "Data Viewer" window: one tab per data file, read on a worker thread each while a
// progress bar runs, with Open, Save Picture, Export CSV and Reset Zoom. A file that
// cannot be shown gets a tab that says why; nothing a file holds can end the program.
// UI thread only.

#include <QMainWindow>
#include <QStringList>

#include <memory>

class QAction;
class QLabel;
class QProgressBar;
class QTabWidget;

namespace viewer {

class DataLoader;
class DataSetView;
struct DataSet;

class ViewerWindow : public QMainWindow {
    Q_OBJECT
public:
    explicit ViewerWindow(QWidget* parent = nullptr);
    ~ViewerWindow() override;

    // Opens each file in a tab of its own (read in the background).
    void openFiles(const QStringList& paths);
    // Folder in which the file dialogs start.
    void setDataFolder(const QString& folder) { m_folder = folder; }

    QTabWidget* tabs() const { return m_tabs; }
    DataSetView* currentView() const;
    DataSetView* viewAt(int tab) const;
    int loadsRunning() const { return m_running; }
    QProgressBar* progressBar() const { return m_progress; }

    QAction* ActionOpen = nullptr;
    QAction* ActionSavePicture = nullptr;
    QAction* ActionExportCsv = nullptr;
    QAction* ActionResetZoom = nullptr;

signals:
    // Every file asked for so far has been read (or has failed).
    void allLoaded();

private:
    void openDialog();
    void savePicture();
    void exportCsv();
    void loaded(QWidget* page, DataLoader* loader, std::shared_ptr<const DataSet> set);
    void updateActions();

    QTabWidget* m_tabs = nullptr;
    QProgressBar* m_progress = nullptr;
    QLabel* m_message = nullptr;
    QString m_folder;
    int m_running = 0;
};

// Opens a viewer on `files`; with none, asks for files in `dataFolder` first (nullptr when
// the operator chooses none). The window deletes itself when closed.
ViewerWindow* openDataViewer(const QStringList& files, const QString& dataFolder,
                             QWidget* parent = nullptr);

} // namespace viewer

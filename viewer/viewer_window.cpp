#include "viewer/viewer_window.h"

#include "viewer/data_loader.h"
#include "viewer/data_set_view.h"

#include <QAction>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QStatusBar>
#include <QTabWidget>
#include <QToolBar>
#include <QVBoxLayout>

namespace viewer {

ViewerWindow::ViewerWindow(QWidget* parent) : QMainWindow(parent, Qt::Window) {
    setWindowTitle(QStringLiteral("Data Viewer"));
    setObjectName(QStringLiteral("DataViewer"));
    resize(1200, 700);

    ActionOpen = new QAction(QStringLiteral("&Open..."), this);
    ActionOpen->setShortcut(QKeySequence::Open);
    ActionSavePicture = new QAction(QStringLiteral("Save &Picture"), this);
    ActionExportCsv = new QAction(QStringLiteral("Export &CSV"), this);
    ActionResetZoom = new QAction(QStringLiteral("&Reset Zoom"), this);
    connect(ActionOpen, &QAction::triggered, this, &ViewerWindow::openDialog);
    connect(ActionSavePicture, &QAction::triggered, this, &ViewerWindow::savePicture);
    connect(ActionExportCsv, &QAction::triggered, this, &ViewerWindow::exportCsv);
    connect(ActionResetZoom, &QAction::triggered, this, [this] {
        if (DataSetView* v = currentView())
            v->resetZoom();
    });
    QToolBar* bar = addToolBar(QStringLiteral("Viewer"));
    bar->setMovable(false);
    bar->addAction(ActionOpen);
    bar->addAction(ActionSavePicture);
    bar->addAction(ActionExportCsv);
    bar->addAction(ActionResetZoom);

    m_tabs = new QTabWidget(this);
    m_tabs->setTabsClosable(true);
    m_tabs->setDocumentMode(true);
    connect(m_tabs, &QTabWidget::tabCloseRequested, this, [this](int i) {
        QWidget* page = m_tabs->widget(i);
        m_tabs->removeTab(i);
        delete page; // a loader inside stops and waits for its thread
        updateActions();
    });
    connect(m_tabs, &QTabWidget::currentChanged, this, [this](int tab) {
        updateActions();
        if (QWidget* page = m_tabs->widget(tab))
            m_message->setText(page->property("summary").toString());
    });
    setCentralWidget(m_tabs);

    m_message = new QLabel(this);
    m_progress = new QProgressBar(this);
    m_progress->setRange(0, 100);
    m_progress->setMaximumWidth(240);
    m_progress->hide();
    statusBar()->addWidget(m_message, 1);
    statusBar()->addPermanentWidget(m_progress);
    updateActions();
}

ViewerWindow::~ViewerWindow() {
    // The pages go after this body; their loaders must not call back into a half-gone window.
    for (DataLoader* loader : findChildren<DataLoader*>())
        loader->disconnect(this);
}

DataSetView* ViewerWindow::viewAt(int tab) const {
    QWidget* page = m_tabs->widget(tab);
    return page ? page->findChild<DataSetView*>() : nullptr;
}

DataSetView* ViewerWindow::currentView() const {
    return viewAt(m_tabs->currentIndex());
}

void ViewerWindow::updateActions() {
    const bool plot = currentView() != nullptr;
    ActionSavePicture->setEnabled(plot);
    ActionExportCsv->setEnabled(plot);
    ActionResetZoom->setEnabled(plot);
}

void ViewerWindow::openFiles(const QStringList& paths) {
    for (const QString& path : paths) {
        // The page holds the loader until the data arrives, then the view; closing the tab
        // early deletes the loader, which cancels the reading.
        auto* page = new QWidget;
        auto* layout = new QVBoxLayout(page);
        layout->setContentsMargins(0, 0, 0, 0);
        auto* note = new QLabel(QStringLiteral("Reading %1 ...").arg(path), page);
        note->setAlignment(Qt::AlignCenter);
        layout->addWidget(note);
        const int tab = m_tabs->addTab(page, QFileInfo(path).fileName());
        m_tabs->setTabToolTip(tab, path);

        auto* loader = new DataLoader(page);
        connect(loader, &DataLoader::progress, this,
                [this](int percent) { m_progress->setValue(percent); });
        connect(loader, &DataLoader::loaded, this,
                [this, page, loader](std::shared_ptr<const DataSet> set) {
                    loaded(page, loader, std::move(set));
                });
        connect(loader, &QObject::destroyed, this, [this] {
            if (--m_running == 0) {
                m_progress->hide();
                emit allLoaded();
            }
        });
        ++m_running;
        m_progress->setValue(0);
        m_progress->show();
        loader->start(path);
    }
    updateActions();
}

void ViewerWindow::loaded(QWidget* page, DataLoader* loader, std::shared_ptr<const DataSet> set) {
    const QString file = QFileInfo(set->path).fileName();
    QLayout* layout = page->layout();
    while (QLayoutItem* item = layout->takeAt(0)) {
        delete item->widget();
        delete item;
    }
    if (!set->error.isEmpty()) {
        auto* note = new QLabel(QStringLiteral("%1: %2").arg(file, set->error), page);
        note->setObjectName(QStringLiteral("loadError"));
        note->setAlignment(Qt::AlignCenter);
        layout->addWidget(note);
        page->setProperty("summary", note->text());
    } else {
        auto* view = new DataSetView(set, page);
        layout->addWidget(view);
        connect(view, &DataSetView::hoverText, m_message, &QLabel::setText);
        QString text = QStringLiteral("%1: %2 rows").arg(file).arg(set->rowCount());
        if (set->skippedRows > 0)
            text += QStringLiteral("; ") + set->skippedText();
        if (set->numericColumnCount() == 0)
            text += QStringLiteral("; no column holds numbers");
        page->setProperty("summary", text);
        const int tab = m_tabs->indexOf(page);
        if (tab >= 0)
            m_tabs->setTabText(tab, set->name.isEmpty() ? file : set->name);
    }
    if (m_tabs->currentWidget() == page)
        m_message->setText(page->property("summary").toString());
    loader->deleteLater();
    updateActions();
}

void ViewerWindow::openDialog() {
    const QStringList files =
        QFileDialog::getOpenFileNames(this, QStringLiteral("View Data"), m_folder,
                                      QStringLiteral("Data files (*.txt);;All files (*)"));
    if (!files.isEmpty())
        openFiles(files);
}

void ViewerWindow::savePicture() {
    DataSetView* view = currentView();
    if (!view)
        return;
    const QString base = QFileInfo(view->dataSet().path).completeBaseName();
    const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Save Picture"),
                                                      QFileInfo(m_folder, base + ".png").filePath(),
                                                      QStringLiteral("PNG pictures (*.png)"));
    if (path.isEmpty())
        return;
    QString error;
    if (!view->savePicture(path, error))
        QMessageBox::warning(this, QStringLiteral("Save Picture"),
                             QStringLiteral("Cannot write %1: %2").arg(path, error));
}

void ViewerWindow::exportCsv() {
    DataSetView* view = currentView();
    if (!view)
        return;
    const QString base = QFileInfo(view->dataSet().path).completeBaseName();
    const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Export CSV"),
                                                      QFileInfo(m_folder, base + ".csv").filePath(),
                                                      QStringLiteral("CSV files (*.csv)"));
    if (path.isEmpty())
        return;
    QString error;
    if (!view->exportCsv(path, error))
        QMessageBox::warning(this, QStringLiteral("Export CSV"),
                             QStringLiteral("Cannot write %1: %2").arg(path, error));
}

ViewerWindow* openDataViewer(const QStringList& files, const QString& dataFolder, QWidget* parent) {
    QStringList chosen = files;
    if (chosen.isEmpty())
        chosen = QFileDialog::getOpenFileNames(parent, QStringLiteral("View Data"), dataFolder,
                                               QStringLiteral("Data files (*.txt);;All files (*)"));
    if (chosen.isEmpty())
        return nullptr;
    auto* window = new ViewerWindow(parent);
    window->setAttribute(Qt::WA_DeleteOnClose);
    window->setDataFolder(dataFolder);
    window->show();
    window->openFiles(chosen);
    return window;
}

} // namespace viewer

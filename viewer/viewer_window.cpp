// SPDX-License-Identifier: GPL-3.0-or-later
#include "viewer/viewer_window.h"

#include "viewer/data_loader.h"
#include "viewer/data_set_view.h"
#include "viewer_reader/data_file.h"
#include "window_fit/window_fit.h"

#include <QAction>
#include <QCursor>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QStatusBar>
#include <QTabWidget>
#include <QToolBar>
#include <QVBoxLayout>

namespace viewer {

namespace {

// The size the viewer asks for where the screen has room.
constexpr QSize kPreferred(1200, 700);

DateOrder askWithBox(QWidget* parent, const DataSet& set) {
    QMessageBox box(parent);
    box.setWindowTitle(QStringLiteral("Data Viewer"));
    box.setIcon(QMessageBox::Question);
    box.setText(QStringLiteral("In %1 the dates can be read more than one way. In which order "
                               "are they written?")
                    .arg(QFileInfo(set.path).fileName()));
    std::vector<std::pair<QAbstractButton*, DateOrder>> buttons;
    std::vector<DateOrder> orders = {set.dateOrder};
    orders.insert(orders.end(), set.otherOrders.begin(), set.otherOrders.end());
    for (DateOrder o : orders) {
        QString name = QString::fromLatin1(orderName(o));
        name[0] = name[0].toUpper();
        buttons.emplace_back(box.addButton(name, QMessageBox::AcceptRole), o);
    }
    box.setDefaultButton(static_cast<QPushButton*>(buttons.front().first));
    box.exec();
    for (const auto& [button, order] : buttons)
        if (box.clickedButton() == button)
            return order;
    return set.dateOrder; // closed: the first reading, which the status line names
}

} // namespace

QRect availableScreenArea() {
    QScreen* screen = QGuiApplication::screenAt(QCursor::pos());
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    return screen ? screen->availableGeometry() : QRect(0, 0, 1024, 600);
}

// Whole: the window's actions, tool bar and tabs with their connections, as the reader meets them.
ViewerWindow::ViewerWindow(QWidget* parent) : QMainWindow(parent, Qt::Window) {
    // The program's rule for windows: the whole frame inside the screen, put back there once
    // the window manager has framed the window.
    window_fit::install();
    setWindowTitle(QStringLiteral("Data Viewer"));
    setObjectName(QStringLiteral("DataViewer"));
    resize(kPreferred);

    ActionOpen = new QAction(QStringLiteral("&Open..."), this);
    ActionOpen->setShortcut(QKeySequence::Open);
    ActionSavePicture = new QAction(QStringLiteral("Save &Picture"), this);
    ActionSavePicture->setShortcut(QKeySequence::Save);
    ActionExportCsv = new QAction(QStringLiteral("Export &CSV"), this);
    ActionExportCsv->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_E));
    ActionCloseTab = new QAction(QStringLiteral("Close &Tab"), this);
    ActionCloseTab->setShortcut(QKeySequence::Close);
    ActionResetZoom = new QAction(QStringLiteral("&Reset Zoom"), this);
    ActionResetZoom->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_0));
    ActionCancel = new QAction(QStringLiteral("Cancel"), this);
    auto* quit = new QAction(QStringLiteral("Quit"), this);
    quit->setShortcut(QKeySequence::Quit);
    for (QAction* a : {ActionOpen, ActionSavePicture, ActionExportCsv, ActionCloseTab,
                       ActionResetZoom, ActionCancel})
        a->setToolTip(a->text().remove(QLatin1Char('&')) +
                      (a->shortcut().isEmpty() ? QString()
                                               : QStringLiteral(" (%1)").arg(a->shortcut().toString(
                                                     QKeySequence::NativeText))));
    connect(ActionOpen, &QAction::triggered, this, &ViewerWindow::openDialog);
    connect(ActionSavePicture, &QAction::triggered, this, &ViewerWindow::savePicture);
    connect(ActionExportCsv, &QAction::triggered, this, &ViewerWindow::exportCsv);
    connect(ActionCloseTab, &QAction::triggered, this,
            [this] { closeTab(m_tabs->currentIndex()); });
    connect(ActionResetZoom, &QAction::triggered, this, [this] {
        if (DataSetView* v = currentView())
            v->resetZoom();
    });
    connect(ActionCancel, &QAction::triggered, this, [this] {
        // Every reading still running stops; its tab says so.
        for (DataLoader* loader : findChildren<DataLoader*>())
            if (loader->running()) {
                auto* page = qobject_cast<QWidget*>(loader->parent());
                loader->cancel();
                auto set = std::make_shared<DataSet>();
                set->path = page ? m_tabs->tabToolTip(m_tabs->indexOf(page)) : QString();
                set->error = QStringLiteral("Reading was cancelled.");
                if (page)
                    loaded(page, loader, set);
            }
    });
    connect(quit, &QAction::triggered, this, &QWidget::close);
    addAction(quit);
    QToolBar* bar = addToolBar(QStringLiteral("Viewer"));
    bar->setMovable(false);
    bar->addAction(ActionOpen);
    bar->addAction(ActionSavePicture);
    bar->addAction(ActionExportCsv);
    bar->addAction(ActionResetZoom);
    bar->addAction(ActionCloseTab);

    m_tabs = new QTabWidget(this);
    m_tabs->setTabsClosable(true);
    m_tabs->setDocumentMode(true);
    connect(m_tabs, &QTabWidget::tabCloseRequested, this, &ViewerWindow::closeTab);
    connect(m_tabs, &QTabWidget::currentChanged, this, [this](int tab) {
        updateActions();
        if (QWidget* page = m_tabs->widget(tab))
            say(page->property("summary").toString());
    });
    setCentralWidget(m_tabs);

    m_message = new QLabel(this);
    m_message->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_progress = new QProgressBar(this);
    m_progress->setRange(0, 100);
    m_progress->setMaximumWidth(200);
    m_progress->hide();
    m_cancel = new QPushButton(QStringLiteral("Cancel"), this);
    m_cancel->setToolTip(QStringLiteral("Stop reading the files"));
    m_cancel->hide();
    connect(m_cancel, &QPushButton::clicked, ActionCancel, &QAction::trigger);
    statusBar()->addWidget(m_message, 1);
    statusBar()->addPermanentWidget(m_progress);
    statusBar()->addPermanentWidget(m_cancel);
    updateActions();
}

ViewerWindow::~ViewerWindow() {
    // The pages go after this body; their loaders must not call back into a half-gone window.
    for (DataLoader* loader : findChildren<DataLoader*>())
        loader->disconnect(this);
}

void ViewerWindow::fitInto(const QRect& available) {
    const QMargins frame = window_fit::frameMargins(this);
    const QSize framing(frame.left() + frame.right(), frame.top() + frame.bottom());
    const QSize room = available.size() - framing;
    const QSize size = kPreferred.boundedTo(room).expandedTo(minimumSizeHint().boundedTo(room));
    // Centred, frame included; the client's rectangle is what is placed.
    const QPoint frameCorner(available.left() + std::max(0, (room.width() - size.width()) / 2),
                             available.top() + std::max(0, (room.height() - size.height()) / 2));
    const QRect client(frameCorner + QPoint(frame.left(), frame.top()), size);
    setGeometry(window_fit::fitClient(client, frame, available, minimumSizeHint()));
}

DataSetView* ViewerWindow::viewAt(int tab) const {
    QWidget* page = m_tabs->widget(tab);
    return page ? page->findChild<DataSetView*>() : nullptr;
}

DataSetView* ViewerWindow::currentView() const {
    return viewAt(m_tabs->currentIndex());
}

QString ViewerWindow::statusText() const {
    return m_message->text();
}

void ViewerWindow::say(const QString& text) {
    m_message->setText(text);
    m_message->setToolTip(text);
}

void ViewerWindow::updateActions() {
    const bool plot = currentView() != nullptr;
    ActionSavePicture->setEnabled(plot);
    ActionExportCsv->setEnabled(plot);
    ActionResetZoom->setEnabled(plot);
    ActionCloseTab->setEnabled(m_tabs->count() > 0);
    ActionCancel->setEnabled(m_running > 0);
}

void ViewerWindow::closeTab(int tab) {
    QWidget* page = m_tabs->widget(tab);
    if (!page)
        return;
    m_tabs->removeTab(tab);
    delete page; // a loader inside stops and waits for its thread
    updateActions();
    if (m_tabs->count() == 0)
        say({});
}

void ViewerWindow::openFiles(const QStringList& paths) {
    for (const QString& path : paths)
        addReading(QFileInfo(path).fileName(), path,
                   [path](DataLoader& loader) { loader.start(path); });
    updateActions();
}

void ViewerWindow::openReading(const QString& title, const QString& label,
                               DataLoader::Reading reading) {
    addReading(title, label, [label, reading = std::move(reading)](DataLoader& loader) mutable {
        loader.start(label, std::move(reading));
    });
    updateActions();
}

void ViewerWindow::openSeries(const SeriesRequest& request) {
    openReading(request.title(), request.title(),
                [request](const std::atomic<bool>& cancel, const ProgressFn& progress) {
                    return readSeries(request, &cancel, progress);
                });
}

void ViewerWindow::addReading(const QString& title, const QString& label,
                              const std::function<void(DataLoader&)>& start) {
    // The page holds the loader until the data arrives, then the view; closing the tab
    // early deletes the loader, which cancels the reading.
    auto* page = new QWidget;
    auto* layout = new QVBoxLayout(page);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* note = new QLabel(QStringLiteral("Reading %1 ...").arg(label), page);
    note->setAlignment(Qt::AlignCenter);
    note->setWordWrap(true);
    layout->addWidget(note);
    const int tab = m_tabs->addTab(page, title);
    m_tabs->setTabToolTip(tab, label);

    auto* loader = new DataLoader(page);
    connect(loader, &DataLoader::progress, this,
            [this](int percent) { m_progress->setValue(percent); });
    connect(loader, &DataLoader::loaded, this, [this, page, loader](std::shared_ptr<DataSet> set) {
        loaded(page, loader, std::move(set));
    });
    connect(loader, &QObject::destroyed, this, [this] {
        if (--m_running == 0) {
            m_progress->hide();
            m_cancel->hide();
            updateActions();
            emit allLoaded();
        }
    });
    ++m_running;
    m_progress->setValue(0);
    m_progress->show();
    m_cancel->show();
    start(*loader);
}

void ViewerWindow::loaded(QWidget* page, DataLoader* loader, std::shared_ptr<DataSet> set) {
    const QString file = QFileInfo(set->path).fileName();
    QLayout* layout = page->layout();
    while (QLayoutItem* item = layout->takeAt(0)) {
        delete item->widget();
        delete item;
    }
    if (set->error.isEmpty() && set->dateOrderOpen()) {
        const DateOrder order = m_askDateOrder ? m_askDateOrder(*set) : askWithBox(this, *set);
        if (order != set->dateOrder)
            chooseDateOrder(*set, order);
        set->otherOrders.clear();
        set->otherX.clear();
    }
    if (!set->error.isEmpty()) {
        auto* note = new QLabel(QStringLiteral("%1: %2").arg(file, set->error), page);
        note->setObjectName(QStringLiteral("loadError"));
        note->setAlignment(Qt::AlignCenter);
        note->setWordWrap(true);
        layout->addWidget(note);
        page->setProperty("summary", note->text());
    } else {
        auto* view = new DataSetView(std::move(set), page);
        layout->addWidget(view);
        connect(view, &DataSetView::message, this, &ViewerWindow::say);
        const DataSet& shown = view->dataSet();
        page->setProperty("summary", QStringLiteral("%1: %2").arg(file, shown.summary()));
        const int tab = m_tabs->indexOf(page);
        if (tab >= 0)
            m_tabs->setTabText(tab, shown.name.isEmpty() ? file : shown.name);
    }
    if (m_tabs->currentWidget() == page)
        say(page->property("summary").toString());
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

bool ViewerWindow::savePictureTo(const QString& path) {
    DataSetView* view = currentView();
    if (!view)
        return false;
    QString error;
    if (!view->savePicture(path, error)) {
        say(QStringLiteral("The picture was not saved: cannot write %1: %2").arg(path, error));
        return false;
    }
    say(QStringLiteral("Picture saved to %1").arg(path));
    return true;
}

bool ViewerWindow::exportCsvTo(const QString& path) {
    DataSetView* view = currentView();
    if (!view)
        return false;
    QString error;
    if (!view->exportCsv(path, error)) {
        say(QStringLiteral("Nothing was exported: cannot write %1: %2").arg(path, error));
        return false;
    }
    say(QStringLiteral("%1 rows exported to %2").arg(view->dataSet().rowCount()).arg(path));
    return true;
}

void ViewerWindow::savePicture() {
    DataSetView* view = currentView();
    if (!view)
        return;
    const QString base = QFileInfo(view->dataSet().path).completeBaseName();
    const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Save Picture"),
                                                      QFileInfo(m_folder, base + ".png").filePath(),
                                                      QStringLiteral("PNG pictures (*.png)"));
    if (!path.isEmpty() && !savePictureTo(path))
        QMessageBox::warning(this, QStringLiteral("Save Picture"), statusText());
}

void ViewerWindow::exportCsv() {
    DataSetView* view = currentView();
    if (!view)
        return;
    const QString base = QFileInfo(view->dataSet().path).completeBaseName();
    const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Export CSV"),
                                                      QFileInfo(m_folder, base + ".csv").filePath(),
                                                      QStringLiteral("CSV files (*.csv)"));
    if (!path.isEmpty() && !exportCsvTo(path))
        QMessageBox::warning(this, QStringLiteral("Export CSV"), statusText());
}

} // namespace viewer

// SPDX-License-Identifier: GPL-3.0-or-later
#include "window_fit/window_fit.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QFileDialog>
#include <QHash>
#include <QMessageBox>
#include <QPointer>
#include <QScreen>
#include <QScrollArea>
#include <QSettings>
#include <QTimer>
#include <QWidget>
#include <QWindow>

#include <algorithm>

namespace window_fit {

namespace {

// After a window is shown the window manager frames and places it, and some windows size
// themselves in their own show handling (message boxes): until the window has been mapped
// (framed, where there is a window manager) and for at least this long after showing, a frame
// found outside the screen is put back. Later moves are the operator's.
constexpr qint64 kSettleMs = 2000;

// A title bar and thin borders, for a window not framed yet when no other window has been.
const QMargins kDefaultMargins(4, 30, 4, 4);

QMargins& lastKnownMargins() {
    static QMargins margins;
    return margins;
}

QString& storePath() {
    static QString path;
    return path;
}

bool isFittedWindow(const QWidget* w) {
    if (!w || !w->isWindow())
        return false;
    switch (w->windowType()) {
    case Qt::Window:
    case Qt::Dialog:
    case Qt::Sheet:
    case Qt::Tool:
        return true;
    default: // menus, tooltips, splash, desktop: placed by the toolkit next to what made them
        return false;
    }
}

QScreen* screenOf(const QWidget* w) {
    if (QScreen* s = w->screen())
        return s;
    return QGuiApplication::primaryScreen();
}

QString sanitized(QString text) {
    for (QChar& c : text)
        if (!c.isLetterOrNumber() && c != QLatin1Char('-') && c != QLatin1Char('_'))
            c = QLatin1Char('_');
    return text;
}

void saveGeometry(const QWidget* w) {
    const QString key = geometryKey(w);
    if (key.isEmpty() || storePath().isEmpty() || w->isMinimized())
        return;
    QSettings store(storePath(), QSettings::IniFormat);
    store.setValue(key, w->saveGeometry());
}

bool restoreGeometry(QWidget* w) {
    const QString key = geometryKey(w);
    if (key.isEmpty() || storePath().isEmpty())
        return false;
    const QSettings store(storePath(), QSettings::IniFormat);
    const QByteArray saved = store.value(key).toByteArray();
    return !saved.isEmpty() && w->restoreGeometry(saved);
}

// A window the toolkit places itself (a box centred over its window), not shown yet: while
// it is mapped and framed, the window system reports passing places of its own (the client at
// the screen's corner, its title bar above the screen). Fitted on one of those, the window
// would stay there; its place counts from its first exposure on.
bool beingPlaced(const QWidget* w) {
    const QWindow* handle = w->windowHandle();
    return !w->testAttribute(Qt::WA_Moved) && !(handle && handle->isExposed());
}

bool insideScreen(const QWidget* w) {
    const QScreen* screen = screenOf(w);
    if (!screen)
        return true;
    QRect frame = w->geometry().marginsAdded(frameMargins(w));
    return screen->availableGeometry().contains(frame);
}

class Fitter : public QObject {
public:
    using QObject::QObject;

    bool eventFilter(QObject* watched, QEvent* event) override {
        // A window's first exposure follows its framing by the window manager: the frame is
        // known from then on. The exposure goes to the window, not to its widget.
        if (event->type() == QEvent::Expose && watched->isWindowType()) {
            if (QWidget* w = settlingWidgetOf(static_cast<QWindow*>(watched)))
                moved(w, true);
            return false;
        }
        if (!watched->isWidgetType())
            return false;
        auto* w = static_cast<QWidget*>(watched);
        switch (event->type()) {
        case QEvent::Show:
            if (isFittedWindow(w))
                shown(w);
            break;
        case QEvent::Hide:
            // Minimising is the window system's (spontaneous); a close or hide is the end
            // of a showing, whose geometry is the operator's.
            if (isFittedWindow(w) && !event->spontaneous())
                saveGeometry(w);
            break;
        case QEvent::Move:
        case QEvent::Resize:
            if (isFittedWindow(w))
                moved(w, false);
            break;
        default:
            break;
        }
        return false;
    }

    void restoreShown() {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (w->isVisible() && isFittedWindow(w) && restoreGeometry(w))
                fit(w);
    }

private:
    void shown(QWidget* w) {
        if (w->isMaximized() || w->isFullScreen())
            return;
        bool restored = false;
        if (!m_shownBefore.contains(w)) {
            m_shownBefore.insert(w, true);
            connect(w, &QObject::destroyed, this, [this, w] {
                m_shownBefore.remove(w);
                m_settling.remove(w);
            });
            restored = restoreGeometry(w);
        }
        // A window placed by the program (or given back its place) is fitted before it is
        // mapped. One not placed yet is left to its own show handling, which runs after this
        // (a dialog centres itself over its parent, on the screen) and to the window manager;
        // fitting it here would count as placing it and stop both. Its place is checked below.
        if (restored || w->testAttribute(Qt::WA_Moved))
            fit(w);
        Settling settling;
        settling.since.start();
        m_settling.insert(w, settling);
        // Some windows place or size themselves in their own show handling, which runs after
        // this (a form centring itself, a message box fitting its text): the operator's place
        // wins over the first, the screen over both.
        QTimer::singleShot(0, w, [this, restored, p = QPointer<QWidget>(w)] {
            if (!p || !p->isVisible())
                return;
            if (restored)
                restoreGeometry(p);
            if (!beingPlaced(p) && !insideScreen(p))
                fit(p);
        });
    }

    QWidget* settlingWidgetOf(const QWindow* window) const {
        if (m_settling.isEmpty())
            return nullptr;
        for (QWidget* w : QApplication::topLevelWidgets())
            if (w->windowHandle() == window && m_settling.contains(w))
                return w;
        return nullptr;
    }

    // Shown, moved, resized or exposed: while the window settles, a frame outside the screen
    // is put back, on the frame the window manager reports once there is one.
    void moved(QWidget* w, bool exposed) {
        bool framed = false;
        if (const QWindow* handle = w->windowHandle()) {
            const QMargins m = handle->frameMargins();
            framed = !m.isNull();
            if (framed)
                lastKnownMargins() = m;
        }
        const auto it = m_settling.find(w);
        if (it == m_settling.end())
            return;
        if (it->mapped && it->since.elapsed() > kSettleMs) {
            m_settling.erase(it);
            return;
        }
        // Exposed without a frame: no window manager frames it, and none will.
        it->mapped = it->mapped || framed || exposed;
        if (!m_fitting && (exposed || !beingPlaced(w)) && w->isVisible() && !insideScreen(w))
            fit(w);
    }

    void fit(QWidget* w) {
        if (m_fitting || w->isMaximized() || w->isFullScreen())
            return;
        m_fitting = true;
        fitToScreen(w);
        m_fitting = false;
    }

    struct Settling {
        QElapsedTimer since; // the showing
        bool mapped = false; // framed by the window manager, or shown without one
    };

    bool m_fitting = false;
    // Keys only: a widget is never dereferenced through these.
    QHash<QWidget*, bool> m_shownBefore;
    QHash<QWidget*, Settling> m_settling;
};

QPointer<Fitter>& theFitter() {
    static QPointer<Fitter> fitter;
    return fitter;
}

} // namespace

QRect fitFrame(const QRect& frame, const QRect& available, const QSize& minimum) {
    if (!available.isValid())
        return frame;
    QRect r = frame;
    r.setWidth(std::max(std::min(frame.width(), available.width()), minimum.width()));
    r.setHeight(std::max(std::min(frame.height(), available.height()), minimum.height()));
    if (r.right() > available.right())
        r.moveRight(available.right());
    if (r.bottom() > available.bottom())
        r.moveBottom(available.bottom());
    // Last, so that a window larger than the area keeps its title bar and left edge in it.
    if (r.left() < available.left())
        r.moveLeft(available.left());
    if (r.top() < available.top())
        r.moveTop(available.top());
    return r;
}

QRect fitClient(const QRect& client, const QMargins& frame, const QRect& available,
                const QSize& minimumClient) {
    const QSize framing(frame.left() + frame.right(), frame.top() + frame.bottom());
    const QRect fitted = fitFrame(client.marginsAdded(frame), available, minimumClient + framing);
    return fitted.marginsRemoved(frame);
}

QMargins assumedFrameMargins(const QWidget* window) {
    if (window && (window->windowFlags() & Qt::FramelessWindowHint))
        return {};
    if (!lastKnownMargins().isNull())
        return lastKnownMargins();
    // The offscreen platform frames nothing; real window systems do.
    if (QGuiApplication::platformName() == QLatin1String("offscreen"))
        return {};
    return kDefaultMargins;
}

QMargins frameMargins(const QWidget* w) {
    if (const QWindow* handle = w->windowHandle()) {
        const QMargins m = handle->frameMargins();
        if (!m.isNull() && w->isVisible())
            return m;
    }
    return assumedFrameMargins(w);
}

void fitToScreen(QWidget* w) {
    const QScreen* screen = screenOf(w);
    if (!screen)
        return;
    const QSize minimumClient = w->minimumSize().expandedTo(w->minimumSizeHint());
    const QRect client = w->geometry();
    // A dialog left to place itself stands centred over its window, wherever the window
    // system has it for the moment (a passing place while it is framed, at the screen's
    // corner, would otherwise stick).
    QRect asked = client;
    const QWidget* owner = w->parentWidget() ? w->parentWidget()->window() : nullptr;
    if (w->windowType() == Qt::Dialog && !w->testAttribute(Qt::WA_Moved) && owner &&
        owner->isVisible())
        asked.moveCenter(owner->geometry().center());
    const QRect fitted =
        fitClient(asked, frameMargins(w), screen->availableGeometry(), minimumClient);
    if (fitted == client)
        return;
    // The client's rectangle, not move(): before the window manager has told the toolkit the
    // frame, move() takes the frame's corner for the client's and the title bar lands above
    // the place asked for. A client placed by its own corner stays there when framed.
    w->setGeometry(fitted);
}

void install() {
    if (theFitter() || !qApp)
        return;
    auto* fitter = new Fitter(qApp);
    qApp->installEventFilter(fitter);
    theFitter() = fitter;
    // A window still open when the program ends keeps its place for the next run.
    QObject::connect(qApp, &QCoreApplication::aboutToQuit, fitter, [] {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (w->isVisible() && isFittedWindow(w))
                saveGeometry(w);
    });
}

void setGeometryStore(const QString& path) {
    storePath() = path;
    if (theFitter())
        theFitter()->restoreShown();
}

QString geometryStore() {
    return storePath();
}

QString geometryKey(const QWidget* w) {
    if (!w || !isFittedWindow(w) || qobject_cast<const QMessageBox*>(w) ||
        qobject_cast<const QFileDialog*>(w))
        return {};
    QString name = w->objectName();
    if (name.isEmpty()) {
        // Our own forms are known by their class even without an object name.
        const QString cls = QString::fromLatin1(w->metaObject()->className());
        if (!cls.startsWith(QLatin1String("TForm")))
            return {};
        name = cls;
    }
    const QScreen* screen = screenOf(w);
    if (!screen)
        return {};
    const QSize size = screen->geometry().size();
    return sanitized(name) + QLatin1Char('/') + sanitized(screen->name()) + QLatin1Char('_') +
           QString::number(size.width()) + QLatin1Char('x') + QString::number(size.height());
}

QScrollArea* scrolled(QWidget* content, QWidget* parent) {
    auto* area = new QScrollArea(parent);
    area->setFrameShape(QFrame::NoFrame);
    area->setWidgetResizable(true);
    area->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    area->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    area->setWidget(content);
    return area;
}

} // namespace window_fit

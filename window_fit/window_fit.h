// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Every top-level window of the program opens inside the screen it opens on: the screen's
// available area (panels and docks left out), with its title bar reachable and its bottom
// edge (the main window's status area) in sight. A window larger than that area is shrunk to
// it; what cannot shrink further scrolls (the main window's controls sit in a scroll area).
//
// The sizes and places the operator gives the main window, Setup, Serial devices and the
// terminal are remembered per screen size in a file of their own beside the settings file
// ("window-geometry.ini"), so that XRQ.ini keeps its two keys, and a window placed on a
// 1366x768 screen does not come back half outside a 1024x600 one.
//
// The frame counts: a window manager's title bar and borders lie inside the area too. Until
// the window manager has framed a window (its first showing) a frame is assumed; when the
// real one is known (the window's first exposure, or a move or resize after showing, on
// the frame extents the window manager reports) the window is fitted again on it. The
// client area is what is placed, so where the frame is not known yet the frame's corner is
// never taken for the client's. Without a window manager there is no frame and the client
// area alone is fitted.
//
// One application-wide event filter does it, so message boxes and windows added later are
// covered without code of their own. UI thread only.

#include <QMargins>
#include <QRect>
#include <QSize>
#include <QString>

class QScrollArea;
class QWidget;

namespace window_fit {

// Where a window goes: `frame` is its outer rectangle as asked for (frame margins included),
// `minimum` its smallest outer size. The result lies inside `available` where it can: moved
// in when it sticks out, shrunk to the area when larger (never below `minimum`); a window
// whose minimum is larger than the area keeps its top-left corner (title bar) in the area.
QRect fitFrame(const QRect& frame, const QRect& available, const QSize& minimum = QSize(0, 0));

// Where a window's client area goes so that its whole frame lies inside `available`: `client`
// is the client rectangle asked for, `frame` the margins the window manager puts around it
// (none without one), `minimumClient` the smallest client size. The frame is placed as
// fitFrame places it; the result is the client rectangle inside that frame.
QRect fitClient(const QRect& client, const QMargins& frame, const QRect& available,
                const QSize& minimumClient = QSize(0, 0));

// Frame margins to assume for a window the window manager has not framed yet (its first
// showing): those of a window framed before, or a common title bar and border.
QMargins assumedFrameMargins(const QWidget* window);

// The frame around `window`: the one the window manager reports once it has framed the
// shown window, else assumedFrameMargins.
QMargins frameMargins(const QWidget* window);

// Fits `window` to the available area of its screen now (as on showing). A dialog not placed
// by the program is first centred over its window, as the toolkit places it.
void fitToScreen(QWidget* window);

// Installs the application-wide filter (once; later calls do nothing).
void install();

// Where remembered geometry is kept (the program's files folder + "window-geometry.ini");
// until it is set, nothing is remembered or restored. Windows shown already get theirs back.
void setGeometryStore(const QString& path);
QString geometryStore();

// The key a window's geometry is remembered under on its current screen, e.g.
// "FormSetup/1024x600"; empty for windows that are not remembered (message boxes, file
// dialogs, windows without an object name).
QString geometryKey(const QWidget* window);

// `content` inside a frameless scroll area that shows scroll bars only when the window has
// been made smaller than the content's minimum.
QScrollArea* scrolled(QWidget* content, QWidget* parent);

} // namespace window_fit

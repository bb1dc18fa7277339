// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The boxes on a screen: the message and question boxes of dialogs/ (DlgError and the
// others) shown as modal Qt message boxes over the window their operation belongs to, the
// exception guard's error box, and the port settings dialog behind the port component's
// ConfigDialog. installMessageBoxes() puts them in place (the windowed programs' start);
// without it a box's text goes to standard error. UI thread only.

#include <QPointer>

class QWidget;

void installMessageBoxes();

namespace dialogs {

// The window a box stands over when no other is named or active: the program's main window,
// set by the program's start (null: none).
void setMainWindow(QWidget* window);

// While one lives, the boxes stand over `window`: the window whose operation speaks, whichever
// window the operator has brought forward meanwhile. Scopes nest; the newest wins.
class BoxOwner {
public:
    explicit BoxOwner(QWidget* window);
    ~BoxOwner();
    BoxOwner(const BoxOwner&) = delete;
    BoxOwner& operator=(const BoxOwner&) = delete;

private:
    QPointer<QWidget> m_previous;
};

// The window the next box stands over: the one a BoxOwner names, else the program's active
// window (for a box over a box, the window under that box), else the main window; null when
// none of them is shown.
QWidget* boxParent();

} // namespace dialogs

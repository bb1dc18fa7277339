// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The five message and question boxes through which the program speaks to the operator. Each
// first writes its text to the run log, then shows a modal box (application-modal; the event
// loop keeps running underneath). Messages are 8-bit text shown as Latin-1, line breaks kept.
// A box is a child of the window its operation belongs to (see boxParent), so the window
// manager shows it over that window and keeps it above it. UI thread only.

#include <string>

#include <QPointer>

#include "dialogs/run_log.h"

class QWidget;

// "Confirm?", Yes/No, question mark; returns true for Yes. Logs the question and the answer.
bool DlgConfirm(const std::string& message, bool defaultYes);
// "Error", stop icon.
void DlgError(const std::string& message);
// "Info", exclamation mark.
void DlgWarning(const std::string& message);
// "Info", information icon.
void DlgInfo(const std::string& message);
// "Error", naming where it was reported: "message (file:line)", where file is sourceFile after
// its last "/" (else its last "\"), at most 99 characters. Logged with the caller's line.
void DlgInternalError(const std::string& message, const std::string& sourceFile, unsigned line);

namespace dialogs {

// Once the program is ending (Exit confirmed, a termination signal) the operations still log
// their text but show no box: a box would keep the ending program waiting for no one. A
// question then answers its default button. Set again to false only by a new start.
void setProgramEnding(bool ending);
bool programEnding();

// The window a box stands over when no other is named or active: the program's main window,
// set by the program's start (null: none, as in the collector).
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

// The name DlgInternalError shows for a source path.
std::string sourceFileName(const std::string& sourceFile);

} // namespace dialogs

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The five message and question boxes through which the program speaks to the operator. Each
// first writes its text to the run log, then hands the box to whoever shows it: a test's
// script, a presenter (the collector), or the screen's boxes the windows put in place
// (widgets/message_boxes.h: modal, over the window the operation belongs to). Without any of
// them the text goes to standard error and a question takes its default answer. Messages are
// 8-bit text. No window here: Qt Core. UI thread only.

#include <string>

#include "dialogs/box_presenter.h"
#include "dialogs/run_log.h"

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

// Who shows a box on a screen when neither a script nor a presenter takes it: the windows'
// message boxes (installMessageBoxes, widgets/message_boxes.h). Returns the answer of a
// question. An empty function: none.
void setScreenPresenter(BoxPresenter presenter);

// The name DlgInternalError shows for a source path.
std::string sourceFileName(const std::string& sourceFile);

} // namespace dialogs

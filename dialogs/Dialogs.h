// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The five message and question boxes through which the program speaks to the operator. Each
// first writes its text to the run log, then shows a modal box (application-modal; the event
// loop keeps running underneath). Messages are 8-bit text shown as Latin-1, line breaks kept.
// UI thread only.

#include <string>

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

// The name DlgInternalError shows for a source path.
std::string sourceFileName(const std::string& sourceFile);

} // namespace dialogs

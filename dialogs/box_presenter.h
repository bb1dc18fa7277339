// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The boxes as data, and who shows them where no operator sits at a screen: a program without
// windows (the command-line collector) puts a presenter here, and every DlgConfirm, DlgError,
// DlgWarning, DlgInfo and DlgInternalError goes to it instead of a box, after its text has
// been logged as usual. A test's ScriptedDialogs comes first. UI thread only.

#include <functional>
#include <string>

namespace dialogs {

enum class BoxKind { Confirm, Error, Warning, Info, InternalError, Exception };

struct BoxShown {
    BoxKind kind;
    std::string caption;
    std::string text;
    bool defaultYes = false; // confirmations: the default button
    bool answer = false;     // confirmations: what the box answered
};

// Returns the answer to a confirmation (ignored for the others). An empty function puts the
// boxes back.
using BoxPresenter = std::function<bool(const BoxShown&)>;
void setPresenter(BoxPresenter presenter);

} // namespace dialogs

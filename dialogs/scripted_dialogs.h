// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Test seam for the message boxes: while a ScriptedDialogs object lives, DlgConfirm, DlgError,
// DlgWarning, DlgInfo, DlgInternalError and the exception guard show nothing; each box is
// recorded and a confirmation takes the next queued answer (or its default button when none
// is queued, counted in unansweredConfirms). Only tests construct it. UI thread only; objects
// nest, the newest one wins and the previous one is restored when it goes.

#include "dialogs/box_presenter.h"

#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace dialogs {

class ScriptedDialogs {
public:
    ScriptedDialogs();
    ~ScriptedDialogs();
    ScriptedDialogs(const ScriptedDialogs&) = delete;
    ScriptedDialogs& operator=(const ScriptedDialogs&) = delete;

    void queueAnswer(bool yes) { answers.push_back(yes); }

    std::deque<bool> answers;
    std::vector<BoxShown> shown;
    int unansweredConfirms = 0;
    // Runs while the box is "open" (after it is recorded, before the call returns).
    std::function<void(const BoxShown&)> onBox;

    // Internal: records one box and gives the answer. Called by the dialogs unit.
    bool present(BoxShown box);

private:
    ScriptedDialogs* m_previous;
    std::function<void(const std::string&)> m_previousPresenter;
};

// The script in force, or null (production).
ScriptedDialogs* activeScript();

} // namespace dialogs

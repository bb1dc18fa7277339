// SPDX-License-Identifier: GPL-3.0-or-later
#include "dialogs/Dialogs.h"
#include "dialogs/source_lines.h"

#include "dialogs/scripted_dialogs.h"
#include "platform/exception_guard.h"

#include <cstdio>

namespace dialogs {
namespace {

ScriptedDialogs* g_script = nullptr;
BoxPresenter g_presenter;
BoxPresenter g_screen;
bool g_programEnding = false;

// Hands one box to whoever shows it, and waits for the answer. Returns true for Yes.
bool present(BoxShown box) {
    // Without a screen the text is still told where the presenter tells it, ending or not.
    if (g_presenter && !g_script) {
        const bool answer = g_presenter(box);
        return g_programEnding ? box.kind == BoxKind::Confirm && box.defaultYes : answer;
    }
    // An ending program has no one to answer: the log already holds the text, and a question
    // takes its default button, which is the safe answer of each of the program's questions.
    if (g_programEnding)
        return box.kind == BoxKind::Confirm && box.defaultYes;
    if (g_script)
        return g_script->present(std::move(box));
    // No screen to show it on: the log holds the text, stderr shows it, and a question takes
    // its default answer.
    if (!g_screen) {
        std::fprintf(stderr, "%s: %s\n", box.caption.c_str(), box.text.c_str());
        return box.kind == BoxKind::Confirm && box.defaultYes;
    }
    const bool confirm = box.kind == BoxKind::Confirm;
    const bool defaultYes = box.defaultYes;
    // Copy: the presenter may be replaced while its box is open.
    const BoxPresenter screen = g_screen;
    const bool yes = screen(box);
    // A box left because the program is ending was answered by no one.
    if (g_programEnding)
        return confirm && defaultYes;
    return yes;
}

} // namespace

ScriptedDialogs::ScriptedDialogs() : m_previous(g_script) {
    g_script = this;
    m_previousPresenter = platform::setExceptionPresenter([this](const std::string& message) {
        present({BoxKind::Exception, "XRQ", message});
    });
}

ScriptedDialogs::~ScriptedDialogs() {
    platform::setExceptionPresenter(m_previousPresenter);
    g_script = m_previous;
}

bool ScriptedDialogs::present(BoxShown box) {
    if (box.kind == BoxKind::Confirm) {
        if (answers.empty()) {
            ++unansweredConfirms;
            box.answer = box.defaultYes;
        } else {
            box.answer = answers.front();
            answers.pop_front();
        }
    }
    shown.push_back(box);
    if (onBox)
        onBox(box);
    return box.answer;
}

void setPresenter(BoxPresenter presenter) {
    g_presenter = std::move(presenter);
}

void setScreenPresenter(BoxPresenter presenter) {
    g_screen = std::move(presenter);
}

void setProgramEnding(bool ending) {
    g_programEnding = ending;
}

bool programEnding() {
    return g_programEnding;
}

ScriptedDialogs* activeScript() {
    return g_script;
}

std::string sourceFileName(const std::string& sourceFile) {
    auto cut = sourceFile.rfind('/');
    if (cut == std::string::npos)
        cut = sourceFile.rfind('\\');
    std::string name = cut == std::string::npos ? sourceFile : sourceFile.substr(cut + 1);
    if (name.size() > 99)
        name.resize(99);
    return name;
}

} // namespace dialogs

using dialogs::BoxKind;

bool DlgConfirm(const std::string& message, bool defaultYes) {
    LogWrite(message, source_line::confirmQuestion, LogSizeLimit);
    dialogs::BoxShown box{BoxKind::Confirm, "Confirm?", message};
    box.defaultYes = defaultYes;
    const bool yes = dialogs::present(std::move(box));
    if (yes)
        LogWrite("Answer YES", source_line::answerYes, LogSizeLimit);
    else
        LogWrite("Answer NO", source_line::answerNo, LogSizeLimit);
    return yes;
}

void DlgError(const std::string& message) {
    LogWrite(message, source_line::errorBox, LogSizeLimit);
    dialogs::present({BoxKind::Error, "Error", message});
}

void DlgWarning(const std::string& message) {
    LogWrite(message, source_line::warningBox, LogSizeLimit);
    dialogs::present({BoxKind::Warning, "Info", message});
}

void DlgInfo(const std::string& message) {
    LogWrite(message, source_line::infoBox, LogSizeLimit);
    dialogs::present({BoxKind::Info, "Info", message});
}

void DlgInternalError(const std::string& message, const std::string& sourceFile, unsigned line) {
    const std::string text =
        message + " (" + dialogs::sourceFileName(sourceFile) + ":" + std::to_string(line) + ")";
    LogWrite(text, line, LogSizeLimit);
    dialogs::present({BoxKind::InternalError, "Error", text});
}

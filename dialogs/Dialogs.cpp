// SPDX-License-Identifier: GPL-3.0-or-later
#include "dialogs/Dialogs.h"
#include "dialogs/source_lines.h"

#include "dialogs/scripted_dialogs.h"
#include "platform/exception_guard.h"

#include <QApplication>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QMessageBox>
#include <QPointer>
#include <QStringDecoder>

#include <cstdio>

namespace dialogs {
namespace {

ScriptedDialogs* g_script = nullptr;
BoxPresenter g_presenter;
bool g_programEnding = false;
QPointer<QWidget> g_mainWindow;
QPointer<QWidget> g_owner;

// A Yes/No question answered by anything but its two buttons would take an answer the
// operator never gave: Escape (which the box maps to No) and the close box do nothing.
// On "Abort clearing memory?" a No means go ahead.
class Box : public QMessageBox {
public:
    Box(Icon icon, const QString& caption, const QString& text, bool question, QWidget* parent)
        : QMessageBox(icon, caption, text, question ? (Yes | No) : Ok, parent),
          m_question(question) {
        if (question)
            setWindowFlag(Qt::WindowCloseButtonHint, false);
    }

protected:
    void keyPressEvent(QKeyEvent* event) override {
        if (m_question && event->matches(QKeySequence::Cancel)) {
            event->accept();
            return;
        }
        QMessageBox::keyPressEvent(event);
    }
    void closeEvent(QCloseEvent* event) override {
        if (m_question)
            event->ignore();
        else
            QMessageBox::closeEvent(event);
    }

private:
    bool m_question;
};

struct BoxLook {
    QMessageBox::Icon icon;
    bool foreground;
};

BoxLook lookOf(BoxKind kind) {
    switch (kind) {
    case BoxKind::Confirm:
        return {QMessageBox::Question, false};
    case BoxKind::Warning:
        return {QMessageBox::Warning, true};
    case BoxKind::Info:
        return {QMessageBox::Information, true};
    case BoxKind::Error:
    case BoxKind::InternalError:
    case BoxKind::Exception:
        break;
    }
    return {QMessageBox::Critical, true};
}

// File names are UTF-8 bytes here, the unit's own texts 8-bit: a text that is valid UTF-8
// shows as such (a path with "é" reads as typed), anything else byte for byte as Latin-1.
QString boxText(const std::string& text) {
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString decoded = utf8.decode(QByteArrayView(text.data(), qsizetype(text.size())));
    if (!utf8.hasError())
        return decoded;
    return QString::fromLatin1(text.data(), qsizetype(text.size()));
}

// Shows one application-modal box and waits for the operator. Returns true for Yes.
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
    // A tool without a GUI application has no one to ask: the log holds the text, stderr
    // shows it, and a question takes its default answer.
    if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr) {
        std::fprintf(stderr, "%s: %s\n", box.caption.c_str(), box.text.c_str());
        return box.kind == BoxKind::Confirm && box.defaultYes;
    }
    const BoxLook look = lookOf(box.kind);
    const bool confirm = box.kind == BoxKind::Confirm;
    // On the heap: the window under the box may go while the box is open (and takes its
    // child with it); a box gone that way was answered by no one.
    QPointer<Box> mb = new Box(look.icon, QString::fromLatin1(box.caption), boxText(box.text),
                               confirm, boxParent());
    mb->setWindowModality(Qt::ApplicationModal);
    if (confirm)
        mb->setDefaultButton(box.defaultYes ? QMessageBox::Yes : QMessageBox::No);
    if (look.foreground) {
        mb->show();
        mb->raise();
        mb->activateWindow();
    }
    const int result = mb->exec();
    const bool yes = mb && result == QMessageBox::Yes;
    delete mb;
    // A box left because the program is ending was answered by no one.
    if (g_programEnding)
        return confirm && box.defaultYes;
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

void setProgramEnding(bool ending) {
    g_programEnding = ending;
}

bool programEnding() {
    return g_programEnding;
}

ScriptedDialogs* activeScript() {
    return g_script;
}

void setMainWindow(QWidget* window) {
    g_mainWindow = window;
}

BoxOwner::BoxOwner(QWidget* window) : m_previous(g_owner) {
    g_owner = window;
}

BoxOwner::~BoxOwner() {
    g_owner = m_previous;
}

QWidget* boxParent() {
    if (g_owner && g_owner->window()->isVisible())
        return g_owner->window();
    QWidget* active = QApplication::activeWindow();
    while (qobject_cast<QMessageBox*>(active))
        active = active->parentWidget() ? active->parentWidget()->window() : nullptr;
    if (active && active->isVisible())
        return active;
    if (g_mainWindow && g_mainWindow->isVisible())
        return g_mainWindow;
    return nullptr;
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

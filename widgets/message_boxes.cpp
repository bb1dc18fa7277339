// SPDX-License-Identifier: GPL-3.0-or-later
#include "widgets/message_boxes.h"

#include "dialogs/Dialogs.h"
#include "platform/exception_guard.h"
#include "widgets/comm_config_dialog.h"

#include <QApplication>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QMessageBox>
#include <QStringDecoder>

#include <cstdio>

namespace dialogs {
namespace {

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
bool showBox(const BoxShown& box) {
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
    return yes;
}

// The exception guard's box: caption "XRQ", the exception's message.
void showExceptionBox(const std::string& message) {
    // Without a GUI application there is no one to show a box to (a tool or a test without
    // QApplication): the message still must not vanish.
    if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr) {
        std::fprintf(stderr, "XRQ: %s\n", message.c_str());
        return;
    }
    QMessageBox box(QMessageBox::Critical, QStringLiteral("XRQ"), QString::fromLatin1(message),
                    QMessageBox::Ok);
    box.setWindowModality(Qt::ApplicationModal);
    box.exec();
}

} // namespace

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

} // namespace dialogs

void installMessageBoxes() {
    dialogs::setScreenPresenter(dialogs::showBox);
    platform::setFallbackExceptionPresenter(dialogs::showExceptionBox);
    platform::installCommConfigDialog();
}

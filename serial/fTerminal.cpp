// SPDX-License-Identifier: GPL-3.0-or-later
#include "serial/fTerminal.h"

#include "platform/exception_guard.h"
#include "serial/fSerial.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QScreen>
#include <QStatusBar>
#include <QVBoxLayout>

TFormTerminal* FormTerminal = nullptr;

TFormTerminal::TFormTerminal(QWidget* parent) : QWidget(parent) {
    setWindowTitle(QStringLiteral("FormTerminal"));
    resize(585, 563);

    MemoTerminal = new ByteTextView(this);
    MemoTerminal->setObjectName(QStringLiteral("MemoTerminal"));
    QPalette palette = MemoTerminal->palette();
    palette.setColor(QPalette::Base, Qt::black);
    palette.setColor(QPalette::Text, QColor(0, 255, 0));
    MemoTerminal->setPalette(palette);
    QFont font(QStringLiteral("Courier New"));
    font.setStyleHint(QFont::Monospace);
    font.setPixelSize(11);
    MemoTerminal->setFont(font);
    MemoTerminal->installEventFilter(this);

    StatusBarTerminal = new QStatusBar(this);
    StatusBarTerminal->setObjectName(QStringLiteral("StatusBarTerminal"));
    StatusBarTerminal->setFixedHeight(19);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(MemoTerminal);
    layout->addWidget(StatusBarTerminal);
}

TFormTerminal::~TFormTerminal() = default;

void TFormTerminal::FormShow(QObject*) {
    if (ShownChanged)
        ShownChanged(true);
}

void TFormTerminal::FormClose(QObject*) {
    // Text already received while shown goes in; nothing that arrives after this does.
    FlushEcho();
    if (ShownChanged)
        ShownChanged(false);
}

void TFormTerminal::MemoTerminalKeyPress(QObject*, char& Key) {
    if (!FormSerial)
        return;
    if (!FormSerial->PortOpen)
        FormSerial->iOpenPort(); // a failure has shown its own message
    FormSerial->iSendChar(Key);
}

void TFormTerminal::EchoReceived(std::string_view bytes) {
    MemoTerminal->appendBytes(bytes);
}

void TFormTerminal::FlushEcho() {
    // The view takes every append at once; it only limits its own repaints.
}

void TFormTerminal::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (!m_placed && !event->spontaneous()) {
        m_placed = true;
        if (const QScreen* screen = QGuiApplication::primaryScreen()) {
            QRect frame = frameGeometry();
            frame.moveCenter(screen->availableGeometry().center());
            move(frame.topLeft());
        }
    }
    if (!event->spontaneous())
        platform::runGuarded([this] { FormShow(this); });
}

void TFormTerminal::closeEvent(QCloseEvent* event) {
    // Closing hides the window; the form and its text live for the whole run.
    platform::runGuarded([this] { FormClose(this); });
    event->accept();
}

bool TFormTerminal::eventFilter(QObject* watched, QEvent* event) {
    if (watched == MemoTerminal && event->type() == QEvent::KeyPress) {
        const QString text = static_cast<QKeyEvent*>(event)->text();
        // The key as text; one with no Latin-1 character (or none at all) sends nothing.
        if (!text.isEmpty() && text.at(0).unicode() <= 0xFF) {
            char key = static_cast<char>(text.at(0).unicode());
            platform::runGuarded([&] { MemoTerminalKeyPress(MemoTerminal, key); });
        }
    }
    return QWidget::eventFilter(watched, event);
}

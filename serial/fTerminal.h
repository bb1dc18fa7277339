// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The terminal window: raw keyboard access to the unit. Every typed character is sent at
// once (opening the port first when needed); what the unit sends is appended while the
// window is shown. Closing only hides it, and its text stays for the whole run.
// UI thread only.

#include "widgets/byte_text_view.h"

#include <QWidget>

#include <functional>
#include <string_view>

class QStatusBar;

class TFormTerminal : public QWidget {
    Q_OBJECT
public:
    explicit TFormTerminal(QWidget* parent = nullptr);
    ~TFormTerminal() override;

    ByteTextView* MemoTerminal = nullptr;
    QStatusBar* StatusBarTerminal = nullptr;

    void FormShow(QObject* Sender);
    void FormClose(QObject* Sender);
    // Key is the typed character; it is left unchanged (the text area is read-only).
    void MemoTerminalKeyPress(QObject* Sender, char& Key);

    // The receive path's echo: appends received bytes unchanged at the end of the text.
    // The view limits its own repaints, so a fast unit costs no repaint per chunk.
    void EchoReceived(std::string_view bytes);
    // Kept for callers that want the text complete now: every append is already in it.
    void FlushEcho();

    // Told when the window is shown (true) and when it is closed (false): the main window
    // keeps it as its TerminalVisible, and echoes what arrives while it is true. Handed in
    // by the program's start while the main window lives.
    std::function<void(bool)> ShownChanged;

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    bool m_placed = false;
};

extern TFormTerminal* FormTerminal;

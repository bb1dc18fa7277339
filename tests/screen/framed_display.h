// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// An X server of a test's own with a window manager on it, as an operator's desktop has: Xvfb
// at a given size, then openbox. Each is waited for by what it says when it is ready (the
// server its display number, the window manager its start-up command), never for a fixed
// time. And where the window manager's frame around a window stands, as the X server has it.

#include "support/child_process.h"

#include <QRect>

#include <memory>
#include <string>

namespace testsupport {

class FramedDisplay {
public:
    FramedDisplay(int width, int height);
    ~FramedDisplay(); // the window manager, then the server

    bool ready() const { return m_ready; }
    // What went wrong when not ready (a program missing, a start that failed).
    const std::string& problem() const { return m_problem; }
    // ":N", for DISPLAY.
    const std::string& name() const { return m_name; }

private:
    bool start(int width, int height);
    bool fail(const std::string& why);

    std::unique_ptr<ChildProcess> m_server;
    std::unique_ptr<ChildProcess> m_windowManager;
    std::string m_name;
    std::string m_problem;
    bool m_ready = false;
};

// The full path of `program` on PATH; empty when there is none.
std::string programOnPath(const std::string& program);

// The frame around X window `window` on `display`: the window manager's window that holds it
// (the child of the root window above it), read with `xwininfo -frame`, its border included.
// Empty, with the reason in `why`, when it cannot be read.
QRect frameOnServer(const std::string& display, unsigned long window, std::string* why = nullptr);

} // namespace testsupport

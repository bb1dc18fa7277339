// SPDX-License-Identifier: GPL-3.0-or-later
#include "screen/framed_display.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QStringList>
#include <QTemporaryDir>

#include <csignal>
#include <cstdlib>
#include <unistd.h>

namespace testsupport {

namespace {

// A start under a loaded machine's scheduler takes a while; a server that has not answered
// by then has failed.
constexpr std::chrono::seconds kStartDeadline(60);
constexpr std::chrono::seconds kQueryDeadline(30);
// What the window manager's start-up command says once openbox manages the screen.
constexpr const char* kReadyWord = "xrq-window-manager-ready";

// The display number Xvfb writes to its -displayfd descriptor (our error channel), on a line
// of its own among its other messages.
bool displayNumber(const std::string& said, std::string* number) {
    static const QRegularExpression line(QStringLiteral("(?:^|\\n)(\\d+)\\n"));
    const auto match = line.match(QString::fromStdString(said));
    if (!match.hasMatch())
        return false;
    if (number)
        *number = match.captured(1).toStdString();
    return true;
}

// Runs an xwininfo query; its output, or empty with the reason in `why`.
QString xwininfo(const std::string& display, const std::vector<std::string>& args,
                 std::string* why) {
    const std::string program = programOnPath("xwininfo");
    if (program.empty()) {
        if (why)
            *why = "xwininfo is not installed (package x11-utils)";
        return {};
    }
    QTemporaryDir dir;
    const std::string out = dir.path().toStdString() + "/out";
    std::vector<std::string> all{"-display", display};
    all.insert(all.end(), args.begin(), args.end());
    ChildProcess query(program, all, out);
    if (!query.started() || !query.waitForExit(kQueryDeadline) || query.exitCode() != 0) {
        if (why)
            *why = "xwininfo failed: " + query.errorOutput();
        return {};
    }
    QFile file(QString::fromStdString(out));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromLocal8Bit(file.readAll());
}

// "Parent window id: 0x2002e3 (has no name)" -> 0x2002e3.
unsigned long windowId(const QString& text, const QString& label) {
    const QRegularExpression at(label + QStringLiteral(":\\s*(0x[0-9a-fA-F]+)"));
    const auto match = at.match(text);
    return match.hasMatch() ? match.captured(1).toULong(nullptr, 16) : 0;
}

int number(const QString& text, const QString& label) {
    const QRegularExpression at(label + QStringLiteral(":\\s*(-?\\d+)"));
    const auto match = at.match(text);
    return match.hasMatch() ? match.captured(1).toInt() : 0;
}

QString hex(unsigned long id) {
    return QStringLiteral("0x") + QString::number(id, 16);
}

} // namespace

std::string programOnPath(const std::string& program) {
    const QString path = QString::fromLocal8Bit(std::getenv("PATH") ? std::getenv("PATH") : "");
    for (const QString& dir : path.split(QLatin1Char(':'), Qt::SkipEmptyParts)) {
        const std::string candidate =
            QDir(dir).filePath(QString::fromStdString(program)).toStdString();
        if (::access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return {};
}

FramedDisplay::FramedDisplay(int width, int height) {
    m_ready = start(width, height);
}

bool FramedDisplay::start(int width, int height) {
    const std::string server = programOnPath("Xvfb");
    const std::string windowManager = programOnPath("openbox");
    const std::string env = programOnPath("env");
    if (server.empty())
        return fail("Xvfb is not installed (package xvfb)");
    if (windowManager.empty())
        return fail("openbox is not installed (package openbox)");
    const std::string size = std::to_string(width) + "x" + std::to_string(height) + "x24";
    // -displayfd: the server picks a free display and tells its number when it accepts
    // connections, so that tests running side by side never share one.
    m_server = std::make_unique<ChildProcess>(
        server, std::vector<std::string>{"-displayfd", "2", "-screen", "0", size, "-nolisten",
                                         "tcp", "-noreset"});
    std::string number;
    if (!m_server->started() ||
        !m_server->waitForErrorWhere(
            [&](const std::string& said) { return displayNumber(said, &number); }, kStartDeadline))
        return fail("Xvfb did not start: " + m_server->errorOutput());
    m_name = ":" + number;
    // openbox runs its start-up command once it manages the screen: from then on every window
    // mapped is framed by it.
    m_windowManager = std::make_unique<ChildProcess>(
        env,
        std::vector<std::string>{"DISPLAY=" + m_name, windowManager, "--sm-disable", "--startup",
                                 std::string("sh -c 'echo ") + kReadyWord + " >&2'"});
    if (!m_windowManager->started() || !m_windowManager->waitForError(kReadyWord, kStartDeadline))
        return fail("openbox did not start: " + m_windowManager->errorOutput());
    return true;
}

FramedDisplay::~FramedDisplay() {
    // Asked to end, so that the server removes its lock file and socket; killed (by the
    // child's own end) only when it does not.
    for (ChildProcess* child : {m_windowManager.get(), m_server.get()})
        if (child && child->started() && ::kill(child->pid(), SIGTERM) == 0)
            child->waitForExit(kQueryDeadline);
    m_windowManager.reset();
    m_server.reset();
}

bool FramedDisplay::fail(const std::string& why) {
    m_problem = why;
    return false;
}

QRect frameOnServer(const std::string& display, unsigned long window, std::string* why) {
    // Up from the window to the root's child that holds it: the window manager's frame.
    unsigned long frame = window;
    for (int depth = 0; depth < 8; ++depth) {
        const QString tree = xwininfo(display, {"-children", "-id", hex(frame).toStdString()}, why);
        if (tree.isEmpty())
            return {};
        const unsigned long root = windowId(tree, QStringLiteral("Root window id"));
        const unsigned long parent = windowId(tree, QStringLiteral("Parent window id"));
        if (parent == 0 || parent == root)
            break;
        frame = parent;
    }
    const QString info = xwininfo(display, {"-frame", "-id", hex(frame).toStdString()}, why);
    if (info.isEmpty())
        return {};
    const int border = number(info, QStringLiteral("Border width"));
    return QRect(number(info, QStringLiteral("Absolute upper-left X")) - border,
                 number(info, QStringLiteral("Absolute upper-left Y")) - border,
                 number(info, QStringLiteral("Width")) + 2 * border,
                 number(info, QStringLiteral("Height")) + 2 * border);
}

} // namespace testsupport

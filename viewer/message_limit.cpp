// SPDX-License-Identifier: GPL-3.0-or-later
#include "viewer/message_limit.h"

#include <QHash>
#include <QString>
#include <QtGlobal>

#include <cstdio>
#include <mutex>

namespace viewer {

namespace {

std::mutex g_lock;
MessageLimit g_limit;
QHash<QString, int> g_seen;
int g_written = 0;
std::size_t g_heldBack = 0;

void limitedHandler(QtMsgType type, const QMessageLogContext&, const QString& text) {
    {
        std::lock_guard lock(g_lock);
        int& seen = g_seen[g_seen.size() < 1000 ? text : QString()];
        if (++seen > g_limit.perText || g_written >= g_limit.total) {
            ++g_heldBack;
            if (g_written == g_limit.total) {
                ++g_written;
                std::fputs("xrq-view: further messages are not shown\n", stderr);
            }
            if (type != QtFatalMsg)
                return;
        } else {
            ++g_written;
            if (seen == g_limit.perText)
                std::fprintf(stderr, "%s (not shown again)\n", qPrintable(text));
            else
                std::fprintf(stderr, "%s\n", qPrintable(text));
        }
    }
    if (type == QtFatalMsg)
        std::abort();
}

} // namespace

void installMessageLimit(MessageLimit limit) {
    {
        std::lock_guard lock(g_lock);
        g_limit = limit;
    }
    qInstallMessageHandler(limitedHandler);
}

std::size_t messagesHeldBack() {
    std::lock_guard lock(g_lock);
    return g_heldBack;
}

} // namespace viewer

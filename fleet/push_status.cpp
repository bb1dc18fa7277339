// SPDX-License-Identifier: GPL-3.0-or-later
#include "fleet/push_status.h"

#include <QDateTime>

namespace fleet {

namespace {

QString waitingText(std::int64_t n) {
    return n == 1 ? QStringLiteral("1 fact waiting") : QStringLiteral("%1 facts waiting").arg(n);
}

} // namespace

QString statusLine(const PushStatus& s, std::int64_t nowMs) {
    // What waits: facts, or only kept downloads' bytes.
    const QString what = s.waiting == 0 && s.bytesWaiting > 0
                             ? QStringLiteral("kept downloads waiting")
                             : waitingText(s.waiting);
    QString line;
    switch (s.state) {
    case PushStatus::State::NotShared:
        return QStringLiteral("not shared");
    case PushStatus::State::UpToDate:
        line = QStringLiteral("shared: up to date");
        break;
    case PushStatus::State::Pushing:
        line = s.waiting == 0 && s.bytesWaiting > 0
                   ? QStringLiteral("shared: facts up to date")
                   : waitingText(s.waiting) + QStringLiteral(": pushing");
        break;
    case PushStatus::State::Unreachable:
        line = what + QStringLiteral(": server not reachable");
        if (s.unreachableSince)
            line += QStringLiteral(" since ") + momentText(*s.unreachableSince, nowMs);
        if (!s.reason.isEmpty())
            line += QStringLiteral(" (") + s.reason + QStringLiteral(")");
        break;
    case PushStatus::State::Slow:
        line = what + QStringLiteral(": slow link to the server");
        if (s.unreachableSince)
            line += QStringLiteral(" since ") + momentText(*s.unreachableSince, nowMs);
        break;
    case PushStatus::State::Refused:
        line = what + QStringLiteral(": ") + s.detail;
        break;
    }
    if (s.bytesWaiting > 0 && s.state != PushStatus::State::UpToDate)
        line += QStringLiteral("; %1 MB of kept downloads to send")
                    .arg(double(s.bytesWaiting) / 1e6, 0, 'f', 1);
    if (s.conflicts == 1)
        line += QStringLiteral("; 1 conflict noted");
    else if (s.conflicts > 1)
        line += QStringLiteral("; %1 conflicts noted").arg(s.conflicts);
    if (!s.refused.isEmpty())
        line += QStringLiteral("; newest: ") + s.refused;
    if (!s.unverified.isEmpty() && s.state != PushStatus::State::Unreachable)
        line += QStringLiteral("; ") + s.unverified;
    return line;
}

QString momentText(std::int64_t atMs, std::int64_t nowMs) {
    const QDateTime when = QDateTime::fromMSecsSinceEpoch(atMs);
    const QDateTime now = QDateTime::fromMSecsSinceEpoch(nowMs);
    return when.date() == now.date() ? when.toString(QStringLiteral("HH:mm"))
                                     : when.toString(QStringLiteral("yyyy-MM-dd HH:mm"));
}

} // namespace fleet

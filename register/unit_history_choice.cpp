// SPDX-License-Identifier: GPL-3.0-or-later
#include "register/unit_history_choice.h"

#include "register/register_outbox.h"
#include "register/register_texts.h"

#include <QJsonArray>

#include <algorithm>
#include <limits>
#include <map>
#include <utility>

void UnitHistoryChoice::begin(bool askingServer) {
    *this = UnitHistoryChoice{};
    m_askingServer = askingServer;
}

void UnitHistoryChoice::localArrived(std::vector<unitreg::UnitEvent> events) {
    m_local = std::move(events);
    m_localArrived = true;
}

void UnitHistoryChoice::serverAnswered(fleet::ServerHistory history) {
    if (!m_askingServer)
        return;
    m_server = std::move(history);
    m_serverAnswered = true;
}

UnitHistoryChoice::Source UnitHistoryChoice::shown() const {
    if (m_serverAnswered && m_server.ok)
        return Source::Server;
    return m_localArrived ? Source::Local : Source::Nothing;
}

QString UnitHistoryChoice::sourceLine() const {
    if (shown() == Source::Server)
        return (m_server.more ? QStringLiteral("organisation's history (server), the newest %1 "
                                               "events")
                                    .arg(m_server.entries.size())
                              : QStringLiteral("organisation's history (server)")) +
               // Facts the server holds that no reader can take, and a disowned role's:
               // left out, and said.
               (m_server.unread.empty() ? QString()
                                        : QStringLiteral("; ") + m_server.unread.told()) +
               (m_server.leftOut.isEmpty() ? QString() : QStringLiteral("; ") + m_server.leftOut);
    if (!m_askingServer)
        return QStringLiteral("this laptop's history");
    if (!m_serverAnswered)
        return QStringLiteral("this laptop's history; asking the server...");
    // The schema's and the role's refusals are the operator's to read; libpq's reasons for
    // an unreachable server go to the tooltip.
    if (m_server.message.startsWith(QStringLiteral("server not reachable")) ||
        m_server.message.isEmpty())
        return QStringLiteral("this laptop's history: server not reachable");
    return QStringLiteral("this laptop's history: ") + m_server.message;
}

namespace {

// This laptop's events by time and kind, for the server's facts of this laptop to find theirs.
std::map<std::pair<std::int64_t, QString>, int>
localIndex(const std::vector<unitreg::UnitEvent>& local) {
    std::map<std::pair<std::int64_t, QString>, int> index;
    for (std::size_t i = 0; i < local.size(); ++i) {
        const unitreg::UnitEvent& l = local[i];
        const QString kind = unitreg::eventKindText(l.kind);
        index.emplace(std::make_pair(l.at, kind), int(i));
        if (l.kind == unitreg::EventKind::Download)
            index.emplace(std::make_pair(l.download.started, kind), int(i));
    }
    return index;
}

} // namespace

std::vector<HistoryRow> UnitHistoryChoice::rows() const {
    std::vector<HistoryRow> out;
    switch (shown()) {
    case Source::Nothing:
        break;
    case Source::Local:
        out.reserve(m_local.size());
        for (std::size_t i = 0; i < m_local.size(); ++i) {
            const unitreg::UnitEvent& e = m_local[i];
            out.push_back(
                {e.at, unitreg::eventKindText(e.kind), unitreg::eventDetails(e), false, int(i)});
        }
        break;
    case Source::Server: {
        out.reserve(m_server.entries.size() + m_local.size());
        const auto index = localIndex(m_local);
        std::vector<bool> onServer(m_local.size(), false);
        for (const fleet::HistoryEntry& e : m_server.entries) {
            fleet::HistoryEntry named = e;
            named.kind = serverKindText(e.kind);
            const auto found =
                e.otherLaptop ? index.end() : index.find(std::make_pair(e.occurredAt, named.kind));
            if (found != index.end())
                onServer[std::size_t(found->second)] = true;
            out.push_back({e.occurredAt, fleet::historyLabel(named), serverEntryDetails(e),
                           e.otherLaptop, found == index.end() ? -1 : found->second});
        }
        // This laptop's events the server does not hold yet (waiting in the outbox) stay in
        // the history, among the others by time; when the server gave only its newest, not
        // those older than the oldest it gave.
        const std::int64_t oldest = m_server.more && !m_server.entries.empty()
                                        ? m_server.entries.back().occurredAt
                                        : std::numeric_limits<std::int64_t>::min();
        for (std::size_t i = 0; i < m_local.size(); ++i) {
            const unitreg::UnitEvent& e = m_local[i];
            if (!onServer[i] && e.at >= oldest)
                out.push_back({e.at, unitreg::eventKindText(e.kind), unitreg::eventDetails(e),
                               false, int(i)});
        }
        std::stable_sort(out.begin(), out.end(),
                         [](const HistoryRow& a, const HistoryRow& b) { return a.at > b.at; });
        break;
    }
    }
    return out;
}

QString serverKindText(const QString& kind) {
    using unitreg::EventKind;
    if (kind == QLatin1String("visit"))
        return unitreg::eventKindText(EventKind::Visit);
    if (kind == QLatin1String("battery"))
        return unitreg::eventKindText(EventKind::Battery);
    if (kind == QLatin1String("clock_set"))
        return unitreg::eventKindText(EventKind::ClockSet);
    if (kind == QLatin1String("download"))
        return unitreg::eventKindText(EventKind::Download);
    if (kind == QLatin1String("clear"))
        return unitreg::eventKindText(EventKind::Clear);
    if (kind == QLatin1String("judged_again"))
        return unitreg::eventKindText(EventKind::JudgedAgain);
    if (kind == QLatin1String("link"))
        return QStringLiteral("Identified");
    if (kind == QLatin1String("kept_download"))
        return QStringLiteral("Kept download");
    return kind;
}

namespace {

// Another laptop's text in a table cell: one line, and bounded.
QString oneBoundedLine(QString line) {
    constexpr int kMost = 400;
    line.replace(QLatin1Char('\n'), QLatin1Char(' ')).replace(QLatin1Char('\r'), QLatin1Char(' '));
    if (line.size() > kMost)
        line = line.left(kMost) + QStringLiteral("...");
    return line;
}

} // namespace

QString serverEntryDetails(const fleet::HistoryEntry& entry) {
    if (const auto event = unitreg::eventOfFact(entry.kind, entry.payload, entry.occurredAt))
        return oneBoundedLine(unitreg::eventDetails(*event));
    if (entry.kind == QLatin1String("link"))
        return oneBoundedLine(
            unitreg::linkDetails(entry.payload.value(QLatin1String("download")).toString()));
    if (entry.kind == QLatin1String("kept_download"))
        return oneBoundedLine(unitreg::keptDownloadDetails(
            std::uint64_t(
                std::max<qint64>(0, entry.payload.value(QLatin1String("size")).toInteger())),
            entry.payload.value(QLatin1String("sha256")).toString()));
    return payloadSummary(entry.payload);
}

QString payloadSummary(const QJsonObject& payload) {
    QStringList parts;
    for (auto it = payload.begin(); it != payload.end(); ++it) {
        const QJsonValue v = it.value();
        QString text;
        if (v.isString())
            text = v.toString();
        else if (v.isBool())
            text = v.toBool() ? QStringLiteral("yes") : QStringLiteral("no");
        else if (v.isDouble())
            text = QString::number(v.toDouble(), 'g', 12);
        else if (v.isArray())
            text = QStringLiteral("%1 items").arg(v.toArray().size());
        else if (v.isObject())
            text = QStringLiteral("...");
        else
            continue;
        parts << it.key() + QStringLiteral(": ") + text;
    }
    return oneBoundedLine(parts.join(QStringLiteral(", ")));
}

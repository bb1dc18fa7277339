// SPDX-License-Identifier: GPL-3.0-or-later
#include "register/unit_list_choice.h"

#include "register/register_outbox.h"

#include <algorithm>
#include <map>

void UnitListChoice::begin(bool askingServer) {
    *this = UnitListChoice{};
    m_askingServer = askingServer;
}

void UnitListChoice::localArrived(std::vector<unitreg::UnitSummary> units) {
    m_local = std::move(units);
    m_localArrived = true;
}

void UnitListChoice::serverAnswered(fleet::ServerUnits units) {
    if (!m_askingServer)
        return;
    m_server = std::move(units);
    m_serverAnswered = true;
}

UnitListChoice::Source UnitListChoice::shown() const {
    // The organisation's list needs this laptop's too, to say which units it never saw.
    if (m_serverAnswered && m_server.ok && m_localArrived)
        return Source::Server;
    return m_localArrived ? Source::Local : Source::Nothing;
}

QString UnitListChoice::sourceLine() const {
    if (shown() == Source::Server) {
        const auto rows = this->rows();
        const auto never = std::count_if(rows.begin(), rows.end(),
                                         [](const UnitListRow& r) { return !r.seenHere(); });
        return QStringLiteral("organisation's units (server): %1, %2 never seen by this laptop")
                   .arg(rows.size())
                   .arg(never) +
               (m_server.unread.empty() ? QString()
                                        : QStringLiteral("; ") + m_server.unread.told()) +
               (m_server.leftOut.isEmpty() ? QString() : QStringLiteral("; ") + m_server.leftOut);
    }
    if (!m_askingServer)
        return QStringLiteral("this laptop's units");
    if (!m_serverAnswered || m_server.ok)
        return QStringLiteral("this laptop's units; asking the server...");
    if (m_server.message.startsWith(QStringLiteral("server not reachable")) ||
        m_server.message.isEmpty())
        return QStringLiteral("this laptop's units: server not reachable");
    return QStringLiteral("this laptop's units: ") + m_server.message;
}

std::vector<UnitListRow> UnitListChoice::rows() const {
    std::vector<UnitListRow> out;
    const Source source = shown();
    if (source == Source::Nothing)
        return out;
    std::map<std::string, std::size_t> bySerial;
    out.reserve(m_local.size() + (source == Source::Server ? m_server.units.size() : 0));
    for (const unitreg::UnitSummary& u : m_local) {
        bySerial.emplace(u.serial, out.size());
        out.push_back({u.serial, u, u.lastVisit.value_or(u.lastSeen), u.visits, 0});
    }
    if (source == Source::Server) {
        for (const fleet::ServerUnit& s : m_server.units) {
            const std::string serial = serialOfFactUnit(s.unit);
            const auto known = bySerial.find(serial);
            if (known == bySerial.end()) {
                out.push_back({serial, std::nullopt, s.lastSeen, s.visits, s.laptops});
                continue;
            }
            // The server's count holds this laptop's pushed visits; one not pushed yet only
            // this laptop's.
            UnitListRow& row = out[known->second];
            row.lastSeen = std::max(row.lastSeen, s.lastSeen);
            row.visits = std::max(row.visits, s.visits);
            row.laptops = s.laptops;
        }
    }
    std::stable_sort(out.begin(), out.end(), [](const UnitListRow& a, const UnitListRow& b) {
        return a.lastSeen != b.lastSeen ? a.lastSeen > b.lastSeen : a.serial < b.serial;
    });
    return out;
}

std::string serialOfFactUnit(const QString& unit) {
    if (unit == QLatin1String(unitreg::kNoSerialUnit))
        return {};
    return unit.toLatin1().toStdString();
}

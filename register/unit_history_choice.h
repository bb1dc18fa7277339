// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Which history of a unit the Units window shows, and the line that says which:
//   - sharing, and the server answered: the organisation's history, every laptop's facts,
//     another laptop's marked with its name ("organisation's history (server)"), and this
//     laptop's events the server does not hold yet (still in the outbox) among them by time;
//   - sharing, the server not answered yet: this laptop's history meanwhile ("this laptop's
//     history; asking the server...");
//   - sharing, the server could not be asked or refused: this laptop's history ("this
//     laptop's history: server not reachable");
//   - not sharing: this laptop's history.
// Plain logic over the two answers, in whichever order they come; the window shows rows().

#include "fleet/server_history.h"
#include "register/unit_register.h"

#include <QString>

#include <cstdint>
#include <vector>

// One line of the history as the window shows it.
struct HistoryRow {
    std::int64_t at = 0;
    QString event;   // "Download", "Download (laptop-b)"
    QString details; // the event's details
    bool otherLaptop = false;
    // The row's event in this laptop's history (for its data files), -1 when there is none.
    int localIndex = -1;
};

class UnitHistoryChoice {
public:
    enum class Source { Nothing, Local, Server };

    // A unit is chosen: both answers are awaited again; `askingServer` when sharing.
    void begin(bool askingServer);
    void localArrived(std::vector<unitreg::UnitEvent> events);
    void serverAnswered(fleet::ServerHistory history);

    Source shown() const;
    // The line above the table; its whole reason (libpq's words) in reasonDetail().
    QString sourceLine() const;
    const QString& reasonDetail() const { return m_server.message; }
    std::vector<HistoryRow> rows() const;
    const std::vector<unitreg::UnitEvent>& local() const { return m_local; }
    const fleet::ServerHistory& server() const { return m_server; }

private:
    bool m_askingServer = false;
    bool m_localArrived = false;
    bool m_serverAnswered = false;
    std::vector<unitreg::UnitEvent> m_local;
    fleet::ServerHistory m_server;
};

// A server fact's kind as the history names events ("download" -> "Download").
QString serverKindText(const QString& kind);
// A fact's payload in one line ("bytes: 1234, sets: 2"), bounded.
QString payloadSummary(const QJsonObject& payload);
// A server entry's details as this laptop's own rows show the same event (the register's
// texts over the fact's payload read back); a kind this program does not know gets the
// payload's summary. One line, bounded: it is another laptop's text.
QString serverEntryDetails(const fleet::HistoryEntry& entry);

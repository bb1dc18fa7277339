// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Which units the Units window lists, and the line that says which:
//   - sharing, and the server answered: the organisation's units (every unit any laptop
//     recorded), this laptop's own summary beside each unit it knows, the others marked as
//     never seen here; a unit this laptop recorded but has not pushed yet is listed too;
//   - sharing, the server not answered yet, or it could not be asked: this laptop's units,
//     saying so;
//   - not sharing: this laptop's units.
// Plain logic over the two answers, in whichever order they come; the window shows rows().

#include "fleet/server_history.h"
#include "register/unit_register.h"

#include <QString>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// One line of the units list.
struct UnitListRow {
    std::string serial; // the unit's bytes; empty for the units without a serial number
    std::optional<unitreg::UnitSummary> local; // this laptop's record of it, when it has one
    std::int64_t lastSeen = 0;                 // ms, the newest of this laptop's and the server's
    std::int64_t visits = 0;
    int laptops = 0; // laptops that recorded it, 0 when the server did not say
    bool seenHere() const { return local.has_value(); }
};

class UnitListChoice {
public:
    enum class Source { Nothing, Local, Server };

    // The list is read again: both answers are awaited; `askingServer` when sharing.
    void begin(bool askingServer);
    bool askingServer() const { return m_askingServer; }
    void localArrived(std::vector<unitreg::UnitSummary> units);
    void serverAnswered(fleet::ServerUnits units);

    Source shown() const;
    // The line above the list; the server's whole reason in reasonDetail().
    QString sourceLine() const;
    const QString& reasonDetail() const { return m_server.message; }
    // Newest first (by last seen), then by serial number.
    std::vector<UnitListRow> rows() const;

private:
    bool m_askingServer = false;
    bool m_localArrived = false;
    bool m_serverAnswered = false;
    std::vector<unitreg::UnitSummary> m_local;
    fleet::ServerUnits m_server;
};

// The serial number a unit's name on the server stands for (unitreg::factUnit's inverse).
std::string serialOfFactUnit(const QString& unit);

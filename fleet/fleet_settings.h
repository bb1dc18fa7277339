// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Sharing's settings, in a file of their own ("fleet.ini" in the program's files folder,
// beside XRQ.ini, which keeps its two keys):
//   [Server]
//   Service=field-office      the libpq service name (pg_service.conf); empty: not shared
//   Laptop=laptop-7           this laptop's name on the server; empty: the host name
// No password is ever kept here: libpq reads it from ~/.pgpass (PGPASSFILE).

#include <QString>

#include <string>

namespace fleet {

inline constexpr const char* kSettingsFileName = "fleet.ini";

struct FleetSettings {
    QString service;
    QString laptop;
    bool shared() const { return !service.isEmpty(); }
};

// `folder` ends with "/". The laptop's name falls back to the host name.
FleetSettings readFleetSettings(const std::string& folder);
bool writeFleetSettings(const std::string& folder, const FleetSettings& settings);

// A service name libpq can look up: letters, digits, '-', '_' and '.', at most 63.
bool validServiceName(const QString& name);

// What is wrong with the settings as typed, for the operator (Setup shows it under the
// fields), or empty when they can be saved. An empty service means "not shared".
QString settingsProblem(const FleetSettings& settings);

} // namespace fleet

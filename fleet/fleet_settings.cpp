// SPDX-License-Identifier: GPL-3.0-or-later
#include "fleet/fleet_settings.h"

#include "platform/ini_file.h"

#include <QRegularExpression>
#include <QSysInfo>

namespace fleet {

namespace {
const std::string kSection = "Server";
}

FleetSettings readFleetSettings(const std::string& folder) {
    const platform::IniFile ini(folder + kSettingsFileName);
    FleetSettings s;
    s.service = QString::fromStdString(ini.ReadString(kSection, "Service", "")).trimmed();
    if (!validServiceName(s.service))
        s.service.clear();
    s.laptop = QString::fromStdString(ini.ReadString(kSection, "Laptop", "")).trimmed();
    if (s.laptop.isEmpty())
        s.laptop = QSysInfo::machineHostName();
    return s;
}

bool writeFleetSettings(const std::string& folder, const FleetSettings& settings) {
    platform::IniFile ini(folder + kSettingsFileName);
    return ini.WriteString(kSection, "Service", settings.service.toStdString()) &&
           ini.WriteString(kSection, "Laptop", settings.laptop.toStdString());
}

bool validServiceName(const QString& name) {
    static const QRegularExpression ok(QStringLiteral("^[A-Za-z0-9_.-]{1,63}$"));
    return ok.match(name).hasMatch();
}

QString settingsProblem(const FleetSettings& settings) {
    if (!settings.service.isEmpty() && !validServiceName(settings.service))
        return QStringLiteral("The service name may hold only letters, digits, '-', '_' and '.' "
                              "(at most 63), as its [section] in pg_service.conf is named.");
    if (settings.laptop.size() > 63)
        return QStringLiteral("The laptop's name may be at most 63 characters long.");
    for (const QChar c : settings.laptop)
        if (c.category() == QChar::Other_Control || c.category() == QChar::Other_Format)
            return QStringLiteral("The laptop's name may not hold control characters.");
    return {};
}

} // namespace fleet

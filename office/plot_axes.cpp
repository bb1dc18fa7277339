// SPDX-License-Identifier: GPL-3.0-or-later
#include "office/plot_axes.h"

#include <QRegularExpression>

#include <algorithm>
#include <cmath>
#include <map>
#include <optional>

namespace office {

namespace {

// The units the units write in their titles, each with how it is shown. Hand-kept: no
// Debian library reads units from free column titles, and these are the field units' own.
const std::map<QString, QString>& knownUnits() {
    static const std::map<QString, QString> units = {
        {QStringLiteral("V"), QStringLiteral("V")},
        {QStringLiteral("mV"), QStringLiteral("mV")},
        {QStringLiteral("A"), QStringLiteral("A")},
        {QStringLiteral("mA"), QStringLiteral("mA")},
        {QStringLiteral("C"), QStringLiteral("°C")},
        {QStringLiteral("degC"), QStringLiteral("°C")},
        {QStringLiteral("°C"), QStringLiteral("°C")},
        {QStringLiteral("F"), QStringLiteral("°F")},
        {QStringLiteral("K"), QStringLiteral("K")},
        {QStringLiteral("m"), QStringLiteral("m")},
        {QStringLiteral("cm"), QStringLiteral("cm")},
        {QStringLiteral("mm"), QStringLiteral("mm")},
        {QStringLiteral("ft"), QStringLiteral("ft")},
        {QStringLiteral("uS"), QStringLiteral("µS")},
        {QStringLiteral("µS"), QStringLiteral("µS")},
        {QStringLiteral("mS"), QStringLiteral("mS")},
        {QStringLiteral("uS/cm"), QStringLiteral("µS/cm")},
        {QStringLiteral("µS/cm"), QStringLiteral("µS/cm")},
        {QStringLiteral("mS/cm"), QStringLiteral("mS/cm")},
        {QStringLiteral("%"), QStringLiteral("%")},
        {QStringLiteral("pH"), QStringLiteral("pH")},
        {QStringLiteral("kPa"), QStringLiteral("kPa")},
        {QStringLiteral("hPa"), QStringLiteral("hPa")},
        {QStringLiteral("mbar"), QStringLiteral("mbar")},
        {QStringLiteral("psi"), QStringLiteral("psi")},
        {QStringLiteral("mg/L"), QStringLiteral("mg/L")},
        {QStringLiteral("ppm"), QStringLiteral("ppm")},
        {QStringLiteral("NTU"), QStringLiteral("NTU")},
        {QStringLiteral("mm/h"), QStringLiteral("mm/h")},
        {QStringLiteral("m/s"), QStringLiteral("m/s")},
        {QStringLiteral("L/s"), QStringLiteral("L/s")},
    };
    return units;
}

struct Split {
    QString name, unit;
};

// The title's last word, or what it holds in brackets at its end, when it is a known unit.
Split split(const QString& title) {
    const QString t = title.simplified();
    static const QRegularExpression bracketed(
        QStringLiteral("^(.*?)\\s*[(\\[]([^()\\[\\]]+)[)\\]]$"));
    static const QRegularExpression lastWord(QStringLiteral("^(.+?)\\s+(\\S+)$"));
    for (const QRegularExpression* re : {&bracketed, &lastWord}) {
        const QRegularExpressionMatch m = re->match(t);
        if (!m.hasMatch())
            continue;
        const auto unit = knownUnits().find(m.captured(2).trimmed());
        if (unit != knownUnits().end() && !m.captured(1).isEmpty())
            return {m.captured(1), unit->second};
    }
    return {t, {}};
}

// The decade of the greatest magnitude a column shows; columns of nothing but zeros stand
// with any.
std::optional<int> decade(const PlotColumn& c) {
    const double most = std::max(std::fabs(c.lo), std::fabs(c.hi));
    if (!c.any || !(most > 0) || !std::isfinite(most))
        return std::nullopt;
    return int(std::floor(std::log10(most)));
}

} // namespace

ColumnName plotColumnName(const fleet::ColumnMeaning* meaning, const QString& title,
                          std::size_t field) {
    ColumnName c;
    if (meaning && !meaning->property.trimmed().isEmpty()) {
        c.name = meaning->property.simplified();
        const QString code =
            meaning->uom.code == QLatin1String("1") ? QString() : meaning->uom.code;
        c.unit = !meaning->uom.symbol.isEmpty() ? meaning->uom.symbol : code;
        c.label = c.unit.isEmpty() ? c.name : c.name + QLatin1Char(' ') + c.unit;
        return c;
    }
    c.label = title.simplified();
    if (c.label.isEmpty()) {
        c.label = c.name = QStringLiteral("field_%1").arg(field + 1);
        return c;
    }
    const Split named = split(c.label);
    c.name = named.name;
    c.unit = named.unit;
    return c;
}

QString unitOfTitle(const QString& title) {
    return split(title).unit;
}

QString nameOfTitle(const QString& title) {
    return split(title).name;
}

std::vector<std::vector<std::size_t>> plotGroups(const std::vector<PlotColumn>& columns) {
    std::vector<std::vector<std::size_t>> groups;
    for (std::size_t i = 0; i < columns.size(); ++i) {
        const PlotColumn& c = columns[i];
        const std::optional<int> mine = decade(c);
        bool placed = false;
        for (auto& group : groups) {
            const PlotColumn& head = columns[group.front()];
            const std::optional<int> theirs = decade(head);
            if (head.unit != c.unit || (mine && theirs && *mine != *theirs))
                continue;
            group.push_back(i);
            placed = true;
            break;
        }
        if (!placed)
            groups.push_back({i});
    }
    return groups;
}

PlotClock plotClock(long long utcRecords, long long unitRecords) {
    if (unitRecords == 0)
        return PlotClock::Utc;
    return utcRecords == 0 ? PlotClock::Unit : PlotClock::Mixed;
}

QString plotClockKey(PlotClock clock) {
    switch (clock) {
    case PlotClock::Utc:
        return QStringLiteral("utc");
    case PlotClock::Unit:
        return QStringLiteral("unit");
    case PlotClock::Mixed:
        break;
    }
    return QStringLiteral("mixed");
}

QString plotClockTitle(PlotClock clock) {
    switch (clock) {
    case PlotClock::Utc:
        return QStringLiteral("Time (UTC)");
    case PlotClock::Unit:
        return QStringLiteral("Time (the unit's own clock, UTC offset not known)");
    case PlotClock::Mixed:
        break;
    }
    return QStringLiteral("Time (UTC, the unit's own clock where its offset is not known)");
}

} // namespace office

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// How a series' plot is laid out for a reader: each column's name and unit of measurement,
// which columns share a small plot (the same unit and the same order of magnitude; anything
// else on a plot of its own, so that volts near 12 never share an axis with a conductivity
// near 400), and which clock the time axis shows. Pure: names and ranges in, layout out.

#include "fleet/site_facts.h"
#include "series/series_export.h"

#include <QString>
#include <QStringList>

#include <cstddef>
#include <vector>

namespace office {

// The name a column of a series goes by on plots, legends and the API, one rule for a unit's
// plot and a site's: its meaning where one is known (the observed property's name and its unit
// of measurement's symbol, else its code; fleet::meaningOf), else its title from the set's
// title lines (series_export.h's fieldTitles, its unit split off where it writes one we know),
// else the export's numbering, `field` counting the record's values from 0. The one place a
// column is named.
struct ColumnName {
    QString name;  // "Water temperature", "Batt", "field_3"
    QString unit;  // "°C", "V"; empty: not known
    QString label; // how a legend shows it: "Water temperature °C", the title as written
};
ColumnName plotColumnName(const fleet::ColumnMeaning* meaning, const QString& title,
                          std::size_t field);

// A column's unit of measurement as its title writes it last ("Batt V" -> "V",
// "Cond uS" -> "µS", "Level (m)" -> "m"); empty where the title names none we know.
QString unitOfTitle(const QString& title);
// The title without its unit ("Batt V" -> "Batt"); the title itself where it has none.
QString nameOfTitle(const QString& title);

struct PlotColumn {
    QString name;
    QString unit;          // empty: not known
    double lo = 0, hi = 0; // least and greatest value shown
    bool any = false;      // whether the range holds a value at all
};

// The columns that share a small plot, each group in column order, groups in the order of
// their first column. Two columns share one only when their units are the same (or both
// unknown) and their greatest magnitudes are within a factor of ten of each other.
std::vector<std::vector<std::size_t>> plotGroups(const std::vector<PlotColumn>& columns);

// Which clock a plot's times are on, by how many of its records have a UTC and how many only
// the unit's own time.
enum class PlotClock { Utc, Unit, Mixed };
PlotClock plotClock(long long utcRecords, long long unitRecords);
// "utc", "unit", "mixed": the API's word for it.
QString plotClockKey(PlotClock clock);
// The time axis' title: "Time (UTC)", "Time (the unit's own clock, UTC offset not known)".
QString plotClockTitle(PlotClock clock);

} // namespace office

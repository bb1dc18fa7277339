// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The query options of the office's web service (sensor_things.h) read strictly: $top, $skip,
// $count, and for Observations $orderby and $filter on their time. The $filter grammar is
// bounded on purpose, a small part of OData's:
//
//   filter     = comparison *( " and " comparison )      at most kMostComparisons
//   comparison = "phenomenonTime" " " op " " time
//   op         = "eq" / "gt" / "ge" / "lt" / "le"
//   time       = YYYY-MM-DD "T" hh:mm:ss [ "." 1*9 digits ] ( "Z" / ("+" / "-") hh:mm )
//
// (blanks: one or more). Anything else is refused with a reason for the 400 answer. Pure; the
// fuzz target's entry, with query_params.h, as are the path and identity parsers below.

#include <QMap>
#include <QString>
#include <QStringList>

#include <optional>
#include <vector>

namespace office {

inline constexpr int kMostComparisons = 16;
inline constexpr int kDefaultTop = 100;
inline constexpr int kMostTop = 1000; // a larger $top gets this many and a next link
inline constexpr long long kMostSkip = 1'000'000'000;

struct TimeComparison {
    enum class Op { Eq, Gt, Ge, Lt, Le };
    Op op = Op::Eq;
    double seconds = 0; // UTC
    bool holds(double t) const;
};

struct TimeFilter {
    std::vector<TimeComparison> all; // every one must hold
    bool holds(double t) const;
};

// "2026-12-01T08:00:00Z", "2026-12-01T09:00:00.5+01:00" as UTC seconds; nothing else.
std::optional<double> parseIsoTime(QStringView text);
// false with `why` when `text` is not in the grammar above.
bool parseTimeFilter(QStringView text, TimeFilter& filter, QString& why);

struct ListOptions {
    int top = kDefaultTop;
    long long skip = 0;
    bool count = false;
    bool newestFirst = false; // $orderby=phenomenonTime desc
    bool ordered = false;     // by phenomenonTime (else the unit's order)
    TimeFilter filter;
    bool filtered = false;
};

// Reads the options of `values` (name to value, as query_params.h gives them); `observations`
// allows $orderby and $filter. False with `why` on anything outside the grammar.
bool parseListOptions(const QMap<QString, QString>& values, bool observations, ListOptions& options,
                      QString& why);

// A path of the web service after its root read into its parts: "/Things('SITE1')/Datastreams"
// is {Things, SITE1}, {Datastreams}; a key's quotes are doubled inside it ("'O''Hara'"), and
// it may hold "/". At most three parts. False on anything else.
struct PathPart {
    QString name;
    std::optional<QString> key;
};
bool parseResourcePath(QStringView path, std::vector<PathPart>& parts);

// An identity's parts joined by "/", each percent-encoded but for letters, digits, "_" and
// "-" ("SITE1/ANALOG/2"), and split back (none unless it has that many parts, each of them
// encoded so).
QString joinId(const QStringList& parts);
std::optional<QStringList> splitId(const QString& id, int parts);

} // namespace office

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The query options of the office's web service (sensor_things.h) read strictly, and the times
// of its $filter. A time filter is this small part of OData's grammar:
//
//   filter     = comparison *( " and " comparison )      at most kMostComparisons
//   comparison = "phenomenonTime" " " op " " time
//   op         = "eq" / "gt" / "ge" / "lt" / "le"
//   time       = YYYY-MM-DD "T" hh:mm:ss [ "." 1*9 digits ] ( "Z" / ("+" / "-") hh:mm )
//
// (blanks: one or more): the form a page of Observations narrows its read by. The whole $filter
// grammar is odata_filter.h's. Pure; the fuzz target's entry, with query_params.h, as are the
// options, path and identity parsers below.

#include "office/odata_filter.h"
#include "platform/result.h"

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
// An Invalid error saying why when `text` is not in the grammar above.
platform::Result<TimeFilter> parseTimeFilter(QStringView text);
// The same read from a $filter's tree, when it is no more than that (comparisons of
// phenomenonTime with a time, either way round, joined by "and").
std::optional<TimeFilter> timeFilterOf(const FilterNode& tree);

struct ExpandItem;

// A request's query options as the web service reads them: $top, $skip, $count, $orderby (many
// keys, each asc or desc), $select, $filter (odata_filter.h) and $expand, whose items take the
// same options nested after them in parentheses, separated by ";":
//   $expand=Datastreams($select=name;$expand=Observations($top=2;$orderby=phenomenonTime desc))
// Bounds, each named in the refusal: kMostTop rows a page (a larger $top gets a next link),
// kMostSkip, kMostOrderKeys, kMostSelect, kMostExpandItems items at each level and
// kMostExpandDepth levels.
struct OrderKey {
    QStringList path;
    bool descending = false;
};
struct QueryOptions {
    int top = kDefaultTop;
    bool topGiven = false;
    long long skip = 0;
    bool count = false;
    std::vector<OrderKey> orderby;
    std::optional<QStringList> select; // property names as asked ("id" for @iot.id)
    std::vector<ExpandItem> expand;
    FilterTree filter;            // null: none
    QMap<QString, QString> given; // the options as written, for a next page's link
};
struct ExpandItem {
    QStringList path; // navigation properties, "Datastream/Thing"
    QueryOptions options;
};

inline constexpr int kMostOrderKeys = 8;
inline constexpr int kMostSelect = 32;
inline constexpr int kMostExpandItems = 8;
inline constexpr int kMostExpandDepth = 4;

// Reads the options of `values` (name to value, as query_params.h gives them); false with
// `refusal` (400, or 413 for a size bound) on anything outside the grammar or its bounds.
bool parseQueryOptions(const QMap<QString, QString>& values, QueryOptions& options,
                       QueryRefusal& refusal);

// The first of `options` that only a collection takes ($top, $skip, $count, $orderby,
// $filter): a single entity, or one expanded, refuses it by name. Empty when none is given.
QString collectionOptionOf(const QueryOptions& options);

// A path of the web service after its root read into its parts: "/Things('SITE1')/Datastreams"
// is {Things, SITE1}, {Datastreams}; a key's quotes are doubled inside it ("'O''Hara'"), and
// it may hold "/"; a part may be "$value" or "$ref". At most kMostPathParts parts. False on
// anything else.
inline constexpr std::size_t kMostPathParts = 8;
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

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The web service's $filter and $orderby expressions (sensor_things.h): OData's grammar as the
// field's standard takes it, read strictly into a tree and evaluated by our own code over an
// entity's JSON. Why our own code: the entities are derived from the facts as the service reads
// them (the series derived per request, DerivedSeriesCache), not rows of a table a statement
// could filter; what one request evaluates is bounded instead (sensor_things.cpp's budget), so
// that no query reads without end. The one exception, the Observations the server keeps derived,
// takes the few comparisons its table holds as fixed SQL fragments that give what evaluate()
// gives (observation_reads.h, derivedConditionOf).
//
//   or  > and > not > eq ne > gt ge lt le > add sub > mul div mod > unary minus > primary
//   primary = literal / path / function "(" args ")" / "(" expr ")"
//   literal = number / 'string' ('' inside) / true / false / null / date-time with zone /
//             date / geography'POINT(x y)' or 'POLYGON((x y, ...))' / duration is not taken
//   path    = name *( "/" name ), "id" standing for @iot.id
//
// Functions: substringof endswith startswith contains length indexof substring tolower toupper
// trim concat; year month day hour minute second fractionalseconds date time
// totaloffsetminutes now mindatetime maxdatetime; round floor ceiling; geo.distance geo.length
// geo.intersects st_equals st_disjoint st_touches st_within st_overlaps st_crosses
// st_intersects st_contains st_relate (points and simple polygons, in our own code: a site's
// position is a point, and no GIS library is needed for points against polygons).
//
// Bounds: the text at most kMostFilterChars, the tree at most kMostFilterNodes nodes and
// kMostFilterDepth deep; beyond them a refusal names the bound (413 for size, 400 for depth).
// Pure and thread-free: the fuzz target's entry.

#include <QJsonObject>
#include <QJsonValue>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace office {

inline constexpr qsizetype kMostFilterChars = 2048;
inline constexpr int kMostFilterNodes = 256;
inline constexpr int kMostFilterDepth = 24;

// A refusal: the status it is answered with (400 or 413) and why.
struct QueryRefusal {
    int status = 400;
    QString why;
};

// A point or a simple polygon (its first ring) in longitude/latitude order.
struct Geometry {
    enum class Kind { Point, LineString, Polygon };
    Kind kind = Kind::Point;
    std::vector<std::pair<double, double>> points;
};

// What an expression gives.
struct FilterValue {
    enum class Type { Null, Bool, Number, String, Time, Geo };
    Type type = Type::Null;
    bool b = false;
    double n = 0;          // Number; Time: UTC seconds
    int offsetMinutes = 0; // Time: the zone it was written in
    QString s;
    std::shared_ptr<const Geometry> geo;
};

struct FilterNode;
using FilterTree = std::shared_ptr<const FilterNode>;

struct FilterNode {
    enum class Kind { Literal, Path, Not, Negate, Binary, Call };
    Kind kind = Kind::Literal;
    FilterValue literal;
    QStringList path;
    QString op; // Binary: eq ne gt ge lt le and or add sub mul div mod; Call: the function
    std::vector<FilterTree> args;
};

// Reads an expression; nullopt with `refusal` on anything outside the grammar or the bounds.
std::optional<FilterTree> parseFilter(QStringView text, QueryRefusal& refusal);

// Gives a path's value for an entity: the resolver follows a navigation property the entity's
// JSON does not hold (a Datastream's "Thing", say) and gives the entity it leads to, or none.
using Resolver =
    std::function<std::optional<QJsonObject>(const QJsonObject& entity, const QString& navigation)>;
FilterValue pathValue(const QJsonObject& entity, const QStringList& path, const Resolver& resolve);

// Evaluates `tree` for `entity`; `nowSeconds` is what now() gives.
FilterValue evaluate(const FilterNode& tree, const QJsonObject& entity, const Resolver& resolve,
                     double nowSeconds);
// True only when the expression gives true (null and errors are false, as OData has it).
bool holds(const FilterNode& tree, const QJsonObject& entity, const Resolver& resolve,
           double nowSeconds);
// Orders two values as $orderby does: nulls first, then by type, then by value. -1, 0, 1.
int compareForOrder(const FilterValue& a, const FilterValue& b);

// The UTC window the top-level "and" of `tree` sets on `property` (comparisons of it with a
// time literal); what a page may narrow its read to before the whole expression is evaluated.
struct TimeWindow {
    std::optional<double> from, to; // inclusive bounds; the strict ones are rechecked anyway
};
TimeWindow timeWindowOf(const FilterNode& tree, const QString& property);

} // namespace office

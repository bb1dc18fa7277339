// SPDX-License-Identifier: GPL-3.0-or-later
// The web service's $filter: its grammar read and evaluated over an entity's JSON, every
// operator and function on every type it takes (and the wrong ones: false, never a fault), the
// bounds on size and nesting, navigation paths through a resolver, and the time window a page
// narrows its read by.
#include "office/odata_query.h"

#include <QJsonArray>

#include <gtest/gtest.h>

namespace office {
namespace {

// An Observation as the service builds it, and the Datastream its link leads to.
QJsonObject observation() {
    return {{QStringLiteral("@iot.id"), QStringLiteral("SITE3/TEMP/2/1/37")},
            {QStringLiteral("phenomenonTime"), QStringLiteral("2026-11-30T23:37:00Z")},
            {QStringLiteral("result"), 21.5},
            {QStringLiteral("resultTime"), QJsonValue::Null},
            {QStringLiteral("resultQuality"), QJsonArray{QStringLiteral("disputed")}},
            {QStringLiteral("parameters"),
             QJsonObject{{QStringLiteral("unit_time"), QStringLiteral("2026/12/01 00:37:00")},
                         {QStringLiteral("utc_offset"), QStringLiteral("+01:00")},
                         {QStringLiteral("segment"), 1}}},
            {QStringLiteral("place"),
             QJsonObject{{QStringLiteral("type"), QStringLiteral("Point")},
                         {QStringLiteral("coordinates"), QJsonArray{4.5, 52.0}}}},
            {QStringLiteral("Datastream@iot.navigationLink"), QStringLiteral("x")}};
}

std::optional<QJsonObject> resolve(const QJsonObject&, const QString& nav) {
    if (nav != QLatin1String("Datastream"))
        return std::nullopt;
    return QJsonObject{{QStringLiteral("name"), QStringLiteral("TEMP field_2")},
                       {QStringLiteral("@iot.id"), QStringLiteral("SITE3/TEMP/2")}};
}

struct FilterCase {
    const char* filter;
    bool holds;
};

TEST(OfficeFilter, EveryOperatorAndFunctionOnItsTypes) {
    const FilterCase cases[] = {
        // Comparison and logic; times against the ISO text of the entity, in any zone.
        {"result eq 21.5", true},
        {"result ne 21.5", false},
        {"result gt 21 and result lt 22", true},
        {"result ge 21.5 and result le 21.5", true},
        {"result lt 0 or result gt 20", true},
        {"not (result gt 30)", true},
        {"not result gt 30", true},
        {"phenomenonTime eq 2026-12-01T00:37:00+01:00", true},
        {"phenomenonTime gt 2026-11-30T23:36:59.5Z", true},
        {"phenomenonTime lt 2026-11-30", false},
        {"resultTime eq null", true},
        {"resultTime ne null", false},
        {"nothing eq null", true},
        {"result eq 'x'", false},
        {"result gt 'x'", false},
        {"name gt 1", false},
        // Arithmetic, with its precedence.
        {"result add 0.5 eq 22", true},
        {"result sub 1.5 mul 2 eq 18.5", true},
        {"(result sub 1.5) mul 2 eq 40", true},
        {"result div 0 eq 1", false},
        {"result mod 2 eq 1.5", true},
        {"-result eq -21.5", true},
        {"result eq -21.5", false},
        // Strings.
        {"Datastream/name eq 'TEMP field_2'", true},
        {"substringof('field', Datastream/name)", true},
        {"startswith(Datastream/name, 'TEMP')", true},
        {"endswith(Datastream/name, '_2')", true},
        {"contains(Datastream/name, 'MP f')", true},
        {"length(Datastream/name) eq 12", true},
        {"indexof(Datastream/name, 'field') eq 5", true},
        {"substring(Datastream/name, 5) eq 'field_2'", true},
        {"substring(Datastream/name, 5, 2) eq 'fi'", true},
        {"substring(Datastream/name, 99) eq ''", true},
        {"tolower(Datastream/name) eq 'temp field_2'", true},
        {"toupper('a') eq 'A'", true},
        {"trim('  a ') eq 'a'", true},
        {"concat(concat(parameters/utc_offset, '/'), 'x') eq '+01:00/x'", true},
        {"parameters/unit_time eq '2026/12/01 00:37:00'", true},
        {"'O''Hara' eq 'O''Hara'", true},
        {"length(result) eq 4", false},
        {"startswith(result, '2')", false},
        // Dates, in the zone they are written in.
        {"year(phenomenonTime) eq 2026", true},
        {"month(phenomenonTime) eq 11 and day(phenomenonTime) eq 30", true},
        {"hour(phenomenonTime) eq 23 and minute(phenomenonTime) eq 37", true},
        {"second(phenomenonTime) eq 0 and fractionalseconds(phenomenonTime) eq 0", true},
        {"hour(2026-12-01T00:37:00+01:00) eq 0", true},
        {"totaloffsetminutes(2026-12-01T00:37:00+01:00) eq 60", true},
        {"totaloffsetminutes(2026-12-01T00:37:00-03:30) eq -210", true},
        {"date(phenomenonTime) eq '2026-11-30'", true},
        {"time(phenomenonTime) eq '23:37:00'", true},
        {"phenomenonTime lt now() and now() eq 2026-12-01T00:00:00Z", true}, // now() as given
        {"mindatetime() lt phenomenonTime and phenomenonTime lt maxdatetime()", true},
        {"year(result) eq 2026", false},
        {"year(1969-12-31T23:59:59Z) eq 1969 and month(1969-12-31T23:59:59Z) eq 12", true},
        // Math.
        {"round(result) eq 22", true},
        {"floor(result) eq 21", true},
        {"ceiling(result) eq 22", true},
        {"round(Datastream/name) eq 1", false},
        // Geometry: points and a point against polygons.
        {"geo.distance(place, geography'POINT(4.5 53)') eq 1", true},
        {"st_equals(place, geography'POINT(4.5 52)')", true},
        {"st_within(place, geography'POLYGON((4 51, 5 51, 5 53, 4 53, 4 51))')", true},
        {"st_contains(geography'POLYGON((4 51, 5 51, 5 53, 4 53, 4 51))', place)", true},
        {"st_intersects(place, geography'POLYGON((4.5 52, 6 52, 6 53, 4.5 53, 4.5 52))')", true},
        {"st_touches(place, geography'POLYGON((4.5 52, 6 52, 6 53, 4.5 53, 4.5 52))')", true},
        {"geo.intersects(place, geography'POLYGON((0 0, 1 0, 1 1, 0 1, 0 0))')", false},
        {"st_disjoint(place, geography'POLYGON((0 0, 1 0, 1 1, 0 1, 0 0))')", true},
        {"geo.length(geography'LINESTRING(0 0, 3 4)') eq 5", true},
        {"st_overlaps(place, place) or st_crosses(place, place)", false},
        {"st_relate(place, place, '0FFFFFFF2')", true},
        {"st_relate(place, geography'POINT(0 0)', 'FF0FFF0F2')", true},
        {"st_relate(place, geography'POLYGON((4 51, 5 51, 5 53, 4 53, 4 51))', 'T*F**F***')", true},
        {"st_relate(geography'POLYGON((4 51, 5 51, 5 53, 4 53, 4 51))', place, 'T*****FF*')", true},
        {"st_relate(place, geography'POLYGON((0 0, 1 0, 1 1, 0 1, 0 0))', 'T********')", false},
        {"st_relate(place, place, 'T*')", false},
        {"st_within(result, place)", false},
    };
    for (const FilterCase& c : cases) {
        SCOPED_TRACE(c.filter);
        QueryRefusal refusal;
        const std::optional<FilterTree> t = parseFilter(QString::fromUtf8(c.filter), refusal);
        ASSERT_TRUE(t) << refusal.why.toStdString();
        EXPECT_EQ(holds(**t, observation(), resolve, 1796083200.0), c.holds);
    }
}

struct Refused {
    QString filter;
    int status;
    const char* names; // what the refusal says
};

TEST(OfficeFilter, OutsideTheGrammarOrItsBoundsRefusedByName) {
    QString deep;
    for (int i = 0; i < 40; ++i)
        deep += QLatin1Char('(');
    deep += QStringLiteral("result eq 1");
    for (int i = 0; i < 40; ++i)
        deep += QLatin1Char(')');
    QString wide = QStringLiteral("result eq 1");
    for (int i = 0; i < 200; ++i)
        wide += QStringLiteral(" or result eq 1");
    const Refused cases[] = {
        {deep, 400, "nesting"},
        {QStringLiteral("not ").repeated(40) + QStringLiteral("true"), 400, "nesting"},
        {QStringLiteral("-").repeated(40) + QStringLiteral("1 eq 1"), 400, "nesting"},
        {wide, 413, "size"},
        {QStringLiteral("x").repeated(kMostFilterChars + 1), 413, "size"},
        {QStringLiteral(""), 400, "empty"},
        {QStringLiteral("result eq"), 400, "value"},
        {QStringLiteral("result eq 1)"), 400, "more"},
        {QStringLiteral("(result eq 1"), 400, "')'"},
        {QStringLiteral("result eq 'open"), 400, "quote"},
        {QStringLiteral("nosuch(result)"), 400, "function"},
        {QStringLiteral("round(result, 2) eq 1"), 400, "arguments"},
        {QStringLiteral("substring('a') eq 'a'"), 400, "arguments"},
        {QStringLiteral("result eq 1; DROP TABLE xrq.events"), 400, "character"},
        {QStringLiteral("result eq 1e999"), 400, "number"},
        {QStringLiteral("phenomenonTime gt 2026-13-01T00:00:00Z"), 400, "ISO"},
        {QStringLiteral("phenomenonTime gt 2026-12-01T00:00:00"), 400, "ISO"},
        {QStringLiteral("st_within(place, geography'CIRCLE(1 2)')"), 400, "POINT"},
        {QStringLiteral("st_within(place, geography'POLYGON((0 0, 1 0, 1 1))')"), 400, "POINT"},
        {QStringLiteral("result eq 1 \u00e9"), 400, "character"},
    };
    for (const Refused& c : cases) {
        SCOPED_TRACE(c.filter.left(80).toStdString());
        QueryRefusal refusal;
        EXPECT_FALSE(parseFilter(c.filter, refusal));
        EXPECT_EQ(refusal.status, c.status);
        EXPECT_TRUE(refusal.why.contains(QLatin1String(c.names))) << refusal.why.toStdString();
    }
}

TEST(OfficeFilter, TimeOnlyFiltersAndWindowsReadFromTheTree) {
    QueryRefusal refusal;
    const auto tree = [&](const char* f) { return *parseFilter(QString::fromUtf8(f), refusal); };
    const std::optional<TimeFilter> f = timeFilterOf(
        *tree("phenomenonTime gt 1970-01-01T00:00:10Z and 1970-01-01T00:00:20Z ge phenomenonTime"));
    ASSERT_TRUE(f);
    EXPECT_FALSE(f->holds(10));
    EXPECT_TRUE(f->holds(20));
    EXPECT_FALSE(f->holds(20.5));
    EXPECT_FALSE(timeFilterOf(*tree("phenomenonTime gt 1970-01-01T00:00:10Z or result eq 1")));
    EXPECT_FALSE(timeFilterOf(*tree("phenomenonTime ne 1970-01-01T00:00:10Z")));
    EXPECT_FALSE(timeFilterOf(*tree("result gt 1970-01-01T00:00:10Z")));

    const TimeWindow w = timeWindowOf(*tree("phenomenonTime ge 1970-01-01T00:00:10Z and result "
                                            "gt 1 and phenomenonTime lt 1970-01-01T00:00:30Z and "
                                            "phenomenonTime le 1970-01-01T00:00:20Z"),
                                      QStringLiteral("phenomenonTime"));
    EXPECT_EQ(w.from, 10);
    EXPECT_EQ(w.to, 20);
    const TimeWindow open = timeWindowOf(
        *tree("phenomenonTime ge 1970-01-01T00:00:10Z or phenomenonTime lt 1970-01-01T00:00:05Z"),
        QStringLiteral("phenomenonTime"));
    EXPECT_FALSE(open.from || open.to); // an "or" narrows nothing
}

} // namespace
} // namespace office

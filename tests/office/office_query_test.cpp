// SPDX-License-Identifier: GPL-3.0-or-later
// The web service's pure parsers: ISO times, the bounded $filter, the list options, the
// resource paths and the identities.
#include "office/odata_query.h"

#include "support/result_assert.h"

#include <gtest/gtest.h>

namespace office {
namespace {

struct TimeCase {
    const char* text;
    std::optional<double> seconds;
};

TEST(OfficeQuery, IsoTimesWithAZoneOnly) {
    const TimeCase cases[] = {
        {"1970-01-01T00:00:00Z", 0},
        {"2026-12-01T00:00:00Z", 1796083200},
        {"2026-12-01T01:00:00+01:00", 1796083200},
        {"2026-11-30T20:30:00-03:30", 1796083200},
        {"2028-02-29T00:00:00Z", 1835395200},
        {"2026-12-01T00:00:00.25Z", 1796083200.25},
        {"1969-12-31T23:59:59Z", -1},
        {"2027-02-29T00:00:00Z", std::nullopt},
        {"2026-12-01T24:00:00Z", std::nullopt},
        {"2026-12-01T00:00:60Z", std::nullopt},
        {"2026-12-01T00:00:00", std::nullopt},
        {"2026-12-01", std::nullopt},
        {"2026-12-01T00:00:00.Z", std::nullopt},
        {"2026-12-01T00:00:00.1234567890Z", std::nullopt},
        {"2026-12-01T00:00:00+0100", std::nullopt},
        {"2026-12-01T00:00:00Z ", std::nullopt},
        {" 2026-12-01T00:00:00Z", std::nullopt},
        {"२०२६-12-01T00:00:00Z", std::nullopt}, // other scripts' digits
        {"", std::nullopt},
    };
    for (const TimeCase& c : cases) {
        SCOPED_TRACE(c.text);
        const std::optional<double> t = parseIsoTime(QString::fromUtf8(c.text));
        ASSERT_EQ(t.has_value(), c.seconds.has_value());
        if (t) {
            EXPECT_DOUBLE_EQ(*t, *c.seconds);
        }
    }
}

TEST(OfficeQuery, FilterHoldsEveryComparisonItJoins) {
    platform::Result<TimeFilter> f = parseTimeFilter(
        u"phenomenonTime gt 1970-01-01T00:00:10Z and phenomenonTime le 1970-01-01T00:00:20Z");
    ASSERT_TRUE(done(f));
    EXPECT_FALSE(f->holds(10));
    EXPECT_TRUE(f->holds(10.5));
    EXPECT_TRUE(f->holds(20));
    EXPECT_FALSE(f->holds(20.001));
    f = parseTimeFilter(u"phenomenonTime eq 1970-01-01T00:00:10Z");
    ASSERT_TRUE(done(f));
    EXPECT_TRUE(f->holds(10));
    EXPECT_FALSE(f->holds(11));
    EXPECT_TRUE(done(parseTimeFilter(u"  phenomenonTime lt 1970-01-01T00:00:10Z  ")));
    for (const char16_t* refused :
         {u"phenomenontime lt 1970-01-01T00:00:10Z", u"phenomenonTime LT 1970-01-01T00:00:10Z",
          u"phenomenonTime lt 1970-01-01T00:00:10Z andphenomenonTime"}) {
        const platform::Result<TimeFilter> no = parseTimeFilter(refused);
        ASSERT_FALSE(no.ok());
        EXPECT_EQ(no.kind(), platform::ErrorKind::Invalid);
        EXPECT_FALSE(no.text().empty());
    }
}

struct OptionsCase {
    std::vector<std::pair<const char*, const char*>> values;
    int status; // 0: read
    int top = kDefaultTop;
    long long skip = 0;
};

TEST(OfficeQuery, OptionsBoundedAndEachRefusalNamed) {
    const QString deep = QStringLiteral("Datastreams($expand=Thing($expand=Datastreams($expand="
                                        "Observations($expand=Datastream($expand=Thing)))))");
    const OptionsCase cases[] = {
        {{}, 0},
        {{{"$top", "7"}, {"$skip", "3"}}, 0, 7, 3},
        {{{"$top", "1000000"}}, 0, kMostTop},
        {{{"$top", "00"}}, 0, 0},
        {{{"$skip", "1000000001"}}, 400},
        {{{"$top", "+1"}}, 400},
        {{{"$top", ""}}, 400},
        {{{"$orderby", "phenomenonTime  desc"}}, 0},
        {{{"$orderby", "phenomenonTime desc,result,Datastream/name asc"}}, 0},
        {{{"$orderby", "phenomenonTime sideways"}}, 400},
        {{{"$orderby", "a,b,c,d,e,f,g,h,i"}}, 400},
        {{{"$orderby", "result;drop"}}, 400},
        {{{"$filter", "phenomenonTime ge 2026-12-01T00:00:00Z"}}, 0},
        {{{"$filter", "phenomenonTime ge"}}, 400},
        {{{"$count", "TRUE"}}, 400},
        {{{"$select", "id,name,unitOfMeasurement"}}, 0},
        {{{"$select", "Datastream/name"}}, 400},
        {{{"$select", ""}}, 400},
        {{{"$expand", "Datastreams"}}, 0},
        {{{"$expand", "Datastreams($top=2;$select=name;$expand=Observations($filter=result gt "
                      "1;$orderby=phenomenonTime desc)),Locations"}},
         0},
        {{{"$expand", "Datastreams/Observations"}}, 0},
        {{{"$expand", "Datastreams($top=2"}}, 400},
        {{{"$expand", "Datastreams($nothing=2)"}}, 400},
        {{{"$expand", "Datastreams($top=1;$top=2)"}}, 400},
        {{{"$expand", "Datastreams($filter=name eq 'a)b;c')"}}, 0},
        {{{"$expand", "a,b,c,d,e,f,g,h,i"}}, 400},
        {{{"$nothing", "1"}}, 400},
    };
    for (const OptionsCase& c : cases) {
        QMap<QString, QString> values;
        for (const auto& [name, value] : c.values)
            values.insert(QString::fromLatin1(name), QString::fromLatin1(value));
        SCOPED_TRACE(QStringList(values.values()).join(',').toStdString());
        QueryOptions o;
        QueryRefusal refusal;
        EXPECT_EQ(parseQueryOptions(values, o, refusal), c.status == 0)
            << refusal.why.toStdString();
        if (c.status == 0) {
            EXPECT_EQ(o.top, c.top);
            EXPECT_EQ(o.skip, c.skip);
        } else {
            EXPECT_EQ(refusal.status, c.status);
            EXPECT_FALSE(refusal.why.isEmpty());
        }
    }
    QueryOptions o;
    QueryRefusal refusal;
    EXPECT_FALSE(parseQueryOptions({{QStringLiteral("$expand"), deep}}, o, refusal));
    EXPECT_TRUE(refusal.why.contains(QLatin1String("nesting"))) << refusal.why.toStdString();
    ASSERT_TRUE(parseQueryOptions(
        {{QStringLiteral("$expand"),
          QStringLiteral("Datastreams($top=2;$expand=Observations($orderby=result desc))")}},
        o, refusal));
    ASSERT_EQ(o.expand.size(), 1u);
    EXPECT_EQ(o.expand[0].options.top, 2);
    ASSERT_EQ(o.expand[0].options.expand.size(), 1u);
    EXPECT_EQ(o.expand[0].options.expand[0].path, QStringList{QStringLiteral("Observations")});
    EXPECT_TRUE(o.expand[0].options.expand[0].options.orderby.front().descending);
}

TEST(OfficeQuery, PathsAndIdentitiesReadBackWhatWasWritten) {
    std::vector<PathPart> parts;
    ASSERT_TRUE(parseResourcePath(u"/Datastreams('SITE2/%3Cx%3E/2')/Observations", parts));
    ASSERT_EQ(parts.size(), 2u);
    EXPECT_EQ(parts[0].name, "Datastreams");
    EXPECT_EQ(parts[0].key, QStringLiteral("SITE2/%3Cx%3E/2"));
    EXPECT_FALSE(parts[1].key);
    ASSERT_TRUE(parseResourcePath(u"/Things('O''Hara')", parts));
    EXPECT_EQ(parts[0].key, QStringLiteral("O'Hara"));
    for (const char16_t* bad :
         {u"Things", u"/Things(", u"/Things('a'", u"/Things('a')x", u"/Things(a)", u"/",
          u"//Things", u"/a/b/c/d/e/f/g/h/i", u"/Thing\u00e9s", u"/Things/$", u"/Things/x$ref"})
        EXPECT_FALSE(parseResourcePath(bad, parts)) << QString::fromUtf16(bad).toStdString();

    const QStringList names = {QStringLiteral("SITE 1"),
                               QStringLiteral("<script>alert(\"x\")</script>'%1/.."),
                               QStringLiteral("Temp\u00e9rature\x1f"
                                              "2")};
    const QString id = joinId(names);
    EXPECT_EQ(id.count(QLatin1Char('/')), 2);
    for (const QChar c : id)
        EXPECT_TRUE(c.isLetterOrNumber() || QStringLiteral("%_-/").contains(c)) << id.toStdString();
    EXPECT_EQ(splitId(id, 3), names);
    EXPECT_FALSE(splitId(id, 2));
    EXPECT_FALSE(splitId(QStringLiteral("a//b"), 3));
    EXPECT_FALSE(splitId(QStringLiteral("a/b/c.d"), 3));
    EXPECT_FALSE(splitId(QStringLiteral("a/b/%FF"), 3)); // no UTF-8
}

} // namespace
} // namespace office

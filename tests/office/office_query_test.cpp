// SPDX-License-Identifier: GPL-3.0-or-later
// The web service's pure parsers: ISO times, the bounded $filter, the list options, the
// resource paths and the identities.
#include "office/odata_query.h"

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
    TimeFilter f;
    QString why;
    ASSERT_TRUE(parseTimeFilter(u"phenomenonTime gt 1970-01-01T00:00:10Z and phenomenonTime "
                                u"le 1970-01-01T00:00:20Z",
                                f, why))
        << why.toStdString();
    EXPECT_FALSE(f.holds(10));
    EXPECT_TRUE(f.holds(10.5));
    EXPECT_TRUE(f.holds(20));
    EXPECT_FALSE(f.holds(20.001));
    ASSERT_TRUE(parseTimeFilter(u"phenomenonTime eq 1970-01-01T00:00:10Z", f, why));
    EXPECT_TRUE(f.holds(10));
    EXPECT_FALSE(f.holds(11));
    ASSERT_TRUE(parseTimeFilter(u"  phenomenonTime lt 1970-01-01T00:00:10Z  ", f, why));
    EXPECT_FALSE(parseTimeFilter(u"phenomenontime lt 1970-01-01T00:00:10Z", f, why));
    EXPECT_FALSE(parseTimeFilter(u"phenomenonTime LT 1970-01-01T00:00:10Z", f, why));
    EXPECT_FALSE(
        parseTimeFilter(u"phenomenonTime lt 1970-01-01T00:00:10Z andphenomenonTime", f, why));
    EXPECT_FALSE(why.isEmpty());
}

struct OptionsCase {
    std::vector<std::pair<const char*, const char*>> values;
    bool observations;
    bool ok;
    int top = kDefaultTop;
    long long skip = 0;
};

TEST(OfficeQuery, ListOptionsBoundedAndOnlyWhereTheyApply) {
    const OptionsCase cases[] = {
        {{}, false, true},
        {{{"$top", "7"}, {"$skip", "3"}}, false, true, 7, 3},
        {{{"$top", "1000000"}}, false, true, kMostTop},
        {{{"$top", "00"}}, false, true, 0},
        {{{"$skip", "1000000001"}}, false, false},
        {{{"$top", "+1"}}, false, false},
        {{{"$top", ""}}, false, false},
        {{{"$orderby", "phenomenonTime desc"}}, false, false},
        {{{"$orderby", "phenomenonTime  desc"}}, true, true},
        {{{"$orderby", "phenomenonTime,result"}}, true, false},
        {{{"$filter", "phenomenonTime ge 2026-12-01T00:00:00Z"}}, false, false},
        {{{"$filter", "phenomenonTime ge 2026-12-01T00:00:00Z"}}, true, true},
        {{{"$count", "TRUE"}}, false, false},
        {{{"$expand", "Datastreams"}}, true, false},
    };
    for (const OptionsCase& c : cases) {
        QMap<QString, QString> values;
        for (const auto& [name, value] : c.values)
            values.insert(QString::fromLatin1(name), QString::fromLatin1(value));
        SCOPED_TRACE(QStringList(values.keys()).join(',').toStdString());
        ListOptions o;
        QString why;
        EXPECT_EQ(parseListOptions(values, c.observations, o, why), c.ok) << why.toStdString();
        if (c.ok) {
            EXPECT_EQ(o.top, c.top);
            EXPECT_EQ(o.skip, c.skip);
        } else {
            EXPECT_FALSE(why.isEmpty());
        }
    }
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
    for (const char16_t* bad : {u"Things", u"/Things(", u"/Things('a'", u"/Things('a')x",
                                u"/Things(a)", u"/", u"//Things", u"/a/b/c/d", u"/Thing\u00e9s"})
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

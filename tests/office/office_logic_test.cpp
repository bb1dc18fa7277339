// SPDX-License-Identifier: GPL-3.0-or-later
// The office's pure parts: the query parser, the decimation, lateness, escaping and the
// command line.
#include "office/html_text.h"
#include "office/office_options.h"
#include "office/office_pages.h"
#include "office/plot_buckets.h"
#include "office/query_params.h"

#include <gtest/gtest.h>

#include <cmath>

namespace office {
namespace {

struct QueryCase {
    const char* raw;
    bool ok;
    const char* u = ""; // the value of "u" when ok
};

TEST(QueryParse, TakesOnlyWhatAPageNames) {
    const QueryCase cases[] = {
        {"", true},
        {"u=SITE1", true, "SITE1"},
        {"u=A%20B&set=x", true, "A B"},
        {"u=A+B", true, "A B"},
        {"u=%C3%A9", true, "\xc3\xa9"},
        {"&&u=1&", true, "1"},
        {"u=a%1Fb", true,
         "a\x1f"
         "b"},
        {"u", true, ""},
        {"%75=1", true, "1"},
        {"x=1", false},
        {"u=1&u=2", false},
        {"u=%", false},
        {"u=%4", false},
        {"u=%g0", false},
        {"u=%E9", false},
        {"u=%00", false},
        {"u=%0A", false},
    };
    for (const QueryCase& c : cases) {
        SCOPED_TRACE(c.raw);
        const QueryParams p =
            parseQuery(QByteArray(c.raw), {QStringLiteral("u"), QStringLiteral("set")});
        EXPECT_EQ(p.ok, c.ok) << p.error.toStdString();
        if (c.ok)
            EXPECT_EQ(p.value("u").toStdString(), c.u);
        else
            EXPECT_FALSE(p.error.isEmpty());
    }
}

TEST(QueryParseBounds, RefusesLongAndManyQueries) {
    EXPECT_FALSE(parseQuery(QByteArray("u=") + QByteArray(kMostQueryBytes, 'a'), {"u"}).ok);
    QByteArray many;
    for (int i = 0; i <= kMostQueryParams; ++i)
        many += "u=1&";
    EXPECT_FALSE(parseQuery(many, {QStringLiteral("u")}).ok);
}

TEST(Decimation, KeepsEachBucketsLeastAndGreatest) {
    Decimator d(0, 100, 4); // buckets of 25 s
    std::vector<double> v;
    for (int t = 0; t <= 100; ++t) {
        v = {NAN, t == 60 ? 1000.0 : double(t % 5), t == 10 ? -7.0 : 0.0};
        d.add(t, v);
    }
    EXPECT_EQ(d.numericColumns(), (std::vector<std::size_t>{1, 2}));
    const std::vector<PlotBucket> b = d.take(3);
    ASSERT_EQ(b.size(), 4u);
    EXPECT_EQ(b[0].t, 0);
    EXPECT_EQ(b[0].low[1], -7);
    EXPECT_EQ(b[2].high[0], 1000); // t = 60, in [50, 75)
    EXPECT_EQ(b[3].t, 75);         // the range's end belongs to the last bucket
    EXPECT_EQ(b[1].low[0], 0);
    EXPECT_EQ(b[1].high[0], 4);
    EXPECT_DOUBLE_EQ(b[1].mean[0], 2);
}

TEST(Decimation, ARangeWithoutWidthIsOneBucket) {
    Decimator d(5, 5, 800);
    d.add(5, {1.0});
    d.add(5, {3.0});
    const std::vector<PlotBucket> b = d.take(1);
    ASSERT_EQ(b.size(), 1u);
    EXPECT_EQ(b[0].low[0], 1);
    EXPECT_EQ(b[0].high[0], 3);
}

TEST(RecordValues, ReadsNumbersOnlyInTheCLocale) {
    std::vector<double> v;
    recordValues("2026/12/01 10:00:00, 12.5 ,-3,+4, 1,5,abc, 7e1", v);
    ASSERT_EQ(v.size(), 8u);
    EXPECT_TRUE(std::isnan(v[0]));
    EXPECT_EQ(v[1], 12.5);
    EXPECT_EQ(v[2], -3);
    EXPECT_EQ(v[3], 4);
    EXPECT_EQ(v[4], 1);
    EXPECT_TRUE(std::isnan(v[6]));
    EXPECT_EQ(v[7], 70);
}

TEST(Lateness, IsOverTheIntervalInWords) {
    const std::int64_t day = 24LL * 3600 * 1000, now = 1000 * day;
    EXPECT_EQ(lateness(now - 30 * day, now, 30).text, "30 days ago");
    EXPECT_FALSE(lateness(now - 30 * day, now, 30).late);
    EXPECT_TRUE(lateness(now - 31 * day, now, 30).late);
    EXPECT_EQ(lateness(now - 31 * day, now, 30).text, "late: 31 days, interval 30");
    EXPECT_EQ(lateness(now - day / 2, now, 30).text, "today");
    EXPECT_TRUE(lateness(std::nullopt, now, 30).late);
    EXPECT_EQ(lateness(now + day, now, 30).text, "today"); // a laptop's clock ahead
}

TEST(HtmlText, EscapesEverythingThatEndsAnElementOrAttribute) {
    EXPECT_EQ(html(QStringLiteral("<a href='x'>\"&\"</a>")),
              "&lt;a href=&#39;x&#39;&gt;&quot;&amp;&quot;&lt;/a&gt;");
    EXPECT_EQ(html(QString::fromLatin1("Temp\xe9\x01\x85")),
              QString::fromUtf8("Temp\xc3\xa9\xef\xbf\xbd\xef\xbf\xbd"));
    EXPECT_EQ(queryValue(QStringLiteral("a b&c\"<")), "a%20b%26c%22%3C");
}

struct OptionsCase {
    std::vector<std::string> args;
    bool ok;
};

TEST(OfficeOptions, ServesBeyondLoopbackOnlyWithTls) {
    const OptionsCase cases[] = {
        {{"--service", "office"}, true},
        {{}, false},
        {{"--service", "bad name"}, false},
        {{"--service", "office", "--listen", "127.0.0.1:9000"}, true},
        {{"--service", "office", "--listen", "[::1]:9000"}, true},
        {{"--service", "office", "--listen", "0.0.0.0:8080"}, false},
        {{"--service", "office", "--listen", "192.0.2.1:443", "--tls-cert", "c.pem"}, false},
        {{"--service", "office", "--listen", "192.0.2.1:443", "--tls-cert", "c.pem", "--tls-key",
          "k.pem"},
         true},
        {{"--service", "office", "--listen", "127.0.0.1"}, false},
        {{"--service", "office", "--listen", "127.0.0.1:70000"}, false},
        {{"--service", "office", "--listen", "::1:80"}, false},
        {{"--service", "office", "--visit-interval", "0"}, false},
        {{"--service", "office", "--visit-interval", "14"}, true},
        {{"--service", "office", "--what"}, false},
        {{"--help"}, true},
        {{"--service", "office", "--public-name", "Office.Example.org."}, true},
        {{"--service", "office", "--public-name", "a.example", "--public-name", "192.0.2.10"},
         true},
        {{"--service", "office", "--public-name"}, false},
        {{"--service", "office", "--public-name", ""}, false},
        {{"--service", "office", "--public-name", "office.example:443"}, false},
        {{"--service", "office", "--public-name", "evil example"}, false},
        {{"--service", "office", "--public-name", ".example"}, false},
        {{"--service", "office", "--public-name", "a..example"}, false},
        {{"--service", "office", "--public-name", "*.example"}, false},
    };
    for (const OptionsCase& c : cases) {
        std::string line;
        for (const std::string& a : c.args)
            line += a + " ";
        SCOPED_TRACE(line);
        const ParsedOffice p = parseOfficeCommandLine(c.args);
        EXPECT_EQ(p.error.isEmpty(), c.ok) << p.error.toStdString();
    }
    EXPECT_EQ(parseOfficeCommandLine({"--service", "o", "--visit-interval", "14"})
                  .options.visitIntervalDays,
              14);
    // Public names as the Host rule compares them: lower case, no trailing dot.
    EXPECT_EQ(parseOfficeCommandLine({"--service", "o", "--public-name", "Office.Example.org.",
                                      "--public-name", "b.example"})
                  .options.publicNames,
              (QStringList{QStringLiteral("office.example.org"), QStringLiteral("b.example")}));
}

} // namespace
} // namespace office

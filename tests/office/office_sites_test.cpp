// SPDX-License-Identifier: GPL-3.0-or-later
// The office's pages of places from plain data: the Sites page and a site's page (escaping,
// lateness by the site's own interval, overlaps), the site plot's columns, swaps and marks,
// and the map's tile URL.
#include "office/office_options.h"
#include "office/site_pages.h"
#include "office/site_plot.h"

#include <gtest/gtest.h>

#include <QJsonArray>

#include <cmath>

namespace office {
namespace {

constexpr std::int64_t kDay = 24LL * 3600 * 1000;
constexpr std::int64_t kNow = 1796169600000; // 2026-12-02

SiteRow site(const QString& code, const QString& name) {
    SiteRow s;
    s.code = code;
    s.name = name;
    s.latitude = 47.5;
    s.longitude = -8.25;
    return s;
}

TEST(SitesPage, EscapesHostileAndEightBitTextEverywhere) {
    const QString hostile = QStringLiteral("<script>alert(\"x\")</script>'%1&");
    const QString latin = QString::fromLatin1("Br\xfc"
                                              "cke");
    SitesOverview o;
    o.readAtMs = kNow;
    SiteRow s = site(hostile, latin + hostile);
    s.currentUnits = {hostile, QStringLiteral("QK7Z04M1")};
    s.lastVisitMs = kNow - kDay;
    s.lastVisitLaptop = hostile;
    s.lastVisitUnit = hostile;
    s.lastNote = SiteNote{kNow, QStringLiteral("damage"), hostile, hostile, {}};
    o.sites.push_back(s);
    SiteDetail d;
    d.readAtMs = kNow;
    d.site = s;
    d.description = hostile;
    d.deployments = {{hostile, kNow - 10 * kDay, {}}, {QStringLiteral("B"), kNow - kDay, {}}};
    d.notes = {*s.lastNote};
    const QByteArray pages[] = {sitesPage(o, PageContext{}), sitePage(d, PageContext{}),
                                sitePage(d, PageContext{}, false)};
    for (const QByteArray& page : pages) {
        const QString text = QString::fromUtf8(page);
        EXPECT_FALSE(text.contains(QStringLiteral("<script>alert"))) << page.toStdString();
        EXPECT_FALSE(text.contains(QStringLiteral("\"x\""))) << page.toStdString();
        EXPECT_FALSE(text.contains(QStringLiteral("'%1"))); // neither raw nor taken by arg()
        EXPECT_TRUE(text.contains(QStringLiteral("&lt;script&gt;alert(&quot;x&quot;)")));
        EXPECT_TRUE(text.contains(QString::fromUtf8("Br\xc3\xbc"
                                                    "cke")));
        // Links carry the text percent-escaped.
        EXPECT_TRUE(text.contains(QStringLiteral("%3Cscript%3E")));
    }
    const QString sites = QString::fromUtf8(pages[0]);
    EXPECT_TRUE(sites.contains(QStringLiteral("data-lat=\"47.500000\" data-lon=\"-8.250000\"")));
    EXPECT_TRUE(sites.contains(QStringLiteral("<td class=\"overlap\">"))); // two units now
    EXPECT_TRUE(sites.contains(QStringLiteral("damage: &lt;script")));
    // Without the plot, no plot library is asked for.
    EXPECT_TRUE(pages[1].contains("/static/dygraph.js"));
    EXPECT_FALSE(pages[2].contains("/static/dygraph.js"));
    EXPECT_FALSE(pages[2].contains("id=\"plot\""));
}

struct IntervalCase {
    const char* what;
    std::optional<int> own, organisation;
    int service;
    long long daysAgo;
    bool late;
};

TEST(SiteLateness, SiteIntervalBeforeTheOrganisationsBeforeTheServices) {
    const IntervalCase cases[] = {
        {"own, within", 7, 30, 60, 5, false},
        {"own, over, though the organisation's is longer", 7, 30, 60, 10, true},
        {"own longer than the organisation's", 90, 30, 60, 45, false},
        {"organisation's", {}, 30, 60, 45, true},
        {"organisation's, within", {}, 30, 10, 20, false},
        {"service's", {}, {}, 10, 20, true},
        {"an own interval of 0 is none", 0, 30, 60, 20, false},
    };
    for (const IntervalCase& c : cases) {
        SCOPED_TRACE(c.what);
        SitesOverview o;
        o.readAtMs = kNow;
        o.organisationIntervalDays = c.organisation;
        SiteRow s = site(QStringLiteral("S1"), QStringLiteral("Bridge"));
        s.visitIntervalDays = c.own;
        s.lastVisitMs = kNow - c.daysAgo * kDay;
        o.sites.push_back(s);
        PageContext context;
        context.visitIntervalDays = c.service;
        const QString page = QString::fromUtf8(sitesPage(o, context));
        EXPECT_EQ(page.contains(QStringLiteral("<tr class=\"late\"")), c.late);
        EXPECT_EQ(sitesJson(o, context)
                      .value(QLatin1String("sites"))
                      .toArray()
                      .at(0)
                      .toObject()
                      .value(QLatin1String("late"))
                      .toBool(),
                  c.late);
    }
    // Never visited: late, whatever the interval.
    SitesOverview never;
    never.readAtMs = kNow;
    never.sites.push_back(site(QStringLiteral("S2"), QStringLiteral("New")));
    EXPECT_TRUE(sitesPage(never, PageContext{}).contains("never visited"));
}

struct OverlapCase {
    const char* what;
    std::vector<SiteDeployment> deployments;
    std::vector<QStringList> beside;
};

TEST(SiteDeployments, OverlapsAreShownNeverResolved) {
    const std::int64_t t = kNow - 100 * kDay;
    const OverlapCase cases[] = {
        {"a swap: one ends where the next starts",
         {{"A", t, t + kDay}, {"B", t + kDay, {}}},
         {{}, {}}},
        {"side by side, the first still there",
         {{"A", t, {}}, {"B", t + kDay, t + 2 * kDay}},
         {{"B"}, {"A"}}},
        {"three, the middle one over both",
         {{"A", t, t + 2 * kDay}, {"B", t + kDay, t + 4 * kDay}, {"C", t + 3 * kDay, {}}},
         {{"B"}, {"A", "C"}, {"B"}}},
        {"the same unit again is no overlap",
         {{"A", t, t + 2 * kDay}, {"A", t + kDay, {}}},
         {{}, {}}},
        {"one starting after now is beside none",
         {{"A", kNow + kDay, {}}, {"B", t, kNow}},
         {{}, {}}},
    };
    for (const OverlapCase& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(deploymentOverlaps(c.deployments, kNow), c.beside);
    }
    SiteDetail d;
    d.readAtMs = kNow;
    d.site = site(QStringLiteral("S1"), QStringLiteral("Bridge"));
    d.deployments = cases[1].deployments;
    const QString page = QString::fromUtf8(sitePage(d, PageContext{}));
    EXPECT_EQ(page.count(QStringLiteral("<tr class=\"overlap\">")), 2);
    EXPECT_TRUE(page.contains(QStringLiteral("side by side with <a href=\"/unit?u=B\">B</a>")));
    EXPECT_TRUE(page.contains(QStringLiteral("still there")));
    const QJsonArray json =
        siteJson(d, PageContext{}).value(QLatin1String("deployments")).toArray();
    ASSERT_EQ(json.size(), 2);
    EXPECT_EQ(json.at(0).toObject().value(QLatin1String("beside")).toArray().at(0).toString(),
              QStringLiteral("B"));
    EXPECT_TRUE(json.at(0).toObject().value(QLatin1String("to")).isNull());
}

TEST(SiteMapTiles, OnlyAPlainTileUrlIsTaken) {
    const std::pair<const char*, const char*> cases[] = {
        {"https://tiles.example.org/{z}/{x}/{y}.png", "https://tiles.example.org"},
        {"http://127.0.0.1:8081/t/{z}/{x}/{y}", "http://127.0.0.1:8081"},
        {"https://a.example.org/{z}/{x}.png", ""},                  // no {y}
        {"ftp://tiles.example.org/{z}/{x}/{y}.png", ""},            // not http
        {"https://tiles.example.org/{z}/{x}/{y}.png'onerror=", ""}, // a quote
        {"https://tiles.example.org/{z} /{x}/{y}.png", ""},         // a space
        {"https://user@tiles.example.org/{z}/{x}/{y}", ""},         // a user
        {"javascript:alert(1)//{z}{x}{y}", ""},
        {"", ""},
    };
    for (const auto& [url, origin] : cases) {
        SCOPED_TRACE(url);
        EXPECT_EQ(tileOrigin(QString::fromUtf8(url)).toStdString(), origin);
        std::vector<std::string> args{"--service", "office", "--tile-url", url};
        EXPECT_EQ(parseOfficeCommandLine(args).error.isEmpty(), *origin != '\0');
    }
    PageContext context;
    context.tileUrl = QStringLiteral("https://tiles.example.org/{z}/{x}/{y}.png");
    SitesOverview o;
    o.sites.push_back(site(QStringLiteral("S1"), QStringLiteral("Bridge")));
    EXPECT_TRUE(
        sitesPage(o, context).contains("data-tiles=\"https://tiles.example.org/{z}/{x}/{y}.png\""));
    EXPECT_TRUE(sitesPage(o, PageContext{}).contains("data-tiles=\"\""));
}

TEST(SitePlot, PropertiesNamedWithUnitsSwapsAndFlagsMarked) {
    series::SiteSeries s;
    s.site = "S1";
    s.properties = {{"Water temperature", "", {"Cel", "°C", "degree Celsius"}, ""},
                    {"Notes", "", {}, "LOG"},
                    {"Stage", "", {"m", "m", "metre"}, ""}};
    const double t0 = 1796169600;
    for (int i = 0; i < 100; ++i) {
        series::SiteRow r;
        r.utc = t0 + i * 60;
        r.unit = i < 50 ? "A" : "B";
        r.values = {10.0 + i, std::nullopt, i == 70 ? std::nullopt : std::optional<double>(2.5)};
        r.raw = {"x", "text", "y"};
        r.flags = i == 30 ? "disputed" : "";
        s.rows.push_back(r);
    }
    s.swaps = {{std::int64_t(t0 + 50 * 60) * 1000, "A", "B"},
               {std::int64_t(t0 + 99 * 60) * 1000, "B", ""},   // a removal
               {std::int64_t(t0 + 500 * 60) * 1000, "", "C"}}; // after the last record
    const SitePlot whole = sitePlotOf(s, {}, 10);
    EXPECT_EQ(whole.names, (QStringList{"Water temperature", "Stage"})); // Notes holds no number
    EXPECT_EQ(whole.units, (QStringList{"°C", "m"}));
    EXPECT_EQ(whole.plot.records, 100);
    EXPECT_EQ(whole.plot.buckets.size(), 10u);
    ASSERT_EQ(whole.plot.buckets.front().low.size(), 2u);
    EXPECT_DOUBLE_EQ(whole.plot.buckets.front().low[0], 10.0);
    EXPECT_EQ(whole.swaps.size(), 2u);
    ASSERT_EQ(whole.plot.marks.points.size(), 1u);
    EXPECT_EQ(whole.plot.marks.kinds, QStringList{"disputed"});

    const SitePlot part = sitePlotOf(s, TimeRange{t0 + 40 * 60, t0 + 60 * 60}, 5);
    EXPECT_EQ(part.plot.records, 21);
    ASSERT_EQ(part.swaps.size(), 1u);
    EXPECT_EQ(part.swaps[0].toUnit, QStringLiteral("B"));
    EXPECT_TRUE(part.plot.marks.points.empty());

    const QJsonObject json = sitePlotJson(whole);
    EXPECT_EQ(json.value(QLatin1String("names")).toArray().at(1).toString(),
              QStringLiteral("Stage"));
    EXPECT_EQ(json.value(QLatin1String("units")).toArray().at(0).toString(), QStringLiteral("°C"));
    // Different units never share a small plot.
    EXPECT_EQ(json.value(QLatin1String("groups")).toArray().size(), 2);
    const QJsonArray swaps =
        json.value(QLatin1String("marks")).toObject().value(QLatin1String("swaps")).toArray();
    ASSERT_EQ(swaps.size(), 2);
    EXPECT_EQ(swaps.at(0).toArray().at(0).toInteger(), qint64(t0 + 50 * 60) * 1000);
    EXPECT_EQ(swaps.at(0).toArray().at(2).toString(), QStringLiteral("B"));
    // Each row: the time and per column its least, mean and greatest.
    EXPECT_EQ(json.value(QLatin1String("rows")).toArray().at(0).toArray().size(), 3);
}

} // namespace
} // namespace office

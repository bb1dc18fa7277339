// SPDX-License-Identifier: GPL-3.0-or-later
// The office's pages of places against the tests' real PostgreSQL, the data manager's site
// facts beside the two laptops' facts: the Sites page, a site's page, the site's plot across a
// swap in the middle of a unit's records and its CSV, as the service answers them over HTTP,
// and the pages drawn in chromium (the map's markers, the plot with its swap), with their
// screenshots at 1366x768 and 390 px.
#include "office_browser.h"
#include "office_sites_fixture.h"

#include <QJsonArray>

namespace officetest {
namespace {

class StartedSitesTest : public OfficeSitesTest {
protected:
    void SetUp() override {
        OfficeSitesTest::SetUp();
        if (!HasFatalFailure())
            startOffice();
    }
};

QJsonObject siteOf(const QJsonObject& sites, const QString& code) {
    for (const QJsonValue& v : sites.value(QLatin1String("sites")).toArray())
        if (v.toObject().value(QLatin1String("code")).toString() == code)
            return v.toObject();
    return {};
}

TEST_F(StartedSitesTest, SitesPageShowsEachSitesUnitVisitLatenessAndNote) {
    const Reply page = get(QStringLiteral("/sites"));
    ASSERT_EQ(page.status, 200) << page.body.toStdString();
    EXPECT_TRUE(page.body.contains("Bridge &lt;gauge&gt; &#39;x&#39;")) << page.body.toStdString();
    EXPECT_FALSE(page.body.contains("<gauge>"));
    EXPECT_TRUE(page.body.contains("M\xc3\xbchle"));
    EXPECT_TRUE(page.body.contains("&lt;b&gt;cable&lt;/b&gt; chewed"));
    EXPECT_TRUE(page.body.contains("/static/leaflet.js"));
    EXPECT_TRUE(page.body.contains("data-lat=\"47.370000\" data-lon=\"8.540000\""));

    const QJsonObject json = get(QStringLiteral("/api/sites")).json();
    const QJsonObject r1 = siteOf(json, QStringLiteral("RIVER-01"));
    EXPECT_EQ(r1.value(QLatin1String("current_units")).toArray(), QJsonArray{"SITE1"});
    // SITE1's visit two days ago, while it stood there (the one ten days ago may be before).
    EXPECT_EQ(r1.value(QLatin1String("last_visit")).toInteger(), s->now - 2 * kDay);
    EXPECT_EQ(r1.value(QLatin1String("last_visit_laptop")).toString(), QStringLiteral("laptop_b"));
    EXPECT_FALSE(r1.value(QLatin1String("late")).toBool());
    EXPECT_EQ(r1.value(QLatin1String("battery")).toArray().size(), 2);
    // RIVER-02: SITE2's visit 45 days ago is late by the site's own 7 days; the note about
    // SITE2 while it stood there is the site's.
    const QJsonObject r2 = siteOf(json, QStringLiteral("RIVER-02"));
    EXPECT_TRUE(r2.value(QLatin1String("late")).toBool());
    EXPECT_EQ(r2.value(QLatin1String("visit_interval_days")).toInt(), 7);
    EXPECT_EQ(
        r2.value(QLatin1String("last_note")).toObject().value(QLatin1String("category")).toString(),
        QStringLiteral("damage"));
}

TEST_F(StartedSitesTest, SitePageShowsTheSwapAndItsPlotAndCsvHoldEachUnitInItsTime) {
    const Reply page = get(QStringLiteral("/site?site=RIVER-01"));
    ASSERT_EQ(page.status, 200) << page.body.toStdString();
    EXPECT_TRUE(page.body.contains("still there"));
    EXPECT_TRUE(page.body.contains("data-api=\"/api/site-series\""));
    const QJsonArray deployments =
        get(QStringLiteral("/api/site?site=RIVER-01")).json().value("deployments").toArray();
    ASSERT_EQ(deployments.size(), 2);
    EXPECT_EQ(deployments[0].toObject().value("unit").toString(), QStringLiteral("SITE3"));
    EXPECT_EQ(deployments[0].toObject().value("to").toInteger(), kSwapMs);
    EXPECT_TRUE(deployments[0].toObject().value("beside").toArray().isEmpty());

    const Reply plot = get(QStringLiteral("/api/site-series?site=RIVER-01&buckets=50"));
    ASSERT_EQ(plot.status, 200) << plot.body.toStdString();
    const QJsonObject p = plot.json();
    EXPECT_EQ(p.value("records").toInteger(), kSite3BeforeSwap);
    EXPECT_LE(p.value("last").toInteger(), kSwapMs);
    EXPECT_EQ(p.value("names").toArray(), (QJsonArray{"Water temperature", "Stage"}));
    EXPECT_EQ(p.value("units").toArray(), (QJsonArray{"°C", "m"}));
    const QJsonArray swaps = p.value("marks").toObject().value("swaps").toArray();
    bool swapShown = false;
    for (const QJsonValue& sw : swaps)
        swapShown |= sw.toArray().at(0).toInteger() == kSwapMs &&
                     sw.toArray().at(2).toString() == QStringLiteral("SITE1");
    // The swap is after the last record the plot holds: the whole series' range ends there.
    EXPECT_TRUE(swapShown || p.value("last").toInteger() < kSwapMs);

    const Reply csv = get(QStringLiteral("/csv/site?site=RIVER-01"));
    ASSERT_EQ(csv.status, 200) << csv.body.toStdString();
    EXPECT_TRUE(csv.headers.value("content-type").startsWith("text/csv"));
    EXPECT_EQ(csv.body.count("\r\n"), kSite3BeforeSwap + 1);
    EXPECT_EQ(csv.body.count(",SITE3,"), kSite3BeforeSwap);
}

TEST_F(StartedSitesTest, RefusesWhatIsNotThere) {
    struct Case {
        const char* path;
        int status;
        bool page;
    };
    const Case cases[] = {
        {"/site?site=NOSUCH", 404, true},
        {"/site", 400, true},
        {"/site?site=RIVER-01&x=1", 400, true},
        {"/api/site?site=NOSUCH", 404, false},
        {"/api/site-series?site=RIVER-01&buckets=0", 400, false},
        {"/api/site-series?site=RIVER-01&from=2026-13-01", 400, false},
        {"/csv/site?site=NOSUCH", 404, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        const Reply r = get(QString::fromLatin1(c.path));
        EXPECT_EQ(r.status, c.status) << r.body.toStdString();
        EXPECT_EQ(r.headers.value("content-type").startsWith("text/html"), c.page);
    }
    EXPECT_EQ(get(QStringLiteral("/static/leaflet.js")).status, 200);
}

class SitesBrowserTest : public BrowserTest<OfficeSitesTest> {};

TEST_F(SitesBrowserTest, SitesMapAndTableAndASitesPlotAreDrawn) {
    const std::string sites = chromium(base + QStringLiteral("/sites"), {"--dump-dom"});
    EXPECT_NE(sites.find("data-ready=\"sites\""), std::string::npos) << sites.substr(0, 3000);
    EXPECT_NE(sites.find("<span id=\"shown\">2 of 2 sites</span>"), std::string::npos);
    EXPECT_NE(sites.find("data-markers=\"2\""), std::string::npos); // Leaflet drew both
    EXPECT_NE(sites.find("leaflet-container"), std::string::npos);
    EXPECT_NE(sites.find("no-tiles"), std::string::npos);
    EXPECT_EQ(sites.find("<gauge>"), std::string::npos);

    const std::string site = chromium(base + QStringLiteral("/site?site=RIVER-01"), {"--dump-dom"});
    EXPECT_NE(site.find("data-plot-loads=\"1\""), std::string::npos) << site.substr(0, 4000);
    EXPECT_NE(site.find(QStringLiteral("data-records=\"%1\"").arg(kSite3BeforeSwap).toStdString()),
              std::string::npos);
    EXPECT_NE(site.find("<canvas"), std::string::npos);
    EXPECT_NE(site.find("class=\"plot-legend\""), std::string::npos);
    EXPECT_NE(site.find("data-markers=\"1\""), std::string::npos);

    expectPng(shot(base + QStringLiteral("/sites"), "office-sites-1366x768.png", "1366,768"));
    if (qEnvironmentVariableIsEmpty("XRQ_OFFICE_SCREENSHOTS"))
        return;
    expectPng(shot(base + QStringLiteral("/sites"), "office-sites-390.png", "390,844"));
    expectPng(
        shot(base + QStringLiteral("/site?site=RIVER-01"), "office-site-1366x768.png", "1366,768"));
    expectPng(shot(base + QStringLiteral("/site?site=RIVER-01"), "office-site-390.png", "390,844"));
}

} // namespace
} // namespace officetest

// SPDX-License-Identifier: GPL-3.0-or-later
// The office's pages in a real browser: xrq-office as its own process over the tests'
// PostgreSQL, Debian's chromium headless loading the pages; the page's script has drawn the
// Units table and the plot when the DOM chromium dumps says so: each small plot with its
// legend, the time axis titled with its clock, the flagged records' squares drawn; an error
// page for a unit not held; a battery chart of one reading. Screenshots at 1366x768 and at
// a phone's 390 px width go to the test's folder, or to XRQ_OFFICE_SCREENSHOTS when set (the
// docs/ pictures are made so).
#include "office_browser.h"

namespace officetest {
namespace {

class OfficeBrowserTest : public BrowserTest<OfficeTest> {};

TEST_F(OfficeBrowserTest, UnitsTableAndSeriesPlotAreDrawnAndAZoomedRangeIsReadFiner) {
    const std::string units = chromium(base + QStringLiteral("/units"), {"--dump-dom"});
    EXPECT_NE(units.find("data-ready=\"units\""), std::string::npos) << units.substr(0, 2000);
    EXPECT_NE(units.find("<span id=\"shown\">3 of 3 units</span>"), std::string::npos);
    EXPECT_NE(units.find("<tr class=\"late\">"), std::string::npos);
    EXPECT_EQ(units.find("<script>alert"), std::string::npos);

    const QString series = base + QStringLiteral("/series?u=SITE1&set=ANALOG");
    const std::string plot = chromium(series, {"--dump-dom"});
    EXPECT_NE(plot.find("data-plot-loads=\"1\""), std::string::npos) << plot.substr(0, 3000);
    EXPECT_NE(plot.find("data-records=\"200\""), std::string::npos);
    EXPECT_NE(plot.find("<canvas"), std::string::npos); // Dygraphs drew
    // The disputed record marked and the segment's start lined, their count said; the mark
    // drawn as a square on each of the two small plots (the columns differ tenfold).
    EXPECT_NE(plot.find("data-marks=\"1\""), std::string::npos);
    EXPECT_NE(plot.find("data-segment-starts=\"1\""), std::string::npos);
    EXPECT_NE(plot.find("flagged: 1 disputed, 200 offset unknown"), std::string::npos);
    EXPECT_NE(plot.find("data-panels=\"2\""), std::string::npos);
    EXPECT_NE(plot.find("data-marks-drawn=\"2\""), std::string::npos);
    // Each small plot with its legend naming its column; the time axis says the unit's own
    // clock, and no time on the page is written as UTC.
    EXPECT_EQ(occurrences(plot, "class=\"plot-legend\""), 2u);
    EXPECT_NE(plot.find("field_2</span>"), std::string::npos) << plot.substr(0, 6000);
    EXPECT_NE(plot.find("field_3</span>"), std::string::npos);
    EXPECT_NE(plot.find("Time (the unit's own clock, UTC offset not known)</div>"),
              std::string::npos);
    EXPECT_EQ(plot.find("00Z"), std::string::npos);
    EXPECT_EQ(occurrences(plot, "UTC"), occurrences(plot, "UTC offset not known"))
        << plot.substr(0, 6000);
    // SITE3's clock was set with its offset: its plot is in UTC and says so.
    const std::string utc =
        chromium(base + QStringLiteral("/series?u=SITE3&set=TEMP"), {"--dump-dom"});
    EXPECT_NE(utc.find("data-clock=\"utc\""), std::string::npos) << utc.substr(0, 3000);
    EXPECT_NE(utc.find(">Time (UTC)</div>"), std::string::npos);
    // A unit the server does not hold, on a page: a page that says so.
    const std::string missing = chromium(base + QStringLiteral("/unit?u=NOSUCH"), {"--dump-dom"});
    EXPECT_NE(missing.find("<h1>Not found</h1>"), std::string::npos) << missing;
    // The battery chart with one reading: a point with both axes titled.
    const std::string one = chromium(base + QStringLiteral("/unit?u=SITE2"), {"--dump-dom"});
    EXPECT_EQ(occurrences(one, "<circle class=\"reading\""), 1u);
    EXPECT_NE(one.find("1 reading: 12.7 V at "), std::string::npos);
    EXPECT_NE(one.find(">Time (UTC)</text>"), std::string::npos);
    // A range the page is sent to (as a zoom asks for it) is read again, alone.
    const std::string zoomed =
        chromium(series + QStringLiteral("#from=2026-12-01T00:30:00Z&to=2026-12-01T00:39:00Z"),
                 {"--dump-dom"});
    EXPECT_NE(zoomed.find("data-records=\"10\""), std::string::npos) << zoomed.substr(0, 3000);
    EXPECT_NE(zoomed.find("csv?u=SITE1&amp;set=ANALOG&amp;from=2026-12-01T00:30:00Z"),
              std::string::npos);

    // One picture always (a page drawn, not blank); all of them for docs/ when asked.
    expectPng(shot(base + QStringLiteral("/unit?u=SITE1"), "office-unit-1366x768.png", "1366,768"));
    if (qEnvironmentVariableIsEmpty("XRQ_OFFICE_SCREENSHOTS"))
        return;
    expectPng(shot(base + QStringLiteral("/units"), "office-units-1366x768.png", "1366,768"));
    expectPng(shot(base + QStringLiteral("/units"), "office-units-390.png", "390,844"));
    expectPng(shot(series, "office-series-1366x768.png", "1366,768"));
    expectPng(shot(series, "office-series-390.png", "390,844"));
    expectPng(
        shot(base + QStringLiteral("/unit?u=SITE2"), "office-battery-one-reading.png", "1366,768"));
    expectPng(shot(base + QStringLiteral("/unit?u=SITE1"), "office-unit-390.png", "390,844"));
}

} // namespace
} // namespace officetest

// SPDX-License-Identifier: GPL-3.0-or-later
// How the office lays out what it shows a person, without a server: each column's name and
// unit from its title, which columns share a small plot, the clock a plot's times are on, the
// battery chart with one, two equal and many readings, and the unit page's history in words
// with its sizes and hashes behind a detail.
#include "office/office_pages.h"
#include "office/plot_axes.h"
#include "office/plot_battery.h"
#include "series/battery_axes.h"

#include <QJsonArray>
#include <QRegularExpression>
#include <gtest/gtest.h>

#include <cmath>

namespace {

using office::PlotColumn;

TEST(PlotAxes, AColumnsUnitIsTheLastWordOrBracketOfItsTitleWhenItIsAUnit) {
    struct Case {
        const char* title;
        const char* name;
        const char* unit;
    };
    const Case cases[] = {
        {"Batt V", "Batt", "V"},
        {"Temp C", "Temp", "°C"},
        {"Level m", "Level", "m"},
        {"Cond uS", "Cond", "µS"},
        {"  Cond   uS/cm ", "Cond", "µS/cm"},
        {"Water level (m)", "Water level", "m"},
        {"Flow [L/s]", "Flow", "L/s"},
        {"field_2", "field_2", ""},
        {"Date     Time", "Date Time", ""}, // a last word that is no unit
        {"V", "V", ""},                     // a unit with no name is a name
        {"Station B", "Station B", ""},     // B is no unit we know
        {"", "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.title);
        EXPECT_EQ(office::nameOfTitle(QString::fromUtf8(c.title)), QString::fromUtf8(c.name));
        EXPECT_EQ(office::unitOfTitle(QString::fromUtf8(c.title)), QString::fromUtf8(c.unit));
    }
}

PlotColumn column(const char* unit, double lo, double hi, bool any = true) {
    PlotColumn c;
    c.name = QStringLiteral("c");
    c.unit = QString::fromUtf8(unit);
    c.lo = lo;
    c.hi = hi;
    c.any = any;
    return c;
}

TEST(PlotAxes, ColumnsShareASmallPlotOnlyWithTheSameUnitAndMagnitude) {
    using Groups = std::vector<std::vector<std::size_t>>;
    struct Case {
        const char* what;
        std::vector<PlotColumn> columns;
        Groups expected;
    };
    const Case cases[] = {
        {"the sample unit's four columns, each its own unit",
         {column("V", 12.5, 12.7), column("°C", 14, 16), column("m", 1.1, 1.3),
          column("µS", 380, 420)},
         {{0}, {1}, {2}, {3}}},
        {"no units: volts and degrees together, conductivity apart",
         {column("", 12.5, 12.7), column("", 14, 16), column("", 380, 420)},
         {{0, 1}, {2}}},
        {"the same unit a thousand times apart",
         {column("m", 0.5, 2), column("m", 800, 1200)},
         {{0}, {1}}},
        {"negative values by their magnitude",
         {column("", -40, -20), column("", 10, 30)},
         {{0, 1}}},
        {"a column of zeros stands with the first of its unit",
         {column("", 300, 400), column("", 0, 0), column("V", 0, 0)},
         {{0, 1}, {2}}},
        {"a column with nothing in the range",
         {column("", 1, 2), column("", 0, 0, false)},
         {{0, 1}}},
        {"groups in the order of their first column",
         {column("", 500, 600), column("", 1, 2), column("", 300, 400)},
         {{0, 2}, {1}}},
        {"none", {}, {}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(office::plotGroups(c.columns), c.expected) << c.what;
}

TEST(PlotAxes, TheTimeAxisSaysWhichClockAndCallsOnlyUtcUtc) {
    struct Case {
        long long utc, unit;
        office::PlotClock clock;
        const char* key;
    };
    const Case cases[] = {
        {10, 0, office::PlotClock::Utc, "utc"},
        {0, 0, office::PlotClock::Utc, "utc"},
        {0, 10, office::PlotClock::Unit, "unit"},
        {3, 7, office::PlotClock::Mixed, "mixed"},
    };
    for (const Case& c : cases) {
        const office::PlotClock clock = office::plotClock(c.utc, c.unit);
        EXPECT_EQ(clock, c.clock) << c.utc << " " << c.unit;
        EXPECT_EQ(office::plotClockKey(clock), QLatin1String(c.key));
    }
    EXPECT_EQ(office::plotClockTitle(office::PlotClock::Utc), "Time (UTC)");
    const QString unit = office::plotClockTitle(office::PlotClock::Unit);
    EXPECT_FALSE(unit.contains(QStringLiteral("(UTC")));
    EXPECT_TRUE(unit.contains(QStringLiteral("unit's own clock")));
    EXPECT_TRUE(unit.contains(QStringLiteral("not known")));
    EXPECT_TRUE(office::plotClockTitle(office::PlotClock::Mixed).contains("unit's own clock"));
}

TEST(BatteryChart, RoundTicksStayInsideTheRangeAtRoundSteps) {
    struct Case {
        double lo, hi;
        int most;
        std::vector<double> expected;
    };
    const Case cases[] = {
        {12.45, 12.95, 5, {12.5, 12.6, 12.7, 12.8, 12.9}},
        {11.8, 13.2, 4, {12.0, 12.5, 13.0}},
        {0, 10, 5, {0, 2, 4, 6, 8, 10}},
        {-1, 1, 4, {-1, -0.5, 0, 0.5, 1}},
        {5, 5, 4, {}},   // no width
        {1, 2, 0, {}},   // no room
        {NAN, 2, 4, {}}, // no number
    };
    for (const Case& c : cases) {
        const std::vector<double> got = office::roundTicks(c.lo, c.hi, c.most);
        ASSERT_EQ(got.size(), c.expected.size()) << c.lo << ".." << c.hi;
        for (std::size_t i = 0; i < got.size(); ++i)
            EXPECT_NEAR(got[i], c.expected[i], 1e-9) << c.lo << ".." << c.hi;
    }
}

TEST(BatteryAxes, OneReadingOrEqualOnesStandInsideAxesThatReadWell) {
    constexpr std::int64_t hour = 3600 * 1000LL, day = 24 * hour;
    const std::int64_t at = 1796083200000;
    struct Case {
        const char* what;
        std::int64_t first, last;
        std::int64_t from, to;
        const char* format;
        int ticks;
    };
    const Case cases[] = {
        {"one time", at, at, at - 12 * hour, at + 12 * hour, "yyyy-MM-dd HH:mm", 3},
        {"an hour", at, at + hour, at - hour / 20, at + hour + hour / 20, "yyyy-MM-dd HH:mm", 4},
        {"ten days", at, at + 10 * day, at - day / 2, at + 10 * day + day / 2, "yyyy-MM-dd", 4},
        {"two years", at, at + 730 * day, at - 73 * day / 2, at + 730 * day + 73 * day / 2,
         "yyyy-MM", 4},
        {"given backwards", at + hour, at, at - hour / 20, at + hour + hour / 20,
         "yyyy-MM-dd HH:mm", 4},
    };
    for (const Case& c : cases) {
        const series::TimeSpan s = series::batteryTimeSpan(c.first, c.last);
        EXPECT_EQ(s.from, c.from) << c.what;
        EXPECT_EQ(s.to, c.to) << c.what;
        EXPECT_EQ(s.format, QLatin1String(c.format)) << c.what;
        EXPECT_EQ(s.ticks, c.ticks) << c.what;
    }
    // Equal readings in the middle of at least the least span; a spread widened a tenth.
    const series::ValueRange equal = series::readingRange(12.7, 12.7, 0.4);
    EXPECT_NEAR(equal.lo, 12.5, 1e-9);
    EXPECT_NEAR(equal.hi, 12.9, 1e-9);
    const series::ValueRange spread = series::readingRange(12, 13, 0.4);
    EXPECT_NEAR(spread.lo, 11.9, 1e-9);
    EXPECT_NEAR(spread.hi, 13.1, 1e-9);
}

// Every number an attribute `name` takes in `svg`.
std::vector<double> attributes(const QString& svg, const QString& element, const QString& name) {
    std::vector<double> out;
    const QRegularExpression re(QStringLiteral("<%1 [^>]*\\b%2=\"([-0-9.]+)\"").arg(element, name));
    for (auto it = re.globalMatch(svg); it.hasNext();)
        out.push_back(it.next().captured(1).toDouble());
    return out;
}

TEST(BatteryChart, OneOrTwoEqualReadingsArePointsInsideReadableAxes) {
    const std::int64_t at = 1796083200000; // 2026-12-01 00:00 UTC
    struct Case {
        const char* what;
        std::vector<std::pair<std::int64_t, double>> readings;
        bool line;
        std::vector<QString> timeLabels;
    };
    const Case cases[] = {
        {"one reading", {{at, 12.68}}, false, {QStringLiteral("2026-12-01 00:00")}},
        {"two equal readings, an hour apart",
         {{at, 12.7}, {at + 3600000, 12.7}},
         true,
         {QStringLiteral("2026-12-01 00:00"), QStringLiteral("2026-12-01 01:00")}},
        {"two equal readings at one time", {{at, 12.7}, {at, 12.7}}, true, {}},
        {"a year of readings",
         {{at, 13.1}, {at + 120LL * 86400000, 12.9}, {at + 365LL * 86400000, 12.2}},
         true,
         {QStringLiteral("2026-12"), QStringLiteral("2027-12")}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const QString svg = office::batteryChart(c.readings, 600, 220);
        ASSERT_TRUE(svg.startsWith(QStringLiteral("<svg")));
        // Each reading a point, inside the plot area and off its edges.
        const std::vector<double> area = attributes(svg, "rect", "y"),
                                  height = attributes(svg, "rect", "height");
        ASSERT_EQ(area.size(), 1u);
        const std::vector<double> ys = attributes(svg, "circle", "cy");
        ASSERT_EQ(ys.size(), c.readings.size());
        for (const double y : ys) {
            EXPECT_GT(y, area[0] + 10);
            EXPECT_LT(y, area[0] + height[0] - 10);
        }
        const std::vector<double> xs = attributes(svg, "circle", "cx");
        for (const double x : xs) {
            EXPECT_GT(x, 64);
            EXPECT_LT(x, 600 - 16);
        }
        EXPECT_EQ(svg.contains(QStringLiteral("<polyline")), c.line);
        // Both axes titled, the volts axis with at least two round ticks around the readings.
        EXPECT_TRUE(svg.contains(QStringLiteral(">Battery (V)</text>")));
        EXPECT_TRUE(svg.contains(QStringLiteral(">Time (UTC)</text>")));
        const QRegularExpression yTick(QStringLiteral("class=\"tick y\"[^>]*>([0-9.]+)<"));
        std::vector<double> volts;
        for (auto it = yTick.globalMatch(svg); it.hasNext();)
            volts.push_back(it.next().captured(1).toDouble());
        ASSERT_GE(volts.size(), 2u);
        EXPECT_LE(volts.front(), c.readings.front().second + 0.3);
        EXPECT_GE(volts.back(), c.readings.front().second - 0.3);
        for (const QString& label : c.timeLabels)
            EXPECT_TRUE(svg.contains(QStringLiteral(">%1</text>").arg(label)))
                << label.toStdString() << "\n"
                << svg.toStdString();
    }
    EXPECT_TRUE(office::batteryChart({}, 600, 220).isEmpty());
    EXPECT_TRUE(office::batteryChart({{at, NAN}, {at, INFINITY}}, 600, 220).isEmpty());
    EXPECT_FALSE(office::batteryChart({{at, NAN}, {at, 12.5}}, 600, 220).contains("nan"));
}

office::HistoryItem item(const char* kind, QJsonObject payload) {
    office::HistoryItem h;
    h.kind = QString::fromLatin1(kind);
    h.occurredAtMs = 1796083200000;
    h.laptop = QStringLiteral("laptop_a");
    h.payload = std::move(payload);
    return h;
}

TEST(UnitPage, HistoryInWordsSizesAndHashesBehindADetailTablesScroll) {
    office::UnitDetail d;
    d.readAtMs = 1796083200000;
    const QString hash(64, QLatin1Char('a'));
    d.history = {
        item("kept_download", {{QStringLiteral("size"), 37566}, {QStringLiteral("sha256"), hash}}),
        item("clock_set", {{QStringLiteral("sent"), QStringLiteral("26-12-01 00:00")}}),
        item("battery", {{QStringLiteral("volts"), 12.6}, {QStringLiteral("celsius"), 21.5}}),
        item("visit", {{QStringLiteral("port"), 3}}), item("some_new_kind", {})};
    d.battery = {{1796083200000, 12.6}};
    const QString page = QString::fromUtf8(office::unitPage(QStringLiteral("SITE1"), d, {}));
    const QStringList words = {QStringLiteral("raw download kept"), QStringLiteral("clock set"),
                               QStringLiteral("battery reading"), QStringLiteral("visit"),
                               QStringLiteral("some new kind")};
    for (const QString& w : words)
        EXPECT_TRUE(page.contains(QStringLiteral("<td>%1</td>").arg(w))) << w.toStdString();
    EXPECT_FALSE(page.contains(QStringLiteral("kept_download")));
    EXPECT_FALSE(page.contains(QStringLiteral("clock_set")));
    // The size and the whole hash are there for whoever checks, behind a detail only.
    const qsizetype details = page.indexOf(QStringLiteral("<details><summary>size and hash"));
    ASSERT_GE(details, 0);
    EXPECT_EQ(page.count(hash), 1);
    EXPECT_GT(page.indexOf(QStringLiteral("37,566 bytes, SHA-256 ") + hash), details)
        << page.mid(details, 300).toStdString();
    EXPECT_EQ(page.count(QStringLiteral("<details>")), 1);
    // Every table in a box that scrolls sideways, said where the screen is narrow.
    EXPECT_EQ(page.count(QStringLiteral("<table")), 2);
    EXPECT_EQ(page.count(QStringLiteral("<p class=\"scroll-hint\">")), 2);
    EXPECT_EQ(page.count(QStringLiteral("<div class=\"scroll\"><table")), 2);
    // One battery reading: a point on the chart and its count in words.
    EXPECT_TRUE(page.contains(QStringLiteral("<circle class=\"reading\"")));
    EXPECT_TRUE(page.contains(QStringLiteral("1 reading: 12.6 V at 2026-12-01 00:00:00 UTC")));
}

TEST(SeriesPlotJson, NamesUnitsGroupsClockAndEachMarksValuePerColumn) {
    office::SeriesPlot p;
    p.columns = {QStringLiteral("Batt V"), QStringLiteral("Cond uS"), QStringLiteral("Temp C")};
    p.fields = {1, 4, 2};
    office::PlotBucket b;
    b.t = 100;
    b.low = {12.5, 380, 14};
    b.mean = {12.6, 400, 15};
    b.high = {12.7, 420, 16};
    p.buckets = {b};
    p.records = 1;
    p.utcRecords = 1;
    office::PlotMark mark;
    mark.t = 100;
    mark.values = {NAN, 12.6, 15, NAN, 400};
    p.marks.points = {mark};
    const QJsonObject j = office::plotJson(p);
    EXPECT_EQ(j.value(QLatin1String("names")).toArray(),
              (QJsonArray{QStringLiteral("Batt"), QStringLiteral("Cond"), QStringLiteral("Temp")}));
    EXPECT_EQ(j.value(QLatin1String("units")).toArray(),
              (QJsonArray{QStringLiteral("V"), QStringLiteral("µS"), QStringLiteral("°C")}));
    EXPECT_EQ(j.value(QLatin1String("groups")).toArray(),
              (QJsonArray{QJsonArray{0}, QJsonArray{1}, QJsonArray{2}}));
    EXPECT_EQ(j.value(QLatin1String("clock")).toString(), "utc");
    // The mark's values in the plot's column order, each from its own field.
    EXPECT_EQ(j.value(QLatin1String("marks"))
                  .toObject()
                  .value(QLatin1String("points"))
                  .toArray()
                  .first()
                  .toArray(),
              (QJsonArray{100000, 0, 12.6, QJsonArray{12.6, 400, 15}}));
}

} // namespace

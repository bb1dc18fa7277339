// SPDX-License-Identifier: GPL-3.0-or-later
// The pieces a site's Datastreams are read by SQL from (series::siteCopyPieces), without a
// server: cut at every change of a column's meaning and calibration within each deployment,
// the unit's own meaning before every unit's, a column of text alone under a meaning; what a
// record holds in a column as the placer takes it; and a site's Observation made from the
// copy's row the same as from the site series' row.
#include "office/odata_query.h"
#include "office/site_things.h"

#include "platform/checked_number.h"
#include "series/record_time.h"
#include "series/site_series.h"

#include <gtest/gtest.h>

namespace office {
namespace {

fleet::Deployment deployed(const char* unit, std::int64_t from, std::optional<std::int64_t> to) {
    fleet::Deployment d;
    d.unit = QLatin1String(unit);
    d.site = QStringLiteral("R");
    d.fromMs = from;
    d.toMs = to;
    return d;
}

fleet::ColumnMeaning meaning(const char* unit, int column, std::int64_t from, const char* name) {
    return {QLatin1String(unit), QStringLiteral("T"), column, from, QLatin1String(name), {},
            {"m", "m", "metre"}};
}

// Site R: A from 1000 until B takes its place at 5000 (open). Every unit's column 2 is a
// Level and column 4 a Remark (text alone, no Datastream); A's own column 2 is a Stage from
// 3000. A's column 2 is calibrated 2x + 1 over [2000, 4000), every unit's column 3 10x from
// 6000. A names its column 3 "Temp"; B names none.
series::SiteCopyPlan plan() {
    series::SiteCopyPlan p;
    p.site = "R";
    fleet::Site site;
    site.code = QStringLiteral("R");
    p.facts.sites = {site};
    p.facts.deployments = {deployed("A", 1000, 5000), deployed("B", 5000, std::nullopt)};
    p.facts.meanings = {meaning("", 2, 0, "Level"), meaning("", 4, 0, "Remark"),
                        meaning("A", 2, 3000, "Stage")};
    p.facts.calibrations = {
        {QStringLiteral("A"), QStringLiteral("T"), 2, 2000, 4000, 2, 1},
        {{}, QStringLiteral("T"), 3, 6000, std::nullopt, 10, 0},
    };
    for (const char* unit : {"A", "B"}) {
        series::SiteCopyPlan::Source s;
        s.unit = unit;
        s.dataSet = "T";
        s.datastream = unit[0] == 'A' ? 11 : 21;
        s.titles.info.name = "T";
        if (unit[0] == 'A')
            s.titles.info.columnTitles = "Time, Lvl, Temp, Note";
        p.sources.push_back(s);
    }
    return p;
}

std::string describe(const series::SiteCopyPiece& p) {
    std::string s = std::to_string(p.source) + " " + std::to_string(p.field) + " " +
                    std::to_string(p.fromMs) + "-" +
                    (p.toMs ? std::to_string(*p.toMs) : std::string("open")) + " " +
                    p.property.name + (p.property.dataSet.empty() ? "" : "@" + p.property.dataSet) +
                    (p.meant ? " meant" : "") + " from " + std::to_string(p.deployedMs);
    if (p.calibration)
        s += " x" + std::to_string(int(p.calibration->first)) + "+" +
             std::to_string(int(p.calibration->second));
    return s;
}

TEST(SitePieces, CutAtEveryChangeOfMeaningAndCalibration) {
    // Both units' Datastreams are their columns 2 and 3 (column 4 is text in every record).
    const std::vector<series::SiteCopyPiece> pieces =
        series::siteCopyPieces(plan(), {{2, 3}, {2, 3}});
    std::vector<std::string> got;
    for (const series::SiteCopyPiece& p : pieces)
        got.push_back(describe(p));
    const std::vector<std::string> want = {
        "0 2 1000-2000 Level meant from 1000",      "0 2 2000-3000 Level meant from 1000 x2+1",
        "0 2 3000-4000 Stage meant from 1000 x2+1", "0 2 4000-5000 Stage meant from 1000",
        "0 3 1000-5000 Temp@T from 1000",           "0 4 1000-5000 Remark meant from 1000",
        "1 2 5000-open Level meant from 5000",      "1 3 5000-6000 field_3@T from 5000",
        "1 3 6000-open field_3@T from 5000 x10+0",  "1 4 5000-open Remark meant from 5000",
    };
    EXPECT_EQ(got, want);
    // A source without any Datastream in the copy, or a unit not deployed there, has none.
    series::SiteCopyPlan none = plan();
    none.sources[1].datastream = 0;
    none.sources[0].unit = "C";
    EXPECT_TRUE(series::siteCopyPieces(none, {{2, 3}, {2, 3}}).empty());
}

TEST(SitePieces, CellsAsThePlacerTakesThem) {
    const std::vector<std::string_view> fields =
        series::fieldsOf("2026/12/01 00:00:00, 12.5, , g\xfct, NaN, 1e400, -0.25");
    struct Case {
        int column;
        series::SiteCell cell;
    };
    for (const Case& c : {Case{0, series::SiteCell::None}, Case{1, series::SiteCell::Text},
                          Case{2, series::SiteCell::Number}, Case{3, series::SiteCell::Empty},
                          Case{4, series::SiteCell::Text}, Case{5, series::SiteCell::Text},
                          Case{6, series::SiteCell::Text}, Case{7, series::SiteCell::Number},
                          Case{8, series::SiteCell::None}})
        EXPECT_EQ(series::siteCellOf(fields, c.column), c.cell) << c.column;
}

// The same record made into a site's Observation from the site series' row and from the
// copy's row with its piece: calibrated or not, a text cell, flags, within a deployment.
TEST(SitePieces, AnObservationFromTheCopyIsTheSeriesOne) {
    const Links l(QStringLiteral("http://h"));
    series::SiteSeries s;
    s.site = "R";
    s.properties = {{"Level", "", {"m", "m", "metre"}, ""}};
    s.deployments = {deployed("A", 1000, 5000)};
    const SiteStream stream{siteStreamId(QStringLiteral("R"), s.properties[0]), 0, {}};
    struct Case {
        const char* record;
        std::optional<std::pair<double, double>> calibration;
        const char* flags;
    };
    const Case cases[] = {
        {"2026/12/01 00:00:00, 12.5, 3", std::pair(2.0, 1.0), ""},
        {"2026/12/01 00:01:00, 12.5, 3", std::nullopt, "gap"},
        {"2026/12/01 00:02:00, g\xfct, 3", std::pair(2.0, 1.0), "clock-set,late"},
        {"2026/12/01 00:03:00,  -7 ", std::nullopt, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.record);
        const std::vector<std::string_view> fields = series::fieldsOf(c.record);
        series::SiteRow row;
        row.utc = 1.5;
        row.unit = "A";
        row.dataSet = "T";
        row.raw = {std::string(fields[1])};
        const auto raw = platform::parseFinite(fields[1], -1e300, 1e300);
        row.values = {std::nullopt};
        if (raw)
            row.values[0] =
                c.calibration ? c.calibration->first * *raw + c.calibration->second : *raw;
        row.flags = c.flags;
        row.segment = 2;
        row.index = 77;
        row.unitTime = std::string(series::stampText(c.record));
        row.offsetSeconds = 3600;
        s.rows = {row};
        SiteCopyObservation o;
        o.site = QStringLiteral("R");
        o.stream = stream.id;
        o.unit = QStringLiteral("A");
        o.dataSet = QStringLiteral("T");
        o.field = 2;
        o.segment = 2;
        o.place = 77;
        o.utc = 1.5;
        o.offset = 3600;
        o.flags = c.flags;
        o.record = c.record;
        o.calibration = c.calibration;
        o.deployedMs = 1000;
        EXPECT_EQ(siteCopyObservationJson(l, o), siteObservationJson(l, s, stream, 0));
    }
}

} // namespace
} // namespace office

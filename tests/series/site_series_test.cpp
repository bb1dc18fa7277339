// SPDX-License-Identifier: GPL-3.0-or-later
// A site's series across its units: a swap in the middle of a download's records, a unit
// side by side, a calibration window, columns named by meaning, else title, else field_N;
// and the CSV it exports, read back cell by cell.
#include "series/site_series.h"

#include "series/record_time.h"

#include <gtest/gtest.h>

#include <QDateTime>

#include <cstdio>

namespace series {
namespace {

std::int64_t at(int hour, int minute) {
    return QDateTime(QDate(2026, 5, 11), QTime(hour, minute), Qt::UTC).toMSecsSinceEpoch();
}

// One unit's data set "SET" of records every ten minutes from 09:50 to 10:50, its value the
// minute plus `base`; its unit's clock on UTC.
struct Unit {
    std::string serial;
    double base;
    std::string titles;
    std::vector<std::string> lines;
    std::string download = "k.txt";

    UnitSource source() {
        lines.clear();
        for (int m = 50; m <= 110; m += 10) {
            char line[64];
            std::snprintf(line, sizeof line, "26-05-11 %02d:%02d:00,%g,ok", 9 + m / 60, m % 60,
                          base + m);
            lines.push_back(line);
        }
        RecordSource s;
        s.info.serial = serial;
        s.info.name = "SET";
        s.info.records = lines.size();
        s.info.segments = 1;
        s.info.usualInterval = 600;
        s.info.columnTitles = titles;
        s.clockSets = {{at(8, 0), 0, "26-05-11 08:00:00"}};
        s.forEachRecord = [this](const std::function<bool(const RecordRef&)>& each) {
            RecordRef r;
            r.segment = 1;
            r.offsetSeconds = 0;
            r.download = &download;
            r.downloadAtMs = at(12, 0);
            for (const std::string& l : lines) {
                r.line = l;
                if (!each(r))
                    return false;
                ++r.index;
            }
            return true;
        };
        return {serial, s};
    }
};

fleet::SiteFacts facts(bool meaning) {
    fleet::SiteFacts f;
    f.ok = true;
    f.sites.push_back({"RIVER-03", "Bridge", "", 9.1, 48.7, {}, {}});
    // U1 from 10:00, swapped for U2 at 10:30 in the middle of U1's download; U3 side by side
    // from 10:20; U4 deployed elsewhere.
    f.deployments = {{"U1", "RIVER-03", at(10, 0), {}, false},
                     {"U2", "RIVER-03", at(10, 30), {}, false},
                     {"U3", "RIVER-03", at(10, 20), {}, false},
                     {"U4", "LAKE-1", at(9, 0), {}, false}};
    f.removals = {{"U1", at(10, 30)}};
    fleet::resolveDeployments(f.deployments, f.removals);
    if (meaning)
        f.meanings.push_back({"", "SET", 2, 0, "Water temperature", "http://vocab.example/wt",
                              *fleet::commonUnit("Cel")});
    f.calibrations.push_back({"U2", "SET", 2, at(10, 40), at(10, 50), 2, 1});
    return f;
}

TEST(SiteSeries, RecordsOfEachUnitWithinItsDeploymentJoinedAndCalibrated) {
    Unit u1{"U1", 0, "", {}}, u2{"U2", 1000, "", {}}, u3{"U3", 2000, "", {}},
        u4{"U4", 3000, "", {}};
    const std::vector<UnitSource> sources = {u1.source(), u2.source(), u3.source(), u4.source()};
    const SiteSeries s = buildSiteSeries(facts(true), "RIVER-03", sources);
    ASSERT_EQ(s.properties.size(), 1u)
        << s.withoutUtc << " " << s.outsideDeployments << " " << s.deployments.size();
    EXPECT_EQ(s.properties[0].header(), "Water temperature [Cel]");
    EXPECT_EQ(s.properties[0].uom.symbol, QStringLiteral("°C"));
    struct Want {
        int h, m;
        const char* unit;
        double value;
        const char* raw;
    } want[] = {
        {10, 0, "U1", 60, "60"},      {10, 10, "U1", 70, "70"},     {10, 20, "U1", 80, "80"},
        {10, 20, "U3", 2080, "2080"}, {10, 30, "U2", 1090, "1090"}, {10, 30, "U3", 2090, "2090"},
        {10, 40, "U2", 2201, "1100"},                               // calibrated: 2 * 1100 + 1
        {10, 40, "U3", 2100, "2100"}, {10, 50, "U2", 1110, "1110"}, // the window has ended
        {10, 50, "U3", 2110, "2110"},
    };
    ASSERT_EQ(s.rows.size(), std::size(want));
    for (std::size_t i = 0; i < s.rows.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(s.rows[i].utc * 1000, double(at(want[i].h, want[i].m)));
        EXPECT_EQ(s.rows[i].unit, want[i].unit);
        ASSERT_TRUE(s.rows[i].values[0]);
        EXPECT_EQ(*s.rows[i].values[0], want[i].value);
        EXPECT_EQ(s.rows[i].raw[0], want[i].raw);
    }
    // U1's 09:50 and from 10:30, U2's before 10:30, U3's before 10:20 (U4 is elsewhere).
    EXPECT_EQ(s.outsideDeployments, 4 + 4 + 3);
    ASSERT_EQ(s.swaps.size(), 3u);
    EXPECT_EQ(s.swaps[2].atMs, at(10, 30));
    EXPECT_EQ(s.swaps[2].fromUnit, "U1");
    EXPECT_EQ(s.swaps[2].toUnit, "U2");
    EXPECT_TRUE(s.deployments[1].sideBySide); // U3 beside U1
}

TEST(SiteSeries, AColumnWithoutMeaningGoesByItsTitleElseItsNumber) {
    Unit titled{"U1", 0, "Date Time,Level m,State", {}}, bare{"U2", 0, "", {}};
    for (auto* u : {&titled, &bare}) {
        const SiteSeries s = buildSiteSeries(facts(false), "RIVER-03", {u->source()});
        ASSERT_EQ(s.properties.size(), 1u);
        EXPECT_EQ(s.properties[0].header(), u == &titled ? "Level m" : "field_2");
    }
}

TEST(SiteSeries, TheCsvNamesEachPropertyAndHoldsEveryRow) {
    Unit u1{"U1", 0, "", {}}, u2{"=U2", 1000, "", {}};
    fleet::SiteFacts f = facts(true);
    for (fleet::Deployment& d : f.deployments)
        if (d.unit == QStringLiteral("U2"))
            d.unit = QStringLiteral("=U2");
    const SiteSeries s = buildSiteSeries(f, "RIVER-03", {u1.source(), u2.source()});
    std::string csv;
    const long long rows = exportSiteCsv(s, [&](std::string_view piece) {
        csv += piece;
        return true;
    });
    EXPECT_EQ(rows, 6);
    EXPECT_EQ(csv.substr(0, csv.find("\r\n")),
              "utc,unit,data_set,Water temperature [Cel],Water temperature [Cel] raw,flags");
    EXPECT_NE(csv.find("\r\n2026-05-11T10:00:00Z,U1,SET,60,60,"), std::string::npos) << csv;
    // A serial that a spreadsheet would run is written as text (and the calibration of the
    // unit U2 is not this one's).
    EXPECT_NE(csv.find("\r\n2026-05-11T10:40:00Z,'=U2,SET,1100,1100,"), std::string::npos) << csv;
}

// A range is cut from the series kept whole, both ends inside; the CSV of a range holds those
// rows alone, its numbers and times written as "%.10g" and isoUtc write them.
TEST(SiteSeries, ARangeIsCutFromTheWholeAndItsCsvWritesNumbersAndTimesAsBefore) {
    SiteSeries s;
    s.properties.resize(1);
    s.properties[0].name = "Stage";
    const double values[] = {0.1 + 0.2, 1e-7, -123456789.123, 2.5e15, 1.0 / 3, 0};
    for (int i = 0; i < 6; ++i)
        s.rows.push_back({1778493600.0 + i * 60 + (i == 2 ? 0.25 : 0),
                          i < 3 ? "U1" : "U2",
                          "SET",
                          {values[i]},
                          {"r"},
                          i == 4 ? "gap; disputed" : "",
                          0,
                          std::uint64_t(i),
                          {},
                          0});
    s.rows.push_back(
        {1778493600.0 + 6 * 60, "U2", "SET", {std::nullopt}, {"x,y"}, "", 0, 6, {}, 0});
    const double t0 = s.rows[0].utc;
    struct Case {
        std::optional<double> from, to;
        std::size_t first, end;
    } cases[] = {
        {{}, {}, 0, 7},
        {t0 + 60, t0 + 180, 1, 4}, // both ends a row's time: taken
        {t0 + 61, t0 + 179, 2, 3}, // between rows
        {t0 + 1000, {}, 7, 7},     // after the last
        {{}, t0 - 1, 0, 0},        // before the first
        {t0 + 180, t0 + 60, 3, 3}, // ends the wrong way round: nothing
        {t0 + 120.25, t0 + 120.25, 2, 3},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.first);
        EXPECT_EQ(s.rowsWithin(k.from, k.to), std::make_pair(k.first, k.end));
        std::string csv;
        const long long rows = exportSiteCsv(
            s,
            [&](std::string_view piece) {
                csv += piece;
                return true;
            },
            k.from, k.to);
        EXPECT_EQ(rows, (long long)(k.end - k.first));
        std::string want = "utc,unit,data_set,Stage,Stage raw,flags\r\n";
        for (std::size_t i = k.first; i < k.end; ++i) {
            const SiteRow& r = s.rows[i];
            char number[64] = "";
            if (r.values[0])
                std::snprintf(number, sizeof number, "%.10g", *r.values[0]);
            want += isoUtc(r.utc) + "," + r.unit + ",SET," + number + "," +
                    (r.raw[0] == "x,y" ? "\"x,y\"" : r.raw[0]) + "," + r.flags + "\r\n";
        }
        EXPECT_EQ(csv, want);
    }
    EXPECT_EQ(isoUtc(t0 + 120.25), "2026-05-11T10:02:00.25Z");
    EXPECT_EQ(isoUtc(-1), "1969-12-31T23:59:59Z");
    EXPECT_EQ(isoUtc(253402300799.0), "9999-12-31T23:59:59Z");
}

// The cell rule's quick way for plain cells gives what the full rule gives.
TEST(SiteSeries, CellsPlainOrNotAreWrittenByTheOneRule) {
    const std::pair<std::string_view, std::string_view> cells[] = {
        {"U1", "U1"},
        {"ANALOG", "ANALOG"},
        {"a,b", "\"a,b\""},
        {"say \"x\"", "\"say \"\"x\"\"\""},
        {"-x", "'-x"},
        {"=1+1", "'=1+1"},
        {"-12.5", "-12.5"},
        {"+3", "3"},
        {"line\nend", "line end"},
        {"\xb0"
         "C",
         "\xc2\xb0"
         "C"},
        {"", ""},
        {"@a", "'@a"},
    };
    for (const auto& [in, out] : cells) {
        std::string written;
        appendCell(written, in);
        EXPECT_EQ(written, out) << in;
    }
}

} // namespace
} // namespace series

// SPDX-License-Identifier: GPL-3.0-or-later
// A site's entities without a server: their identities (read back, never a unit's), its
// Datastreams and their Observations from a site series made by hand, and the options a
// single entity refuses.
#include "office/odata_query.h"
#include "office/site_things.h"

#include <QJsonArray>

#include <gtest/gtest.h>

namespace office {
namespace {

TEST(SiteThings, IdentitiesReadBackAndNeverAUnits) {
    fleet::Deployment d;
    d.unit = QStringLiteral("SITE3");
    d.fromMs = 1764547200000;
    series::SiteProperty meant{"Water temperature", "", {"Cel", "°C", "degree Celsius"}, ""};
    series::SiteProperty plain{"field_3", "", {}, "TEMP"};
    for (const char* code : {"RIVER-1", "a.b_c", "X", "site:Y"}) {
        SCOPED_TRACE(code);
        const QString c = QString::fromLatin1(code);
        d.site = c;
        for (const QString& id : {siteThingId(c), siteHistoricalId(c, d), siteStreamId(c, meant),
                                  siteStreamId(c, plain)}) {
            EXPECT_EQ(siteOfId(id), c) << id.toStdString();
            EXPECT_FALSE(unitOfFeatureId(id));
            EXPECT_FALSE(splitId(id, 1) || splitId(id, 3) || splitId(id, 5)); // a unit's shapes
        }
        // A unit named like a site's identity is still a unit's.
        EXPECT_FALSE(siteOfId(joinId({siteThingId(c)})));
        EXPECT_EQ(unitOfFeatureId(QStringLiteral("unit:") + joinId({c})), c);
    }
    // A meaning's property and unit of measurement, and no unit, are three Datastreams.
    series::SiteProperty unitless = meant;
    unitless.uom = {};
    const QSet<QString> streams = {siteStreamId("S", meant), siteStreamId("S", unitless),
                                   siteStreamId("S", plain)};
    EXPECT_EQ(streams.size(), 3);
    EXPECT_NE(sitePropertyId(meant), sitePropertyId(plain));
    EXPECT_EQ(sitePropertyId(meant), meaningPropertyId(QStringLiteral("Water temperature")));
    for (const char* bad : {"site:", "site:/p/x", "site:a b", "SITE1/ANALOG/2", "unit:"})
        EXPECT_FALSE(siteOfId(QString::fromLatin1(bad))) << bad;
}

// A site's series over a swap: A until t=100, B from then, B's value calibrated; a column
// without a meaning that only A has; B side by side with A at t=100.
series::SiteSeries swapSeries() {
    series::SiteSeries s;
    s.site = "RIVER-1";
    s.properties = {
        {"Water temperature", "http://example.org/wt", {"Cel", "°C", "degree Celsius"}, ""},
        {"field_3", "", {}, "TEMP"},
        {"never", "", {}, "TEMP"}};
    auto deployment = [](const char* unit, std::int64_t from, std::optional<std::int64_t> to) {
        fleet::Deployment d;
        d.unit = QLatin1String(unit);
        d.site = QStringLiteral("RIVER-1");
        d.fromMs = from;
        d.toMs = to;
        return d;
    };
    s.deployments = {deployment("A", 0, 100000), deployment("B", 100000, std::nullopt)};
    auto row = [](double utc, const char* unit, std::optional<double> v, const char* raw,
                  const char* raw3, int index) {
        series::SiteRow r;
        r.utc = utc;
        r.unit = unit;
        r.dataSet = "TEMP";
        r.values = {v, std::nullopt, std::nullopt};
        r.raw = {raw, raw3, ""};
        r.segment = 1;
        r.index = std::uint64_t(index);
        r.unitTime = "2026/12/01 00:00:00";
        r.offsetSeconds = 3600;
        return r;
    };
    s.rows = {row(50, "A", 4, "4", "1", 7), row(99, "A", 5, "5", "", 8),
              row(100, "A", std::nullopt, "oops", "2", 9), row(100, "B", 13, "6", "", 0),
              row(150, "B", 15, "7", "", 1)};
    return s;
}

TEST(SiteThings, DatastreamsAndObservationsAcrossASwap) {
    const Links l(QStringLiteral("http://h"));
    fleet::Site site;
    site.code = QStringLiteral("RIVER-1");
    const series::SiteSeries s = swapSeries();
    const std::vector<SiteStream> streams = siteStreams(l, site, s);
    ASSERT_EQ(streams.size(), 2); // "never" has no value in any row
    const SiteStream& water = streams[0];
    EXPECT_EQ(water.json["properties"]["records"].toInt(), 5);
    EXPECT_EQ(water.json["properties"]["units"].toArray(), QJsonArray({"A", "B"}));
    EXPECT_EQ(water.json["unitOfMeasurement"]["definition"].toString(),
              "http://unitsofmeasure.org/ucum.html#Cel");
    EXPECT_TRUE(streams[1].json["unitOfMeasurement"]["symbol"].isNull());
    EXPECT_EQ(siteSensorUnit(s), QStringLiteral("B"));
    struct Case {
        const SiteStream* stream;
        double from;
        std::vector<std::size_t> rows;
    };
    for (const Case& c : {Case{&water, 0, {0, 1, 2, 3, 4}}, Case{&water, 100, {2, 3, 4}},
                          Case{&streams[1], 0, {0, 2}}}) {
        EXPECT_EQ(siteObservationRows(s, *c.stream, [&](double t) { return t >= c.from; }), c.rows);
    }
    QSet<QString> ids;
    for (std::size_t row = 0; row < s.rows.size(); ++row) {
        SCOPED_TRACE(row);
        const QJsonObject o = siteObservationJson(l, s, water, row);
        const QString id = o["@iot.id"].toString();
        ids.insert(id);
        EXPECT_EQ(siteObservation(l, s, water, id), o);
        const QJsonObject p = o["parameters"].toObject();
        EXPECT_EQ(p["unit"].toString().toStdString(), s.rows[row].unit);
        EXPECT_EQ(p["utc_offset"].toString(), "+01:00");
        // Each record within its own unit's deployment, A's at t=100 past its end in none.
        EXPECT_EQ(p["deployment"].toString(), row == 2 ? QString()
                                              : row < 2
                                                  ? siteHistoricalId(site.code, s.deployments[0])
                                                  : siteHistoricalId(site.code, s.deployments[1]));
    }
    EXPECT_EQ(ids.size(), int(s.rows.size())); // side by side at t=100: two of their own
    const QJsonObject b = siteObservationJson(l, s, water, 3);
    EXPECT_EQ(b["result"].toDouble(), 13); // calibrated
    EXPECT_EQ(b["parameters"]["raw"].toString(), "6");
    EXPECT_EQ(siteObservationJson(l, s, water, 2)["result"].toString(), "oops");
    EXPECT_FALSE(siteObservation(l, s, water, water.id + QStringLiteral("/A/TEMP/1/99")));
    EXPECT_FALSE(siteObservation(l, s, streams[1], b["@iot.id"].toString()));
}

TEST(SiteThings, CollectionOptionsNamedForASingleEntity) {
    struct Case {
        const char* query;
        const char* refused;
    };
    const Case cases[] = {{"", ""},
                          {"$select=name&$expand=Datastreams", ""},
                          {"$top=1", "$top"},
                          {"$skip=0", "$skip"},
                          {"$count=false", "$count"},
                          {"$orderby=name", "$orderby"},
                          {"$filter=true", "$filter"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.query);
        QMap<QString, QString> values;
        for (const QString& kv : QString::fromLatin1(c.query).split('&', Qt::SkipEmptyParts))
            values.insert(kv.section('=', 0, 0), kv.section('=', 1));
        QueryOptions o;
        QueryRefusal refusal;
        ASSERT_TRUE(parseQueryOptions(values, o, refusal)) << refusal.why.toStdString();
        EXPECT_EQ(collectionOptionOf(o), QString::fromLatin1(c.refused));
    }
}

} // namespace
} // namespace office

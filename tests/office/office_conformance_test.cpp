// SPDX-License-Identifier: GPL-3.0-or-later
// The web service against the field standard's read requirements, one test each, named by the
// requirement (its conformance class, then its name), over the tests' real PostgreSQL with two
// laptops' facts (office_fixture.h): SITE1 and SITE2 without a clock set (their Datastreams
// have no Observations), SITE3 with 300 records a minute from 2026-11-30T23:00:00Z, field 2 a
// ramp of i % 10 with 99 at record 37.
#include "office_fixture.h"

#include "fleet/site_fact_writes.h"
#include "office/odata_query.h"

#include <QJsonArray>

#include <set>

namespace officetest {
namespace {

class Conformance : public StartedOfficeTest {
protected:
    QJsonObject ok(const QString& pathAndQuery) {
        const Reply r = get(QStringLiteral("/api/v1.1") + pathAndQuery);
        EXPECT_EQ(r.status, 200) << pathAndQuery.toStdString() << ": " << r.body.toStdString();
        EXPECT_EQ(r.headers.value("content-type"), "application/json");
        return r.json();
    }
    QJsonArray values(const QString& pathAndQuery) {
        return ok(pathAndQuery).value(QLatin1String("value")).toArray();
    }
    static QString str(const QJsonValue& o, const char* name) {
        return o.toObject().value(QLatin1String(name)).toString();
    }
    static QStringList ids(const QJsonArray& a) {
        QStringList out;
        for (const QJsonValue& v : a)
            out << str(v, "@iot.id");
        return out;
    }
    // A link the service wrote, asked as it is.
    Reply follow(const QString& link) {
        const QUrl url(link, QUrl::StrictMode);
        return get(url.path(QUrl::FullyEncoded) +
                   (url.hasQuery() ? QLatin1Char('?') + url.query(QUrl::FullyEncoded) : QString()));
    }
    static QString esc(const char* text) {
        return QString::fromLatin1(QUrl::toPercentEncoding(QString::fromUtf8(text)));
    }

    const QStringList sets = {QStringLiteral("Things"),
                              QStringLiteral("Locations"),
                              QStringLiteral("HistoricalLocations"),
                              QStringLiteral("Datastreams"),
                              QStringLiteral("Sensors"),
                              QStringLiteral("ObservedProperties"),
                              QStringLiteral("Observations"),
                              QStringLiteral("FeaturesOfInterest")};
};

// The service root lists every entity set with its URL, and serverSettings.conformance the
// classes met whole, nothing more.
TEST_F(Conformance, Req_ServiceRoot_Conformance) {
    const QJsonObject root = ok(QString());
    QStringList names;
    for (const QJsonValue& v : root.value(QLatin1String("value")).toArray()) {
        names << str(v, "name");
        EXPECT_TRUE(str(v, "url").endsWith(QLatin1String("/api/v1.1/") + str(v, "name")));
    }
    EXPECT_EQ(names, sets);
    QStringList classes;
    for (const QJsonValue& v : root.value(QLatin1String("serverSettings"))
                                   .toObject()
                                   .value(QLatin1String("conformance"))
                                   .toArray())
        classes << v.toString();
    EXPECT_EQ(classes,
              QStringList({QStringLiteral("http://www.opengis.net/spec/iot_sensing/1.1/req/"
                                          "datamodel"),
                           QStringLiteral("http://www.opengis.net/spec/iot_sensing/1.1/req/"
                                          "resource-path/resource-path-to-entities"),
                           QStringLiteral("http://www.opengis.net/spec/iot_sensing/1.1/req/"
                                          "request-data")}));
}

// Every collection at the root, each entity of it by its own link.
TEST_F(Conformance, Req_ResourcePath_CollectionsAndEntitiesById) {
    const std::map<QString, int> counts = {{QStringLiteral("Things"), 3},
                                           {QStringLiteral("Sensors"), 3},
                                           {QStringLiteral("Datastreams"), 10},
                                           {QStringLiteral("ObservedProperties"), 10},
                                           {QStringLiteral("Observations"), 2 * kSite3Records},
                                           {QStringLiteral("Locations"), 0},
                                           {QStringLiteral("HistoricalLocations"), 0},
                                           // each unit's outside any site
                                           {QStringLiteral("FeaturesOfInterest"), 3}};
    for (const QString& set : sets) {
        SCOPED_TRACE(set.toStdString());
        const QJsonObject c = ok(QLatin1Char('/') + set + QStringLiteral("?$count=true"));
        EXPECT_EQ(c.value(QLatin1String("@iot.count")).toInt(), counts.at(set));
        const QJsonArray page = c.value(QLatin1String("value")).toArray();
        EXPECT_EQ(page.size(), std::min(counts.at(set), office::kDefaultTop));
        for (qsizetype i = 0; i < page.size(); i += 37) {
            const Reply self = follow(str(page.at(i), "@iot.selfLink"));
            EXPECT_EQ(self.status, 200);
            EXPECT_EQ(self.json(), page.at(i).toObject());
        }
    }
}

// Navigation properties, one after another as far as they lead from single entities.
TEST_F(Conformance, Req_ResourcePath_Navigation) {
    const QString ds = QStringLiteral("/Datastreams('SITE3/TEMP/2')");
    EXPECT_EQ(ids(values(QStringLiteral("/Things('SITE3')/Datastreams"))),
              QStringList({QStringLiteral("SITE3/TEMP/2"), QStringLiteral("SITE3/TEMP/3")}));
    EXPECT_EQ(ids(values(QStringLiteral("/Sensors('SITE3')/Datastreams"))).size(), 2);
    EXPECT_EQ(str(ok(ds + QStringLiteral("/Thing")), "@iot.id"), "SITE3");
    EXPECT_EQ(str(ok(ds + QStringLiteral("/Sensor")), "@iot.id"), "SITE3");
    EXPECT_EQ(str(ok(ds + QStringLiteral("/ObservedProperty")), "@iot.id"), "TEMP/2");
    EXPECT_EQ(ids(values(QStringLiteral("/ObservedProperties('TEMP/2')/Datastreams"))),
              QStringList{QStringLiteral("SITE3/TEMP/2")});
    EXPECT_EQ(values(ds + QStringLiteral("/Observations")).size(), office::kDefaultTop);
    // Deeper: a Datastream's Thing's Datastreams, one of them by its key, its Thing again.
    EXPECT_EQ(ids(values(ds + QStringLiteral("/Thing/Datastreams"))).size(), 2);
    EXPECT_EQ(str(ok(ds + QStringLiteral("/Thing/Datastreams('SITE3/TEMP/3')/Thing")), "@iot.id"),
              "SITE3");
    const QString obs = str(values(ds + QStringLiteral("/Observations?$top=1")).first(), "@iot.id");
    EXPECT_EQ(str(ok(QStringLiteral("/Observations('%1')/Datastream/Thing").arg(obs)), "@iot.id"),
              "SITE3");
    EXPECT_TRUE(values(QStringLiteral("/Things('SITE3')/Locations")).isEmpty());
    EXPECT_TRUE(values(QStringLiteral("/Things('SITE3')/HistoricalLocations")).isEmpty());
}

// A property by its path, its raw value after $value, and 404 where there is none.
TEST_F(Conformance, Req_ResourcePath_PropertyAndValue) {
    EXPECT_EQ(ok(QStringLiteral("/Things('SITE3')/name")),
              QJsonObject({{QStringLiteral("name"), QStringLiteral("SITE3")}}));
    const Reply raw = get(QStringLiteral("/api/v1.1/Things('SITE3')/name/$value"));
    EXPECT_EQ(raw.status, 200);
    EXPECT_TRUE(raw.headers.value("content-type").startsWith("text/plain"));
    EXPECT_EQ(raw.body, "SITE3");
    const QJsonObject unit = ok(QStringLiteral("/Datastreams('SITE3/TEMP/2')/unitOfMeasurement"));
    EXPECT_TRUE(unit.value(QLatin1String("unitOfMeasurement")).isObject());
    const QString first = str(
        values(QStringLiteral("/Datastreams('SITE3/TEMP/2')/Observations?$top=1&$skip=37")).first(),
        "@iot.id");
    EXPECT_EQ(get(QStringLiteral("/api/v1.1/Observations('%1')/result/$value").arg(first)).body,
              "99");
    EXPECT_EQ(get(QStringLiteral("/api/v1.1/Things('SITE3')/nothing")).status, 404);
    EXPECT_EQ(get(QStringLiteral("/api/v1.1/Things('SITE3')/properties/$value")).status, 400);
}

// $ref: the links of a collection's entities, or of one entity, in place of them.
TEST_F(Conformance, Req_ResourcePath_Ref) {
    const QJsonArray things = values(QStringLiteral("/Things/$ref"));
    ASSERT_EQ(things.size(), 3);
    for (const QJsonValue& t : things) {
        EXPECT_EQ(t.toObject().keys(), QStringList{QStringLiteral("@iot.selfLink")});
        EXPECT_EQ(follow(str(t, "@iot.selfLink")).status, 200);
    }
    EXPECT_EQ(values(QStringLiteral("/Things('SITE3')/Datastreams/$ref")).size(), 2);
    EXPECT_TRUE(str(ok(QStringLiteral("/Datastreams('SITE3/TEMP/2')/Thing/$ref")), "@iot.selfLink")
                    .endsWith(QLatin1String("/Things('SITE3')")));
}

// The entities' shape: a Datastream's unitOfMeasurement is name, symbol and definition, each
// null where the column's meaning is not recorded (the standard's form for no unit, with the
// generic observation type); an Observation's resultQuality is its flags.
TEST_F(Conformance, Req_DataModel_UnitOfMeasurementAndObservation) {
    const QJsonObject d = ok(QStringLiteral("/Datastreams('SITE1/ANALOG/2')"));
    const QJsonObject u = d.value(QLatin1String("unitOfMeasurement")).toObject();
    EXPECT_EQ(u.keys(), QStringList({QStringLiteral("definition"), QStringLiteral("name"),
                                     QStringLiteral("symbol")}));
    for (const QJsonValue& v : u)
        EXPECT_TRUE(v.isNull());
    EXPECT_TRUE(str(d, "observationType").endsWith(QLatin1String("/OM_Observation")));
    EXPECT_EQ(d["properties"]["meaning"].toString(), "not recorded");
    const QJsonObject o =
        values(QStringLiteral("/Datastreams('SITE3/TEMP/3')/Observations?$top=1&$skip=100"))
            .first()
            .toObject();
    EXPECT_TRUE(
        o.value(QLatin1String("resultQuality")).toArray().contains(QStringLiteral("disputed")));
    for (const char* key : {"phenomenonTime", "result", "resultTime", "parameters"})
        EXPECT_TRUE(o.contains(QLatin1String(key))) << key;
}

// Identities come from what the entity is: a service started again over the same facts gives
// the same ones, and an Observation's is its Datastream's, its segment and its place there.
TEST_F(Conformance, Req_DataModel_StableIdentities) {
    const QStringList before = ids(values(QStringLiteral("/Observations?$top=5&$skip=40")));
    EXPECT_EQ(before.first(), "SITE3/TEMP/2/1/40");
    office.reset();
    startOffice();
    EXPECT_EQ(ids(values(QStringLiteral("/Observations?$top=5&$skip=40"))), before);
}

// $top, $skip and $count, with server-driven paging through @iot.nextLink to the end.
TEST_F(Conformance, Req_RequestData_TopSkipCountAndNextLink) {
    const QJsonObject page = ok(QStringLiteral("/Things?$top=1&$skip=1&$count=true"));
    EXPECT_EQ(ids(page.value(QLatin1String("value")).toArray()), QStringList{"SITE2"});
    EXPECT_EQ(page.value(QLatin1String("@iot.count")).toInt(), 3);
    QStringList all;
    int pages = 0;
    for (QString link = str(ok(QStringLiteral("/Observations?$top=250")), "@iot.nextLink"),
                 firstPage = QStringLiteral("x");
         !firstPage.isEmpty(); ++pages) {
        ASSERT_LT(pages, 5);
        if (pages == 0) {
            all << ids(values(QStringLiteral("/Observations?$top=250")));
            firstPage = link;
            continue;
        }
        const QJsonObject p = follow(link).json();
        all << ids(p.value(QLatin1String("value")).toArray());
        link = str(p, "@iot.nextLink");
        firstPage = link;
    }
    EXPECT_EQ(all.size(), 2 * kSite3Records);
    EXPECT_EQ(QSet<QString>(all.begin(), all.end()).size(), all.size());
    // A $skip past the end is an empty page, not an error.
    EXPECT_TRUE(values(QStringLiteral("/Observations?$skip=999999999")).isEmpty());
}

// $orderby on many keys, each asc or desc, through navigation properties too.
TEST_F(Conformance, Req_RequestData_OrderBy) {
    const QJsonArray d =
        values(QStringLiteral("/Datastreams?$orderby=") + esc("properties/records desc,name asc"));
    ASSERT_EQ(d.size(), 10);
    EXPECT_EQ(ids(d).mid(0, 2),
              QStringList({QStringLiteral("SITE3/TEMP/2"), QStringLiteral("SITE3/TEMP/3")}));
    for (qsizetype i = 1; i < d.size(); ++i) {
        const int a = d.at(i - 1)["properties"]["records"].toInt();
        const int b = d.at(i)["properties"]["records"].toInt();
        EXPECT_GE(a, b);
        if (a == b) {
            EXPECT_LE(str(d.at(i - 1), "name"), str(d.at(i), "name"));
        }
    }
    const QJsonArray o =
        values(QStringLiteral("/Datastreams('SITE3/TEMP/2')/Observations?$top=3&$orderby=") +
               esc("result desc,phenomenonTime desc"));
    EXPECT_EQ(o.at(0)["result"].toDouble(), 99);
    EXPECT_EQ(str(o.at(1), "phenomenonTime"), "2026-12-01T03:59:00Z");
    EXPECT_EQ(
        ids(values(QStringLiteral("/Things?$orderby=") + esc("name desc"))),
        QStringList({QStringLiteral("SITE3"), QStringLiteral("SITE2"), QStringLiteral("SITE1")}));
}

// $select keeps the properties asked and no others.
TEST_F(Conformance, Req_RequestData_Select) {
    const QJsonArray t = values(QStringLiteral("/Things?$select=id,name"));
    ASSERT_EQ(t.size(), 3);
    EXPECT_EQ(t.at(0).toObject().keys(),
              QStringList({QStringLiteral("@iot.id"), QStringLiteral("name")}));
    const QJsonObject d =
        ok(QStringLiteral("/Datastreams('SITE3/TEMP/2')?$select=unitOfMeasurement,Thing"));
    EXPECT_EQ(d.keys(), QStringList({QStringLiteral("Thing@iot.navigationLink"),
                                     QStringLiteral("unitOfMeasurement")}));
}

// $expand with options nested in it, and a path of navigation properties.
TEST_F(Conformance, Req_RequestData_Expand) {
    const QJsonObject t =
        ok(QStringLiteral("/Things('SITE3')?$expand=") +
           esc("Datastreams($select=id,name;$orderby=name desc;$expand=Observations($top=2;"
               "$orderby=phenomenonTime desc;$count=true))"));
    const QJsonArray d = t.value(QLatin1String("Datastreams")).toArray();
    ASSERT_EQ(d.size(), 2);
    EXPECT_EQ(str(d.at(0), "@iot.id"), "SITE3/TEMP/3");
    const QJsonArray o = d.at(0)["Observations"].toArray();
    ASSERT_EQ(o.size(), 2);
    EXPECT_EQ(str(o.at(0), "phenomenonTime"), "2026-12-01T03:59:00Z");
    EXPECT_EQ(d.at(0)["Observations@iot.count"].toInt(), kSite3Records);
    EXPECT_FALSE(d.at(0).toObject().contains(QLatin1String("description")));
    // The rest of an expanded collection follows by its own next link, with its own options.
    const Reply rest = follow(d.at(0)["Observations@iot.nextLink"].toString());
    EXPECT_EQ(rest.status, 200);
    const QJsonArray next = rest.json().value(QLatin1String("value")).toArray();
    ASSERT_EQ(next.size(), 2);
    EXPECT_EQ(str(next.at(0), "phenomenonTime"), "2026-12-01T03:57:00Z");
    const QJsonObject obs = values(QStringLiteral("/Datastreams('SITE3/TEMP/2')/Observations?$top="
                                                  "1&$expand=Datastream/Thing"))
                                .first()
                                .toObject();
    EXPECT_EQ(str(obs["Datastream"]["Thing"], "@iot.id"), "SITE3");
}

// $filter with the standard's operators and functions, through navigation paths.
TEST_F(Conformance, Req_RequestData_Filter) {
    struct Case {
        const char* path;
        const char* filter;
        int count;
    };
    const Case cases[] = {
        {"/Datastreams('SITE3/TEMP/2')/Observations", "result gt 8", 31},
        {"/Datastreams('SITE3/TEMP/2')/Observations", "result eq 9 or result eq 99", 31},
        {"/Datastreams('SITE3/TEMP/2')/Observations", "result mod 2 eq 1 and result lt 5", 60},
        {"/Datastreams('SITE3/TEMP/2')/Observations",
         "phenomenonTime ge 2026-11-30T23:30:00Z and phenomenonTime lt 2026-12-01T00:00:00Z", 30},
        {"/Datastreams('SITE3/TEMP/2')/Observations",
         "hour(phenomenonTime) eq 23 and minute(phenomenonTime) lt 10", 10},
        {"/Datastreams('SITE3/TEMP/2')/Observations", "parameters/utc_offset eq '+01:00'",
         kSite3Records},
        {"/Observations", "Datastream/Thing/name eq 'SITE3' and result eq 99", 1},
        {"/Observations", "startswith(Datastream/name, 'TEMP') and round(result) eq 7", 29},
        {"/Datastreams", "startswith(name, 'TEMP') or substringof('ANALOG', name)", 4},
        {"/Datastreams", "properties/records_without_utc eq 0", 2},
        {"/Datastreams", "tolower(Thing/name) eq 'site2'", 6},
        {"/Things", "length(name) eq 5 and not endswith(name, '2')", 2},
        {"/ObservedProperties", "contains(name, 'field_3')", 5},
        {"/Sensors", "metadata eq 'serial SITE1'", 1},
        {"/Locations", "st_within(location, geography'POLYGON((0 0, 1 0, 1 1, 0 1, 0 0))')", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.filter);
        const QJsonObject r = ok(QString::fromLatin1(c.path) +
                                 QStringLiteral("?$count=true&$filter=") + esc(c.filter));
        EXPECT_EQ(r.value(QLatin1String("@iot.count")).toInt(), c.count);
    }
}

// The bounds on a query: each refusal names the bound it met.
TEST_F(Conformance, Req_RequestData_BoundsAnsweredByName) {
    const Reply deep = get(QStringLiteral("/api/v1.1/Things?$filter=") +
                           esc("not not not not not not not not not not not not not not not not "
                               "not not not not not not not not not not true"));
    EXPECT_EQ(deep.status, 400);
    EXPECT_TRUE(deep.json().value("error").toObject().value("message").toString().contains(
        QLatin1String("nesting")));
    const Reply big = get(QStringLiteral("/api/v1.1/Things?$filter=") +
                          esc(QStringLiteral("name eq 'x' or ").repeated(80).toUtf8() + "true"));
    EXPECT_EQ(big.status, 413);
    EXPECT_TRUE(big.json().value("error").toObject().value("message").toString().contains(
        QLatin1String("size")));
    // Above the page's row limit, the page is the limit's and the rest follows by the link.
    const QJsonObject page =
        ok(QStringLiteral("/Datastreams('SITE3/TEMP/2')/Observations?$top=5000&$filter=") +
           esc("result ge 0"));
    EXPECT_EQ(page.value(QLatin1String("value")).toArray().size(), kSite3Records);
}

// What one query reads and builds is bounded: a query beyond a bound is a 413 that names it,
// while the pages cut from the series' timelines stay within them at any size.
TEST_F(Conformance, Req_RequestData_ReadsBoundedByName) {
    struct Case {
        int series;             // ReadLimits::mostWebSeries (the server holds 5)
        long long observations; // ReadLimits::mostWebObservations
        const char* path;
        int status;
        const char* names;
    };
    const Case cases[] = {
        {5, 100, "/Observations?$filter=result%20ge%200", 413, "100 Observations"},
        {5, 100, "/Datastreams('SITE3/TEMP/2')/Observations?$orderby=result", 413,
         "100 Observations"},
        {5, 100, "/Observations?$top=1000", 200, ""},
        {5, 100,
         "/Datastreams('SITE3/TEMP/2')/Observations?$orderby=phenomenonTime%20desc&$filter="
         "phenomenonTime%20gt%202026-12-01T00:00:00Z",
         200, ""},
        {3, 100, "/Datastreams", 413, "3 series"},
        {3, 100, "/Observations", 413, "3 series"},
        {3, 100, "/Things('SITE3')/Datastreams", 200, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        office::ReadLimits limits;
        limits.mostWebSeries = c.series;
        limits.mostWebObservations = c.observations;
        office.reset();
        startOffice(limits);
        const Reply r = get(QStringLiteral("/api/v1.1") + QLatin1String(c.path));
        EXPECT_EQ(r.status, c.status) << r.body.toStdString();
        EXPECT_TRUE(r.json().value("error").toObject().value("message").toString().contains(
            QLatin1String(c.names)));
    }
}

} // namespace
} // namespace officetest

namespace officetest {
namespace {

// The same service with sites: RIVER-1 and LAKE-2, SITE3 deployed at RIVER-1 before its first
// record and swapped to LAKE-2 at 2026-12-01T02:00:00Z (its record 180), the meaning of its
// TEMP field 2 recorded. A suite of its own: its facts would change the counts above.
class ConformanceWithSites : public StartedOfficeTest {
protected:
    void addSites() {
        fleet::PgConnection owner;
        ASSERT_TRUE(owner.connect(fleet::serviceConninfo("owner_db"), 10s));
        auto site = [](const char* code, const char* name, double lon, double lat) {
            fleet::Site s;
            s.code = QLatin1String(code);
            s.name = QLatin1String(name);
            s.longitude = lon;
            s.latitude = lat;
            return s;
        };
        auto deployment = [](std::int64_t fromMs, const char* at) {
            fleet::Deployment d;
            d.unit = QStringLiteral("SITE3");
            d.site = QLatin1String(at);
            d.fromMs = fromMs;
            return d;
        };
        fleet::ColumnMeaning m;
        m.unit = QStringLiteral("SITE3");
        m.dataSet = QStringLiteral("TEMP");
        m.column = 2;
        m.property = QStringLiteral("Water temperature");
        m.uom = {QStringLiteral("Cel"), QStringLiteral("\u00b0C"),
                 QStringLiteral("degree Celsius")};
        std::vector<fleet::SiteFactToAdd> facts;
        for (fleet::SiteFactValue v : std::initializer_list<fleet::SiteFactValue>{
                 site("RIVER-1", "River one", 4.5, 52.0), site("LAKE-2", "Lake two", 5.0, 53.0),
                 deployment(kSite3ClockSetMs / kDay * kDay, "RIVER-1"),
                 deployment(kSite3ClockSetMs + 3 * 3600 * 1000, "LAKE-2"), m}) {
            fleet::SiteFactToAdd f;
            f.value = std::move(v);
            facts.push_back(std::move(f));
        }
        const fleet::AddedSiteFacts added = fleet::addSiteFacts(owner, facts);
        ASSERT_TRUE(added.ok) << added.error.toStdString();
    }
    QJsonObject ok(const QString& pathAndQuery) {
        const Reply r = get(QStringLiteral("/api/v1.1") + pathAndQuery);
        EXPECT_EQ(r.status, 200) << pathAndQuery.toStdString() << ": " << r.body.toStdString();
        return r.json();
    }
    QStringList ids(const QString& pathAndQuery) {
        QStringList out;
        for (const QJsonValue& v : ok(pathAndQuery).value(QLatin1String("value")).toArray())
            out << v.toObject().value(QLatin1String("@iot.id")).toString();
        return out;
    }
    int count(const QString& pathAndQuery) {
        return ok(pathAndQuery).value(QLatin1String("@iot.count")).toInt(-1);
    }
};

// Locations are the sites' positions, a Thing's the site it is at now, HistoricalLocations
// its deployments, FeaturesOfInterest the sites, an Observation's the site its unit was at
// when it was taken; a Datastream's unitOfMeasurement its column's recorded meaning.
TEST_F(ConformanceWithSites, Req_DataModel_SitesDeploymentsAndMeanings) {
    addSites();
    if (HasFatalFailure())
        return;
    EXPECT_EQ(ids(QStringLiteral("/Locations?$orderby=name")),
              QStringList({QStringLiteral("LAKE-2"), QStringLiteral("RIVER-1")}));
    const QJsonObject river = ok(QStringLiteral("/Locations('RIVER-1')"));
    EXPECT_EQ(river.value(QLatin1String("location")).toObject(),
              QJsonObject({{QStringLiteral("type"), QStringLiteral("Point")},
                           {QStringLiteral("coordinates"), QJsonArray{4.5, 52.0}}}));
    EXPECT_EQ(ids(QStringLiteral("/Things('SITE3')/Locations")), QStringList{"LAKE-2"});
    // A Location's Things: the units there now, and the site's own Thing.
    EXPECT_EQ(ids(QStringLiteral("/Locations('LAKE-2')/Things")),
              QStringList({QStringLiteral("SITE3"), QStringLiteral("site:LAKE-2")}));
    EXPECT_EQ(ids(QStringLiteral("/Locations('RIVER-1')/Things")), QStringList{"site:RIVER-1"});
    const QStringList moves =
        ids(QStringLiteral("/Things('SITE3')/HistoricalLocations?$orderby=time"));
    ASSERT_EQ(moves.size(), 2);
    EXPECT_EQ(ids(QStringLiteral("/HistoricalLocations('%1')/Locations").arg(moves.first())),
              QStringList{"RIVER-1"});
    EXPECT_TRUE(ok(QStringLiteral("/HistoricalLocations('%1')/Thing/$ref").arg(moves.first()))
                    .value(QLatin1String("@iot.selfLink"))
                    .toString()
                    .endsWith(QLatin1String("/Things('SITE3')")));
    // The sites, and what each unit observed at none.
    EXPECT_EQ(count(QStringLiteral("/FeaturesOfInterest?$count=true")), 2 + 3);
    // Each record taken there twice: through its unit's Datastream and through the site's.
    EXPECT_EQ(count(QStringLiteral("/FeaturesOfInterest('LAKE-2')/Observations?$count=true")),
              2 * 2 * 120);
    EXPECT_EQ(count(QStringLiteral("/FeaturesOfInterest('RIVER-1')/Observations?$count=true")),
              2 * 2 * 180);
    const QString stream = QStringLiteral("/Datastreams('SITE3/TEMP/2')");
    const QJsonObject at37 = ok(stream + QStringLiteral("/Observations?$top=1&$skip=37&$expand="
                                                        "FeatureOfInterest"))
                                 .value(QLatin1String("value"))
                                 .toArray()
                                 .first()
                                 .toObject();
    EXPECT_EQ(at37.value(QLatin1String("FeatureOfInterest"))
                  .toObject()
                  .value(QLatin1String("@iot.id"))
                  .toString(),
              "RIVER-1");
    const QJsonObject at200 =
        ok(stream + QStringLiteral("/Observations?$top=1&$skip=200&$select=id"))
            .value(QLatin1String("value"))
            .toArray()
            .first()
            .toObject();
    EXPECT_EQ(ok(QStringLiteral("/Observations('%1')/FeatureOfInterest")
                     .arg(at200.value(QLatin1String("@iot.id")).toString()))
                  .value(QLatin1String("@iot.id"))
                  .toString(),
              "LAKE-2");
    const QJsonObject unit = ok(stream).value(QLatin1String("unitOfMeasurement")).toObject();
    EXPECT_EQ(unit.value(QLatin1String("symbol")).toString(), QStringLiteral("\u00b0C"));
    EXPECT_EQ(unit.value(QLatin1String("name")).toString(), "degree Celsius");
    // The geo functions over the sites' points.
    EXPECT_EQ(ids(QStringLiteral("/Locations?$filter=") +
                  QString::fromLatin1(QUrl::toPercentEncoding(QStringLiteral(
                      "st_within(location, geography'POLYGON((4 51, 5 51, 5 52.5, 4 52.5, "
                      "4 51))')")))),
              QStringList{"RIVER-1"});
    EXPECT_EQ(ids(QStringLiteral("/FeaturesOfInterest?$filter=") +
                  QString::fromLatin1(QUrl::toPercentEncoding(
                      QStringLiteral("geo.distance(feature, geography'POINT(5 53.1)') lt 0.2")))),
              QStringList{"LAKE-2"});
}

} // namespace
} // namespace officetest

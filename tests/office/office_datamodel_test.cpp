// SPDX-License-Identifier: GPL-3.0-or-later
// The web service against the field standard's data model, one test per entity type (its
// properties, each navigation leading where it says and back), named by the requirement, over
// the tests' real PostgreSQL with two laptops' facts (office_fixture.h) and sites: SITE3 at
// RIVER-1 from the start of its day, moved to LAKE-2 at 2026-12-01T01:00:00Z (its record 120)
// while SITE4 (laptop B's, the same 300 records' times) takes its place at RIVER-1: a swap.
// Every unit's TEMP field 2 means "Water temperature" in Cel, and SITE4's is calibrated as
// 2x+1 from the swap on; field 3 means nothing recorded.
#include "office_fixture.h"

#include "fleet/site_fact_writes.h"

#include <QJsonArray>

namespace officetest {
namespace {

constexpr std::int64_t kSwapMs = kSite3ClockSetMs + 2 * 3600 * 1000;

class DataModel : public StartedOfficeTest {
protected:
    static void SetUpTestSuite() {
        OfficeTest::SetUpTestSuite();
        if (s->failure.empty())
            s->failure = addSwap();
    }

    static std::string addSwap() {
        // SITE4's records, from laptop B's second folder.
        const std::string folder = s->dir.path().toStdString() + "/b4";
        if (!QDir().mkpath(QString::fromStdString(folder)))
            return "no folder";
        fleettest::LocalStore b(folder + "/b4-units.sqlite");
        const QString lb = QStringLiteral("laptop_b");
        if (!b.ok() ||
            !b.record(
                {clockSetFact({"SITE4", kSite3ClockSetMs, "26-12-01 00:00:00", 3600}, id(), lb)}) ||
            !b.recordSpan(records("SITE4", "TEMP", kSite3Records, lb, -1, 0, kSite3AtMs)))
            return "SITE4's facts not recorded";
        if (!Shared::push("laptop_b", b.path()))
            return "SITE4's facts not pushed";
        fleet::PgConnection owner;
        if (!owner.connect(fleet::serviceConninfo("owner_db"), 10s))
            return "no owner connection";
        auto site = [](const char* code, const char* name, double lon, double lat) {
            fleet::Site x;
            x.code = QLatin1String(code);
            x.name = QLatin1String(name);
            x.longitude = lon;
            x.latitude = lat;
            return x;
        };
        auto deployment = [](const char* unit, std::int64_t fromMs, const char* at) {
            fleet::Deployment d;
            d.unit = QLatin1String(unit);
            d.site = QLatin1String(at);
            d.fromMs = fromMs;
            return d;
        };
        fleet::ColumnMeaning m;
        m.dataSet = QStringLiteral("TEMP");
        m.column = 2;
        m.property = QStringLiteral("Water temperature");
        m.definition = QStringLiteral("http://vocab.example.org/water-temperature");
        m.uom = {QStringLiteral("Cel"), QStringLiteral("\u00b0C"),
                 QStringLiteral("degree Celsius")};
        fleet::Calibration c;
        c.unit = QStringLiteral("SITE4");
        c.dataSet = QStringLiteral("TEMP");
        c.column = 2;
        c.fromMs = kSwapMs;
        c.a = 2;
        c.b = 1;
        std::vector<fleet::SiteFactToAdd> facts;
        for (fleet::SiteFactValue v : std::initializer_list<fleet::SiteFactValue>{
                 site("RIVER-1", "River one", 4.5, 52.0), site("LAKE-2", "Lake two", 5.0, 53.0),
                 deployment("SITE3", kSite3ClockSetMs / kDay * kDay, "RIVER-1"),
                 deployment("SITE3", kSwapMs, "LAKE-2"), deployment("SITE4", kSwapMs, "RIVER-1"), m,
                 c}) {
            fleet::SiteFactToAdd f;
            f.value = std::move(v);
            facts.push_back(std::move(f));
        }
        const fleet::AddedSiteFacts added = fleet::addSiteFacts(owner, facts);
        return added.ok ? std::string() : added.error.toStdString();
    }

    QJsonObject ok(const QString& pathAndQuery) {
        const Reply r = get(QStringLiteral("/api/v1.1") + pathAndQuery);
        EXPECT_EQ(r.status, 200) << pathAndQuery.toStdString() << ": " << r.body.toStdString();
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
    // An identity as a path's key takes it: its '%' escaped, its quotes doubled.
    static QString key(const QString& id) {
        return QString(id).replace(QLatin1Char('%'), QLatin1String("%25")).replace("'", "''");
    }

    // An entity type's row of the standard's tables: its properties that must be there and its
    // navigation properties, each to one entity or to many, with the one leading back.
    struct Nav {
        const char* name;
        bool many;
        const char* back; // the navigation from there that must list this entity; none: ""
    };
    struct EntityType {
        const char* set;
        std::vector<const char*> required;
        std::vector<Nav> navs;
    };

    // Every entity of the type (at most `most`, sampled evenly) has its properties, and each
    // navigation link leads to what the table says: to one entity exactly, or to a collection,
    // and back to this entity where the way back is listed.
    void checkType(const EntityType& t, int most = 1000) {
        const QJsonArray all = values(QStringLiteral("/%1?$top=1000").arg(QLatin1String(t.set)));
        ASSERT_FALSE(all.isEmpty()) << t.set;
        const qsizetype step = std::max<qsizetype>(1, all.size() / most);
        QSet<QString> seen;
        for (qsizetype i = 0; i < all.size(); i += step) {
            const QJsonObject e = all.at(i).toObject();
            const QString id = str(e, "@iot.id");
            SCOPED_TRACE((QLatin1String(t.set) + QLatin1Char(' ') + id).toStdString());
            EXPECT_FALSE(id.isEmpty());
            EXPECT_FALSE(seen.contains(id));
            seen.insert(id);
            for (const char* p : t.required)
                EXPECT_TRUE(e.contains(QLatin1String(p))) << p;
            for (const Nav& n : t.navs) {
                SCOPED_TRACE(n.name);
                const Reply r =
                    follow(str(e, (std::string(n.name) + "@iot.navigationLink").c_str()));
                ASSERT_EQ(r.status, 200) << r.body.toStdString();
                const QJsonObject to = r.json();
                if (n.many) {
                    EXPECT_TRUE(to.value(QLatin1String("value")).isArray());
                    continue;
                }
                ASSERT_FALSE(str(to, "@iot.id").isEmpty()) << "to one: exactly one entity";
                if (*n.back) {
                    const QJsonObject back =
                        follow(str(to, (std::string(n.back) + "@iot.navigationLink").c_str()) +
                               QStringLiteral("?$top=1000&$select=id"))
                            .json();
                    EXPECT_TRUE(ids(back.value(QLatin1String("value")).toArray()).contains(id))
                        << "not listed back by " << n.back;
                }
            }
        }
    }
};

// Things: each unit and each site, with name, description and their three navigations; a
// site's Location is its position, its HistoricalLocations the deployments at it.
TEST_F(DataModel, Req_DataModel_Thing) {
    checkType(
        {"Things",
         {"@iot.id", "@iot.selfLink", "name", "description", "properties"},
         {{"Locations", true, ""}, {"HistoricalLocations", true, ""}, {"Datastreams", true, ""}}});
    EXPECT_EQ(ids(values(QStringLiteral("/Things?$orderby=id"))),
              QStringList({"SITE1", "SITE2", "SITE3", "SITE4", "site:LAKE-2", "site:RIVER-1"}));
    EXPECT_EQ(ids(values(QStringLiteral("/Things('site:RIVER-1')/Locations"))),
              QStringList{"RIVER-1"});
    const QJsonArray moves =
        values(QStringLiteral("/Things('site:RIVER-1')/HistoricalLocations?$orderby=time"));
    ASSERT_EQ(moves.size(), 2);
    EXPECT_EQ(moves.at(0)["properties"]["unit"].toString(), "SITE3");
    EXPECT_EQ(moves.at(1)["properties"]["unit"].toString(), "SITE4");
    EXPECT_EQ(str(moves.at(1), "time"), "2026-12-01T01:00:00Z");
}

TEST_F(DataModel, Req_DataModel_Location) {
    checkType({"Locations",
               {"@iot.id", "name", "description", "encodingType", "location"},
               {{"Things", true, ""}, {"HistoricalLocations", true, ""}}});
}

// Each HistoricalLocation has its time, exactly one Thing that lists it back, and a Location.
TEST_F(DataModel, Req_DataModel_HistoricalLocation) {
    checkType({"HistoricalLocations",
               {"@iot.id", "time"},
               {{"Thing", false, "HistoricalLocations"}, {"Locations", true, ""}}});
    for (const QJsonValue& h : values(QStringLiteral("/HistoricalLocations")))
        EXPECT_EQ(
            values(
                QStringLiteral("/HistoricalLocations('%1')/Locations").arg(key(str(h, "@iot.id"))))
                .size(),
            1);
}

// Datastreams: the units' per column and the sites' per property, each with exactly one Thing,
// Sensor and ObservedProperty that list it back.
TEST_F(DataModel, Req_DataModel_Datastream) {
    checkType({"Datastreams",
               {"@iot.id", "name", "description", "unitOfMeasurement", "observationType"},
               {{"Thing", false, "Datastreams"},
                {"Sensor", false, "Datastreams"},
                {"ObservedProperty", false, "Datastreams"},
                {"Observations", true, ""}}});
    const QJsonArray river = values(QStringLiteral("/Things('site:RIVER-1')/Datastreams"));
    ASSERT_EQ(river.size(), 2);
    QJsonObject water, plain;
    for (const QJsonValue& d : river)
        (d["properties"]["meaning"].isUndefined() ? water : plain) = d.toObject();
    EXPECT_EQ(std::as_const(water)["unitOfMeasurement"]["symbol"].toString(),
              QStringLiteral("\u00b0C"));
    EXPECT_TRUE(str(water, "observationType").endsWith(QLatin1String("OM_Measurement")));
    EXPECT_EQ(std::as_const(water)["properties"]["units"].toArray(),
              QJsonArray({"SITE3", "SITE4"}));
    EXPECT_TRUE(std::as_const(plain)["unitOfMeasurement"]["name"].isNull());
    EXPECT_TRUE(str(plain, "observationType").endsWith(QLatin1String("OM_Observation")));
    // A site's series is sensed by the unit deployed there last.
    EXPECT_EQ(str(ok(QStringLiteral("/Datastreams('%1')/Sensor").arg(key(str(water, "@iot.id")))),
                  "@iot.id"),
              "SITE4");
}

// Sensors are the units: what the unit tells of itself, no model name.
TEST_F(DataModel, Req_DataModel_Sensor) {
    checkType({"Sensors",
               {"@iot.id", "name", "description", "encodingType", "metadata"},
               {{"Datastreams", true, ""}}});
    EXPECT_EQ(ids(values(QStringLiteral("/Sensors?$orderby=id"))),
              QStringList({"SITE1", "SITE2", "SITE3", "SITE4"}));
}

// An ObservedProperty is a column's meaning, shared by every Datastream of that meaning (the
// units' and the sites'), or a column's own where none is recorded.
TEST_F(DataModel, Req_DataModel_ObservedProperty) {
    checkType({"ObservedProperties",
               {"@iot.id", "name", "definition", "description"},
               {{"Datastreams", true, ""}}});
    const QJsonObject water =
        ok(QStringLiteral("/ObservedProperties('property:Water%2520temperature')"
                          "?$expand=Datastreams($select=id)"));
    EXPECT_EQ(str(water, "definition"), "http://vocab.example.org/water-temperature");
    QStringList streams = ids(water.value(QLatin1String("Datastreams")).toArray());
    streams.sort();
    ASSERT_EQ(streams.size(), 4);
    EXPECT_TRUE(streams[0].startsWith(QLatin1String("SITE3/")));
    EXPECT_TRUE(streams[1].startsWith(QLatin1String("SITE4/")));
    EXPECT_TRUE(streams[2].startsWith(QLatin1String("site:LAKE-2/p/")));
    EXPECT_TRUE(streams[3].startsWith(QLatin1String("site:RIVER-1/p/")));
}

// A site's Observations run across the swap: the calibrated value as result, the raw one and
// where it came from in parameters; the same record through the site's Datastream and its
// unit's is two Observations, each found again by its own identity, the same after a restart.
TEST_F(DataModel, Req_DataModel_Observation) {
    checkType({"Observations",
               {"@iot.id", "phenomenonTime", "result", "resultTime"},
               {{"Datastream", false, ""}, {"FeatureOfInterest", false, ""}}},
              25);
    QString water;
    for (const QJsonValue& d : values(QStringLiteral("/Things('site:RIVER-1')/Datastreams")))
        if (d["properties"]["meaning"].isUndefined())
            water = str(d, "@iot.id");
    const QString path = QStringLiteral("/Datastreams('%1')/Observations").arg(key(water));
    const QJsonObject all = ok(path + QStringLiteral("?$count=true&$top=1"));
    EXPECT_EQ(all.value(QLatin1String("@iot.count")).toInt(), kSite3Records);
    struct Case {
        int at;
        const char* unit;
        double result;
        const char* raw;
    };
    // Record 37 (a peak of 99) is SITE3's; after the swap SITE4's, 2x+1 of its raw value.
    for (const Case& c :
         {Case{37, "SITE3", 99, "99"}, Case{125, "SITE4", 11, "5"}, Case{299, "SITE4", 19, "9"}}) {
        SCOPED_TRACE(c.at);
        const QJsonObject o =
            values(path + QStringLiteral("?$top=1&$skip=%1").arg(c.at)).first().toObject();
        EXPECT_EQ(o["result"].toDouble(), c.result);
        const QJsonObject p = o.value(QLatin1String("parameters")).toObject();
        EXPECT_EQ(p["unit"].toString(), c.unit);
        EXPECT_EQ(p["raw"].toString(), c.raw);
        EXPECT_EQ(p["utc_offset"].toString(), "+01:00");
        EXPECT_FALSE(p["unit_time"].toString().isEmpty());
        const QJsonObject deployment =
            ok(QStringLiteral("/HistoricalLocations('%1')").arg(key(p["deployment"].toString())));
        EXPECT_EQ(deployment["properties"]["unit"].toString(), c.unit);
        EXPECT_EQ(ok(QStringLiteral("/Observations('%1')").arg(key(str(o, "@iot.id")))), o);
        EXPECT_EQ(str(ok(QStringLiteral("/Observations('%1')/FeatureOfInterest")
                             .arg(key(str(o, "@iot.id")))),
                      "@iot.id"),
                  "RIVER-1");
    }
    // Record 37 through SITE3's own Datastream: another Observation, the raw value its result.
    const QJsonObject site = values(path + QStringLiteral("?$top=1&$skip=37")).first().toObject();
    const QJsonObject unit =
        values(QStringLiteral("/Datastreams('SITE3/TEMP/2')/Observations?$top=1&$skip=37"))
            .first()
            .toObject();
    EXPECT_EQ(str(site, "phenomenonTime"), str(unit, "phenomenonTime"));
    EXPECT_NE(str(site, "@iot.id"), str(unit, "@iot.id"));
    const QStringList before = ids(values(path + QStringLiteral("?$top=5&$skip=118")));
    office.reset();
    startOffice();
    EXPECT_EQ(ids(values(path + QStringLiteral("?$top=5&$skip=118"))), before);
    // At the root, every unit's and every site's, cut from their series whatever their number
    // (no bound on Observations built is met): 4 unit Datastreams of 300, RIVER-1's 2 of 300
    // across the swap, LAKE-2's 2 of 180.
    office::ReadLimits limits;
    limits.mostWebObservations = 100;
    office.reset();
    startOffice(limits);
    EXPECT_EQ(ok(QStringLiteral("/Observations?$count=true&$top=1&$orderby=phenomenonTime%20desc"))
                  .value(QLatin1String("@iot.count"))
                  .toInt(),
              4 * kSite3Records + 2 * kSite3Records + 2 * 180);
    const QJsonObject late = ok(QStringLiteral("/Observations?$count=true&$top=1000&$filter="
                                               "phenomenonTime%20ge%202026-12-01T01:00:00Z"));
    EXPECT_EQ(late.value(QLatin1String("@iot.count")).toInt(), 4 * 180 + 2 * 180 + 2 * 180);
    QSet<QString> pageIds;
    for (const QJsonValue& o : late.value(QLatin1String("value")).toArray())
        pageIds.insert(str(o, "@iot.id"));
    EXPECT_EQ(pageIds.size(), 1000);
    // Newest first, and a time range, cut from the site's series.
    EXPECT_EQ(str(values(path + QStringLiteral("?$top=1&$orderby=phenomenonTime%20desc")).first(),
                  "phenomenonTime"),
              "2026-12-01T03:59:00Z");
    EXPECT_EQ(ok(path + QStringLiteral("?$count=true&$filter=phenomenonTime%20ge%20"
                                       "2026-12-01T01:00:00Z"))["@iot.count"]
                  .toInt(),
              180);
}

TEST_F(DataModel, Req_DataModel_FeatureOfInterest) {
    checkType({"FeaturesOfInterest",
               {"@iot.id", "name", "description", "encodingType", "feature"},
               {{"Observations", true, ""}}});
}

// What a single entity takes ($select, $expand) works; a collection's options on it are
// refused by name, at the top and inside an $expand of a single entity.
TEST_F(DataModel, Req_RequestData_SingleEntityOptions) {
    struct Case {
        const char* path;
        const char* query;
        int status;
        const char* names;
    };
    const Case cases[] = {
        {"/Things('site:RIVER-1')", "$select=name&$expand=Datastreams($top=1)", 200, ""},
        {"/Things('site:RIVER-1')", "$top=1", 400, "$top"},
        {"/Things('SITE3')", "$skip=1", 400, "$skip"},
        {"/Datastreams('SITE3/TEMP/2')/Thing", "$count=true", 400, "$count"},
        {"/Things('SITE3')/name", "$orderby=name", 400, "$orderby"},
        {"/Locations('RIVER-1')/$ref", "$filter=name%20eq%20'x'", 400, "$filter"},
        {"/Datastreams('SITE3/TEMP/2')", "$expand=Thing($top=2)", 400, "$top"},
        {"/Things('nothing')", "$top=1", 404, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.path) + "?" + c.query);
        const Reply r = get(
            QStringLiteral("/api/v1.1%1?%2").arg(QLatin1String(c.path), QLatin1String(c.query)));
        EXPECT_EQ(r.status, c.status) << r.body.toStdString();
        EXPECT_TRUE(r.json().value("error").toObject().value("message").toString().contains(
            QLatin1String(c.names)));
    }
}

} // namespace
} // namespace officetest

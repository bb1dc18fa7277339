// SPDX-License-Identifier: GPL-3.0-or-later
// The office's web service (/api/v1.1/) against the tests' real PostgreSQL, with facts pushed
// by two laptops: its entities reached by their links, paging to the end, $filter, $orderby,
// $top and $skip, hostile queries and paths, and hostile and 8-bit data set names in its JSON.
// The standard's requirements one by one are office_conformance_test.cpp's.
#include "office_fixture.h"

#include "office/odata_query.h"

#include <QJsonArray>

namespace officetest {
namespace {

struct Asked {
    const char* what;
    std::vector<std::pair<QString, QString>> options;
    int values;
    const char* firstTime; // nullptr: no values
    bool newestFirst = false;
};

class OfficeApiTest : public StartedOfficeTest {
protected:
    // A link the service wrote, followed as it is.
    Reply follow(const QString& link) {
        const QUrl url(link, QUrl::StrictMode);
        EXPECT_TRUE(url.isValid()) << link.toStdString();
        EXPECT_EQ(url.port(), office->port()) << link.toStdString();
        return get(url.path(QUrl::FullyEncoded) +
                   (url.hasQuery() ? QLatin1Char('?') + url.query(QUrl::FullyEncoded) : QString()));
    }

    // SITE3's TEMP field_2 Observations with these options (values escaped here).
    Reply observations(const std::vector<std::pair<QString, QString>>& options,
                       const QString& stream = QStringLiteral("SITE3/TEMP/2")) {
        QString query;
        for (const auto& [name, value] : options)
            query += (query.isEmpty() ? QLatin1Char('?') : QLatin1Char('&')) + name +
                     QLatin1Char('=') + QString::fromLatin1(QUrl::toPercentEncoding(value));
        return get(QStringLiteral("/api/v1.1/Datastreams('%1')/Observations%2").arg(stream, query));
    }

    static QString str(const QJsonObject& o, const char* name) {
        return o.value(QLatin1String(name)).toString();
    }

    // $filter, $orderby, $top and $skip on SITE3's TEMP field_2 (one a minute from
    // 2026-11-30T23:00:00Z).
    void filtersOrdersAndPages() {
        const QString window =
            QStringLiteral("phenomenonTime ge 2026-11-30T23:30:00Z and phenomenonTime lt "
                           "2026-12-01T00:00:00Z");
        const Asked cases[] = {
            {"a half-open window", {{"$filter", window}}, 30, "2026-11-30T23:30:00Z"},
            {"the same in the unit's zone",
             {{"$filter", "phenomenonTime ge 2026-12-01T00:30:00+01:00 and  phenomenonTime lt "
                          "2026-12-01T01:00:00+01:00"}},
             30,
             "2026-11-30T23:30:00Z"},
            {"eq",
             {{"$filter", "phenomenonTime eq 2026-11-30T23:05:00Z"}},
             1,
             "2026-11-30T23:05:00Z"},
            {"gt the last but one",
             {{"$filter", "phenomenonTime gt 2026-12-01T03:58:00Z"}},
             1,
             "2026-12-01T03:59:00Z"},
            {"le the first",
             {{"$filter", "phenomenonTime le 2026-11-30T23:00:00.000Z"}},
             1,
             "2026-11-30T23:00:00Z"},
            {"nothing", {{"$filter", "phenomenonTime lt 2020-01-01T00:00:00Z"}}, 0, nullptr},
            {"newest first",
             {{"$orderby", "phenomenonTime desc"}, {"$top", "5"}},
             5,
             "2026-12-01T03:59:00Z",
             true},
            {"skip to the last five",
             {{"$orderby", "phenomenonTime asc"}, {"$skip", "295"}},
             5,
             "2026-12-01T03:55:00Z"},
            {"a window newest first, skipped",
             {{"$filter", window}, {"$orderby", "phenomenonTime desc"}, {"$skip", "10"}},
             20,
             "2026-11-30T23:49:00Z",
             true},
            {"top 0", {{"$top", "0"}}, 0, nullptr},
            {"a top above the service's",
             {{"$top", "5000"}},
             kSite3Records,
             "2026-11-30T23:00:00Z"},
            {"the default page", {}, 100, "2026-11-30T23:00:00Z"},
        };
        for (const Asked& c : cases) {
            SCOPED_TRACE(c.what);
            auto options = c.options;
            options.emplace_back(QStringLiteral("$count"), QStringLiteral("true"));
            const Reply r = observations(options);
            ASSERT_EQ(r.status, 200) << r.body.toStdString();
            const QJsonArray values = r.json().value(QLatin1String("value")).toArray();
            EXPECT_EQ(values.size(), c.values);
            if (c.firstTime && !values.isEmpty()) {
                EXPECT_EQ(str(values.first().toObject(), "phenomenonTime"), c.firstTime);
            }
            // Times in the order asked.
            for (qsizetype i = 1; i < values.size(); ++i) {
                const QString a = str(values.at(i - 1).toObject(), "phenomenonTime");
                const QString b = str(values.at(i).toObject(), "phenomenonTime");
                EXPECT_TRUE(c.newestFirst ? a > b : a < b)
                    << a.toStdString() << " " << b.toStdString();
            }
        }
    }

    // SITE2's hostile and 8-bit data set names in the Datastreams' JSON.
    void hostileAndEightBitNamesRoundTrip() {
        const Reply r = get(QStringLiteral("/api/v1.1/Things('SITE2')/Datastreams"));
        ASSERT_EQ(r.status, 200) << r.body.toStdString();
        EXPECT_EQ(r.headers.value("content-type"), "application/json");
        EXPECT_TRUE(r.body.contains("Temp\xc3\xa9rature"));
        QStringList names;
        for (const QJsonValue& v : r.json().value(QLatin1String("value")).toArray()) {
            const QJsonObject d = v.toObject();
            names << str(d, "name");
            // Its own link reads it back, and its Observations are none: SITE2 has no clock
            // set.
            const Reply self = follow(str(d, "@iot.selfLink"));
            EXPECT_EQ(self.json(), d) << str(d, "@iot.selfLink").toStdString();
            const Reply obs = follow(str(d, "Observations@iot.navigationLink"));
            EXPECT_EQ(obs.status, 200);
            EXPECT_TRUE(obs.json().value(QLatin1String("value")).toArray().isEmpty());
            EXPECT_EQ(d.value("properties").toObject().value("records_without_utc").toInt(),
                      d.value("properties").toObject().value("records").toInt());
        }
        const QString latin = QString::fromLatin1(kLatinSet.data(), qsizetype(kLatinSet.size()));
        EXPECT_TRUE(
            names.contains(QString::fromLatin1(kHostileSet.data()) + QStringLiteral(" field_2")));
        EXPECT_TRUE(names.contains(latin + QStringLiteral(" field_2")));
        EXPECT_TRUE(names.contains(latin + QStringLiteral(" (set 2) field_3")));
    }
};

// Each test makes its own server (seconds): the cases are grouped in two.
TEST_F(OfficeApiTest, EntitiesByTheirLinksPagedToTheEndFilteredAndOrdered) {
    const QJsonObject root = get(QStringLiteral("/api/v1.1")).json();
    QStringList sets;
    for (const QJsonValue& v : root.value(QLatin1String("value")).toArray())
        sets << str(v.toObject(), "name");
    EXPECT_TRUE(sets.contains(QStringLiteral("Things")) &&
                sets.contains(QStringLiteral("Observations")));

    const Reply things = get(QStringLiteral("/api/v1.1/Things?$count=true"));
    ASSERT_EQ(things.status, 200) << things.body.toStdString();
    EXPECT_EQ(things.json().value(QLatin1String("@iot.count")).toInt(), 3);
    const QJsonArray all = things.json().value(QLatin1String("value")).toArray();
    ASSERT_EQ(all.size(), 3);
    const QJsonObject site3 = all.at(2).toObject();
    EXPECT_EQ(str(site3, "@iot.id"), "SITE3");
    EXPECT_EQ(site3.value(QLatin1String("properties")).toObject().value(QLatin1String("serial")),
              "SITE3");
    EXPECT_EQ(follow(str(site3, "@iot.selfLink")).json(), site3);

    const QJsonArray streams =
        follow(str(site3, "Datastreams@iot.navigationLink")).json().value("value").toArray();
    ASSERT_EQ(streams.size(), 2); // fields 2 and 3; field 1 is the time stamp
    const QJsonObject temp2 = streams.at(0).toObject();
    EXPECT_EQ(str(temp2, "name"), "TEMP field_2");
    EXPECT_EQ(str(temp2, "phenomenonTime"), "2026-11-30T23:00:00Z/2026-12-01T03:59:00Z");
    EXPECT_EQ(temp2.value("properties").toObject().value("records").toInt(), kSite3Records);
    EXPECT_EQ(follow(str(temp2, "Thing@iot.navigationLink")).json(), site3);
    EXPECT_EQ(str(follow(str(temp2, "Sensor@iot.navigationLink")).json(), "@iot.id"), "SITE3");
    EXPECT_EQ(str(follow(str(temp2, "ObservedProperty@iot.navigationLink")).json(), "name"),
              "TEMP field_2");

    // The whole at once, and the same page by page through the next links.
    const QString first = str(temp2, "Observations@iot.navigationLink");
    const QJsonArray whole =
        follow(first + QStringLiteral("?$top=1000")).json().value("value").toArray();
    ASSERT_EQ(whole.size(), kSite3Records);
    QJsonArray paged;
    int pages = 0;
    for (QString link = first + QStringLiteral("?$top=70&$count=true"); !link.isEmpty(); ++pages) {
        ASSERT_LT(pages, 10);
        const QJsonObject page = follow(link).json();
        EXPECT_EQ(page.value(QLatin1String("@iot.count")).toInt(), kSite3Records);
        for (const QJsonValue& v : page.value(QLatin1String("value")).toArray())
            paged.append(v);
        link = str(page, "@iot.nextLink");
    }
    EXPECT_EQ(pages, 5);
    EXPECT_EQ(paged, whole);

    // Each record's UTC by its clock set, its own time and offset beside it.
    const QJsonObject o = whole.at(37).toObject();
    EXPECT_EQ(str(o, "phenomenonTime"), "2026-11-30T23:37:00Z");
    EXPECT_EQ(o.value("result").toDouble(), 99);
    const QJsonObject p = o.value("parameters").toObject();
    EXPECT_EQ(str(p, "unit_time"), "2026/12/01 00:37:00");
    EXPECT_EQ(str(p, "utc_offset"), "+01:00");
    EXPECT_EQ(follow(str(o, "@iot.selfLink")).json(), o);
    EXPECT_EQ(str(follow(str(o, "Datastream@iot.navigationLink")).json(), "@iot.id"),
              "SITE3/TEMP/2");
    // Laptop B's record 100 differs: that place is disputed, as the CSV flags it.
    const QJsonObject disputed =
        observations({{"$top", "1"}, {"$skip", "100"}}, QStringLiteral("SITE3/TEMP/3"))
            .json()
            .value("value")
            .toArray()
            .first()
            .toObject();
    EXPECT_TRUE(disputed.value("parameters")
                    .toObject()
                    .value("flags")
                    .toArray()
                    .contains(QStringLiteral("disputed")));
    EXPECT_FALSE(whole.at(99)
                     .toObject()
                     .value("parameters")
                     .toObject()
                     .value("flags")
                     .toArray()
                     .contains(QStringLiteral("disputed")));
    filtersOrdersAndPages();
}

struct Hostile {
    const char* what;
    const char* path; // after /api/v1.1, escaped already
    int status;
    const char* method = "GET";
};

TEST_F(OfficeApiTest, HostileQueriesAndPathsGetAJsonErrorHostileNamesRoundTrip) {
    const QString obs = QStringLiteral("/Datastreams('SITE3/TEMP/2')/Observations?");
    auto filter = [&](const char* f) {
        return obs + QStringLiteral("$filter=") +
               QString::fromLatin1(QUrl::toPercentEncoding(QString::fromUtf8(f)));
    };
    QString many = QStringLiteral("phenomenonTime gt 2026-12-01T00:00:00Z");
    for (int i = 0; i < office::kMostComparisons; ++i)
        many += QStringLiteral(" and phenomenonTime gt 2026-12-01T00:00:00Z");
    QString deep = QStringLiteral("result eq 1");
    for (int i = 0; i < 40; ++i)
        deep = QLatin1Char('(') + deep + QLatin1Char(')');
    const std::vector<std::pair<QString, int>> cases = {
        {filter("phenomenonTime gt 2026-13-01T00:00:00Z"), 400},
        {filter("phenomenonTime gt 2026-02-30T00:00:00Z"), 400},
        {filter("phenomenonTime gt 2026-12-01T00:00:00"), 400},
        {filter("phenomenonTime gt 2026-12-01T00:00:00Z and"), 400},
        {filter("phenomenonTime gt 2026-12-01T00:00:00Z; DROP TABLE xrq.events"), 400},
        {filter("phenomenonTime gt 2026-12-01T00:00:00Z\xc3\xa9"), 400},
        {filter("nosuch(result) eq 1"), 400},
        {filter("round(result, 1) eq 1"), 400},
        {filter(""), 400},
        {obs + QStringLiteral("$filter=") + QString::fromLatin1(QUrl::toPercentEncoding(deep)),
         400},
        {obs + QStringLiteral("$filter=") + QString::fromLatin1(QUrl::toPercentEncoding(many)) +
             QString::fromLatin1(
                 QUrl::toPercentEncoding(QStringLiteral(" and result gt 1").repeated(60))),
         413},
        {obs + QStringLiteral("$orderby=result%20sideways"), 400},
        {obs + QStringLiteral("$top=-1"), 400},
        {obs + QStringLiteral("$top=ten"), 400},
        {obs + QStringLiteral("$skip=99999999999"), 400},
        {obs + QStringLiteral("$count=yes"), 400},
        {obs + QStringLiteral("$expand=Nothing"), 400},
        {obs + QStringLiteral("$expand=Datastream($expand=Thing($expand=Datastreams($expand="
                              "Observations($expand=Datastream))))"),
         400},
        {obs + QStringLiteral("$select=nothing"), 400},
        {obs + QStringLiteral("$top=1&$top=2"), 400},
        {obs + QStringLiteral("$apply=x"), 400},
        {QStringLiteral("/Things('NOSUCH')"), 404},
        {QStringLiteral("/Things('SITE1')/Nothing"), 404},
        {QStringLiteral("/Things('SITE1')/name/Nothing"), 404},
        {QStringLiteral("/Things('SITE1')/Datastreams('SITE3/TEMP/2')"), 404},
        {QStringLiteral("/Things('SITE1"), 404},
        {QStringLiteral("/Things(SITE1)"), 404},
        {QStringLiteral("/Datastreams('SITE1/ANALOG/99')"), 404},
        {QStringLiteral("/Datastreams('SITE1/ANALOG')"), 404},
        {QStringLiteral("/Datastreams('SITE1/ANALOG/2/..')/Observations"), 404},
        {QStringLiteral("/Observations('SITE3/TEMP/2/1/999999')"), 404},
        {QStringLiteral("/Observations('SITE3/TEMP/2/7/1')"), 404},
        {QStringLiteral("/ObservedProperties('NOSUCH/2')"), 404},
        {QStringLiteral("/Locations('anything')"), 404},
        {QStringLiteral("/Nothing"), 404},
        {QStringLiteral("/Things/Things/Things/Things"), 404},
        {QStringLiteral("/Things/a/b/c/d/e/f/g/h/i"), 404},
    };
    for (const auto& [path, status] : cases) {
        SCOPED_TRACE(path.toStdString());
        const Reply r = get(QStringLiteral("/api/v1.1") + path);
        EXPECT_EQ(r.status, status) << r.body.toStdString();
        EXPECT_EQ(r.headers.value("content-type"), "application/json");
        EXPECT_EQ(r.json().value("error").toObject().value("status").toInt(), status);
        EXPECT_FALSE(r.json().value("error").toObject().value("message").toString().isEmpty());
    }
    const Reply post = get(QStringLiteral("/api/v1.1/Things"), "POST");
    EXPECT_EQ(post.status, 405);
    hostileAndEightBitNamesRoundTrip();
}

} // namespace
} // namespace officetest

// SPDX-License-Identifier: GPL-3.0-or-later
// Facts no laptop sends, as an older server without the insert checks holds them (inserted
// by its owner here, whose inserts the checks pass over; a laptop role's insert of each is
// refused now, tests/fleet/test_laptop_roles.cpp): every reader answers, leaves them out, and says
// so where the unit is shown: the office's pages and API, `xrq-series export --service`, and
// the laptops' reads of the server. None aborts, none answers 503 for everyone, and a visit
// stamped by a clock ahead never makes its unit "visited today" for good.
#include "office_fixture.h"

#include "fleet/server_history.h"
#include "support/child_process.h"

#include <QJsonArray>

namespace officetest {
namespace {

class OfficeHostileFactsTest : public StartedOfficeTest {
protected:
    static constexpr const char* kUnit = "SITE3";

    // One event of SITE3 as role laptop_b would have inserted it: kind, its time as SQL, and
    // its payload as JSON text.
    struct Hostile {
        const char* kind;
        const char* at;
        const char* payload;
        bool unread; // left out as not read (else read, or set aside as stamped ahead)
    };

    static const std::vector<Hostile>& table() {
        static const std::vector<Hostile> rows = {
            // clock sets: each payload key wrong
            {"clock_set", "now() - interval '40 days'", R"({"sent": "x", "utc_offset": "x"})",
             true},
            {"clock_set", "now() - interval '40 days'", R"({"sent": "x", "utc_offset": 1e400})",
             true},
            {"clock_set", "now() - interval '40 days'", R"({"sent": "x", "utc_offset": 99999})",
             true},
            {"clock_set", "now() - interval '40 days'", R"({"sent": "x", "utc_offset": 0.5})",
             true},
            {"clock_set", "now() - interval '40 days'", R"({"sent": "x", "utc_offset": [1]})",
             true},
            {"clock_set", "'infinity'", R"({"sent": "x", "utc_offset": 3600})", true},
            // batteries
            {"battery", "now() - interval '5 days'", R"({"volts": "x"})", true},
            {"battery", "now() - interval '5 days'", R"({"volts": 1e400})", true},
            {"battery", "now() - interval '5 days'", R"({"volts": -3})", true},
            {"battery", "now() - interval '5 days'", R"({"volts": "NaN"})", true},
            {"battery", "now() - interval '5 days'", R"({"celsius": 20})", true}, // volts missing
            {"battery", "now() - interval '4 days'", R"({"volts": 12.6, "celsius": 1e400})", false},
            // visits and downloads at times no clock gives
            {"visit", "'infinity'", R"({"port": 3})", true},
            {"visit", "'-infinity'", R"({"port": 3})", true},
            {"visit", "'9999-12-31 23:59:59+00'", R"({"port": "x"})", false},
            {"visit", "'0001-01-01 00:00:00+00'", R"({"port": 1e400})", false},
            {"download", "'infinity'", R"({"safe": true})", true},
            {"download", "now() - interval '3 days'", R"({"safe": "yes", "reasons": 5})", false},
        };
        return rows;
    }

    static long long unreadRows() {
        long long n = 0;
        for (const Hostile& h : table())
            n += h.unread;
        return n;
    }

    void SetUp() override {
        StartedOfficeTest::SetUp();
        if (HasFatalFailure() || inserted)
            return;
        // An honest visit three days ago, then the table, as the owner: what a laptop role
        // could insert into a server without checks.
        std::string sql = "INSERT INTO xrq.events (id, unit, kind, occurred_at, laptop, payload, "
                          "pushed_by) VALUES (gen_random_uuid(), 'SITE3', 'visit', "
                          "now() - interval '3 days', 'laptop_a', '{\"port\": 3}', 'laptop_a')";
        for (const Hostile& h : table())
            sql += std::string(", (gen_random_uuid(), 'SITE3', '") + h.kind + "', " + h.at +
                   ", 'laptop_b', '" + h.payload + "', 'laptop_b')";
        // A series record whose info no laptop writes, one with a line of another type.
        sql += "; INSERT INTO xrq.series_facts (unit, data_set, identity, occurrence, after, "
               "after_occurrence, segment, position, occurred_at, laptop, payload, pushed_by) "
               "VALUES ('SITE3', 'TEMP', 'ffffffffffffffffffffffffffffffff', 0, '', 0, 9, 0, "
               "now(), 'laptop_b', '{\"line\": 12}', 'laptop_b'), ('SITE3', 'TEMP', "
               "'eeeeeeeeeeeeeeeeeeeeeeeeeeeeeeee', 0, '', 0, 9, 1, 'infinity', 'laptop_b', "
               "'{\"line\": \"x\", \"info\": {\"offset\": 1e400}}', 'laptop_b')";
        std::string why;
        ASSERT_TRUE(s->server.sql(sql, testsupport::PgTestServer::kDatabase, &why)) << why;
        inserted = true;
    }
    static inline bool inserted = false;
    static void TearDownTestSuite() {
        inserted = false;
        OfficeTest::TearDownTestSuite();
    }
};

// The office: every route answers 200 and says what it left out, and by whom.
TEST_F(OfficeHostileFactsTest, OfficeRoutesAnswerAndTellWhatTheyLeftOut) {
    for (const char* path : {"/", "/api/units", "/unit?u=SITE3", "/api/unit?u=SITE3",
                             "/api/v1.1/Things", "/api/v1.1/Things('SITE3')/Datastreams",
                             "/api/series?u=SITE3&set=TEMP", "/csv?u=SITE3&set=TEMP"}) {
        const Reply r = get(QString::fromLatin1(path));
        EXPECT_EQ(r.status, 200) << path << ": " << r.body.left(300).toStdString();
    }
    const Reply units = get(QStringLiteral("/api/units"));
    QJsonObject site3;
    for (const QJsonValue& u : units.json().value(QLatin1String("units")).toArray())
        if (u.toObject().value(QLatin1String("unit")).toString() == QLatin1String(kUnit))
            site3 = u.toObject();
    ASSERT_FALSE(site3.isEmpty()) << units.body.toStdString();
    // The honest visit three days ago is the last one, not the one in the year 9999.
    EXPECT_EQ(site3.value(QLatin1String("days_since")).toInt(), 3);
    EXPECT_EQ(site3.value(QLatin1String("clock_ahead")).toInt(), 1);
    // Read here: the three at infinity and the last eight batteries' unreadable ones.
    EXPECT_GE(site3.value(QLatin1String("not_read")).toInt(), 3 + 5);
    const QString told = site3.value(QLatin1String("not_read_told")).toString();
    EXPECT_TRUE(told.contains(QLatin1String("pushed by role laptop_b"))) << told.toStdString();
    std::printf("Units page, SITE3: %s\n", told.toStdString().c_str());
    ASSERT_EQ(site3.value(QLatin1String("battery")).toArray().size(), 1); // the 12.6 V only

    const Reply page = get(QStringLiteral("/"));
    EXPECT_TRUE(page.body.contains("stamped by a clock ahead"));
    EXPECT_TRUE(page.body.contains("not read"));

    const Reply unit = get(QStringLiteral("/api/unit?u=SITE3"));
    const QJsonObject d = unit.json();
    // Every unreadable row of the table, and the two series rows, are counted on the unit's
    // page (its series counted there).
    EXPECT_GE(d.value(QLatin1String("not_read")).toInt(), unreadRows());
    const QString unitTold = d.value(QLatin1String("not_read_told")).toString();
    std::printf("Unit page, SITE3: %s\n", unitTold.toStdString().c_str());
    EXPECT_TRUE(unitTold.contains(QLatin1String("role laptop_b"))) << unitTold.toStdString();
    int ahead = 0;
    for (const QJsonValue& h : d.value(QLatin1String("history")).toArray())
        ahead += h.toObject().value(QLatin1String("clock_ahead")).toBool();
    EXPECT_EQ(ahead, 1);
    const Reply html = get(QStringLiteral("/unit?u=SITE3"));
    EXPECT_TRUE(html.body.contains("id=\"not-read\"")) << html.body.toStdString();
    EXPECT_TRUE(html.body.contains("Last visit: 3 days ago")) << html.body.toStdString();
}

// xrq-series export --service: the export is made, and what it left out said on stderr.
TEST_F(OfficeHostileFactsTest, ProgramsExportSaysWhatItLeftOut) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::string out = dir.filePath(QStringLiteral("export.csv")).toStdString();
    testsupport::ChildProcess child(XRQ_BIN_DIR "/xrq-series",
                                    {"--files-folder", dir.path().toStdString(), "export", kUnit,
                                     "TEMP", "--service", "office_viewer"},
                                    out);
    ASSERT_TRUE(child.waitForExit(60s)) << child.errorOutput();
    EXPECT_EQ(child.exitCode(), 0) << child.errorOutput();
    const std::string said = child.errorOutput();
    std::printf("xrq-series export: %s", said.c_str());
    // The six clock sets and the two series rows.
    EXPECT_NE(said.find("8 facts not read: pushed by role laptop_b (8)"), std::string::npos)
        << said;
    EXPECT_NE(said.find("utc_offset"), std::string::npos) << said;
}

// The laptops' reads of the server (the Units window's, an export's clock sets): each answers
// with what it could read and counts the rest.
TEST_F(OfficeHostileFactsTest, LaptopReadsOfTheServerAnswerAndCount) {
    const std::string conninfo = fleet::serviceConninfo("laptop_a");
    const fleet::ServerUnits units = fleet::readUnits(conninfo, 10s);
    ASSERT_TRUE(units.ok) << units.message.toStdString();
    bool found = false;
    for (const fleet::ServerUnit& u : units.units)
        if (u.unit == QLatin1String(kUnit)) {
            found = true;
            // Its last sight is no stamp well after the server received it (all were received
            // before now; the margin is an hour).
            EXPECT_LE(u.lastSeen, QDateTime::currentMSecsSinceEpoch() + 3600 * 1000LL);
        }
    EXPECT_TRUE(found);

    const fleet::ServerHistory h = fleet::readUnitHistory(conninfo, QString::fromLatin1(kUnit),
                                                          QStringLiteral("laptop_a"), 10s);
    ASSERT_TRUE(h.ok) << h.message.toStdString();
    // The clock set, visits and download at an infinite time, and the four payloads holding
    // 1e400 (a clock set's offset, a battery's volts and another's celsius, a visit's port),
    // which no JSON reader here takes whole.
    EXPECT_EQ(h.unread.count, 8);
    EXPECT_EQ(h.unread.byPusher.count(QStringLiteral("role laptop_b")), 1u);
    std::printf("Units window, history: %s\n", h.unread.told().toStdString().c_str());

    const fleet::ServerClockSets sets =
        fleet::readUnitClockSets(conninfo, QString::fromLatin1(kUnit), 10s);
    ASSERT_TRUE(sets.ok) << sets.message.toStdString();
    EXPECT_EQ(sets.unread.count, 6);
    EXPECT_EQ(sets.clockSets.size(), 1u); // the honest one the fixture pushed
    std::printf("Clock sets: %s\n", sets.unread.told().toStdString().c_str());
}

} // namespace
} // namespace officetest

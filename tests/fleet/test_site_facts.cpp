// SPDX-License-Identifier: GPL-3.0-or-later
// Sites, deployments, column meanings, calibrations and notes on the server: the data
// manager's commands and CSV imports (the same file twice adds nothing, each bad input named
// by its line, nothing half imported), the newest fact of a key counting with its history
// kept, the server's checks of a laptop role's site facts, and disown-laptop over them.
#include "fleet_fixture.h"

#include "fleet/admin.h"
#include "fleet/site_csv.h"
#include "fleet/site_fact_writes.h"
#include "fleet/site_facts.h"

#include <QFile>

#include <iostream>
#include <random>
#include <sstream>

namespace fleettest {
namespace {

using FleetSiteFacts = FleetServerTest;

struct Ran {
    int status = 0;
    std::string out, err;
};

class SiteAdmin {
public:
    SiteAdmin(FleetServerTest* t, std::string service) : m_service(std::move(service)) { (void)t; }
    Ran operator()(QStringList args) const {
        args.insert(1, QStringLiteral("--service"));
        args.insert(2, QString::fromStdString(m_service));
        std::ostringstream out, err;
        Ran r;
        r.status = fleet::runAdmin(args, out, err);
        r.out = out.str();
        r.err = err.str();
        return r;
    }

private:
    std::string m_service;
};

constexpr std::int64_t k20260301 = 1772323200000; // 2026-03-01T00:00:00Z
constexpr std::int64_t kDay = 86400000;

TEST_F(FleetSiteFacts, ADeploymentCorrectedByANewerFactCountsWithItsHistoryKept) {
    const SiteAdmin admin(this, ownerService());
    Ran r = admin({"add-site", "RIVER-03", "Bridge gauge", "9.18", "48.78", "--elevation", "245",
                   "--visit-days", "30"});
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(admin({"add-site", "LAKE-1", "Lake outlet", "9.2", "48.7"}).status, 0);
    // Deployed at the wrong site, then corrected by a newer fact of the same unit and time.
    ASSERT_EQ(admin({"deploy", "QK7Z04M1", "LAKE-1", "--from", "2026-03-01"}).status, 0);
    r = admin({"deploy", "QK7Z04M1", "RIVER-03", "--from", "2026-03-01"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "1 fact added\n");
    // The same again adds nothing.
    r = admin({"deploy", "QK7Z04M1", "RIVER-03", "--from", "2026-03-01"});
    EXPECT_EQ(r.out, "0 facts added, 1 already held\n");
    // A swap: the next unit deployed there, the first removed at the same time.
    ASSERT_EQ(admin({"remove", "QK7Z04M1", "--at", "2026-04-01"}).status, 0);
    ASSERT_EQ(admin({"deploy", "QK7Z04M2", "RIVER-03", "--from", "2026-04-01"}).status, 0);

    fleet::PgConnection c;
    ASSERT_TRUE(c.connect(fleet::serviceConninfo(ownerService()), 30s)) << c.error();
    const fleet::SiteFacts f = fleet::readSiteFacts(c, 30s);
    ASSERT_TRUE(f.ok) << f.error.toStdString();
    ASSERT_EQ(f.sites.size(), 2u);
    const fleet::Site* river = f.site(QStringLiteral("RIVER-03"));
    ASSERT_NE(river, nullptr);
    EXPECT_EQ(river->name, QStringLiteral("Bridge gauge"));
    EXPECT_EQ(river->elevation, 245.0);
    EXPECT_EQ(river->visitDays, 30);
    EXPECT_TRUE(f.deploymentsAt(QStringLiteral("LAKE-1")).empty());
    const auto at = f.deploymentsAt(QStringLiteral("RIVER-03"));
    ASSERT_EQ(at.size(), 2u);
    EXPECT_EQ(at[0].unit, QStringLiteral("QK7Z04M1"));
    EXPECT_EQ(at[0].fromMs, k20260301);
    EXPECT_EQ(at[0].toMs, k20260301 + 31 * kDay);
    EXPECT_FALSE(at[0].sideBySide);
    EXPECT_EQ(at[1].unit, QStringLiteral("QK7Z04M2"));
    EXPECT_FALSE(at[1].toMs);
    // Both deployment facts of the key stay, oldest first.
    const fleet::SiteFactHistory all =
        fleet::readSiteFactHistory(c, 30s, fleet::SiteFactKind::Deployment);
    ASSERT_TRUE(all.ok);
    ASSERT_EQ(all.facts.size(), 3u);
    const fleet::SiteFactHistory h =
        fleet::readSiteFactHistory(c, 30s, fleet::SiteFactKind::Deployment, all.facts[0].key);
    ASSERT_EQ(h.facts.size(), 2u);
    EXPECT_EQ(std::get<fleet::Deployment>(h.facts[0].value).site, QStringLiteral("LAKE-1"));
    EXPECT_EQ(std::get<fleet::Deployment>(h.facts[1].value).site, QStringLiteral("RIVER-03"));
    EXPECT_EQ(h.facts[1].pushedBy.toStdString(), testsupport::PgTestServer::kOwner);
    // Taken back: the unit is deployed nowhere from then.
    ASSERT_EQ(
        admin({"deploy", "QK7Z04M2", "RIVER-03", "--from", "2026-04-01", "--withdraw"}).status, 0);
    EXPECT_EQ(fleet::readSiteFacts(c, 30s).deploymentsAt(QStringLiteral("RIVER-03")).size(), 1u);
}

TEST_F(FleetSiteFacts, CommandsRefuseWhatIsWrongAndAddNothing) {
    const SiteAdmin admin(this, ownerService());
    ASSERT_EQ(admin({"add-site", "RIVER-03", "Bridge gauge", "9.18", "48.78"}).status, 0);
    ASSERT_EQ(admin({"calibrate", "SITE1", "2", "1.02", "-0.3", "--from", "2026-03-01", "--to",
                     "2026-04-01"})
                  .status,
              0);
    struct Case {
        QStringList args;
        const char* said;
    } cases[] = {
        {{"deploy", "QK7", "RIVER-9"}, "unknown site RIVER-9"},
        {{"add-site", "RIVER 4", "x", "1", "2"}, "is not 1 to 40 letters"},
        {{"add-site", "R4", "x", "181", "2"}, "longitude 181 is not within -180 to 180"},
        {{"add-site", "R4", "x", "1", "-90.5"}, "latitude -90.5 is not within -90 to 90"},
        {{"add-site", "R4", QStringLiteral("a\x01b"), "1", "2"}, "control character"},
        {{"calibrate", "SITE1", "2", "1", "0", "--from", "2026-03-15"}, "overlaps"},
        {{"calibrate", "SITE1", "2", "1", "0", "--from", "2026-02-01", "--to", "2026-03-02"},
         "overlaps"},
        {{"calibrate", "SITE1", "2", "1", "0", "--from", "2026-05-01", "--to", "2026-04-01"},
         "ends before it starts"},
        {{"remove", "QK7", "--at", "2026-01-01"}, "not deployed before its removal"},
        {{"add-note", "--site", "NOWHERE", "text"}, "unknown site NOWHERE"},
    };
    for (const Case& k : cases) {
        const Ran r = admin(k.args);
        EXPECT_EQ(r.status, 1) << k.args.join(' ').toStdString();
        EXPECT_NE(r.err.find(k.said), std::string::npos)
            << k.args.join(' ').toStdString() << ": " << r.err;
    }
    // Windows that only touch are no overlap, nor another column's.
    EXPECT_EQ(admin({"calibrate", "SITE1", "2", "1", "0", "--from", "2026-04-01"}).status, 0);
    EXPECT_EQ(admin({"calibrate", "SITE1", "3", "1", "0", "--from", "2026-03-15"}).status, 0);
    EXPECT_EQ(count("xrq.site_facts"), 4);
    // A unit the server knew from a day on is not deployed before that day.
    const auto v = server.value(
        "INSERT INTO xrq.events (id, unit, kind, occurred_at, laptop, payload) VALUES "
        "(gen_random_uuid(), 'QK9', 'visit', '2026-03-10T12:00:00Z', 'a', '{}') RETURNING 1");
    ASSERT_TRUE(v);
    EXPECT_EQ(admin({"deploy", "QK9", "RIVER-03", "--from", "2026-03-09"}).status, 1);
    EXPECT_EQ(admin({"deploy", "QK9", "RIVER-03", "--from", "2026-03-10"}).status, 0);
}

// A write reads only the facts its checks need (the sites it names, the units it deploys or
// removes, the data sets it calibrates): among many sites, units and columns the checks refuse
// and allow exactly as they did over every fact, and the scoped read holds nothing else.
TEST_F(FleetSiteFacts, AWritesChecksReadOnlyWhatTheyNeedAndStillRefuse) {
    fleet::PgConnection c;
    ASSERT_TRUE(c.connect(fleet::serviceConninfo(ownerService()), 30s)) << c.error();
    std::vector<fleet::SiteFactToAdd> many;
    for (int i = 0; i < 60; ++i) {
        fleet::Site site;
        site.code = QStringLiteral("S%1").arg(i);
        site.name = QStringLiteral("Gauge %1").arg(i);
        many.push_back({site, false, {}});
        many.push_back(
            {fleet::Deployment{
                 QStringLiteral("U%1").arg(i), site.code, k20260301 + i * kDay, {}, false},
             false,
             {}});
        many.push_back({fleet::Calibration{{},
                                           QStringLiteral("SET%1").arg(i % 3),
                                           2,
                                           k20260301 + i * kDay,
                                           k20260301 + (i + 1) * kDay,
                                           1,
                                           0},
                        false,
                        {}});
    }
    ASSERT_TRUE(fleet::addSiteFacts(c, many, 30s).ok);
    // S59's unit's deployment taken back: the unit is deployed nowhere.
    ASSERT_TRUE(
        fleet::addSiteFacts(
            c,
            {{fleet::Deployment{
                  QStringLiteral("U59"), QStringLiteral("S59"), k20260301 + 59 * kDay, {}, false},
              true,
              {}}},
            30s)
            .ok);

    const fleet::SiteFacts scoped = fleet::readSiteFacts(
        c, 30s, fleet::SiteFactScope{{QStringLiteral("S7")}, {QStringLiteral("U8")}, {}, {}});
    ASSERT_TRUE(scoped.ok);
    ASSERT_EQ(scoped.sites.size(), 1u);
    EXPECT_EQ(scoped.sites[0].code, QStringLiteral("S7"));
    ASSERT_EQ(scoped.deployments.size(), 1u);
    EXPECT_EQ(scoped.deployments[0].unit, QStringLiteral("U8"));
    EXPECT_TRUE(scoped.calibrations.empty());
    EXPECT_EQ(scoped.factsRead, 2);

    struct Case {
        fleet::SiteFactValue value;
        const char* refused; // empty: added
    } cases[] = {
        {fleet::Deployment{QStringLiteral("U100"), QStringLiteral("S61"), k20260301, {}, false},
         "unknown site S61"},
        {fleet::Deployment{QStringLiteral("U100"), QStringLiteral("S42"), k20260301, {}, false},
         ""},
        {fleet::Removal{QStringLiteral("U10"), k20260301 + 10 * kDay}, "not deployed before"},
        {fleet::Removal{QStringLiteral("U59"), k20260301 + 70 * kDay}, "not deployed before"},
        {fleet::Removal{QStringLiteral("U10"), k20260301 + 11 * kDay}, ""},
        // SET1 holds day 4's window of column 2; SET0 day 3's; column 3 none.
        {fleet::Calibration{
             {}, QStringLiteral("SET1"), 2, k20260301 + 4 * kDay + 1000, std::nullopt, 2, 0},
         "overlaps"},
        {fleet::Calibration{{},
                            QStringLiteral("SET2"),
                            2,
                            k20260301 + 4 * kDay + 1000,
                            k20260301 + 5 * kDay,
                            2,
                            0},
         ""},
        {fleet::Calibration{
             {}, QStringLiteral("SET1"), 3, k20260301 + 4 * kDay, std::nullopt, 2, 0},
         ""},
        {fleet::FieldNote{fleet::newFactId(),
                          QStringLiteral("S99"),
                          {},
                          k20260301,
                          fleet::NoteCategory::Other,
                          QStringLiteral("x"),
                          {}},
         "unknown site S99"},
    };
    for (const Case& k : cases) {
        const fleet::AddedSiteFacts added = fleet::addSiteFacts(c, {{k.value, false, {}}}, 30s);
        SCOPED_TRACE(k.refused);
        if (*k.refused) {
            EXPECT_FALSE(added.ok);
            EXPECT_TRUE(added.error.contains(QLatin1String(k.refused)))
                << added.error.toStdString();
        } else {
            EXPECT_TRUE(added.ok) << added.error.toStdString();
            EXPECT_EQ(added.added, 1);
        }
    }
    // A site added earlier in the same call is known to the deployment after it.
    fleet::Site fresh;
    fresh.code = QStringLiteral("NEW-1");
    fresh.name = QStringLiteral("New");
    EXPECT_TRUE(fleet::addSiteFacts(
                    c,
                    {{fresh, false, {}},
                     {fleet::Deployment{QStringLiteral("U200"), fresh.code, k20260301, {}, false},
                      false,
                      {}}},
                    30s)
                    .ok);
}

// A CSV file of the test's folder.
std::string writeFile(const std::string& path, const QByteArray& bytes) {
    QFile f(QString::fromStdString(path));
    EXPECT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(bytes);
    return path;
}

TEST_F(FleetSiteFacts, ImportsTwiceAddNothingAndEachBadFileIsNamedByItsLine) {
    const SiteAdmin admin(this, ownerService());
    const std::string sites = writeFile(
        file("sites.csv"), "\xEF\xBB\xBF"
                           "code,name,latitude,longitude,elevation,description\r\n"
                           "RIVER-03,Bridge gauge,48.78,9.18,245,\"On the pier, east side\"\r\n"
                           "LAKE-1,\"Lake \"\"outlet\"\"\",48.7,9.2,,\"two\nlines\"\r\n"
                           "\r\n");
    Ran r = admin({"import", "sites", QString::fromStdString(sites)});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "2 facts added\n");
    r = admin({"import", "sites", QString::fromStdString(sites)});
    EXPECT_EQ(r.out, "0 facts added, 2 already held\n");
    const std::string deployments =
        writeFile(file("deployments.csv"), "unit,site,from,to\n"
                                           "QK1,RIVER-03,2026-03-01,2026-04-01T10:00:00\n"
                                           "QK2,RIVER-03,2026-04-01T10:00:00,\n"
                                           "QK3,LAKE-1,2026-03-01T00:00:00+02:00,\n");
    r = admin({"import", "deployments", QString::fromStdString(deployments)});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "4 facts added\n");
    EXPECT_EQ(admin({"import", "deployments", QString::fromStdString(deployments)}).out,
              "0 facts added, 4 already held\n");
    const std::string meanings = writeFile(
        file("meanings.csv"), "data_set,column,from,property,uom,definition\n"
                              "SITE1,1,2026-01-01,Water temperature,Cel,http://vocab.example/wt\n"
                              "SITE1,2,2026-01-01,Conductivity,uS/cm,\n");
    ASSERT_EQ(admin({"import", "meanings", QString::fromStdString(meanings)}).status, 0);
    const std::string calibrations =
        writeFile(file("calibrations.csv"), "data_set,column,from,to,a,b,unit\n"
                                            "SITE1,2,2026-03-01,2026-04-01,1.02,-3,QK1\n");
    ASSERT_EQ(admin({"import", "calibrations", QString::fromStdString(calibrations)}).status, 0);
    EXPECT_EQ(admin({"import", "calibrations", QString::fromStdString(calibrations)}).out,
              "0 facts added, 1 already held\n");
    const std::int64_t before = count("xrq.site_facts");

    struct Bad {
        const char* kind;
        QByteArray bytes;
        const char* said;
    } bad[] = {
        {"deployments", "unit,site,from\nQK4,RIVER-03,2026-05-01\nQK5,RIVER-9,2026-05-01\n",
         "line 3: unknown site RIVER-9"},
        {"deployments", "unit,site,from,to\nQK4,RIVER-03,2026-05-01,2026-04-01\n",
         "line 2: the deployment ends before it starts"},
        {"deployments", "unit,from\nQK4,2026-05-01\n", "line 1: the column \"site\" is missing"},
        {"deployments", "unit,site,form\n", "line 1: unknown column \"form\""},
        {"sites", "code,name,longitude,latitude\nR9,ok,9,48\nR8,x,9,91\n",
         "line 3: latitude \"91\" is not a number within -90 to 90"},
        {"sites", "code,name,longitude,latitude\nR9,ok,9,48\nR8,x,east,48\n",
         "line 3: longitude \"east\" is not a number"},
        {"sites", "code,name,longitude,latitude\nR9,\"Gew\xe4sser\",9,48\n",
         "line 2: a cell is not UTF-8 text"},
        {"sites", "code,name,longitude,latitude\nR9,\"=cmd|' /C calc'!A0\x07\",9,48\n",
         "line 2: name holds a control character"},
        {"sites", "code,name,longitude,latitude\nR9,\"open,9,48\n", "line 2: a quote is left open"},
        {"sites", "code,name,longitude,latitude\n\"R9\"x,a,9,48\n",
         "line 2: text after a closing quote"},
        {"calibrations",
         "data_set,column,from,to,a,b,unit\nSITE1,2,2026-03-15,2026-05-01,1,0,QK1\n",
         "line 2: the calibration window overlaps"},
        {"calibrations",
         "data_set,column,from,a,b\nSITE1,2,2026-03-15,1,0\nSITE1,2,2026-03-20,1,0\n",
         "line 3: the calibration window overlaps"},
        {"meanings", "data_set,column,from,property,uom\nSITE1,0,2026-01-01,x,Cel\n",
         "line 2: column \"0\" is not a whole number within 1 to 1000"},
    };
    for (const Bad& b : bad) {
        const std::string path = writeFile(file("bad.csv"), b.bytes);
        const Ran r = admin({"import", b.kind, QString::fromStdString(path)});
        EXPECT_EQ(r.status, 1) << b.said;
        EXPECT_NE(r.err.find(b.said), std::string::npos) << b.said << "\n got: " << r.err;
    }
    // Nothing half imported: the good rows before a bad one are not there either.
    EXPECT_EQ(count("xrq.site_facts"), before);

    fleet::PgConnection c;
    ASSERT_TRUE(c.connect(fleet::serviceConninfo(ownerService()), 30s)) << c.error();
    const fleet::SiteFacts f = fleet::readSiteFacts(c, 30s, QStringLiteral("RIVER-03"));
    ASSERT_TRUE(f.ok);
    ASSERT_NE(f.site(QStringLiteral("RIVER-03")), nullptr);
    EXPECT_EQ(f.site(QStringLiteral("RIVER-03"))->description,
              QStringLiteral("On the pier, east side"));
    const auto at = f.deploymentsAt(QStringLiteral("RIVER-03"));
    ASSERT_EQ(at.size(), 2u);
    EXPECT_EQ(at[0].toMs, at[1].fromMs);
    const fleet::ColumnMeaning* m =
        fleet::meaningOf(f.meanings, QStringLiteral("QK1"), QStringLiteral("SITE1"), 2, k20260301);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->uom.symbol, QStringLiteral("µS/cm"));
    const fleet::Calibration* k = fleet::calibrationOf(f.calibrations, QStringLiteral("QK1"),
                                                       QStringLiteral("SITE1"), 2, k20260301);
    ASSERT_NE(k, nullptr);
    EXPECT_EQ(k->a, 1.02);
    EXPECT_EQ(fleet::calibrationOf(f.calibrations, QStringLiteral("QK2"), QStringLiteral("SITE1"),
                                   2, k20260301),
              nullptr);
}

TEST_F(FleetSiteFacts, ALaptopRoleAddsNotesAndDeploymentsCheckedAndDisownLeavesThemOut) {
    addLaptop("laptop_a");
    const SiteAdmin admin(this, ownerService());
    ASSERT_EQ(admin({"add-site", "RIVER-03", "Bridge gauge", "9.18", "48.78"}).status, 0);
    fleet::PgConnection c;
    ASSERT_TRUE(c.connect(fleet::serviceConninfo("laptop_a"), 30s)) << c.error();
    const auto insert = [&](const char* kind, const std::string& payload) {
        return c.exec("INSERT INTO xrq.site_facts (id, kind, occurred_at, laptop, laptop_id, "
                      "payload) VALUES (gen_random_uuid(), $1, now(), 'a', "
                      "'6f1c2b1e-0d7a-4c55-9a39-6c7f0f7d2a10', $2::jsonb)",
                      {fleet::PgParam::text(kind), fleet::PgParam::text(payload)}, 30s);
    };
    const std::pair<std::pair<const char*, std::string>, const char*> refused[] = {
        {{"site", R"({"code":"X","name":"x","longitude":1,"latitude":2})"},
         "a laptop may not add a site"},
        {{"calibration", R"({"data_set":"S","column":1,"from":0,"a":1,"b":0})"},
         "a laptop may not add a calibration"},
        {{"deployment", R"({"unit":"QK1","site":"RIVER-03"})"}, "from is missing"},
        {{"deployment", R"({"unit":"QK1","site":"RIVER-03","from":1.5})"}, "from is not whole"},
        {{"deployment", R"({"unit":"QK1\u0007","site":"RIVER-03","from":1})"},
         "unit holds a control character"},
        {{"note", R"({"id":"x","site":"RIVER-03","at":1,"category":"other","text":"t"})"},
         "id is not a UUID"},
        {{"note", R"({"id":"0e0c2b1e-0d7a-4c55-9a39-6c7f0f7d2a10","at":1,"category":"other",)"
                  R"("text":"t"})"},
         "a note is about a site or a unit"},
        {{"note", R"({"id":"0e0c2b1e-0d7a-4c55-9a39-6c7f0f7d2a10","site":"R","at":1,)"
                  R"("category":"fun","text":"t"})"},
         "category is not"},
        {{"removal", R"([1])"}, "not a JSON object"},
    };
    for (const auto& [in, said] : refused) {
        const fleet::PgResult r = insert(in.first, in.second);
        EXPECT_EQ(r.sqlState(), "23514") << in.second;
        EXPECT_NE(r.error().find(said), std::string::npos) << r.error();
    }
    const fleet::PgResult ok =
        insert("note", R"({"id":"0e0c2b1e-0d7a-4c55-9a39-6c7f0f7d2a10","site":"RIVER-03","at":)" +
                           std::to_string(k20260301) +
                           R"(,"category":"damage","text":"Cable chewed\nreplaced","by":"Ana"})");
    ASSERT_TRUE(ok.ok()) << ok.error();
    ASSERT_TRUE(insert("deployment", R"({"unit":"QK1","site":"RIVER-03","from":)" +
                                         std::to_string(k20260301) + "}")
                    .ok());
    // Its laptop id is bound to it: another role may not add under it.
    addLaptop("laptop_b");
    fleet::PgConnection b;
    ASSERT_TRUE(b.connect(fleet::serviceConninfo("laptop_b"), 30s));
    EXPECT_EQ(b.exec("INSERT INTO xrq.site_facts (id, kind, occurred_at, laptop, laptop_id, "
                     "payload) VALUES (gen_random_uuid(), 'removal', now(), 'b', "
                     "'6f1c2b1e-0d7a-4c55-9a39-6c7f0f7d2a10', '{\"unit\":\"QK1\",\"at\":5}')")
                  .sqlState(),
              "42501");
    // Nor change or remove what is there.
    EXPECT_EQ(c.exec("UPDATE xrq.site_facts SET payload = '{}'").sqlState(), "42501");
    EXPECT_EQ(c.exec("DELETE FROM xrq.site_facts").sqlState(), "42501");

    fleet::PgConnection owner;
    ASSERT_TRUE(owner.connect(fleet::serviceConninfo(ownerService()), 30s));
    fleet::SiteFacts f = fleet::readSiteFacts(owner, 30s, QStringLiteral("RIVER-03"));
    ASSERT_EQ(f.notes.size(), 1u);
    EXPECT_EQ(f.notes[0].text, QStringLiteral("Cable chewed\nreplaced"));
    EXPECT_EQ(f.notes[0].category, fleet::NoteCategory::Damage);
    EXPECT_EQ(f.deployments.size(), 1u);
    ASSERT_EQ(admin({"disown-laptop", "laptop_a", "--since", "2000-01-01"}).status, 0);
    f = fleet::readSiteFacts(owner, 30s, QStringLiteral("RIVER-03"));
    EXPECT_TRUE(f.notes.empty());
    EXPECT_TRUE(f.deployments.empty());
    EXPECT_EQ(f.sites.size(), 1u);
    EXPECT_EQ(count("xrq.site_facts"), 3);
}

// What the office and xrq-series show of one site, from facts read whole or for that site: the
// site, its deployments with their ends and side-by-side marks, the notes counted there (a
// unit's where it was then), and each of its units' columns' meanings and calibrations.
std::string siteView(const fleet::SiteFacts& f, const QString& code) {
    std::ostringstream out;
    if (const fleet::Site* s = f.site(code))
        out << "site " << s->name.toStdString() << " " << s->longitude << "\n";
    QStringList units;
    for (const fleet::Deployment& d : f.deploymentsAt(code)) {
        out << "deployment " << d.unit.toStdString() << " " << d.fromMs << " "
            << (d.toMs ? std::to_string(*d.toMs) : "-") << (d.sideBySide ? " side" : "") << "\n";
        if (!units.contains(d.unit))
            units << d.unit;
    }
    for (const fleet::FieldNote& n : f.notes) {
        const std::optional<fleet::Deployment> d = f.deploymentOf(n.unit, n.atMs);
        const bool here = n.site == code || (n.site.isEmpty() && d && d->site == code &&
                                             (!d->toMs || n.atMs < *d->toMs));
        if (here)
            out << "note " << n.id.toStdString() << " " << n.atMs << " " << n.text.toStdString()
                << "\n";
    }
    for (const QString& unit : units)
        for (const char* set : {"D0", "D1"})
            for (int column = 1; column <= 2; ++column)
                for (int day = 0; day < 10; ++day) {
                    const std::int64_t at = k20260301 + day * kDay + 1;
                    const fleet::ColumnMeaning* m =
                        fleet::meaningOf(f.meanings, unit, QLatin1String(set), column, at);
                    const fleet::Calibration* c =
                        fleet::calibrationOf(f.calibrations, unit, QLatin1String(set), column, at);
                    out << unit.toStdString() << set << column << "@" << day << " "
                        << (m ? m->property.toStdString() : "-") << " "
                        << (c ? std::to_string(c->a) + "x+" + std::to_string(c->b) : "-") << "\n";
                }
    return out.str();
}

// A generated history of corrections, withdrawals, swaps, side-by-side units, notes moved
// between sites and units, and meanings and calibrations of one unit or every unit: each site's
// view from its own read is the whole read's, after every round of facts added.
TEST_F(FleetSiteFacts, ASitesOwnReadShowsWhatTheWholeReadShowsOfIt) {
    const char* given = std::getenv("XRQ_TEST_SEED");
    const unsigned seed =
        given ? unsigned(std::strtoul(given, nullptr, 10)) : std::random_device{}();
    std::cout << "seed " << seed << std::endl;
    std::mt19937 random(seed);
    const auto pick = [&](int n) { return int(random() % unsigned(n)); };
    const auto site = [&] { return QStringLiteral("S%1").arg(pick(4)); };
    const auto unit = [&] { return QStringLiteral("U%1").arg(pick(6)); };
    const auto day = [&] { return k20260301 + pick(9) * kDay; };
    const QString noteIds[] = {fleet::newFactId(), fleet::newFactId(), fleet::newFactId()};
    fleet::PgConnection c;
    ASSERT_TRUE(c.connect(fleet::serviceConninfo(ownerService()), 30s)) << c.error();
    for (int round = 0; round < 4; ++round) {
        for (int i = 0; i < 40; ++i) {
            fleet::SiteFactValue value;
            switch (pick(6)) {
            case 0:
                value = fleet::Site{site(), QStringLiteral("name %1").arg(i), {}, 9, 48, {}, {}};
                break;
            case 1:
                value = fleet::Deployment{unit(), site(), day(), {}, false};
                break;
            case 2:
                value = fleet::Removal{unit(), day() + kDay / 2};
                break;
            case 3: {
                fleet::FieldNote n{noteIds[pick(3)],
                                   {},
                                   {},
                                   day() + kDay / 3,
                                   fleet::NoteCategory::Other,
                                   QStringLiteral("text %1").arg(i),
                                   {}};
                if (pick(2))
                    n.site = site();
                else
                    n.unit = unit();
                value = n;
                break;
            }
            case 4:
                value = fleet::ColumnMeaning{pick(3) ? unit() : QString(),
                                             QStringLiteral("D%1").arg(pick(2)),
                                             1 + pick(2),
                                             k20260301 + pick(3) * kDay,
                                             QStringLiteral("property %1").arg(i),
                                             {},
                                             {QStringLiteral("Cel"), {}, {}}};
                break;
            default:
                value = fleet::Calibration{pick(3) ? unit() : QString(),
                                           QStringLiteral("D%1").arg(pick(2)),
                                           1 + pick(2),
                                           k20260301 + pick(3) * kDay,
                                           pick(2) ? std::optional<std::int64_t>(day() + kDay)
                                                   : std::nullopt,
                                           double(i),
                                           double(round)};
            }
            const bool withdrawn = pick(8) == 0;
            const fleet::PgResult r = c.exec(
                "INSERT INTO xrq.site_facts (id, kind, occurred_at, laptop, payload) VALUES "
                "(gen_random_uuid(), $1, now(), '', $2::jsonb)",
                {fleet::PgParam::text(
                     fleet::siteFactKindName(static_cast<fleet::SiteFactKind>(value.index()))),
                 fleet::PgParam::text(fleet::siteFactPayload(value, withdrawn).toStdString())},
                30s);
            ASSERT_TRUE(r.ok()) << r.error();
        }
        const fleet::SiteFacts whole = fleet::readSiteFacts(c, 30s);
        ASSERT_TRUE(whole.ok) << whole.error.toStdString();
        for (int s = 0; s < 4; ++s) {
            const QString code = QStringLiteral("S%1").arg(s);
            const fleet::SiteFacts own = fleet::readSiteFacts(c, 30s, code);
            ASSERT_TRUE(own.ok) << own.error.toStdString();
            ASSERT_EQ(siteView(own, code), siteView(whole, code))
                << "site " << code.toStdString() << ", round " << round << ", seed " << seed;
        }
    }
}

// The rules over facts already read, without a server.
TEST(SiteFactRules, DeploymentsEndAtTheNextOrARemovalAndOverlapsAreMarked) {
    using fleet::Deployment;
    std::vector<Deployment> d = {
        {"A", "S1", 100, {}, false}, {"A", "S2", 300, {}, false}, {"B", "S1", 250, {}, false},
        {"C", "S1", 400, {}, false}, {"D", "S3", 50, {}, false},
    };
    fleet::resolveDeployments(d, {{"B", 400}, {"D", 10}, {"C", 700}});
    struct Want {
        const char* unit;
        std::optional<std::int64_t> to;
        bool side;
    } want[] = {
        {"A", 300, true}, {"B", 400, true}, {"C", 700, false}, {"A", {}, false}, {"D", {}, false}};
    ASSERT_EQ(d.size(), std::size(want));
    for (std::size_t i = 0; i < d.size(); ++i) {
        EXPECT_EQ(d[i].unit, QString::fromLatin1(want[i].unit)) << i;
        EXPECT_EQ(d[i].toMs, want[i].to) << i;
        EXPECT_EQ(d[i].sideBySide, want[i].side) << i;
    }
}

TEST(SiteFactRules, AUnitsOwnMeaningAndCalibrationComeBeforeEveryUnits) {
    const std::vector<fleet::ColumnMeaning> m = {
        {"", "SET", 1, 0, "Every", "", {}},
        {"U1", "SET", 1, 100, "Own", "", {}},
        {"", "SET", 1, 200, "Every later", "", {}},
    };
    const auto name = [&](const char* unit, std::int64_t at) {
        const fleet::ColumnMeaning* x =
            fleet::meaningOf(m, QString::fromLatin1(unit), QStringLiteral("SET"), 1, at);
        return x ? x->property.toStdString() : std::string("-");
    };
    EXPECT_EQ(name("U1", 50), "Every");
    EXPECT_EQ(name("U1", 150), "Own");
    EXPECT_EQ(name("U1", 250), "Own");
    EXPECT_EQ(name("U2", 250), "Every later");
    EXPECT_EQ(name("U2", -1), "-");
    const std::vector<fleet::Calibration> c = {
        {"", "SET", 1, 0, 100, 2, 0},
        {"U1", "SET", 1, 50, {}, 3, 0},
    };
    const auto a = [&](const char* unit, std::int64_t at) {
        const fleet::Calibration* x =
            fleet::calibrationOf(c, QString::fromLatin1(unit), QStringLiteral("SET"), 1, at);
        return x ? x->a : 0.0;
    };
    EXPECT_EQ(a("U1", 10), 2.0);
    EXPECT_EQ(a("U1", 60), 3.0);
    EXPECT_EQ(a("U2", 60), 2.0);
    EXPECT_EQ(a("U2", 100), 0.0); // the window's end is outside it
}

} // namespace
} // namespace fleettest

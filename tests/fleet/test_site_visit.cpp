// SPDX-License-Identifier: GPL-3.0-or-later
// A laptop at a visit, against the tests' PostgreSQL with two laptops (two folders, two laptop
// roles): the sites learnt and kept for when the server is away, a swap recorded on one laptop
// and seen by the other once it learns, a note pushed twice kept once, an unknown site refused
// before anything is recorded, and what a laptop role may not add refused by the server and
// noted, never lost.
#include "fleet_fixture.h"

#include "fleet/admin.h"
#include "fleet/fleet_settings.h"
#include "fleet/site_fact_writes.h"
#include "fleet/site_store.h"
#include "fleet/site_visit.h"
#include "support/result_assert.h"

#include <QDateTime>
#include <QJsonDocument>

#include <functional>
#include <sstream>

namespace fleettest {
namespace {

constexpr std::int64_t k20260301 = 1772323200000; // 2026-03-01T00:00:00Z
constexpr std::int64_t kDay = 86400000;

class SiteVisits : public FleetServerTest {
protected:
    void SetUp() override {
        FleetServerTest::SetUp();
        if (HasFatalFailure())
            return;
        addLaptop("laptop_a");
        addLaptop("laptop_b");
        ASSERT_TRUE(fleet::writeFleetSettings(a(), {"laptop_a", "lap-a"}));
        ASSERT_TRUE(fleet::writeFleetSettings(b(), {"laptop_b", "lap-b"}));
        // The data manager's sites, and QK1 deployed at RIVER-03 since March.
        admin({"add-site", "RIVER-03", "Bridge gauge", "9.18", "48.78"});
        admin({"add-site", "LAKE-1", "Lake outlet", "9.2", "48.7"});
        admin({"deploy", "QK1", "RIVER-03", "--from", "2026-03-01"});
    }

    std::string a() { return dir.path().toStdString() + "/"; }
    std::string b() { return otherDir.path().toStdString() + "/"; }

    void admin(QStringList args) {
        args.insert(1, QStringLiteral("--service"));
        args.insert(2, QString::fromStdString(ownerService()));
        std::ostringstream out, err;
        ASSERT_EQ(fleet::runAdmin(args, out, err), 0) << err.str();
    }

    void learn(const std::string& folder) {
        const auto learnt = fleet::learnSiteFacts(folder, 30s);
        ASSERT_TRUE(learnt.ok()) << learnt.text();
        ASSERT_TRUE(learnt->reached) << learnt->why;
    }

    // Pushes the folder's site facts as its laptop role.
    void push(const std::string& folder, const std::string& role) {
        ASSERT_TRUE(pushAll(role, {folder + fleet::kSitesFileName}));
    }

    std::string serverValue(const std::string& sql) { return server.value(sql).value_or("?"); }
};

TEST_F(SiteVisits, ASwapRecordedOnOneLaptopIsSeenByTheOtherOnceItLearns) {
    learn(a());
    fleet::SiteVisit atA(a());
    auto where = atA.whereIs(QStringLiteral("QK1"), k20260301 + kDay);
    ASSERT_TRUE(where.ok()) << where.text();
    ASSERT_TRUE(where->deployment);
    EXPECT_EQ(where->deployment->site, QStringLiteral("RIVER-03"));
    ASSERT_TRUE(where->site);
    EXPECT_EQ(where->site->name, QStringLiteral("Bridge gauge"));
    EXPECT_EQ(where->knowledge.source, fleet::SiteKnowledge::Source::Server);
    EXPECT_FALSE(where->pending);

    // QK2 is found at RIVER-03 a month later: the swap is offered with its times filled in.
    const std::int64_t swapAt = k20260301 + 31 * kDay;
    auto offer = atA.swapOffer(QStringLiteral("QK2"), QStringLiteral("RIVER-03"), swapAt);
    ASSERT_TRUE(offer.ok()) << offer.text();
    EXPECT_EQ(offer->action, fleet::SwapOffer::Action::Swap);
    ASSERT_EQ(offer->removals.size(), 1u);
    EXPECT_EQ(offer->removals[0].unit, QStringLiteral("QK1"));
    EXPECT_EQ(offer->removals[0].atMs, swapAt);
    EXPECT_EQ(offer->deployment.fromMs, swapAt);
    auto recorded = atA.recordSwap(*offer);
    ASSERT_TRUE(recorded.ok()) << recorded.text();
    EXPECT_EQ(recorded->ids.size(), 2u);

    // Known on this laptop at once, before any push; the found unit is now where it is.
    where = atA.whereIs(QStringLiteral("QK2"), swapAt + 1);
    ASSERT_TRUE(where.ok());
    ASSERT_TRUE(where->deployment);
    EXPECT_EQ(where->deployment->site, QStringLiteral("RIVER-03"));
    EXPECT_TRUE(where->pending);
    EXPECT_EQ(where->knowledge.waiting, 2);
    offer = atA.swapOffer(QStringLiteral("QK2"), QStringLiteral("RIVER-03"), swapAt + 1);
    ASSERT_TRUE(offer.ok());
    EXPECT_EQ(offer->action, fleet::SwapOffer::Action::Nothing);

    push(a(), "laptop_a");
    EXPECT_EQ(serverValue("SELECT count(*) FROM xrq.site_facts WHERE laptop = 'lap-a'"), "2");
    // Pushed but not learnt again: still known here (from what it recorded).
    ASSERT_TRUE(atA.reload().ok());
    where = atA.whereIs(QStringLiteral("QK2"), swapAt + 1);
    ASSERT_TRUE(where.ok());
    ASSERT_TRUE(where->deployment);
    EXPECT_EQ(where->knowledge.waiting, 0);

    // The other laptop learns: QK2 at RIVER-03 since the swap, QK1 removed then.
    learn(b());
    fleet::SiteVisit atB(b());
    where = atB.whereIs(QStringLiteral("QK2"), swapAt + kDay);
    ASSERT_TRUE(where.ok()) << where.text();
    ASSERT_TRUE(where->deployment);
    EXPECT_EQ(where->deployment->site, QStringLiteral("RIVER-03"));
    EXPECT_EQ(where->deployment->fromMs, swapAt);
    EXPECT_FALSE(where->pending);
    EXPECT_TRUE(where->sideBySide.empty());
    where = atB.whereIs(QStringLiteral("QK1"), swapAt + kDay);
    ASSERT_TRUE(where.ok());
    EXPECT_FALSE(where->deployment);
    ASSERT_TRUE(where->removedAt);
    EXPECT_EQ(where->removedAt->atMs, swapAt);

    // The laptop that recorded them learns them back: from then on the server's count.
    learn(a());
    ASSERT_TRUE(atA.reload().ok());
    where = atA.whereIs(QStringLiteral("QK2"), swapAt + 1);
    ASSERT_TRUE(where.ok());
    ASSERT_TRUE(where->deployment);
    EXPECT_FALSE(where->pending);
}

TEST_F(SiteVisits, TheLearntSitesServeWhileTheServerIsAway) {
    learn(a());
    const std::int64_t learntAt = [&] {
        fleet::SiteVisit v(a());
        EXPECT_TRUE(v.reload().ok());
        return v.knowledge().learntAtMs;
    }();
    ASSERT_GT(learntAt, 0);
    ASSERT_TRUE(server.stop());
    // Not reached: no error, the kept set stays as it was.
    const auto learnt = fleet::learnSiteFacts(a(), 5s);
    ASSERT_TRUE(learnt.ok()) << learnt.text();
    EXPECT_TRUE(learnt->shared);
    EXPECT_FALSE(learnt->reached);
    EXPECT_NE(learnt->why.find("those learnt are used"), std::string::npos) << learnt->why;

    fleet::SiteVisit away(a());
    auto sites = away.sites();
    ASSERT_TRUE(sites.ok()) << sites.text();
    ASSERT_EQ(sites->size(), 2u);
    EXPECT_EQ((*sites)[0].code, QStringLiteral("LAKE-1"));
    EXPECT_EQ(away.knowledge().learntAtMs, learntAt);
    auto where = away.whereIs(QStringLiteral("QK1"), k20260301 + kDay);
    ASSERT_TRUE(where.ok());
    ASSERT_TRUE(where->deployment);
    EXPECT_EQ(where->deployment->site, QStringLiteral("RIVER-03"));
    // A visit recorded while away waits in the outbox and counts here at once.
    auto note = away.recordNote({fleet::NoteCategory::Maintenance, QStringLiteral("Wiper cleaned"),
                                 QStringLiteral("RIVER-03"), QStringLiteral("QK1"), 0});
    ASSERT_TRUE(note.ok()) << note.text();
    auto deployed = away.recordDeployment(QStringLiteral("QK9"), QStringLiteral("LAKE-1"),
                                          k20260301 + 2 * kDay);
    ASSERT_TRUE(deployed.ok()) << deployed.text();
    where = away.whereIs(QStringLiteral("QK9"), k20260301 + 3 * kDay);
    ASSERT_TRUE(where.ok());
    ASSERT_TRUE(where->deployment);
    EXPECT_TRUE(where->pending);
    EXPECT_EQ(where->knowledge.waiting, 2);

    // The server back: they go, and the note says who wrote it.
    ASSERT_TRUE(server.start());
    push(a(), "laptop_a");
    const std::string by = serverValue("SELECT payload ->> 'by' FROM xrq.site_facts WHERE kind = "
                                       "'note'");
    EXPECT_EQ(by.rfind("lap-a (", 0), 0u) << by;
    EXPECT_EQ(serverValue("SELECT payload ->> 'category' FROM xrq.site_facts WHERE kind = 'note'"),
              "maintenance");
}

TEST_F(SiteVisits, ANotePushedTwiceIsOneFactAndAnUnknownSiteRecordsNothing) {
    learn(a());
    fleet::SiteVisit visit(a());
    auto note = visit.recordNote({fleet::NoteCategory::Damage,
                                  QStringLiteral("Cable chewed"),
                                  QStringLiteral("RIVER-03"),
                                  {},
                                  k20260301});
    ASSERT_TRUE(note.ok()) << note.text();
    push(a(), "laptop_a");
    // The same fact in the outbox again (a push whose confirmation was lost): sent again, kept
    // once, and no conflict noted.
    {
        fleet::FieldNote n;
        n.id = note->ids[0];
        n.site = QStringLiteral("RIVER-03");
        n.atMs = k20260301;
        n.category = fleet::NoteCategory::Damage;
        n.text = QStringLiteral("Cable chewed");
        n.by = visit.author();
        LocalStore raw(a() + fleet::kSitesFileName);
        ASSERT_TRUE(raw.ok());
        QSqlDatabase d = raw.db();
        QSqlQuery q(d);
        q.prepare(QStringLiteral("SELECT recorded_at FROM recorded_site_facts WHERE id = ?"));
        q.addBindValue(n.id);
        ASSERT_TRUE(q.exec() && q.next());
        const qint64 recordedAt = q.value(0).toLongLong();
        q.finish();
        const QByteArray payload = fleet::siteFactPayload(n);
        const fleet::Fact again = fleet::siteFact(n.id, QStringLiteral("note"), {},
                                                  QJsonDocument::fromJson(payload).object(),
                                                  recordedAt, QStringLiteral("lap-a"));
        ASSERT_TRUE(fleet::Outbox::enqueue(d, again));
        EXPECT_EQ(raw.waiting(), 1);
        push(a(), "laptop_a");
        EXPECT_EQ(raw.waiting(), 0);
        EXPECT_EQ(raw.conflicts(), 0) << "the same fact, not another with its identity";
    }
    EXPECT_EQ(serverValue("SELECT count(*) FROM xrq.site_facts WHERE kind = 'note'"), "1");

    // An unknown code and a malformed one: refused by kind, nothing written.
    struct Case {
        const char* code;
        platform::ErrorKind kind;
    };
    for (const Case& c : {Case{"RIVER-9", platform::ErrorKind::NotFound},
                          Case{"bad code!", platform::ErrorKind::Invalid}}) {
        const QString code = QString::fromLatin1(c.code);
        const auto d = visit.recordDeployment(QStringLiteral("QK2"), code, k20260301);
        ASSERT_FALSE(d.ok()) << c.code;
        EXPECT_EQ(d.kind(), c.kind) << c.code;
        const auto o = visit.swapOffer(QStringLiteral("QK2"), code, k20260301);
        ASSERT_FALSE(o.ok());
        EXPECT_EQ(o.kind(), c.kind);
        const auto n = visit.recordNote({fleet::NoteCategory::Other, QStringLiteral("x"), code,
                                         QStringLiteral("QK2"), k20260301});
        ASSERT_FALSE(n.ok());
        EXPECT_EQ(n.kind(), c.kind);
    }
    const auto unknown = visit.site(QStringLiteral("RIVER-9"));
    ASSERT_FALSE(unknown.ok());
    EXPECT_NE(unknown.text().find("learnt from the server at"), std::string::npos)
        << unknown.text();
    // Notes the server would refuse are refused here first.
    for (const QString& text : {QString(), QStringLiteral("   "), QString(4001, QLatin1Char('x')),
                                QStringLiteral("bell\x07")}) {
        const auto n = visit.recordNote(
            {fleet::NoteCategory::Other, text, {}, QStringLiteral("QK2"), k20260301});
        ASSERT_FALSE(n.ok());
        EXPECT_EQ(n.kind(), platform::ErrorKind::Invalid);
    }
    ASSERT_TRUE(visit.reload().ok());
    EXPECT_EQ(visit.knowledge().waiting, 0);
}

TEST_F(SiteVisits, WhatALaptopRoleMayNotAddIsRefusedByTheServerAndNoted) {
    // Outbox rows no program of ours writes (another build, a damaged file): the server's
    // checks refuse them for their content; they are noted as conflicts, never lost, and what
    // follows them goes.
    learn(a());
    LocalStore raw(a() + fleet::kSitesFileName);
    ASSERT_TRUE(raw.ok());
    struct Row {
        const char* kind;
        const char* payload;
    };
    const Row rows[] = {
        {"site", R"({"code":"MINE","name":"Mine","longitude":1,"latitude":2})"},
        {"meaning", R"({"data_set":"S","column":1,"from":0,"property":"T","uom_code":"Cel"})"},
        {"note", R"({"id":"0e0c2b1e-0d7a-4c55-9a39-6c7f0f7d2a10","site":"RIVER-03","at":1,)"
                 R"("category":"fun","text":"t"})"},
    };
    QSqlDatabase d = raw.db();
    for (const Row& r : rows) {
        QSqlQuery q(d);
        q.prepare(QStringLiteral(
            "INSERT INTO fleet_outbox (kind, identity, unit, type, data_set, segment, position, "
            "payload, occurred_at, laptop, facts) VALUES ('site', ?, '', ?, '', 0, 0, ?, 1, "
            "'lap-a', 1)"));
        q.addBindValue(fleet::newFactId());
        q.addBindValue(QString::fromLatin1(r.kind));
        q.addBindValue(QByteArray(r.payload));
        ASSERT_TRUE(q.exec()) << q.lastError().text().toStdString();
    }
    fleet::SiteVisit visit(a());
    ASSERT_TRUE(
        visit.recordDeployment(QStringLiteral("QK3"), QStringLiteral("LAKE-1"), k20260301).ok());
    fleet::Pusher p(config("laptop_a", {a() + fleet::kSitesFileName}));
    p.start();
    ASSERT_TRUE(p.pushAndWait(60s));
    p.stop();
    EXPECT_EQ(raw.waiting(), 0);
    EXPECT_EQ(raw.conflicts(), 3);
    EXPECT_EQ(serverValue("SELECT count(*) FROM xrq.site_facts WHERE laptop = 'lap-a'"), "1");
    EXPECT_EQ(serverValue("SELECT count(*) FROM xrq.site_facts WHERE kind = 'site'"), "2");
    EXPECT_EQ(serverValue("SELECT count(*) FROM xrq.site_facts WHERE kind = 'meaning'"), "0");
}

// Our key of a fact is the server's (xrq.site_fact_key): a laptop's own deployment and the
// server's copy of it are then one fact, whatever the unit's name holds.
TEST_F(SiteVisits, TheLaptopsKeyOfAFactIsTheServers) {
    const std::vector<fleet::SiteFactValue> values = {
        fleet::Deployment{QStringLiteral("QK\"1\\x"), QStringLiteral("RIVER-03"), -5, {}, false},
        fleet::Removal{QStringLiteral("Ünit 7"), 253402300799999},
        fleet::Site{QStringLiteral("A.b_c-1"), QStringLiteral("n"), {}, 1, 2, {}, {}},
    };
    for (const fleet::SiteFactValue& v : values) {
        const QByteArray payload = fleet::siteFactPayload(v);
        const char* kind = fleet::siteFactKindName(static_cast<fleet::SiteFactKind>(v.index()));
        fleet::PgConnection c;
        ASSERT_TRUE(c.connect(fleet::serviceConninfo(ownerService()), 30s));
        const fleet::PgResult r =
            c.exec("SELECT xrq.site_fact_key($1, $2::jsonb)",
                   {fleet::PgParam::text(kind), fleet::PgParam::text(payload.toStdString())}, 30s);
        ASSERT_TRUE(r.ok()) << r.error();
        EXPECT_EQ(fleet::siteFactKey(v).toStdString(), r.value(0, 0)) << payload.toStdString();
    }
}

} // namespace
} // namespace fleettest

namespace fleettest {
namespace {

// What the site store reads back is checked as the server checks what it takes: a damaged or
// hostile row is skipped and counted, never thrown on, and the rest is used.
TEST(SiteStorePayloads, AKeptFactReadsBackOnlyWhenTheServerWouldTakeIt) {
    using K = fleet::SiteFactKind;
    struct Case {
        K kind;
        const char* payload;
        bool reads;
    };
    const Case cases[] = {
        {K::Deployment, R"({"unit":"QK1","site":"RIVER-03","from":1772323200000})", true},
        {K::Removal, R"({"unit":"QK1","at":-62135596800000})", true},
        {K::Note,
         R"({"id":"0e0c2b1e-0d7a-4c55-9a39-6c7f0f7d2a10","unit":"QK1","at":1,)"
         R"("category":"damage","text":"Cable\nchewed","by":"lap-a, op"})",
         true},
        {K::Site, R"({"code":"R","name":"n","longitude":-180,"latitude":90,"visit_days":30})",
         true},
        {K::Deployment, R"({"unit":"QK1","site":"RIVER-03","from":1.5})", false},
        {K::Deployment, R"({"unit":"QK1","site":"RIVER-03","from":"1772323200000"})", false},
        {K::Deployment, R"({"unit":"QK1","site":"RIVER-03","from":1e300})", false},
        {K::Deployment, R"({"unit":"","site":"RIVER-03","from":1})", false},
        {K::Deployment,
         R"({"unit":"QK1","site":"ABCDEFGHIJABCDEFGHIJABCDEFGHIJABCDEFGHIJK","from":1})", false},
        {K::Removal, R"({"unit":"QK1\u0007","at":1})", false},
        {K::Note, R"({"id":"x","unit":"QK1","at":1,"category":"damage","text":"t"})", false},
        {K::Note,
         R"({"id":"0e0c2b1e-0d7a-4c55-9a39-6c7f0f7d2a10","at":1,"category":"other","text":"t"})",
         false},
        {K::Note,
         R"({"id":"0e0c2b1e-0d7a-4c55-9a39-6c7f0f7d2a10","unit":"Q","at":1,"category":"fun",)"
         R"("text":"t"})",
         false},
        {K::Site, R"({"code":"R","name":"n","longitude":181,"latitude":0})", false},
        {K::Site, R"({"code":"R","name":"n","longitude":0,"latitude":0,"visit_days":0})", false},
        {K::Site, R"([1,2])", false},
        {K::Site, "not json", false},
        {K::Site, "", false},
    };
    for (const Case& c : cases) {
        const auto v = fleet::siteFactFromPayload(c.kind, QByteArray(c.payload));
        EXPECT_EQ(v.ok(), c.reads) << c.payload << ": " << (v ? "" : v.text());
        if (!v) {
            EXPECT_EQ(v.kind(), platform::ErrorKind::Invalid) << c.payload;
            EXPECT_FALSE(v.text().empty()) << c.payload;
        }
        // What reads back is written back the same (the payload the server takes).
        if (v) {
            const auto w = fleet::siteFactFromPayload(c.kind, fleet::siteFactPayload(*v));
            ASSERT_TRUE(done(w));
            EXPECT_EQ(fleet::siteFactKey(*w), fleet::siteFactKey(*v));
        }
    }
}

// A learnt row damaged on the disk is skipped and told; the others still say where the unit is.
TEST(SiteStorePayloads, ADamagedLearntRowIsSkippedAndTheRestServes) {
    QTemporaryDir tmp;
    ASSERT_TRUE(tmp.isValid());
    const std::string folder = tmp.path().toStdString() + "/";
    {
        auto store = fleet::SiteStore::open(folder, true);
        ASSERT_TRUE(store.ok()) << store.text();
        fleet::Site river;
        river.code = QStringLiteral("RIVER-03");
        river.name = QStringLiteral("Bridge gauge");
        std::vector<fleet::SiteFactRecord> facts(3);
        facts[0].kind = fleet::SiteFactKind::Site;
        facts[0].value = river;
        facts[1].kind = fleet::SiteFactKind::Deployment;
        facts[1].value = fleet::Deployment{"QK1", "RIVER-03", k20260301, {}, false};
        facts[2].kind = fleet::SiteFactKind::Deployment;
        facts[2].value = fleet::Deployment{"QK2", "RIVER-03", k20260301 + kDay, {}, false};
        for (std::size_t i = 0; i < facts.size(); ++i) {
            facts[i].key = fleet::siteFactKey(facts[i].value);
            facts[i].arrival = std::int64_t(i + 1);
        }
        ASSERT_TRUE(store->keepLearnt(facts, {}, k20260301).ok());
    }
    {
        LocalStore raw(folder + fleet::kSitesFileName);
        QSqlQuery q(raw.db());
        ASSERT_TRUE(q.exec(QStringLiteral(
            "UPDATE learnt_site_facts SET payload = '{\"unit\":\"QK2\"}' WHERE arrival = 3")));
    }
    fleet::SiteVisit visit(folder);
    auto where = visit.whereIs(QStringLiteral("QK1"), k20260301 + 2 * kDay);
    ASSERT_TRUE(where.ok()) << where.text();
    ASSERT_TRUE(where->deployment);
    EXPECT_EQ(where->deployment->site, QStringLiteral("RIVER-03"));
    EXPECT_TRUE(where->sideBySide.empty()) << "QK2's row did not read";
    EXPECT_EQ(where->knowledge.source, fleet::SiteKnowledge::Source::Learnt);
    EXPECT_EQ(where->knowledge.learntAtMs, k20260301);
}

// What another program does to the store (xrq-collect --site recording, a learn) is read again
// at the next look, and only then; a look with nothing changed reads nothing.
TEST(SiteVisitReload, AnotherProgramsChangeIsReadAgainAndOnlyThen) {
    QTemporaryDir tmp;
    ASSERT_TRUE(tmp.isValid());
    const std::string folder = tmp.path().toStdString() + "/";
    fleet::Site river;
    river.code = QStringLiteral("RIVER-03");
    river.name = QStringLiteral("Bridge gauge");
    fleet::SiteFactRecord site;
    site.kind = fleet::SiteFactKind::Site;
    site.value = river;
    site.key = fleet::siteFactKey(site.value);
    site.arrival = 1;
    const auto learn = [&](std::int64_t at) {
        auto store = fleet::SiteStore::open(folder, true);
        return store ? store->keepLearnt({site}, {}, at) : platform::Result<void>(store.error());
    };

    fleet::SiteVisit shown(folder); // the program's, read before the store exists
    const auto deployedAt = [&](const char* unit) -> QString {
        auto where = shown.whereIs(QString::fromLatin1(unit), k20260301 + 10 * kDay);
        return where && where->deployment ? where->deployment->site : QString();
    };
    EXPECT_EQ(deployedAt("QK1"), QString());
    EXPECT_EQ(shown.knowledge().source, fleet::SiteKnowledge::Source::Nothing);

    struct Step {
        const char* what;
        std::function<platform::Result<void>()> other; // another program's change; none: none
        bool readAgain;
    };
    const auto recordDeployment = [&](const char* unit) {
        return [&folder, unit]() -> platform::Result<void> {
            fleet::SiteVisit other(folder);
            auto done = other.recordDeployment(QString::fromLatin1(unit),
                                               QStringLiteral("RIVER-03"), k20260301);
            return done ? platform::Result<void>() : platform::Result<void>(done.error());
        };
    };
    const Step steps[] = {
        {"the store made and a learnt set kept", [&] { return learn(k20260301); }, true},
        {"nothing", nullptr, false},
        {"a deployment recorded", recordDeployment("QK1"), true},
        {"nothing again", nullptr, false},
        {"the same set learnt again later", [&] { return learn(k20260301 + kDay); }, true},
        {"a second deployment", recordDeployment("QK2"), true},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        if (step.other) {
            ASSERT_TRUE(done(step.other()));
        }
        const platform::Result<bool> again = shown.reloadIfChanged();
        ASSERT_TRUE(done(again));
        EXPECT_EQ(*again, step.readAgain);
    }
    EXPECT_EQ(deployedAt("QK1"), QStringLiteral("RIVER-03"));
    EXPECT_EQ(deployedAt("QK2"), QStringLiteral("RIVER-03"));
    EXPECT_EQ(shown.knowledge().source, fleet::SiteKnowledge::Source::Learnt);
    EXPECT_EQ(shown.knowledge().learntAtMs, k20260301 + kDay);
    EXPECT_EQ(shown.knowledge().waiting, 2);
}

} // namespace
} // namespace fleettest

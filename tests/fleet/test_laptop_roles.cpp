// SPDX-License-Identifier: GPL-3.0-or-later
// What a laptop role may put on the server: payloads of the types and ranges laptops send, a
// finite time, and only under its own laptop's id; what the owner does about a stolen laptop
// (disown its role, own it again, move a laptop to a new role); and a server migrated with
// the rows it held kept as they were.
#include "fleet_fixture.h"

#include "fleet/admin.h"
#include "fleet/laptop_roles.h"
#include "fleet/server_history.h"
#include "series/server_series.h"

#include <QJsonDocument>

#include <iterator>
#include <limits>
#include <sstream>
#include <tuple>

namespace fleettest {
namespace {

using FleetLaptopRoles = FleetServerTest;

// A laptop role's own connection, as a thief holding its password would have it.
struct Insert {
    const char* table; // "events" (then `kind`), "series_facts" or "kept_downloads"
    const char* kind;
    const char* payload;
    const char* occurredAt;
};

std::string insertSql(const Insert& i) {
    const std::string at = std::string("'") + i.occurredAt + "'::timestamptz";
    const std::string payload = std::string("'") + i.payload + "'::jsonb";
    const std::string t = i.table;
    if (t == "events")
        return "INSERT INTO xrq.events (id, unit, kind, occurred_at, laptop, payload) VALUES "
               "(gen_random_uuid(), 'XRQ00001', '" +
               std::string(i.kind) + "', " + at + ", 'a', " + payload + ")";
    if (t == "series_facts")
        return "INSERT INTO xrq.series_facts (unit, data_set, identity, occurrence, after, "
               "after_occurrence, segment, position, occurred_at, laptop, payload) VALUES "
               "('XRQ00001', 'SET1', md5(random()::text), 0, '', 0, 0, 0, " +
               at + ", 'a', " + payload + ")";
    return "INSERT INTO xrq.kept_downloads (id, unit, sha256, size, occurred_at, laptop, "
           "payload) VALUES (gen_random_uuid(), 'XRQ00001', encode(sha256(random()::text::bytea), "
           "'hex'), 1, " +
           at + ", 'a', " + payload + ")";
}

TEST_F(FleetLaptopRoles, EachPayloadCheckRefusesItsBadValuesAndTakesItsEdges) {
    addLaptop("laptop_a");
    fleet::PgConnection c;
    ASSERT_TRUE(c.connect(fleet::serviceConninfo("laptop_a"), 30s)) << c.error();
    constexpr const char* now = "2026-12-09 10:00:00+00";
    // Refused, each with the word the refusal names.
    const std::pair<Insert, const char*> refused[] = {
        {{"events", "battery", R"({"volts": "x"})", now}, "volts is not a number"},
        {{"events", "battery", R"({"volts": 1e400})", now}, "volts"},
        {{"events", "battery", R"({"volts": -0.1})", now}, "volts"},
        {{"events", "battery", R"({"volts": 100.01})", now}, "volts"},
        {{"events", "battery", R"({"volts": 12, "celsius": 150.5})", now}, "celsius"},
        {{"events", "battery", R"({"volts": 12, "celsius": -100.5})", now}, "celsius"},
        {{"events", "battery", R"({"volts": 12, "reply": 5})", now}, "reply"},
        {{"events", "clock_set", R"({"utc_offset": "x"})", now}, "utc_offset"},
        {{"events", "clock_set", R"({"utc_offset": 50401})", now}, "utc_offset"},
        {{"events", "clock_set", R"({"utc_offset": -50401})", now}, "utc_offset"},
        {{"events", "clock_set", R"({"utc_offset": 3600.5})", now}, "not whole"},
        {{"events", "clock_set", R"({"time_zone": []})", now}, "time_zone"},
        {{"events", "visit", R"({"port": 0})", now}, "port"},
        {{"events", "visit", R"({"port": "COM1"})", now}, "port"},
        {{"events", "download", R"({"bytes": -1})", now}, "bytes"},
        {{"events", "download", R"({"started": 1.5})", now}, "started"},
        {{"events", "download", R"({"complete": "yes"})", now}, "complete"},
        {{"events", "download", R"({"safe": null})", now}, "safe"},
        {{"events", "download", R"({"set_lines": [1]})", now}, "set_lines"},
        {{"events", "download", R"({"set_lines": [{"name": "A", "lines": -1}]})", now}, "lines"},
        {{"events", "download", R"({"reasons": "x"})", now}, "reasons"},
        {{"events", "clear", R"({"confirmed": 1})", now}, "confirmed"},
        {{"events", "judged_again", R"({"verified": "no"})", now}, "verified"},
        {{"events", "link", R"({"download": 7})", now}, "download"},
        {{"events", "visit", R"([1])", now}, "not a JSON object"},
        {{"events", "visit", R"("x")", now}, "not a JSON object"},
        {{"events", "Visit; drop", R"({})", now}, "not a word"},
        {{"events", "visit", R"({})", "infinity"}, "finite"},
        {{"events", "visit", R"({})", "-infinity"}, "finite"},
        {{"series_facts", "", R"({"info": {}})", now}, "line"},
        {{"series_facts", "", R"({"line": 5})", now}, "line"},
        {{"series_facts", "", R"({"line": "x", "info": "y"})", now}, "info"},
        {{"series_facts", "", R"({"line": "x", "info": {"offset": 50401}})", now}, "offset"},
        {{"series_facts", "", R"({"line": "x", "info": {"flags": 256}})", now}, "flags"},
        {{"series_facts", "", R"({"line": "x", "info": {"interval": -1}})", now}, "interval"},
        {{"series_facts", "", R"({"line": "x"})", "infinity"}, "finite"},
        {{"kept_downloads", "", R"({"path": 5})", now}, "path"},
    };
    for (const auto& [insert, word] : refused) {
        const std::string sql = insertSql(insert);
        const fleet::PgResult r = c.exec(sql);
        EXPECT_EQ(r.sqlState(), "23514") << sql << ": " << r.error();
        EXPECT_NE(r.error().find(word), std::string::npos) << sql << ": " << r.error();
    }
    EXPECT_EQ(count("xrq.events"), 0);
    EXPECT_EQ(count("xrq.series_facts"), 0);
    EXPECT_EQ(count("xrq.kept_downloads"), 0);
    // Taken: the edges of each range, what a laptop writes for a value it did not read (null),
    // keys older laptops left out, a kind this schema does not know, and any finite time (a
    // laptop's clock may be wrong either way: it is not refused for it).
    const Insert taken[] = {
        {"events", "battery", R"({"volts": 0, "celsius": -100, "reply": "B"})", now},
        {"events", "battery", R"({"volts": 100, "celsius": 150})", now},
        {"events", "battery", R"({"volts": null, "celsius": null})", now},
        {"events", "clock_set", R"({"utc_offset": 50400, "sent": "x", "time_zone": "UTC"})", now},
        {"events", "clock_set", R"({"utc_offset": -50400})", now},
        {"events", "clock_set", R"({"utc_offset": null})", now},
        {"events", "visit", R"({"port": 65535, "device": "/dev/ttyS0"})", now},
        {"events", "visit", R"({"port": null})", now},
        {"events", "visit", R"({})", now},
        {"events", "download",
         R"({"started": 1765188000000, "bytes": 0, "complete": true, "safe": false,
             "set_lines": [{"name": "A", "lines": 0}], "reasons": [], "files": []})",
         now},
        {"events", "clear", R"({"confirmed": false})", now},
        {"events", "a_later_kind", R"({"anything": [1, "x"]})", now},
        {"events", "visit", R"({})", "1970-01-01 00:00:00+00"},
        {"events", "visit", R"({})", "9999-12-31 23:59:59+00"},
        {"series_facts", "", R"({"line": "x", "info": {"offset": -50400, "flags": 255}})", now},
        {"series_facts", "", R"({"line": ""})", now},
        {"kept_downloads", "", R"({"path": "/x"})", now},
    };
    for (const Insert& insert : taken) {
        const std::string sql = insertSql(insert);
        const fleet::PgResult r = c.exec(sql);
        EXPECT_TRUE(r.ok()) << sql << ": " << r.error();
    }
    EXPECT_EQ(count("xrq.events") + count("xrq.series_facts") + count("xrq.kept_downloads"),
              static_cast<std::int64_t>(std::size(taken)));
}

// The laptop id the server bound to `role`.
std::string boundId(testsupport::PgTestServer& server, const std::string& role) {
    return server
        .value("SELECT laptop_id::text FROM xrq.laptop_roles WHERE role = '" + role +
               "' ORDER BY id DESC LIMIT 1")
        .value_or("");
}

TEST_F(FleetLaptopRoles, ALaptopIsItsRoleUntilTheOwnerMovesIt) {
    addLaptop("laptop_a");
    addLaptop("laptop_b");
    LocalStore a(file("units.sqlite"));
    ASSERT_TRUE(a.record(visit("XRQ00001", "a", 1765188000000)));
    ASSERT_TRUE(pushAll("laptop_a", {a.path()}));
    const std::string id = boundId(server, "laptop_a");
    ASSERT_EQ(id.size(), 36u);
    EXPECT_EQ(server.value("SELECT count(*) FROM xrq.laptop_roles"), "1");

    // Another role forging that laptop's id, by hand and through a pusher of a copy of its
    // folder: refused, nothing taken; the pusher's fact stays in its outbox, and says why.
    fleet::PgConnection b;
    ASSERT_TRUE(b.connect(fleet::serviceConninfo("laptop_b"), 30s)) << b.error();
    const std::string forged =
        "INSERT INTO xrq.events (id, unit, kind, occurred_at, laptop, payload, laptop_id) "
        "VALUES (gen_random_uuid(), 'XRQ00001', 'download', now(), 'a', "
        "'{\"safe\": true}', '" +
        id + "')";
    fleet::PgResult r = b.exec(forged);
    EXPECT_EQ(r.sqlState(), "42501") << r.error();
    EXPECT_NE(r.error().find("pushes as role laptop_a"), std::string::npos) << r.error();
    // Nor may it write the bindings itself.
    r = b.exec("INSERT INTO xrq.laptop_roles (laptop_id, role) VALUES ('" + id + "', 'laptop_b')");
    EXPECT_EQ(r.sqlState(), "42501") << r.error();
    ASSERT_TRUE(a.record(visit("XRQ00001", "a", 1765188001000)));
    {
        fleet::Pusher p(config("laptop_b", {a.path()}));
        p.start();
        ASSERT_TRUE(p.waitFor(
            [](const fleet::PushStatus& s) { return s.state == fleet::PushStatus::State::Refused; },
            60s));
        const std::string line = fleet::statusLine(p.status(), 0).toStdString();
        EXPECT_NE(line.find("1 fact waiting: not taken by the server"), std::string::npos) << line;
        EXPECT_NE(line.find("pushes as role laptop_a, not as laptop_b"), std::string::npos) << line;
    }
    EXPECT_EQ(a.waiting(), 1);
    EXPECT_EQ(a.conflicts(), 0);
    EXPECT_EQ(count("xrq.events"), 1);

    // The owner moves the laptop to its new role: its fact goes, and the old role is refused.
    const QString owner = QString::fromStdString(ownerService());
    std::ostringstream out, err;
    EXPECT_EQ(
        fleet::runAdmin({"move-laptop", "--service", owner, QString::fromStdString(id), "laptop_b"},
                        out, err),
        0)
        << err.str();
    ASSERT_TRUE(pushAll("laptop_b", {a.path()}));
    EXPECT_EQ(a.waiting(), 0);
    fleet::PgConnection old;
    ASSERT_TRUE(old.connect(fleet::serviceConninfo("laptop_a"), 30s)) << old.error();
    EXPECT_EQ(old.exec(forged).sqlState(), "42501");
    EXPECT_EQ(server.value("SELECT string_agg(pushed_by, ',' ORDER BY arrival) FROM xrq.events"),
              "laptop_a,laptop_b");
    // Only to a laptop role, and only a laptop id.
    const std::vector<QStringList> wrong = {
        {"move-laptop", "--service", owner, QString::fromStdString(id), "xrq_owner"},
        {"move-laptop", "--service", owner, QString::fromStdString(id), "nobody"},
        {"move-laptop", "--service", owner, "not-a-uuid", "laptop_a"},
    };
    for (const QStringList& args : wrong) {
        std::ostringstream o, e;
        EXPECT_EQ(fleet::runAdmin(args, o, e), 1) << args.join(' ').toStdString();
    }
}

TEST_F(FleetLaptopRoles, ARefusedFactIsKeptAndTold) {
    addLaptop("laptop_a");
    LocalStore store(file("units.sqlite"));
    const fleet::Fact bad =
        fleet::eventFact(fleet::newFactId(), "XRQ00001", "battery",
                         QJsonObject{{"volts", 1000.0}, {"celsius", 20.0}}, 1765188000000, "a");
    ASSERT_TRUE(store.record(
        {visit("XRQ00001", "a", 1765187000000), bad, visit("XRQ00001", "a", 1765189000000)}));
    fleet::Pusher p(config("laptop_a", {store.path()}));
    p.start();
    ASSERT_TRUE(p.pushAndWait(60s)) << fleet::statusLine(p.status(), 0).toStdString();
    // The rest went; the refused fact is kept with its payload in the file, and told.
    EXPECT_EQ(count("xrq.events"), 2);
    EXPECT_EQ(store.waiting(), 0);
    EXPECT_EQ(store.conflicts(), 1);
    QSqlQuery q(store.db());
    ASSERT_TRUE(q.exec("SELECT identity, local_payload, reason FROM fleet_conflicts"));
    ASSERT_TRUE(q.next());
    EXPECT_EQ(q.value(0).toString(), bad.identity);
    EXPECT_EQ(QJsonDocument::fromJson(q.value(1).toByteArray()).object(), bad.payload);
    EXPECT_TRUE(q.value(2).toString().contains("volts 1000 is outside 0 to 100"))
        << q.value(2).toString().toStdString();
    const std::string line = fleet::statusLine(p.status(), 0).toStdString();
    EXPECT_NE(line.find("1 conflict noted; newest: event " + bad.identity.toStdString() +
                        " of unit XRQ00001 refused by the server for its content"),
              std::string::npos)
        << line;
    EXPECT_NE(line.find("volts 1000 is outside 0 to 100"), std::string::npos) << line;
}

TEST_F(FleetLaptopRoles, ADisownedRolesFactsAreLeftOutOfEveryReadUntilItIsOwnedAgain) {
    addLaptop("laptop_a");
    addLaptop("laptop_b");
    LocalStore a(file("units.sqlite"));
    QTemporaryDir other;
    LocalStore b(other.path().toStdString() + "/units.sqlite");
    ASSERT_TRUE(a.record(visit("XRQ00001", "a", 1765188000000)));
    ASSERT_TRUE(b.record(visit("XRQ00001", "b", 1765188001000)));
    ASSERT_TRUE(b.record(visit("XRQ00002", "b", 1765188001000)));
    ASSERT_TRUE(pushAll("laptop_a", {a.path()}));
    ASSERT_TRUE(pushAll("laptop_b", {b.path()}));
    const std::string conninfo = fleet::serviceConninfo("laptop_a");
    const QString owner = QString::fromStdString(ownerService());
    struct Seen {
        std::size_t history; // of XRQ00001, as the Units window reads it
        std::size_t units;   // as the Units window lists them
        std::string unitsView, leftOut;
    };
    auto seen = [&] {
        Seen s;
        const fleet::ServerHistory h = fleet::readUnitHistory(conninfo, "XRQ00001", "a");
        EXPECT_TRUE(h.ok) << h.message.toStdString();
        s.history = h.entries.size();
        s.leftOut = h.leftOut.toStdString();
        const fleet::ServerUnits u = fleet::readUnits(conninfo, 30s);
        EXPECT_TRUE(u.ok) << u.message.toStdString();
        s.units = u.units.size();
        EXPECT_EQ(u.leftOut, h.leftOut); // the Units window says it as the history does
        s.unitsView = server
                          .value("SELECT string_agg(unit || ':' || visits, ',' ORDER BY unit) "
                                 "FROM xrq.owned_units")
                          .value_or("");
        return s;
    };
    auto admin = [&](QStringList args) {
        args.insert(1, "--service");
        args.insert(2, owner);
        std::ostringstream out, err;
        const int status = fleet::runAdmin(args, out, err);
        EXPECT_EQ(status, 0) << args.join(' ').toStdString() << ": " << err.str();
        return out.str();
    };
    Seen s = seen();
    EXPECT_EQ(s.history, 2u);
    EXPECT_EQ(s.units, 2u);
    EXPECT_EQ(s.leftOut, "");

    // Disowned from a time after its facts came: nothing of them is left out yet.
    admin({"disown-laptop", "laptop_b", "--since", "2999-01-01"});
    s = seen();
    EXPECT_EQ(s.history, 2u);
    EXPECT_EQ(s.unitsView, "XRQ00001:2,XRQ00002:1");
    EXPECT_EQ(s.leftOut, "left out: facts pushed by role laptop_b since 2999-01-01 00:00 UTC "
                         "(disowned)");
    // Since before them: left out of every read, and said; the rows stay.
    const std::string told = admin({"disown-laptop", "laptop_b", "--since", "2000-01-01T00:00:00"});
    EXPECT_NE(told.find("every reader now leaves out the facts role laptop_b pushed since "
                        "2000-01-01T00:00:00Z"),
              std::string::npos)
        << told;
    s = seen();
    EXPECT_EQ(s.history, 1u);
    EXPECT_EQ(s.units, 1u);
    EXPECT_EQ(s.unitsView, "XRQ00001:1");
    EXPECT_NE(s.leftOut.find("role laptop_b since 2000-01-01 00:00 UTC"), std::string::npos);
    EXPECT_EQ(count("xrq.events"), 3);
    // What it pushes after is left out as well.
    ASSERT_TRUE(b.record(visit("XRQ00001", "b", 1765189000000)));
    ASSERT_TRUE(pushAll("laptop_b", {b.path()}));
    EXPECT_EQ(seen().history, 1u);

    admin({"own-laptop", "laptop_b"});
    s = seen();
    EXPECT_EQ(s.history, 3u);
    EXPECT_EQ(s.unitsView, "XRQ00001:3,XRQ00002:1");
    EXPECT_EQ(s.leftOut, "");
    // Every disowning and owning stays on record.
    EXPECT_EQ(server.value("SELECT string_agg(disowned::text, ',' ORDER BY id) FROM "
                           "xrq.role_trust"),
              "true,true,false");
    // A laptop role may neither disown nor own.
    fleet::PgConnection c;
    ASSERT_TRUE(c.connect(conninfo, 30s));
    EXPECT_EQ(c.exec("INSERT INTO xrq.role_trust (role, disowned, since) VALUES ('laptop_a', "
                     "false, now())")
                  .sqlState(),
              "42501");
}

TEST_F(FleetLaptopRoles, AdminSinceTimesReadAsTheOtherTimesDo) {
    struct Case {
        const char* text;
        std::optional<std::int64_t> ms;
    };
    const Case cases[] = {
        {"2026-06-01", 1780272000000},
        {"2026-06-01T08:00:00", 1780300800000},
        {"2026-06-01T08:00:00+02:00", 1780293600000},
        {"2026-06-01T08:00:00Z", 1780300800000},
        {"yesterday", std::nullopt},
        {"2026-13-01", std::nullopt},
        {"", std::nullopt},
    };
    for (const Case& c : cases)
        EXPECT_EQ(fleet::parseSinceTime(c.text), c.ms) << c.text;
    std::ostringstream out, err;
    EXPECT_EQ(
        fleet::runAdmin({"disown-laptop", "--service", "x", "r", "--since", "soon"}, out, err), 2);
    EXPECT_EQ(
        fleet::runAdmin({"own-laptop", "--service", "x", "r", "--since", "2026-06-01"}, out, err),
        2);
}

TEST_F(FleetLaptopRoles, AServerMigratedFromTheVersionBeforeKeepsTheRowsItHeld) {
    addLaptop("laptop_a");
    addLaptop("laptop_b");
    // The server as version 9 held it: no checks, no bindings, no disowning (and none of the
    // site facts of 11).
    ASSERT_TRUE(server.sql(
        "DROP TABLE xrq.site_facts CASCADE; DROP FUNCTION xrq.site_fact_key, "
        "xrq.site_fact_fault, xrq.text_fault; DROP FUNCTION xrq.check_added_facts() CASCADE; "
        "DROP FUNCTION xrq.payload_fault; "
        "DROP FUNCTION xrq.key_fault; DROP VIEW xrq.owned_events, xrq.owned_kept_downloads, "
        "xrq.owned_series_facts, xrq.owned_series_records CASCADE; DROP VIEW "
        "xrq.disowned_roles; DROP TABLE xrq.role_trust, xrq.laptop_roles; UPDATE "
        "xrq.schema_info SET version = 9"));
    const std::string idA = "0b0b0b0b-0000-4000-8000-00000000000a";
    fleet::PgConnection b, a;
    ASSERT_TRUE(b.connect(fleet::serviceConninfo("laptop_b"), 30s));
    ASSERT_TRUE(a.connect(fleet::serviceConninfo("laptop_a"), 30s));
    auto event = [&](const std::string& kind, const std::string& payload, const std::string& at,
                     const std::string& id) {
        return "INSERT INTO xrq.events (id, unit, kind, occurred_at, laptop, payload, "
               "laptop_id) VALUES (gen_random_uuid(), 'XRQ00001', '" +
               kind + "', '" + at + "', 'x', '" + payload + "', '" + id + "')";
    };
    // Bad rows a hostile laptop put there before, and a forgery of a's id by b, first.
    for (const std::string& sql : {event("battery", R"({"volts": 1e400})", "2026-12-09", idA),
                                   event("clock_set", R"({"utc_offset": "x"})", "infinity", idA)})
        ASSERT_TRUE(b.exec(sql).ok()) << sql;
    ASSERT_TRUE(a.exec(event("visit", "{}", "2026-12-09", idA)).ok());
    const fleet::InitOutcome o = fleet::initServer(fleet::serviceConninfo(ownerService()));
    ASSERT_TRUE(o.ok) << o.message.toStdString();
    EXPECT_EQ(o.versionBefore, 9);
    EXPECT_EQ(count("xrq.events"), 3);
    EXPECT_EQ(count("xrq.owned_unit_history"), 3); // every reader still reads them (and copes)
    // The id is bound to the role that pushed it first, as its next push would have bound it.
    EXPECT_EQ(server.value("SELECT role FROM xrq.laptop_roles"), "laptop_b");
    EXPECT_EQ(a.exec(event("visit", "{}", "2026-12-09", idA)).sqlState(), "42501");
    EXPECT_EQ(b.exec(event("battery", R"({"volts": 1e400})", "2026-12-09", idA)).sqlState(),
              "23514");
    EXPECT_TRUE(b.exec(event("battery", R"({"volts": 12})", "2026-12-09", idA)).ok());
}

// The same rule as the server applies it to a row, for the readers that pick a unit's last
// visit: a row without a time of receipt, or with one after the server's now, is judged
// against the server's now; 'infinity' is always ahead and '-infinity' never taken.
TEST_F(FleetLaptopRoles, TheServersClockAheadRuleMatchesTheLaptopsAndGuardsMissingReceipts) {
    struct Row {
        const char* occurred;
        const char* received;
        const char* aheadAndTaken;
    };
    const Row rows[] = {
        {"'2026-12-09 10:00:00+00'", "'2026-12-09 10:00:00+00'", "false,true"},
        {"'2026-12-09 11:00:00+00'", "'2026-12-09 10:00:00+00'", "false,true"}, // the margin
        {"'2026-12-09 11:00:01+00'", "'2026-12-09 10:00:00+00'", "true,false"},
        {"'1970-01-01 00:00:00+00'", "'2026-12-09 10:00:00+00'", "false,true"},
        {"'infinity'", "now()", "true,false"},
        {"'-infinity'", "now()", "false,false"},
        {"now() + interval '2 hours'", "NULL", "true,false"},
        {"now() - interval '1 day'", "NULL", "false,true"},
        {"now() + interval '2 hours'", "'infinity'", "true,false"},
        {"now() + interval '5 days'", "now() + interval '10 days'", "true,false"},
    };
    for (const Row& row : rows) {
        const std::string from = std::string(" FROM (VALUES ((") + row.occurred +
                                 ")::timestamptz, (" + row.received +
                                 ")::timestamptz)) AS v(occurred_at, received_at)";
        for (const char* alias : {"v", ""}) {
            const std::optional<std::string> got =
                server.value("SELECT " + fleet::clockAheadSql(alias) + "::text || ',' || " +
                             fleet::timeTakenSql(alias) + "::text" + from);
            ASSERT_TRUE(got) << row.occurred << " " << row.received;
            EXPECT_EQ(*got, row.aheadAndTaken)
                << row.occurred << " " << row.received << " '" << alias << "'";
        }
    }
}

TEST(FleetClockAhead, AStampWellAfterTheServersReceiptIsAClockAhead) {
    constexpr std::int64_t received = 1765188000000, hour = 3600000;
    constexpr std::int64_t most = std::numeric_limits<std::int64_t>::max();
    constexpr std::int64_t least = std::numeric_limits<std::int64_t>::min();
    const std::tuple<std::int64_t, std::int64_t, bool> cases[] = {
        {received, received, false},
        {received - 40 * 365 * 24 * hour, received, false}, // pushed long after: not ahead
        {received + hour, received, false},                 // the margin
        {received + hour + 1, received, true},
        {most, received, true},
        {most, least, true}, // no overflow at the ends
        {least, most, false},
    };
    for (const auto& [occurred, at, ahead] : cases)
        EXPECT_EQ(fleet::clockAhead(occurred, at), ahead) << occurred << " " << at;
}

} // namespace
} // namespace fleettest

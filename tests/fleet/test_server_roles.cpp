// SPDX-License-Identifier: GPL-3.0-or-later
// The server's schema and roles: made and migrated by the owner, idempotent; a laptop may
// only insert and read, and cannot set the server's own columns; a laptop takes a server whose
// newer migrations only added, and refuses one that needs a newer laptop.
#include "fleet_fixture.h"

#include "fleet/admin.h"
#include "fleet/server_history.h"
#include "poll_until.h"

#include <sstream>
#include <thread>

namespace fleettest {
namespace {

using FleetServerRoles = FleetServerTest;

// Starts the pusher, waits until the server refuses it and gives its status line then.
std::string refusedLine(fleet::Pusher& pusher) {
    pusher.start();
    EXPECT_TRUE(pusher.waitFor(
        [](const fleet::PushStatus& s) { return s.state == fleet::PushStatus::State::Refused; },
        60s));
    return fleet::statusLine(pusher.status(), 0).toStdString();
}

TEST_F(FleetServerRoles, InitServerIsIdempotentAndKeepsItsVersion) {
    const fleet::InitOutcome again = fleet::initServer(fleet::serviceConninfo(ownerService()));
    EXPECT_TRUE(again.ok) << again.message.toStdString();
    EXPECT_EQ(again.versionBefore, fleet::kServerSchemaVersion);
    EXPECT_EQ(again.versionAfter, fleet::kServerSchemaVersion);
    EXPECT_EQ(count("xrq.schema_version"), 1); // the oldest laptop it takes, additive since
    // The admin command does the same from its words.
    std::ostringstream out, err;
    EXPECT_EQ(fleet::runAdmin({"init-server", "--service", QString::fromStdString(ownerService())},
                              out, err),
              0)
        << err.str();
    EXPECT_NE(out.str().find("up to date"), std::string::npos) << out.str();
}

TEST_F(FleetServerRoles, AdminRefusesWhatItDoesNotUnderstand) {
    const std::vector<QStringList> wrong = {
        {},
        {"init-server"},
        {"init-server", "--service", "bad name"},
        {"drop-server", "--service", "x"},
        {"init-server", "--service", "x", "--max-download-bytes", "many"},
        {"grant-laptop", "--service", "x"},
        {"grant-office", "--service", "x"},
        {"grant-office", "--service", "x", "a", "b"},
    };
    for (const QStringList& args : wrong) {
        std::ostringstream out, err;
        EXPECT_EQ(fleet::runAdmin(args, out, err), 2) << args.join(' ').toStdString();
        EXPECT_NE(err.str().find("usage:"), std::string::npos);
    }
}

TEST_F(FleetServerRoles, TheLaptopRoleMayOnlyInsertAndRead) {
    addLaptop("laptop_a");
    LocalStore store(file("units.sqlite"));
    ASSERT_TRUE(store.ok());
    ASSERT_TRUE(store.record(visit("XRQ00001", "a", 1765188000000)));
    ASSERT_TRUE(store.record(records("XRQ00001", "SET1", 3, "a")));
    fleet::Pusher pusher(config("laptop_a", {store.path()}));
    pusher.start();
    ASSERT_TRUE(pusher.pushAndWait(60s)) << fleet::statusLine(pusher.status(), 0).toStdString();

    fleet::PgConnection c;
    ASSERT_TRUE(c.connect(fleet::serviceConninfo("laptop_a"), 30s)) << c.error();
    struct Attempt {
        const char* sql;
    };
    const Attempt refused[] = {
        {"DELETE FROM xrq.events"},
        {"UPDATE xrq.events SET laptop = 'b'"},
        {"TRUNCATE xrq.events"},
        {"DELETE FROM xrq.series_records"},
        {"DELETE FROM xrq.series_facts"},
        {"UPDATE xrq.series_facts SET segment = 0"},
        {"UPDATE xrq.series_records SET payload = '{}'"},
        {"TRUNCATE xrq.series_records, xrq.kept_downloads, xrq.download_bytes"},
        {"DROP TABLE xrq.events"},
        {"UPDATE xrq.server_settings SET accept_download_bytes = false"},
        {"INSERT INTO xrq.schema_version (version) VALUES (9)"},
        // The server's own columns are the server's: a laptop cannot say when it was received
        // or who pushed it.
        {"INSERT INTO xrq.events (id, unit, kind, occurred_at, laptop, payload, received_at) "
         "VALUES (gen_random_uuid(), 'U', 'visit', now(), 'a', '{}', '2000-01-01')"},
        {"INSERT INTO xrq.events (id, unit, kind, occurred_at, laptop, payload, pushed_by) "
         "VALUES (gen_random_uuid(), 'U', 'visit', now(), 'a', '{}', 'someone')"},
        {"CREATE TABLE xrq.mine (x int)"},
        // What each insert added is the server's own account of it.
        {"INSERT INTO xrq.series_arrivals (unit, data_set, rows, newest) VALUES ('U', 'S', 1, 1)"},
        {"SELECT xrq.note_series_arrivals()"},
    };
    for (const Attempt& a : refused) {
        const fleet::PgResult r = c.exec(a.sql);
        EXPECT_FALSE(r.ok()) << a.sql;
        EXPECT_EQ(r.sqlState(), "42501") << a.sql << ": " << r.error();
    }
    EXPECT_EQ(count("xrq.events"), 1);
    EXPECT_EQ(count("xrq.series_records"), 3);
    // What it may do: read, and insert a fact.
    EXPECT_TRUE(c.exec("SELECT * FROM xrq.units").ok());
    EXPECT_TRUE(c.exec("INSERT INTO xrq.events (id, unit, kind, occurred_at, laptop, payload) "
                       "VALUES (gen_random_uuid(), 'U', 'visit', now(), 'a', '{}')")
                    .ok());
    const auto pushedBy = server.value("SELECT DISTINCT pushed_by FROM xrq.events");
    ASSERT_TRUE(pushedBy);
    EXPECT_EQ(*pushedBy, "laptop_a");
}

// What each insert added to a series, summed, is the series' count and newest arrival, over
// both series tables, whoever inserted: a laptop's pusher (the trigger writing what the laptop
// may not), an insert whose rows were partly there already, and the rows a server held before
// the sums were kept, summed once by the migration (with those of an insert it waited for) and
// not again by a later init-server.
TEST_F(FleetServerRoles, TheSumsOfWhatEachInsertAddedAreEachSeriesCountAndNewestArrival) {
    auto sumsAgree = [&] {
        const auto differing = server.value(
            "SELECT count(*) FROM (SELECT unit, data_set, sum(rows) AS n, max(newest) AS newest "
            "FROM xrq.series_arrivals GROUP BY 1, 2) a FULL JOIN (SELECT unit, data_set, "
            "count(*) AS n, max(arrival) AS newest FROM xrq.series_places GROUP BY 1, 2) p "
            "USING (unit, data_set) WHERE a.n IS DISTINCT FROM p.n "
            "OR a.newest IS DISTINCT FROM p.newest");
        return differing && *differing == "0";
    };
    addLaptop("laptop_a");
    LocalStore store(file("units.sqlite"));
    ASSERT_TRUE(store.record(records("XRQ00001", "SET1", 3, "a")));
    ASSERT_TRUE(store.record(records("XRQ00002", "SET1", 2, "a")));
    ASSERT_TRUE(pushAll("laptop_a", {store.path()}));
    EXPECT_EQ(count("xrq.series_places"), 5);
    EXPECT_TRUE(sumsAgree());

    auto facts = [](int from, int to) {
        return "INSERT INTO xrq.series_facts (unit, data_set, identity, occurrence, after, "
               "after_occurrence, segment, position, occurred_at, laptop, payload) "
               "SELECT 'XRQ00003', 'SET1', md5(i::text), 0, '', 0, 0, i, now(), 'b', "
               "'{\"line\": \"x\"}' FROM generate_series(" +
               std::to_string(from) + ", " + std::to_string(to) + ") i ON CONFLICT DO NOTHING;";
    };
    const std::string records =
        "INSERT INTO xrq.series_records (unit, data_set, segment, position, chain_hash, "
        "occurred_at, laptop, payload) SELECT 'XRQ00003', 'SET2', 0, i, md5(i::text), now(), "
        "'old', '{\"line\": \"y\"}' FROM generate_series(1, 4) i;";
    ASSERT_TRUE(server.sql(facts(1, 10) + facts(6, 12) + records));
    EXPECT_EQ(server.value("SELECT sum(rows) FROM xrq.series_arrivals WHERE unit = 'XRQ00003' "
                           "AND data_set = 'SET1'"),
              "12");
    EXPECT_TRUE(sumsAgree());

    // A server of the version before the sums (8), holding rows, migrated forward while a
    // laptop's insert is still open: the migration waits for it, and sums its rows with the
    // others.
    ASSERT_TRUE(server.sql("DROP TABLE xrq.series_arrivals; DROP FUNCTION "
                           "xrq.note_series_arrivals() CASCADE; UPDATE xrq.schema_info SET "
                           "version = 8;" +
                           facts(20, 25)));
    fleet::PgConnection open;
    ASSERT_TRUE(open.connect(fleet::serviceConninfo("laptop_a"), 30s)) << open.error();
    ASSERT_TRUE(open.exec("BEGIN").ok());
    const fleet::PgResult inserted = open.exec(facts(40, 44));
    ASSERT_TRUE(inserted.ok()) << inserted.error();
    fleet::InitOutcome migrated;
    std::thread owner(
        [&] { migrated = fleet::initServer(fleet::serviceConninfo(ownerService())); });
    const bool waited = pollUntil([&] {
        const auto waiting =
            server.value("SELECT count(*) FROM pg_catalog.pg_locks WHERE NOT granted");
        return waiting && *waiting != "0";
    });
    EXPECT_TRUE(open.exec("COMMIT").ok());
    owner.join();
    EXPECT_TRUE(waited);
    ASSERT_TRUE(migrated.ok) << migrated.message.toStdString();
    EXPECT_TRUE(sumsAgree());
    const fleet::InitOutcome again = fleet::initServer(fleet::serviceConninfo(ownerService()));
    ASSERT_TRUE(again.ok) << again.message.toStdString();
    EXPECT_TRUE(sumsAgree());
    ASSERT_TRUE(server.sql(facts(30, 31)));
    EXPECT_TRUE(sumsAgree());
    EXPECT_EQ(server.value("SELECT sum(rows) FROM xrq.series_arrivals"), "34");
}

TEST_F(FleetServerRoles, ALaptopTakesAServerThatOnlyAddedAndRefusesOneThatNeedsANewerLaptop) {
    addLaptop("laptop_a");
    const int ours = fleet::kServerSchemaVersion;
    // A newer program's additive migration: a table of its own, the version one ahead, the
    // oldest laptop it takes unchanged.
    ASSERT_TRUE(server.sql("CREATE TABLE xrq.newer_facts (id uuid PRIMARY KEY); "
                           "UPDATE xrq.schema_info SET version = version + 1"));
    LocalStore store(file("units.sqlite"));
    ASSERT_TRUE(store.record(visit("XRQ00001", "a", 1765188000000)));
    {
        fleet::Pusher pusher(config("laptop_a", {store.path()}));
        pusher.start();
        ASSERT_TRUE(pusher.pushAndWait(60s)) << fleet::statusLine(pusher.status(), 0).toStdString();
    }
    EXPECT_EQ(count("xrq.events"), 1);
    EXPECT_TRUE(fleet::readUnitHistory(fleet::serviceConninfo("laptop_a"), "XRQ00001", "a").ok);
    // The owner's older program changes nothing of it.
    const fleet::InitOutcome o = fleet::initServer(fleet::serviceConninfo(ownerService()));
    EXPECT_FALSE(o.ok);
    EXPECT_NE(o.message.indexOf("newer"), -1) << o.message.toStdString();
    EXPECT_EQ(server.value("SELECT version FROM xrq.schema_info"), std::to_string(ours + 1));

    // A migration that needs laptops made for it.
    ASSERT_TRUE(server.sql("UPDATE xrq.schema_info SET min_laptop_version = version; "
                           "INSERT INTO xrq.schema_version (version) VALUES (" +
                           std::to_string(ours + 1) + ")"));
    ASSERT_TRUE(store.record(visit("XRQ00001", "a", 1765188001000)));
    fleet::Pusher pusher(config("laptop_a", {store.path()}));
    const std::string line = refusedLine(pusher);
    ASSERT_FALSE(HasFailure()) << line;
    const std::string why = "the server's schema is version " + std::to_string(ours + 1) +
                            " and takes XRQ Control made for version " + std::to_string(ours + 1) +
                            " or later, this program is made for " + std::to_string(ours) +
                            ": update XRQ Control to share";
    EXPECT_EQ(line, "1 fact waiting: " + why);
    EXPECT_FALSE(pusher.pushAndWait(100ms));
    pusher.stop();
    EXPECT_EQ(store.waiting(), 1);
    EXPECT_EQ(count("xrq.events"), 1);
    // Nor does reading back pretend.
    const fleet::ServerHistory h =
        fleet::readUnitHistory(fleet::serviceConninfo("laptop_a"), "XRQ00001", "a");
    EXPECT_FALSE(h.ok);
    EXPECT_NE(h.message.toStdString().find(why), std::string::npos) << h.message.toStdString();
}

TEST_F(FleetServerRoles, AServerFromBeforeSchemaInfoIsToldToMigrateAndMigratedForward) {
    // As the first program made it: schema_version alone, without the later steps.
    ASSERT_TRUE(server.sql(
        "DROP TABLE xrq.schema_info; "
        "ALTER TABLE xrq.download_bytes DROP CONSTRAINT download_bytes_at_most_64_mib; "
        "ALTER TABLE xrq.server_settings DROP CONSTRAINT max_download_bytes_at_most_64_mib"));
    ASSERT_EQ(server.value("SELECT string_agg(version::text, ',') FROM xrq.schema_version"), "1");
    addLaptop("laptop_a");
    LocalStore store(file("units.sqlite"));
    ASSERT_TRUE(store.record(visit("XRQ00001", "a", 1765188000000)));
    {
        // This program writes each fact's laptop_id (version 4): it asks the owner to migrate,
        // and its facts wait.
        fleet::Pusher p(config("laptop_a", {store.path()}));
        p.start();
        ASSERT_TRUE(p.waitFor(
            [](const fleet::PushStatus& s) { return s.state == fleet::PushStatus::State::Refused; },
            60s));
        EXPECT_NE(p.status().detail.indexOf(QStringLiteral("older than this program needs (") +
                                            QString::number(fleet::kOldestServerSchemaVersion)),
                  -1)
            << p.status().detail.toStdString();
    }
    EXPECT_EQ(count("xrq.events"), 0);

    const fleet::InitOutcome o = fleet::initServer(fleet::serviceConninfo(ownerService()));
    ASSERT_TRUE(o.ok) << o.message.toStdString();
    ASSERT_TRUE(pushAll("laptop_a", {store.path()}));
    EXPECT_EQ(count("xrq.events"), 1);
    EXPECT_EQ(o.versionBefore, 1);
    EXPECT_EQ(o.versionAfter, fleet::kServerSchemaVersion);
    EXPECT_EQ(server.value("SELECT version || ' ' || min_laptop_version FROM xrq.schema_info"),
              std::to_string(fleet::kServerSchemaVersion) + " 1");
    // What a laptop from before schema_info compares with its own version stays 1.
    EXPECT_EQ(server.value("SELECT string_agg(version::text, ',') FROM xrq.schema_version"), "1");
}

TEST_F(FleetServerRoles, AWrongPasswordIsToldAndTheFactsWaitUntilItIsRight) {
    addLaptop("laptop_a", "right-password");
    server.setPassword("laptop_a", "wrong-password");
    LocalStore store(file("units.sqlite"));
    ASSERT_TRUE(store.record(visit("XRQ00001", "a", 1765188000000)));
    fleet::Pusher pusher(config("laptop_a", {store.path()}));
    const std::string line = refusedLine(pusher);
    ASSERT_FALSE(HasFailure()) << line;
    EXPECT_NE(line.find("1 fact waiting: the server refused this laptop"), std::string::npos)
        << line;
    EXPECT_NE(line.find("password authentication failed"), std::string::npos) << line;
    EXPECT_EQ(store.waiting(), 1);
    server.setPassword("laptop_a", "right-password");
    EXPECT_TRUE(pusher.pushAndWait(60s));
    EXPECT_EQ(count("xrq.events"), 1);
}

// TLS as libpq sets it: verify-full against a certificate the test made for 127.0.0.1.
TEST(FleetTls, VerifyFullOverLoopbackPushesAndAWrongHostNameIsRefused) {
    testsupport::PgTestServer server({.tls = true});
    ASSERT_TRUE(server.ok()) << server.error();
    server.addService("owner_db", testsupport::PgTestServer::kOwner);
    ASSERT_TRUE(fleet::initServer(fleet::serviceConninfo("owner_db")).ok);
    ASSERT_TRUE(server.createLoginRole("laptop_t", "pw-t"));
    ASSERT_TRUE(fleet::grantLaptop(fleet::serviceConninfo("owner_db"), "laptop_t").ok);
    server.addService("laptop_t", "laptop_t");

    fleet::PgConnection c;
    ASSERT_TRUE(c.connect(fleet::serviceConninfo("laptop_t"), 30s)) << c.error();
    const fleet::PgResult tls = c.exec("SELECT ssl FROM pg_stat_ssl WHERE pid = pg_backend_pid()");
    ASSERT_TRUE(tls.ok()) << tls.error();
    EXPECT_EQ(tls.value(0, 0), "t");
    c.close();

    QTemporaryDir dir;
    const std::unique_ptr<fleet::Pusher> pusher = pusherOfOneVisit(dir, "laptop_t");
    EXPECT_TRUE(pusher->pushAndWait(60s)) << pusher->status().detail.toStdString();
    pusher->stop();

    // The same server under a name its certificate does not carry; and without TLS at all.
    server.addService("by_name", "laptop_t", testsupport::PgTestServer::kDatabase,
                      {{"host", "localhost"}});
    server.addService("plain", "laptop_t", testsupport::PgTestServer::kDatabase,
                      {{"sslmode", "disable"}});
    EXPECT_FALSE(c.connect(fleet::serviceConninfo("by_name"), 30s));
    EXPECT_NE(c.error().find("does not match host name"), std::string::npos) << c.error();
    EXPECT_FALSE(c.connect(fleet::serviceConninfo("plain"), 30s));
    EXPECT_NE(c.error().find("no encryption"), std::string::npos) << c.error();
    EXPECT_EQ(c.failure(), fleet::ConnectFailure::Refused) << "pg_hba.conf, before any password";
}

} // namespace
} // namespace fleettest

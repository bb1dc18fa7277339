// SPDX-License-Identifier: GPL-3.0-or-later
// Two pushers of one folder (the program and xrq-collect): a pusher removes exactly the rows it
// sent, so a fact written while the other pushed is never removed unsent, even in a file whose
// outbox gives a seq again once emptied; one killed with SIGKILL mid-push loses nothing. What
// the server refuses counts as the fact's own fault only for the states that say so of a value
// the laptop sent; anything else is retried and told.
#include "fleet_fixture.h"
#include "series/span_reader.h"

#include "support/child_process.h"

#include <QDateTime>

#include <cstdlib>
#include <signal.h>
#include <unistd.h>

namespace fleettest {
namespace {

using FleetTwoPushers = FleetServerTest;

// The outbox as programs before AUTOINCREMENT made it: a seq comes again once the table was
// emptied.
void makeOldOutbox(const std::string& path) {
    {
        QSqlDatabase d = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), "old-outbox");
        d.setDatabaseName(QString::fromStdString(path));
        ASSERT_TRUE(d.open());
        ASSERT_TRUE(QSqlQuery(d).exec(QStringLiteral(
            "CREATE TABLE fleet_outbox (seq INTEGER PRIMARY KEY, kind TEXT NOT NULL, identity "
            "TEXT NOT NULL, unit TEXT NOT NULL, type TEXT NOT NULL DEFAULT '', data_set TEXT NOT "
            "NULL DEFAULT '', segment INTEGER NOT NULL DEFAULT 0, position INTEGER NOT NULL "
            "DEFAULT 0, payload BLOB NOT NULL, occurred_at INTEGER NOT NULL, laptop TEXT NOT "
            "NULL, facts INTEGER NOT NULL DEFAULT 1)")));
        d.close();
    }
    QSqlDatabase::removeDatabase("old-outbox");
}

std::int64_t lastSeq(LocalStore& s) {
    QSqlDatabase d = s.db();
    QSqlQuery q(d);
    return q.exec(QStringLiteral("SELECT max(seq) FROM fleet_outbox")) && q.next()
               ? q.value(0).toLongLong()
               : -1;
}

TEST_F(FleetTwoPushers, AFactWrittenWhileTheOtherPushesIsNeverRemovedUnsent) {
    addLaptop("laptop_a");
    const std::string path = file("units.sqlite");
    makeOldOutbox(path);
    LocalStore store(path);
    ASSERT_TRUE(store.ok());
    ASSERT_TRUE(store.record(visit("XRQ04501", "laptop-a", 1765188000000)));
    ASSERT_EQ(lastSeq(store), 1);

    // A's insert waits on a lock the test holds, after A has read the outbox; B meanwhile
    // pushes the same fact and empties the table.
    ASSERT_TRUE(server.sql(
        "CREATE FUNCTION xrq.hold_a() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN "
        "IF current_setting('application_name') = 'pusher_a' THEN "
        "PERFORM pg_advisory_xact_lock(4501); END IF; "
        "RETURN NEW; END $$; CREATE TRIGGER hold_a BEFORE INSERT ON xrq.events FOR EACH ROW "
        "EXECUTE FUNCTION xrq.hold_a();"));
    fleet::PgConnection holder;
    ASSERT_TRUE(holder.connect(fleet::serviceConninfo(ownerService()), 30s)) << holder.error();
    ASSERT_TRUE(holder.exec("SELECT pg_advisory_lock(4501)").ok());
    // The two pushers of one folder push as its laptop's role, told apart by their sessions'
    // names.
    fleet::PusherConfig ca = config("laptop_a", {path});
    ca.conninfo += " application_name=pusher_a";
    fleet::Pusher a(ca);
    a.start();
    // The server tells when A waits for the lock; nothing here can be woken by it, so the
    // server looks (in one statement, with a deadline of its own), its view of the sessions
    // taken anew each time (a transaction keeps the first otherwise).
    const fleet::PgResult waited = holder.exec(
        "DO $$ BEGIN FOR i IN 1..2500 LOOP PERFORM pg_stat_clear_snapshot(); EXIT WHEN EXISTS "
        "(SELECT FROM pg_stat_activity WHERE application_name = 'pusher_a' AND wait_event_type = "
        "'Lock'); "
        "PERFORM pg_sleep(0.01); END LOOP; END $$",
        {}, 120s);
    ASSERT_TRUE(waited.ok()) << waited.error();
    ASSERT_TRUE(server.value("SELECT count(*) FROM pg_stat_activity WHERE application_name = "
                             "'pusher_a' AND wait_event_type = 'Lock'") == "1");
    {
        fleet::Pusher b(config("laptop_a", {path}));
        b.start();
        ASSERT_TRUE(b.pushAndWait(60s)) << fleet::statusLine(b.status(), 0).toStdString();
    }
    EXPECT_EQ(store.waiting(), 0);
    // Written while A still holds the first batch: the emptied table gives seq 1 again.
    const fleet::Fact second = visit("XRQ04501", "laptop-a", 1765188001000);
    ASSERT_TRUE(store.record(second));
    ASSERT_EQ(lastSeq(store), 1);
    ASSERT_TRUE(holder.exec("SELECT pg_advisory_unlock(4501)").ok());
    a.nudge();
    ASSERT_TRUE(a.pushAndWait(60s)) << fleet::statusLine(a.status(), 0).toStdString();
    EXPECT_EQ(count("xrq.events"), 2);
    EXPECT_EQ(server.value("SELECT count(*) FROM xrq.events WHERE id = '" +
                           second.identity.toStdString() + "'"),
              "1");
    EXPECT_EQ(store.waiting(), 0);
    EXPECT_EQ(store.conflicts(), 0);
}

TEST(FleetOutboxKeys, ANewOutboxNeverGivesASeqAgain) {
    QTemporaryDir dir;
    LocalStore s(dir.path().toStdString() + "/units.sqlite");
    ASSERT_TRUE(s.record(visit("XRQ04502", "a", 1)));
    ASSERT_TRUE(s.record(visit("XRQ04502", "a", 2)));
    QSqlDatabase d = s.db();
    ASSERT_TRUE(QSqlQuery(d).exec(QStringLiteral("DELETE FROM fleet_outbox")));
    ASSERT_TRUE(s.record(visit("XRQ04502", "a", 3)));
    EXPECT_EQ(lastSeq(s), 3);
}

// Run only as the child of the test below, through its environment: a pusher of the folder
// that says when it has pushed its first batch, then goes on until it is killed.
TEST(FleetPusherChild, DISABLED_Push) {
    const char* path = std::getenv("XRQ_PUSHER_CHILD_FILE");
    const char* service = std::getenv("XRQ_PUSHER_CHILD_SERVICE");
    ASSERT_TRUE(path && service);
    fleet::PusherConfig c;
    c.sources = series::sharingSources();
    c.conninfo = fleet::serviceConninfo(service);
    c.outboxFiles = {path};
    c.batchSize = 100;
    c.retryFirst = 50ms;
    c.retryMost = 500ms;
    std::atomic<bool> said{false};
    c.onStatus = [&](const fleet::PushStatus& s) {
        if (s.pushed > 0 && !said.exchange(true))
            std::fprintf(stderr, "pushed\n");
    };
    fleet::Pusher p(c);
    p.start();
    p.pushAndWait(600s);
    ::pause(); // until the test kills it
}

TEST_F(FleetTwoPushers, OneKilledMidPushWhileTheOtherPushesAndFactsComeLosesNothing) {
    addLaptop("laptop_a");
    constexpr int kRecords = 20000;
    const std::string path = file("series.sqlite");
    makeOldOutbox(path);
    LocalStore store(path);
    ASSERT_TRUE(store.recordSpan(records("XRQ04503", "SET1", kRecords, "laptop-a")));

    ::setenv("XRQ_PUSHER_CHILD_FILE", path.c_str(), 1);
    ::setenv("XRQ_PUSHER_CHILD_SERVICE", "laptop_a", 1);
    testsupport::ChildProcess child(
        "/proc/self/exe",
        {"--gtest_filter=FleetPusherChild.DISABLED_Push", "--gtest_also_run_disabled_tests"});
    ::unsetenv("XRQ_PUSHER_CHILD_FILE");
    ::unsetenv("XRQ_PUSHER_CHILD_SERVICE");
    ASSERT_TRUE(child.started());
    fleet::PusherConfig cb = config("laptop_a", {path}); // the folder's laptop, as the child
    cb.batchSize = 150;
    fleet::Pusher b(cb);
    b.start();
    ASSERT_TRUE(child.waitForError("pushed", 120s)) << child.errorOutput();
    // Facts written while both push, then the child killed in the middle of its work.
    std::vector<fleet::Fact> written;
    for (int i = 0; i < 5; ++i) {
        written.push_back(visit("XRQ04503", "laptop-a", 1765188000000 + i));
        ASSERT_TRUE(store.record(written.back()));
        b.nudge();
    }
    ASSERT_EQ(::kill(child.pid(), SIGKILL), 0);
    ASSERT_TRUE(child.waitForExit(60s));
    EXPECT_FALSE(child.exitedNormally());
    written.push_back(visit("XRQ04503", "laptop-a", 1765188009000));
    ASSERT_TRUE(store.record(written.back()));
    ASSERT_TRUE(b.pushAndWait(120s)) << fleet::statusLine(b.status(), 0).toStdString();
    EXPECT_EQ(count("xrq.series_records"), kRecords);
    EXPECT_EQ(count("xrq.events"), static_cast<std::int64_t>(written.size()));
    EXPECT_EQ(store.waiting(), 0);
    EXPECT_EQ(store.conflicts(), 0);
}

// A trigger on the server raising `state` for every event: whether the fact is then kept as
// refused for its content, or waits and goes again once the server takes it.
struct ServerError {
    const char* state;
    bool theFactsOwn;
};

TEST_F(FleetTwoPushers, OnlyAValuesOwnErrorIsARefusalAndAnyOtherIsRetriedAndTold) {
    addLaptop("laptop_a");
    const ServerError cases[] = {
        {"22P02", true},  {"22P05", true},  {"22001", true},  {"22003", true},
        {"22007", true},  {"22008", true},  {"23514", true},  {"22023", false},
        {"22012", false}, {"23502", false}, {"23503", false}, {"42501", false},
    };
    int n = 0;
    for (const ServerError& c : cases) {
        SCOPED_TRACE(c.state);
        ASSERT_TRUE(server.sql(std::string("CREATE OR REPLACE FUNCTION xrq.raise() RETURNS "
                                           "trigger LANGUAGE plpgsql AS $$ BEGIN IF "
                                           "NEW.unit = 'XRQ-BAD' THEN RAISE EXCEPTION 'from the "
                                           "server' USING ERRCODE = '") +
                               c.state +
                               "'; END IF; RETURN NEW; END $$; CREATE OR REPLACE TRIGGER raise "
                               "BEFORE INSERT ON xrq.events FOR EACH ROW EXECUTE FUNCTION "
                               "xrq.raise();"));
        LocalStore s(file("units-" + std::to_string(n++) + ".sqlite"));
        ASSERT_TRUE(s.record(visit("XRQ04504", "laptop-a", 1765188000000)));
        ASSERT_TRUE(s.record(visit("XRQ-BAD", "laptop-a", 1765188001000)));
        ASSERT_TRUE(s.record(visit("XRQ04504", "laptop-a", 1765188002000)));
        const std::int64_t before = count("xrq.events");
        fleet::Pusher p(config("laptop_a", {s.path()}));
        p.start();
        if (c.theFactsOwn) {
            ASSERT_TRUE(p.pushAndWait(60s)) << fleet::statusLine(p.status(), 0).toStdString();
            EXPECT_EQ(count("xrq.events"), before + 2);
            EXPECT_EQ(s.waiting(), 0);
            ASSERT_EQ(s.conflicts(), 1);
            QSqlDatabase d = s.db();
            QSqlQuery q(d);
            ASSERT_TRUE(q.exec(QStringLiteral("SELECT unit, reason FROM fleet_conflicts")) &&
                        q.next());
            EXPECT_EQ(q.value(0).toString(), "XRQ-BAD");
            EXPECT_TRUE(q.value(1).toString().startsWith("refused by the server for its content"))
                << q.value(1).toString().toStdString();
            continue;
        }
        ASSERT_TRUE(p.waitFor(
            [](const fleet::PushStatus& st) {
                return st.state == fleet::PushStatus::State::Refused;
            },
            60s));
        const std::string line = fleet::statusLine(p.status(), 0).toStdString();
        EXPECT_NE(line.find("facts waiting: not taken by the server, sent again later"),
                  std::string::npos)
            << line;
        EXPECT_NE(line.find(std::string("SQLSTATE ") + c.state), std::string::npos) << line;
        EXPECT_EQ(s.waiting(), 3);
        EXPECT_EQ(count("xrq.events"), before);
        EXPECT_EQ(s.conflicts(), 0);
        // Once the server takes them, every fact goes, the held one too.
        ASSERT_TRUE(server.sql("DROP TRIGGER raise ON xrq.events"));
        ASSERT_TRUE(p.pushAndWait(60s)) << fleet::statusLine(p.status(), 0).toStdString();
        EXPECT_EQ(count("xrq.events"), before + 3);
        EXPECT_EQ(s.waiting(), 0);
        EXPECT_EQ(s.conflicts(), 0);
    }
}

} // namespace
} // namespace fleettest

// SPDX-License-Identifier: GPL-3.0-or-later
// The server away, killed mid-batch, or silent: nothing lost, nothing doubled, the outbox
// keeps its order, the operator is told in one line, and stopping never waits for it.
#include "fleet_fixture.h"

#include "support/result_assert.h"
#include "support/silent_server.h"
#include "support/slowdown.h"

#include <QDateTime>
#include <QStringList>

#include <condition_variable>
#include <mutex>

namespace fleettest {
namespace {

using FleetFaults = FleetServerTest;

bool unreachable(const fleet::PushStatus& s) {
    return s.state == fleet::PushStatus::State::Unreachable;
}

TEST_F(FleetFaults, OfflineThenOnline) {
    addLaptop("laptop_a");
    ASSERT_TRUE(server.stop());
    LocalStore a(file("units.sqlite"));
    ASSERT_TRUE(a.record(visit("XRQ00010", "laptop-a", 1765188000000)));
    ASSERT_TRUE(a.record(records("XRQ00010", "SET1", 11, "laptop-a")));
    const std::int64_t before = QDateTime::currentMSecsSinceEpoch();
    fleet::Pusher p(config("laptop_a", {a.path()}));
    p.start();
    ASSERT_TRUE(p.waitFor(unreachable, 60s));
    const fleet::PushStatus s = p.status();
    ASSERT_TRUE(s.unreachableSince);
    EXPECT_GE(*s.unreachableSince, before);
    const QString since = QDateTime::fromMSecsSinceEpoch(*s.unreachableSince).toString("HH:mm");
    EXPECT_EQ(fleet::statusLine(s, *s.unreachableSince),
              "12 facts waiting: server not reachable since " + since);
    EXPECT_EQ(a.waiting(), 12);

    ASSERT_TRUE(server.start()) << server.error();
    ASSERT_TRUE(p.pushAndWait(60s)) << fleet::statusLine(p.status(), 0).toStdString();
    EXPECT_EQ(count("xrq.events"), 1);
    EXPECT_EQ(count("xrq.series_records"), 11);
    EXPECT_FALSE(p.status().unreachableSince);
}

TEST_F(FleetFaults, TheServerKilledMidBatchAndRestartedLosesAndDoublesNothing) {
    addLaptop("laptop_a");
    constexpr int kRecords = 20000;
    LocalStore a(file("series.sqlite"));
    ASSERT_TRUE(a.recordSpan(records("XRQ00011", "SET1", kRecords, "laptop-a")));
    EXPECT_EQ(a.waiting(), kRecords);
    fleet::PusherConfig c = config("laptop_a", {a.path()});
    c.batchSize = 200;
    fleet::Pusher p(c);
    p.start();
    ASSERT_TRUE(p.waitFor([](const fleet::PushStatus& s) { return s.pushed >= 1000; }, 60s));
    ASSERT_TRUE(server.kill());
    // Whether or not the pusher was done, it has something to send now.
    ASSERT_TRUE(a.record(visit("XRQ00011", "laptop-a", 1765188000000)));
    p.nudge();
    ASSERT_TRUE(p.waitFor(unreachable, 60s));
    EXPECT_NE(fleet::statusLine(p.status(), QDateTime::currentMSecsSinceEpoch())
                  .indexOf(": server not reachable since "),
              -1);
    ASSERT_TRUE(server.start()) << server.error();
    ASSERT_TRUE(p.pushAndWait(120s)) << fleet::statusLine(p.status(), 0).toStdString();
    EXPECT_EQ(count("xrq.series_records"), kRecords);
    EXPECT_EQ(count("xrq.events"), 1);
    EXPECT_EQ(a.waiting(), 0);
    EXPECT_EQ(a.conflicts(), 0);
    // In order: no record arrived before one that precedes it.
    EXPECT_EQ(server.value("SELECT count(*) FROM (SELECT position, row_number() OVER "
                           "(ORDER BY arrival) - 1 AS n FROM xrq.series_records) s "
                           "WHERE position <> n"),
              "0");
}

TEST_F(FleetFaults, StopReturnsWithinTwoSecondsWhileTheServerDoesNotAnswer) {
    const std::string folder = file("silent");
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(folder)));
    testsupport::SilentServer silent(folder);
    ASSERT_TRUE(silent.ok());
    server.addService("silent", "laptop_a", "xrq", {{"host", folder}, {"port", "5432"}});
    LocalStore a(file("units.sqlite"));
    ASSERT_TRUE(a.record(visit("XRQ00012", "laptop-a", 1765188000000)));
    fleet::PusherConfig c = config("silent", {a.path()});
    c.connectTimeout = 120s; // the stop must not wait for it
    auto p = std::make_unique<fleet::Pusher>(c);
    p->start();
    ASSERT_TRUE(silent.knocked(60000));
    const auto t0 = std::chrono::steady_clock::now();
    p->stop();
    const auto took = std::chrono::steady_clock::now() - t0;
    EXPECT_LT(took, std::chrono::milliseconds(testsupport::scaledMs(2000)));
    EXPECT_EQ(a.waiting(), 1);
}

// A server that cannot take the facts for a while: full (the insert fails for want of disk),
// or slow (each insert outlasts the pusher's statement timeout). The facts wait, in order;
// the operator's line says they wait and the log says why; once the server takes them again
// every fact arrives once.
struct BadServer {
    const char* name;
    const char* body; // the trigger function's body, run on every insert
    std::chrono::milliseconds statementTimeout;
    const char* logSays;
};

void PrintTo(const BadServer& bad, std::ostream* out) {
    *out << bad.name;
}

class FleetBadServer : public FleetServerTest, public ::testing::WithParamInterface<BadServer> {};

TEST_P(FleetBadServer, FactsWaitAndGoOnceWhenTheServerTakesThemAgain) {
    const BadServer bad = GetParam();
    addLaptop("laptop_a");
    ASSERT_TRUE(server.sql(std::string("CREATE FUNCTION xrq.bad_server() RETURNS trigger "
                                       "LANGUAGE plpgsql AS $$ BEGIN ") +
                           bad.body +
                           " RETURN NEW; END $$; CREATE TRIGGER bad_server BEFORE INSERT ON "
                           "xrq.events FOR EACH ROW EXECUTE FUNCTION xrq.bad_server();"));
    LocalStore a(file("units.sqlite"));
    ASSERT_TRUE(a.record(visit("XRQ00014", "laptop-a", 1765188000000)));
    ASSERT_TRUE(a.record(records("XRQ00014", "SET1", 30, "laptop-a")));
    fleet::PusherConfig c = config("laptop_a", {a.path()});
    c.statementTimeout = bad.statementTimeout;
    std::mutex logLock;
    std::condition_variable logChanged;
    QStringList logged;
    c.log = [&](unsigned, const QString& message) {
        {
            std::lock_guard lock(logLock);
            logged << message;
        }
        logChanged.notify_all();
    };
    fleet::Pusher p(c);
    p.start();
    ASSERT_TRUE(p.waitFor(unreachable, 60s)) << bad.name;
    const fleet::PushStatus waiting = p.status();
    EXPECT_EQ(waiting.waiting, 31) << bad.name;
    EXPECT_NE(fleet::statusLine(waiting, QDateTime::currentMSecsSinceEpoch())
                  .indexOf(QStringLiteral("31 facts waiting")),
              -1)
        << bad.name;
    {
        // The run log's line follows the status.
        std::unique_lock lock(logLock);
        EXPECT_TRUE(logChanged.wait_for(
            lock, 60s,
            [&] { return logged.join('\n').contains(QString::fromLatin1(bad.logSays)); }))
            << bad.name << ": " << logged.join('\n').toStdString();
    }
    EXPECT_EQ(a.waiting(), 31);
    EXPECT_EQ(count("xrq.events"), 0);

    ASSERT_TRUE(server.sql("DROP TRIGGER bad_server ON xrq.events"));
    ASSERT_TRUE(p.pushAndWait(60s)) << fleet::statusLine(p.status(), 0).toStdString();
    EXPECT_EQ(count("xrq.events"), 1);
    EXPECT_EQ(count("xrq.series_records"), 30);
    EXPECT_EQ(a.waiting(), 0);
    EXPECT_EQ(a.conflicts(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    FullOrSlow, FleetBadServer,
    ::testing::Values(BadServer{"full",
                                "RAISE EXCEPTION 'could not extend file: No space left on device' "
                                "USING ERRCODE = 'disk_full';",
                                60s, "No space left on device"},
                      BadServer{"slow", "PERFORM pg_sleep(5);", 1s,
                                "server not reachable, facts wait: "}),
    [](const ::testing::TestParamInfo<BadServer>& info) { return std::string(info.param.name); });
} // namespace
} // namespace fleettest

namespace fleettest {
namespace {

TEST_F(FleetFaults, StopReturnsAtOnceInTheMiddleOfALongPause) {
    addLaptop("laptop_a");
    ASSERT_TRUE(server.stop());
    LocalStore a(file("units.sqlite"));
    ASSERT_TRUE(a.record(visit("XRQ00013", "laptop-a", 1765188000000)));
    fleet::PusherConfig c = config("laptop_a", {a.path()});
    c.retryFirst = 60s;
    c.retryMost = 60s;
    fleet::Pusher p(c);
    p.start();
    ASSERT_TRUE(p.waitFor(unreachable, 60s));
    const auto t0 = std::chrono::steady_clock::now();
    p.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - t0,
              std::chrono::milliseconds(testsupport::scaledMs(2000)));
    EXPECT_EQ(a.waiting(), 1);
}

} // namespace
} // namespace fleettest

namespace fleettest {
namespace {

TEST_F(FleetFaults, ASpanThatCannotBeReadHoldsBackNothingElseAndIsTold) {
    addLaptop("laptop_a");
    LocalStore a(file("series.sqlite"));
    LocalStore units(file("units.sqlite"));
    ASSERT_TRUE(a.record(visit("XRQ00015", "laptop-a", 1765188000000)));
    // Records the series no longer holds (no segment 999999), then more facts behind them.
    {
        QSqlDatabase d = a.db();
        ASSERT_TRUE(d.transaction());
        fleet::Outbox::Span span;
        span.unit = "XRQ00015";
        span.dataSet = "SET1";
        span.count = 40;
        span.occurredAt = 1765188000000;
        span.laptop = "laptop-a";
        span.firstHash = QString(32, QChar('a'));
        span.reference = R"({"segment_id":999999,"chain":""})";
        ASSERT_TRUE(done(fleet::Outbox::enqueueSpan(d, span)));
        ASSERT_TRUE(d.commit());
    }
    ASSERT_TRUE(a.recordSpan(records("XRQ00015", "SET2", 30, "laptop-a")));
    ASSERT_TRUE(a.record(visit("XRQ00015", "laptop-a", 1765188001000)));
    ASSERT_TRUE(units.record(visit("XRQ00015", "laptop-a", 1765188002000)));
    fleet::Pusher p(config("laptop_a", {a.path(), units.path()}));
    p.start();
    ASSERT_TRUE(p.waitFor(
        [](const fleet::PushStatus& s) {
            return s.state == fleet::PushStatus::State::Refused && s.waiting == 40;
        },
        60s))
        << fleet::statusLine(p.status(), 0).toStdString();
    EXPECT_EQ(count("xrq.events"), 3);
    EXPECT_EQ(count("xrq.series_records"), 30);
    EXPECT_EQ(fleet::statusLine(p.status(), 0).toStdString(),
              "40 facts waiting: outbox not read: series records not read: the series holds no "
              "segment 999999 of its outbox");
    EXPECT_EQ(a.waiting(), 40) << "kept, never dropped";
    EXPECT_EQ(a.conflicts(), 0);
}

} // namespace
} // namespace fleettest

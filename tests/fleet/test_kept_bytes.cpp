// SPDX-License-Identifier: GPL-3.0-or-later
// A kept download's bytes on a slow link (a throttling proxy of the test's own between the
// laptop and the server's socket): the facts go first, the bytes follow in chunks of their own,
// a fact written meanwhile overtakes them, and a pusher killed with SIGKILL in the middle is
// followed by one that sends only what the server lacks. A batch the server does not answer
// in time is halved, and the status says "slow", not "not reachable".
#include "fleet_fixture.h"
#include "series/span_reader.h"

#include "fleet/kept_bytes.h"
#include "poll_until.h"
#include "support/child_process.h"
#include "throttle_proxy.h"

#include <QDir>
#include <QFile>

#include <cstdlib>
#include <cstring>
#include <random>
#include <signal.h>

namespace fleettest {
namespace {

using FleetKeptBytes = FleetServerTest;

// Run only as the child of the test below, through its environment: a pusher of the file
// until it is killed.
TEST(FleetBytesChild, DISABLED_Push) {
    const char* path = std::getenv("XRQ_BYTES_CHILD_FILE");
    const char* service = std::getenv("XRQ_BYTES_CHILD_SERVICE");
    ASSERT_TRUE(path && service);
    fleet::PusherConfig c;
    c.sources = series::sharingSources();
    c.conninfo = fleet::serviceConninfo(service);
    c.outboxFiles = {path};
    c.retryFirst = 50ms;
    c.retryMost = 500ms;
    fleet::Pusher p(c);
    p.start();
    p.pushAndWait(600s);
    ::pause(); // until the test kills it
}

QByteArray noise(qsizetype size) {
    std::mt19937_64 random(45);
    QByteArray out(size, Qt::Uninitialized);
    for (qsizetype i = 0; i + 8 <= size; i += 8) {
        const std::uint64_t v = random();
        std::memcpy(out.data() + i, &v, 8);
    }
    return out;
}

TEST_F(FleetKeptBytes, FactsGoFirstAndTheBytesFollowInChunksThatResumeAfterAKill) {
    addLaptop("laptop_a");
    const std::string link = file("link");
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(link)));
    // 2 MB/s towards the server: 16 MB take about 8 s.
    ThrottleProxy proxy(link, server.host(), server.port(), 2'000'000);
    ASSERT_TRUE(proxy.ok());
    server.addService("slow_a", "laptop_a", testsupport::PgTestServer::kDatabase, {{"host", link}});

    constexpr qsizetype kSize = 16 * 1024 * 1024;
    const QByteArray bytes = noise(kSize);
    const QString kept = QString::fromStdString(file("kept.txt"));
    {
        QFile f(kept);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        ASSERT_EQ(f.write(bytes), kSize);
    }
    const QString sha =
        QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
    const std::string path = file("units.sqlite");
    LocalStore store(path);
    ASSERT_TRUE(store.record(fleet::keptDownloadFact(fleet::newFactId(), "XRQ04504", sha, kSize,
                                                     kept, 1765188000000, "laptop-a")));
    for (int i = 0; i < 20; ++i)
        ASSERT_TRUE(store.record(visit("XRQ04504", "laptop-a", 1765188001000 + i)));
    ASSERT_TRUE(store.recordSpan(records("XRQ04504", "SET1", 2000, "laptop-a")));
    const std::int64_t chunks = (kSize + fleet::kBytesChunk - 1) / fleet::kBytesChunk;

    // A pusher in a child process, killed with SIGKILL once a third of the chunks are there.
    ::setenv("XRQ_BYTES_CHILD_FILE", path.c_str(), 1);
    ::setenv("XRQ_BYTES_CHILD_SERVICE", "slow_a", 1);
    testsupport::ChildProcess child(
        "/proc/self/exe",
        {"--gtest_filter=FleetBytesChild.DISABLED_Push", "--gtest_also_run_disabled_tests"});
    ::unsetenv("XRQ_BYTES_CHILD_FILE");
    ::unsetenv("XRQ_BYTES_CHILD_SERVICE");
    ASSERT_TRUE(child.started());
    ASSERT_TRUE(pollUntil([&] { return count("xrq.download_chunks") >= 1; }, 120s));
    // The first chunk came after every fact: the kept download's own, the events, the records.
    EXPECT_EQ(count("xrq.kept_downloads"), 1);
    EXPECT_EQ(count("xrq.events"), 20);
    EXPECT_EQ(count("xrq.series_records"), 2000);
    EXPECT_EQ(store.waiting(), 0) << "the facts are settled; only the bytes wait";
    ASSERT_TRUE(pollUntil([&] { return count("xrq.download_chunks") >= chunks / 3; }, 120s));
    ASSERT_EQ(::kill(child.pid(), SIGKILL), 0);
    ASSERT_TRUE(child.waitForExit(60s));
    const std::int64_t held = count("xrq.download_chunks");
    EXPECT_LT(held, chunks) << "killed in the middle";
    EXPECT_EQ(count("xrq.download_bytes"), 0);

    // The next pusher sends only what the server lacks; a fact written meanwhile overtakes
    // the bytes.
    const std::int64_t before = proxy.uploaded();
    fleet::Pusher p(config("slow_a", {path}));
    p.start();
    ASSERT_TRUE(pollUntil([&] { return count("xrq.download_chunks") > held; }, 120s));
    ASSERT_TRUE(store.record(visit("XRQ04504", "laptop-a", 1765188009000)));
    p.nudge();
    ASSERT_TRUE(pollUntil([&] { return count("xrq.events") == 21; }, 120s));
    EXPECT_EQ(count("xrq.download_bytes"), 0) << "the fact went before the rest of the bytes";
    ASSERT_TRUE(p.pushAndWait(120s)) << fleet::statusLine(p.status(), 0).toStdString();
    EXPECT_EQ(server.value("SELECT size FROM xrq.download_bytes WHERE sha256 = '" +
                           sha.toStdString() + "'"),
              std::to_string(kSize));
    EXPECT_EQ(count("xrq.download_chunks"), chunks);
    const std::int64_t resent = proxy.uploaded() - before;
    const std::int64_t lacking = (chunks - held) * fleet::kBytesChunk;
    EXPECT_LT(resent, lacking + 2 * fleet::kBytesChunk + 1'000'000)
        << "resumed where the server's chunks end, not from the start";
    EXPECT_EQ(fleet::statusLine(p.status(), 0), "shared: up to date");

    // The owner's init-server removes the chunks of bytes that are whole.
    ASSERT_TRUE(fleet::initServer(fleet::serviceConninfo(ownerService())).ok);
    EXPECT_EQ(count("xrq.download_chunks"), 0);
}

TEST_F(FleetKeptBytes, ABatchNotAnsweredInTimeIsHalvedAndTheLinkIsCalledSlow) {
    addLaptop("laptop_a");
    const std::string link = file("link");
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(link)));
    auto proxy = std::make_unique<ThrottleProxy>(link, server.host(), server.port(), 100'000);
    ASSERT_TRUE(proxy->ok());
    server.addService("slow_a", "laptop_a", testsupport::PgTestServer::kDatabase, {{"host", link}});
    LocalStore store(file("series.sqlite"));
    ASSERT_TRUE(store.recordSpan(records("XRQ04505", "SET1", 3000, "laptop-a")));
    // A batch of 2000 records is some 400 kB: four seconds at 100 kB/s, over its deadline.
    fleet::PusherConfig c = config("slow_a", {store.path()});
    c.statementTimeout = 1500ms;
    fleet::Pusher p(c);
    p.start();
    ASSERT_TRUE(p.waitFor(
        [](const fleet::PushStatus& s) { return s.state == fleet::PushStatus::State::Slow; }, 60s));
    const QString line = fleet::statusLine(p.status(), 0);
    EXPECT_TRUE(
        line.startsWith(QStringLiteral("3000 facts waiting: slow link to the server since ")))
        << line.toStdString();
    EXPECT_NE(p.status().detail.indexOf(QStringLiteral("now 1000 facts a statement")), -1)
        << p.status().detail.toStdString();
    ASSERT_TRUE(p.pushAndWait(120s)) << fleet::statusLine(p.status(), 0).toStdString();
    EXPECT_EQ(count("xrq.series_records"), 3000);

    // The link gone altogether: not reachable, which is not slow.
    proxy.reset();
    ASSERT_TRUE(store.record(visit("XRQ04505", "laptop-a", 1765188000000)));
    p.nudge();
    ASSERT_TRUE(p.waitFor(
        [](const fleet::PushStatus& s) { return s.state == fleet::PushStatus::State::Unreachable; },
        60s));
}

} // namespace
} // namespace fleettest

// SPDX-License-Identifier: GPL-3.0-or-later
// The histories (series/histories.h) pushed to a real server: twenty of them (half of them
// units with short memories), each in a database of its own on one server. One to three
// laptops push their series' outboxes with the program's pusher, and the series the server's facts
// give (series::ServerSeries, as xrq-series export --service reads it) equals the truth from every
// laptop. A failure prints its seed: XRQ_HISTORY_SEED=n runs that one alone, XRQ_PG_HISTORIES=n
// runs that many.
#include "series/histories.h"
#include "series/span_reader.h"

#include "fleet/fleet_settings.h"
#include "fleet/pusher.h"
#include "fleet/server_schema.h"
#include "support/pg_test_server.h"
#include "support/result_assert.h"

#include <QTemporaryDir>

using namespace histories;
using namespace std::chrono_literals;

namespace {

constexpr const char* kLaptopRole = "history_laptop";

void pushAndCheck(testsupport::PgTestServer& server, unsigned seed, const std::string& base) {
    const std::string db = "history_" + std::to_string(seed);
    ASSERT_TRUE(server.sql("CREATE DATABASE " + db));
    server.addService(db + "_owner", testsupport::PgTestServer::kOwner, db);
    server.addService(db, kLaptopRole, db);
    const fleet::InitOutcome init = fleet::initServer(fleet::serviceConninfo(db + "_owner"));
    ASSERT_TRUE(init.ok) << init.message.toStdString();
    // The group role is the cluster's, made by the first init-server; granting again is
    // harmless.
    ASSERT_TRUE(fleet::grantLaptop(fleet::serviceConninfo(db + "_owner"), kLaptopRole).ok);

    // Every other one a unit with a short memory (5 to 150 records).
    History h(seed, seed % 2 ? kCapacity : std::size_t(5 + seed * 7919u % 146));
    playHistory(h, base);
    if (::testing::Test::HasFatalFailure())
        return;
    const SharedLines shared = sharedLines(h.laptops);
    // Each laptop pushes what it shares, in an order of the history's own.
    std::vector<std::size_t> order(h.laptops.size());
    for (std::size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    std::shuffle(order.begin(), order.end(), h.random);
    for (const std::size_t i : order) {
        h.laptops[i].store.reset(); // the pusher reads the file on its own connection
        fleet::PusherConfig c;
        c.sources = series::sharingSources();
        c.conninfo = fleet::serviceConninfo(db);
        c.outboxFiles = {h.laptops[i].folder + kFileName};
        c.retryFirst = 50ms;
        c.retryMost = 500ms;
        c.connectTimeout = 10s;
        c.statementTimeout = 60s;
        fleet::Pusher pusher(c);
        pusher.start();
        ASSERT_TRUE(pusher.pushAndWait(60s)) << pusher.status().detail.toStdString();
        EXPECT_EQ(pusher.status().conflicts, 0);
    }
    series::ServerSeries derived;
    const bool any = !shared.empty();
    // From any laptop: the server's facts are everyone's; none shared is none found.
    for (const char* who : {"", "_owner"}) {
        const platform::Result<void> read =
            derived.read(fleet::serviceConninfo(db + who), "XRQ1", "SITE1", 0);
        ASSERT_EQ(read.ok(), any) << (read ? "" : read.text());
        if (!any) {
            EXPECT_EQ(read.kind(), platform::ErrorKind::NotFound);
        }
        DerivedSeries rows;
        if (read)
            derived.source().forEachRecord([&](const RecordRef& r) {
                DerivedRecord d;
                d.record.line = std::string(r.line);
                d.record.segment = r.segment - 1;
                d.disputed = r.disputed;
                d.repeated = r.repeated;
                rows.records.push_back(std::move(d));
                return true;
            });
        checkDerived(rows, shared);
    }
    server.sql("DROP DATABASE " + db);
}

} // namespace

TEST(FleetHistories, EveryHistoryPushedToARealServerGivesTheTruth) {
    testsupport::PgTestServer server;
    ASSERT_TRUE(server.ok()) << server.error();
    ASSERT_TRUE(server.createLoginRole(kLaptopRole, "pw-of-laptop"));
    QTemporaryDir dir(QDir("/dev/shm").exists() ? QStringLiteral("/dev/shm/xrq-histories-XXXXXX")
                                                : QDir::tempPath() + "/xrq-histories-XXXXXX");
    ASSERT_TRUE(dir.isValid());
    const char* one = std::getenv("XRQ_HISTORY_SEED");
    const char* many = std::getenv("XRQ_PG_HISTORIES");
    const unsigned first = one ? unsigned(std::stoul(one)) : 1001;
    const unsigned count = one ? 1 : many ? unsigned(std::stoul(many)) : 20;
    for (unsigned seed = first; seed < first + count; ++seed) {
        SCOPED_TRACE("history seed " + std::to_string(seed) +
                     " (XRQ_HISTORY_SEED=" + std::to_string(seed) + " runs it alone)");
        const std::string base = dir.path().toStdString() + "/" + std::to_string(seed);
        pushAndCheck(server, seed, base);
        QDir(QString::fromStdString(base)).removeRecursively();
        if (::testing::Test::HasFailure())
            break; // the first failing history is enough to read
    }
}

// A server an older version's laptops pushed to by their places: init-server keys their rows
// beside them, once, and the series read from it is the same before and after.
TEST(FleetHistories, AnOlderVersionsRowsAreKeyedBesideThemByInitServer) {
    testsupport::PgTestServer server;
    ASSERT_TRUE(server.ok()) << server.error();
    server.addService("owner_db", testsupport::PgTestServer::kOwner);
    fleet::InitOptions options;
    options.deriveRecords = series::keyOlderRecords;
    ASSERT_TRUE(fleet::initServer(fleet::serviceConninfo("owner_db")).ok);
    // Laptop a pushed 30 records under hashes chained over its segment 0, laptop b the same
    // records and 10 more under their identities in its segment 4.
    std::vector<std::string> lines;
    for (int i = 0; i < 40; ++i)
        lines.push_back("26-06-01 00:" + std::to_string(10 + i) + ":00, " + std::to_string(i));
    std::string sql;
    series::RecordChain chain;
    for (int i = 0; i < 40; ++i) {
        const std::string line = "'{\"line\": \"" + lines[std::size_t(i)] + "\"" +
                                 (i == 0 ? ", \"info\": {\"download\": \"k\", \"order\": 0, "
                                           "\"offset\": null, \"flags\": 0}"
                                         : "") +
                                 "}'";
        const std::string chained = chain.next(lines[std::size_t(i)]).toStdString();
        const std::string identity =
            series::recordIdentity(i > 0 ? std::string_view(lines[std::size_t(i - 1)])
                                         : std::string_view(),
                                   lines[std::size_t(i)])
                .toStdString();
        if (i < 30)
            sql += "INSERT INTO xrq.series_records (unit, data_set, segment, position, "
                   "chain_hash, occurred_at, laptop, payload) VALUES ('XRQ1', 'SITE1', 0, " +
                   std::to_string(i) + ", '" + chained + "', now(), 'a', " + line + ");";
        sql += "INSERT INTO xrq.series_records (unit, data_set, segment, position, chain_hash, "
               "occurred_at, laptop, payload) VALUES ('XRQ1', 'SITE1', 4, " +
               std::to_string(i) + ", '" + identity + "', now(), 'b', " + line + ");";
    }
    ASSERT_TRUE(server.sql(sql));
    auto read = [&] {
        series::ServerSeries s;
        EXPECT_TRUE(done(s.read(fleet::serviceConninfo("owner_db"), "XRQ1", "SITE1", 0)));
        std::vector<std::string> out;
        s.source().forEachRecord([&](const series::RecordRef& r) {
            out.emplace_back(r.line);
            EXPECT_FALSE(r.disputed);
            return true;
        });
        return out;
    };
    EXPECT_EQ(read(), lines); // keyed as they are read
    for (int run = 0; run < 2; ++run) {
        const fleet::InitOutcome o = fleet::initServer(fleet::serviceConninfo("owner_db"), options);
        ASSERT_TRUE(o.ok) << o.message.toStdString();
        EXPECT_EQ(server.value("SELECT count(*) FROM xrq.series_facts"), "40");
        EXPECT_EQ(server.value("SELECT count(*) FROM xrq.series_records"), "70");
        EXPECT_EQ(read(), lines);
    }
}

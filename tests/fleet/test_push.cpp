// SPDX-License-Identifier: GPL-3.0-or-later
// Pushing the outboxes and reading the organisation's record back: in order, once per
// identity, a conflict kept and told, two laptops at once, a kept download's bytes checked
// by the server.
#include "fleet_fixture.h"

#include "fleet/server_history.h"

#include <QFile>

#include <filesystem>

namespace fleettest {
namespace {

using FleetPush = FleetServerTest;

TEST_F(FleetPush, FactsArePushedInOrderAndReadBackMarkedByLaptop) {
    addLaptop("laptop_a");
    addLaptop("laptop_b");
    LocalStore a(file("a-units.sqlite"));
    LocalStore aSeries(file("a-series.sqlite"));
    LocalStore b(otherFile("b-units.sqlite"));
    ASSERT_TRUE(a.record(visit("XRQ00001", "laptop-a", 1765188000000)));
    ASSERT_TRUE(a.record(fleet::eventFact(fleet::newFactId(), "XRQ00001", "battery",
                                          QJsonObject{{"volts", 12.5}, {"celsius", 21.0}},
                                          1765188001000, "laptop-a")));
    ASSERT_TRUE(aSeries.record(records("XRQ00001", "SET1", 50, "laptop-a")));
    ASSERT_TRUE(b.record(visit("XRQ00001", "laptop-b", 1765189000000, 4)));

    fleet::Pusher pa(config("laptop_a", {a.path(), aSeries.path()}));
    fleet::Pusher pb(config("laptop_b", {b.path()}));
    pa.start();
    pb.start();
    ASSERT_TRUE(pa.pushAndWait(60s)) << fleet::statusLine(pa.status(), 0).toStdString();
    ASSERT_TRUE(pb.pushAndWait(60s));
    EXPECT_EQ(fleet::statusLine(pa.status(), 0), "shared: up to date");
    EXPECT_EQ(pa.status().pushed, 52);
    EXPECT_EQ(a.waiting() + aSeries.waiting() + b.waiting(), 0);
    EXPECT_EQ(count("xrq.series_records"), 50);
    // The records arrived in their order.
    EXPECT_EQ(server.value("SELECT count(*) FROM (SELECT position, row_number() OVER "
                           "(ORDER BY arrival) - 1 AS n FROM xrq.series_records) s "
                           "WHERE position <> n"),
              "0");
    EXPECT_EQ(server.value("SELECT visits || ' ' || laptops FROM xrq.units"), "2 2");

    const fleet::ServerHistory h =
        fleet::readUnitHistory(fleet::serviceConninfo("laptop_a"), "XRQ00001", "laptop-a");
    ASSERT_TRUE(h.ok) << h.message.toStdString();
    ASSERT_EQ(h.entries.size(), 3u);
    EXPECT_EQ(fleet::historyLabel(h.entries[0]), "visit (laptop-b)"); // newest first
    EXPECT_EQ(h.entries[0].payload.value("port").toInt(), 4);
    EXPECT_EQ(fleet::historyLabel(h.entries[1]), "battery");
    EXPECT_EQ(fleet::historyLabel(h.entries[2]), "visit");
    EXPECT_EQ(h.entries[2].occurredAt, 1765188000000);
    EXPECT_GT(h.entries[2].receivedAt, 1765188000000); // the server's own clock
}

TEST_F(FleetPush, TheSameOutboxPushedTwiceChangesNothing) {
    addLaptop("laptop_a");
    LocalStore a(file("units.sqlite"));
    std::vector<fleet::Fact> facts = records("XRQ00002", "SET1", 200, "laptop-a");
    facts.push_back(visit("XRQ00002", "laptop-a", 1765188000000));
    ASSERT_TRUE(a.record(facts));
    // A copy of the file as it stands, outbox full (a restored backup, say).
    {
        QSqlDatabase d = a.db();
        QSqlQuery q(d);
        ASSERT_TRUE(q.exec(
            QStringLiteral("VACUUM INTO '%1'").arg(QString::fromStdString(file("copy.sqlite")))))
            << q.lastError().text().toStdString();
    }
    for (const std::string& f : {a.path(), file("copy.sqlite")}) {
        fleet::Pusher p(config("laptop_a", {f}));
        p.start();
        ASSERT_TRUE(p.pushAndWait(60s)) << fleet::statusLine(p.status(), 0).toStdString();
        EXPECT_EQ(p.status().conflicts, 0);
    }
    EXPECT_EQ(count("xrq.series_records"), 200);
    EXPECT_EQ(count("xrq.events"), 1);
    LocalStore copy(file("copy.sqlite"));
    EXPECT_EQ(copy.waiting(), 0);
    EXPECT_EQ(copy.conflicts(), 0);
}

TEST_F(FleetPush, AnIdentityWithOtherContentIsKeptAsAConflictAndTold) {
    addLaptop("laptop_a");
    addLaptop("laptop_b");
    const QString id = fleet::newFactId();
    LocalStore a(file("a.sqlite"));
    LocalStore b(otherFile("b.sqlite"));
    ASSERT_TRUE(a.record(fleet::eventFact(id, "XRQ00003", "clear", {{"confirmed", true}},
                                          1765188000000, "laptop-a")));
    // A cloned laptop: the same UUID, another event.
    const fleet::Fact clone = fleet::eventFact(id, "XRQ00003", "clear", {{"confirmed", false}},
                                               1765188000000, "laptop-b");
    std::vector<fleet::Fact> bFacts = records("XRQ00003", "SET1", 5, "laptop-b");
    bFacts.insert(bFacts.begin() + 2, clone);
    ASSERT_TRUE(b.record(bFacts));
    fleet::Pusher pa(config("laptop_a", {a.path()}));
    pa.start();
    ASSERT_TRUE(pa.pushAndWait(60s));
    fleet::Pusher pb(config("laptop_b", {b.path()}));
    pb.start();
    ASSERT_TRUE(pb.pushAndWait(60s));
    EXPECT_EQ(fleet::statusLine(pb.status(), 0), "shared: up to date; 1 conflict noted");
    EXPECT_EQ(b.waiting(), 0);
    EXPECT_EQ(b.conflicts(), 1);
    QSqlDatabase d = b.db();
    QSqlQuery q(d);
    ASSERT_TRUE(q.exec("SELECT identity, reason, local_payload, server_payload "
                       "FROM fleet_conflicts") &&
                q.next());
    EXPECT_EQ(q.value(0).toString(), id);
    EXPECT_NE(q.value(1).toString().indexOf("other content (from laptop laptop-a)"), -1);
    EXPECT_EQ(q.value(2).toString(), R"({"confirmed":false})");
    EXPECT_EQ(q.value(3).toString(), R"({"confirmed": true})");
    // The server keeps the first, and the rest of b's batch went through.
    EXPECT_EQ(server.value("SELECT payload->>'confirmed' FROM xrq.events"), "true");
    EXPECT_EQ(count("xrq.series_records"), 5);
}

TEST_F(FleetPush, TwoProgramFoldersPushTheSameUnitAtOnce) {
    addLaptop("laptop_a");
    addLaptop("laptop_b");
    // Both downloaded the same records of the unit (one at a later visit, with more), and
    // each has its own visits.
    LocalStore a(file("a.sqlite"));
    LocalStore b(otherFile("b.sqlite"));
    std::vector<fleet::Fact> aFacts = records("XRQ00004", "SET1", 3000, "laptop-a");
    std::vector<fleet::Fact> bFacts = records("XRQ00004", "SET1", 4000, "laptop-b");
    for (int i = 0; i < 20; ++i) {
        aFacts.push_back(visit("XRQ00004", "laptop-a", 1765188000000 + i));
        bFacts.push_back(visit("XRQ00004", "laptop-b", 1765189000000 + i));
    }
    // One writes its records an outbox row each, the other several to a row: the same
    // identities either way.
    ASSERT_TRUE(a.record(aFacts));
    ASSERT_TRUE(b.recordSpan(std::vector<fleet::Fact>(bFacts.begin(), bFacts.begin() + 4000)));
    ASSERT_TRUE(b.record(std::vector<fleet::Fact>(bFacts.begin() + 4000, bFacts.end())));
    fleet::PusherConfig ca = config("laptop_a", {a.path()});
    fleet::PusherConfig cb = config("laptop_b", {b.path()});
    ca.batchSize = cb.batchSize = 250; // many small batches, so that the two interleave
    fleet::Pusher pa(ca);
    fleet::Pusher pb(cb);
    pa.start();
    pb.start();
    ASSERT_TRUE(pa.pushAndWait(120s));
    ASSERT_TRUE(pb.pushAndWait(120s));
    EXPECT_EQ(pa.status().conflicts + pb.status().conflicts, 0);
    EXPECT_EQ(count("xrq.series_records"), 4000);
    EXPECT_EQ(count("xrq.events"), 40);
    // Whoever came first keeps a shared record under its name; each identity once.
    EXPECT_EQ(server.value("SELECT count(DISTINCT (unit, data_set, segment, position, "
                           "chain_hash)) FROM xrq.series_records"),
              "4000");
    // Each reads the other's visits.
    for (const auto& [service, me, other] :
         {std::tuple{"laptop_a", "laptop-a", "laptop-b"}, {"laptop_b", "laptop-b", "laptop-a"}}) {
        const fleet::ServerHistory h =
            fleet::readUnitHistory(fleet::serviceConninfo(service), "XRQ00004", me);
        ASSERT_TRUE(h.ok) << h.message.toStdString();
        int others = 0;
        for (const auto& e : h.entries)
            others += e.otherLaptop && e.laptop == other;
        EXPECT_EQ(others, 20) << me;
    }
}

TEST_F(FleetPush, AKeptDownloadsBytesGoWhenTheServerTakesThemAndAreCheckedThere) {
    addLaptop("laptop_a");
    const QByteArray bytes = QByteArray("XRQ00005 download\r\n").repeated(1000);
    const QString path = QString::fromStdString(file("kept.txt"));
    {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    }
    const QString sha =
        QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
    LocalStore a(file("units.sqlite"));
    ASSERT_TRUE(a.record(fleet::keptDownloadFact(fleet::newFactId(), "XRQ00005", sha, bytes.size(),
                                                 path, 1765188000000, "laptop-a")));
    // One whose file has changed since: its hash and size go, its bytes do not.
    ASSERT_TRUE(
        a.record(fleet::keptDownloadFact(fleet::newFactId(), "XRQ00005", QString(64, QChar('a')), 3,
                                         path, 1765188001000, "laptop-a")));
    std::vector<std::pair<unsigned, QString>> logged;
    std::mutex logLock;
    fleet::PusherConfig c = config("laptop_a", {a.path()});
    c.log = [&](unsigned line, const QString& m) {
        std::lock_guard lock(logLock);
        logged.emplace_back(line, m);
    };
    fleet::Pusher p(c);
    p.start();
    ASSERT_TRUE(p.pushAndWait(60s)) << p.status().detail.toStdString();
    p.stop();
    EXPECT_EQ(count("xrq.kept_downloads"), 2);
    EXPECT_EQ(server.value("SELECT size FROM xrq.download_bytes WHERE sha256 = '" +
                           sha.toStdString() + "'"),
              std::to_string(bytes.size()));
    EXPECT_EQ(count("xrq.download_bytes"), 1);
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0].second.toStdString(), "kept download " + path.toStdString() +
                                                  " not sent: it no longer holds what was kept");
    // The server itself refuses bytes that are not what their hash says.
    std::string why;
    EXPECT_FALSE(server.sql("INSERT INTO xrq.download_bytes (sha256, size, bytes) VALUES ('" +
                                std::string(64, 'b') + "', 1, 'x')",
                            testsupport::PgTestServer::kDatabase, &why));
    EXPECT_NE(why.find("check constraint"), std::string::npos) << why;
}

TEST_F(FleetPush, AServerThatDeclinesBytesGetsTheHashAndSizeOnly) {
    ASSERT_TRUE(
        fleet::initServer(fleet::serviceConninfo(ownerService()), {.acceptDownloadBytes = false})
            .ok);
    addLaptop("laptop_a");
    const QString path = QString::fromStdString(file("kept.txt"));
    {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("abc");
    }
    LocalStore a(file("units.sqlite"));
    ASSERT_TRUE(a.record(fleet::keptDownloadFact(
        fleet::newFactId(), "XRQ00006",
        QString::fromLatin1(QCryptographicHash::hash("abc", QCryptographicHash::Sha256).toHex()), 3,
        path, 1765188000000, "laptop-a")));
    ASSERT_TRUE(pushAll("laptop_a", {a.path()}));
    EXPECT_EQ(count("xrq.kept_downloads"), 1);
    EXPECT_EQ(count("xrq.download_bytes"), 0);
}

TEST_F(FleetPush, AFilePutInPlaceOfAnOutboxIsReadAnew) {
    // As when the series is rebuilt: a new file, with its own outbox, takes the old one's name
    // while the pusher holds the old one open.
    addLaptop("laptop_a");
    const std::string path = file("series.sqlite");
    {
        LocalStore old(path);
        ASSERT_TRUE(old.record(visit("XRQ00001", "laptop-a", 1765188000000)));
    }
    fleet::Pusher p(config("laptop_a", {path}));
    p.start();
    ASSERT_TRUE(p.pushAndWait(60s));
    EXPECT_EQ(count("xrq.events"), 1);
    {
        LocalStore rebuilt(file("rebuilding.sqlite"));
        ASSERT_TRUE(rebuilt.record(visit("XRQ00001", "laptop-a", 1765189000000)));
    }
    ASSERT_TRUE(std::filesystem::exists(file("rebuilding.sqlite")));
    // The old file's log goes first, as the rebuild does it.
    std::filesystem::remove(path + "-wal");
    std::filesystem::remove(path + "-shm");
    std::filesystem::rename(file("rebuilding.sqlite"), path);
    ASSERT_TRUE(p.pushAndWait(60s));
    EXPECT_EQ(count("xrq.events"), 2);
    p.stop();
}

} // namespace
} // namespace fleettest

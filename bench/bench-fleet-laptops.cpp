// SPDX-License-Identifier: GPL-3.0-or-later
// Many laptops pushing at once, against a private PostgreSQL server on a Unix socket (initdb
// in a temporary folder; run as an ordinary user). Each laptop is a pusher of its own, with
// an outbox file of its own, all started together:
// - its own visits and downloads (events with random identities): the server must keep
//   every one, once;
// - the series records of the unit it visited, which the other laptops that visited the same
//   unit hold too (the same records, the same identities): the server must keep each once.
// The figure is the time from the start until every laptop's outbox is empty; the check is
// that the server's record equals the union of the laptops' (the same identities, compared
// through a digest of them in order), with no conflict noted anywhere.
//
// Usage: bench-fleet-laptops [laptops] [events each] [records per unit]   (default 100 50 2000)
#include "fleet/fact.h"
#include "fleet/outbox.h"
#include "fleet/pg_connection.h"
#include "fleet/pusher.h"
#include "fleet/server_schema.h"
#include "support/pg_test_server.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QStringList>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kUnits = 10; // laptop i visits unit i % kUnits

QString unitName(int u) {
    return QStringLiteral("XRQ%1").arg(u, 5, 10, QLatin1Char('0'));
}

QString laptopName(int i) {
    return QStringLiteral("laptop-%1").arg(i, 3, 10, QLatin1Char('0'));
}

// The unit's records as every laptop that downloaded it holds them (same text, same chain).
std::vector<fleet::Fact> unitRecords(int u, int count, const QString& laptop,
                                     std::vector<std::string>* keys) {
    std::vector<fleet::Fact> out;
    QByteArray chain = "start";
    for (int p = 0; p < count; ++p) {
        const QJsonObject payload{
            {QStringLiteral("line"), QStringLiteral("2026/12/08 %1:%2,12.%3,%4")
                                         .arg(p / 60 % 24)
                                         .arg(p % 60)
                                         .arg(u)
                                         .arg(p)}};
        chain = QCryptographicHash::hash(chain + fleet::payloadText(payload),
                                         QCryptographicHash::Sha256);
        const QString hash = QString::fromLatin1(chain.toHex());
        out.push_back(fleet::recordFact(unitName(u), {QStringLiteral("SET1"), 0, p}, hash, payload,
                                        1765188000000 + p, laptop));
        if (keys)
            keys->push_back(
                QStringLiteral("%1/%2/%3").arg(unitName(u)).arg(p).arg(hash).toStdString());
    }
    return out;
}

std::string digest(const std::set<std::string>& keys) {
    QByteArray all;
    for (const std::string& k : keys) {
        if (!all.isEmpty())
            all += ',';
        all += QByteArray::fromStdString(k);
    }
    return QCryptographicHash::hash(all, QCryptographicHash::Md5).toHex().toStdString();
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int laptops = argc > 1 ? std::atoi(argv[1]) : 100;
    const int eventsEach = argc > 2 ? std::atoi(argv[2]) : 50;
    const int recordsPerUnit = argc > 3 ? std::atoi(argv[3]) : 2000;
    QTemporaryDir dir;

    testsupport::PgTestServer server({.tls = false, .maxConnections = laptops + 20});
    if (!server.ok()) {
        std::fprintf(stderr, "no server: %s\n", server.error().c_str());
        return 1;
    }
    server.addService("owner_db", testsupport::PgTestServer::kOwner);
    const fleet::InitOutcome init = fleet::initServer(fleet::serviceConninfo("owner_db"));
    if (!init.ok || !server.createLoginRole("field_laptop", "laptop-pw") ||
        !fleet::grantLaptop(fleet::serviceConninfo("owner_db"), "field_laptop").ok) {
        std::fprintf(stderr, "server not prepared: %s\n", qPrintable(init.message));
        return 1;
    }
    server.addService("field_laptop", "field_laptop");

    // Every laptop's outbox, filled before the clock starts.
    std::set<std::string> eventIds, recordKeys;
    std::vector<std::string> files;
    std::int64_t facts = 0;
    for (int i = 0; i < laptops; ++i) {
        const std::string file = dir.filePath(laptopName(i) + ".sqlite").toStdString();
        const QString connection = laptopName(i);
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection);
            db.setDatabaseName(QString::fromStdString(file));
            if (!db.open() || !fleet::Outbox::createTables(db)) {
                std::fprintf(stderr, "cannot make %s\n", file.c_str());
                return 1;
            }
            db.transaction();
            fleet::Outbox outbox(db);
            const int u = i % kUnits;
            for (int e = 0; e < eventsEach; ++e) {
                const QString id = fleet::newFactId();
                eventIds.insert(id.toStdString());
                outbox.add(fleet::eventFact(
                    id, unitName(u), e % 2 ? QStringLiteral("download") : QStringLiteral("visit"),
                    {{QStringLiteral("n"), e}}, 1765188000000 + e, laptopName(i)));
            }
            std::vector<std::string> keys;
            const std::vector<fleet::Fact> records =
                unitRecords(u, recordsPerUnit, laptopName(i), &keys);
            recordKeys.insert(keys.begin(), keys.end());
            fleet::Outbox::enqueueRecords(db, records);
            facts += eventsEach + recordsPerUnit;
            db.commit();
            db.close();
        }
        QSqlDatabase::removeDatabase(connection);
        files.push_back(file);
    }

    std::vector<std::unique_ptr<fleet::Pusher>> pushers;
    for (const std::string& file : files) {
        fleet::PusherConfig c;
        c.conninfo = fleet::serviceConninfo("field_laptop");
        c.outboxFiles = {file};
        c.retryFirst = 100ms; // a laptop refused a connection at the peak tries again soon
        c.retryMost = 2s;
        pushers.push_back(std::make_unique<fleet::Pusher>(c));
    }
    const auto t0 = Clock::now();
    for (auto& p : pushers)
        p->start();
    bool allDone = true;
    for (auto& p : pushers)
        allDone = p->pushAndWait(600s) && allDone;
    const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    std::int64_t waiting = 0, conflicts = 0;
    for (auto& p : pushers) {
        const fleet::PushStatus st = p->status();
        waiting += st.waiting;
        conflicts += st.conflicts;
        p->stop();
    }

    const auto serverEvents = server.value("SELECT count(*) || ' ' || md5(string_agg(id::text, ',' "
                                           "ORDER BY id::text)) FROM xrq.events");
    const auto serverRecords = server.value(
        "SELECT count(*) || ' ' || md5(string_agg(unit || '/' || position || '/' || chain_hash, "
        "',' ORDER BY unit || '/' || position || '/' || chain_hash COLLATE \"C\")) "
        "FROM xrq.series_records");
    const std::string wantEvents = std::to_string(eventIds.size()) + " " + digest(eventIds);
    const std::string wantRecords = std::to_string(recordKeys.size()) + " " + digest(recordKeys);
    const bool eventsEqual = serverEvents.value_or("") == wantEvents;
    const bool recordsEqual = serverRecords.value_or("") == wantRecords;

    std::printf("%d laptops pushing at once (%d events each; %d units' series of %d records, each "
                "held by %d laptops): %lld facts in %.1f s: %.0f facts/s, %s\n",
                laptops, eventsEach, kUnits, recordsPerUnit, (laptops + kUnits - 1) / kUnits,
                static_cast<long long>(facts), seconds, double(facts) / seconds,
                allDone ? "every outbox emptied" : "NOT every outbox emptied");
    std::printf("  server: events %s (the laptops' union: %s) %s\n",
                serverEvents.value_or("?").c_str(), wantEvents.c_str(),
                eventsEqual ? "equal" : "DIFFERENT");
    std::printf("  server: records %s (the laptops' union: %s) %s\n",
                serverRecords.value_or("?").c_str(), wantRecords.c_str(),
                recordsEqual ? "equal" : "DIFFERENT");
    std::printf("  left waiting %lld, conflicts %lld\n", static_cast<long long>(waiting),
                static_cast<long long>(conflicts));
    return allDone && eventsEqual && recordsEqual && waiting == 0 && conflicts == 0 ? 0 : 1;
}

// SPDX-License-Identifier: GPL-3.0-or-later
// Many laptops pushing at once, against a private PostgreSQL server on a Unix socket (initdb
// in a temporary folder; run as an ordinary user). Each laptop is a pusher of its own, with
// an outbox file of its own, all started together:
// - its own visits and downloads (events with random identities): the server must keep
//   every one, once;
// - the series records of the unit it visited, which the other laptops that visited the same
//   unit hold too (the same records, the same identities): the server must keep each once.
// Each laptop's files are made as the program makes them: its register's events through
// Outbox::enqueue, its series by taking the unit's download (span rows in the outbox, read
// back through the series' span reader when pushed).
// The figure is the time from the start until every laptop's outbox is empty; the check is
// that the server's record equals the union of the laptops' (the same identities, compared
// through a digest of them in order), with no conflict noted anywhere.
//
// Usage: bench-fleet-laptops [laptops] [events each] [records per unit]   (default 100 50 2000)
#include "fleet/fact.h"
#include "fleet/fleet_settings.h"
#include "fleet/outbox.h"
#include "fleet/pg_connection.h"
#include "fleet/pusher.h"
#include "fleet/server_schema.h"
#include "series/download_text.h"
#include "series/series_store.h"
#include "series/span_reader.h"
#include "storage/sqlite_store.h"
#include "support/pg_test_server.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
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

// The unit's download as every laptop that downloaded it got it (the same text: the same
// records under the same identities).
std::string unitDownload(int u, int count) {
    std::string text = "F\r\nName: SET1\r\n";
    char line[64];
    for (int p = 0; p < count; ++p) {
        std::snprintf(line, sizeof line, "26-12-08,%02d:%02d:00,12.%d,%d\r\n", p / 60 % 24, p % 60,
                      u, p);
        text += line;
    }
    return text + ">";
}

// The identities a laptop's series outbox holds, "unit/position/hash", read as the pusher
// reads them (the series' span reader).
bool spanKeys(const std::string& file, std::set<std::string>& keys) {
    bool ok = true;
    {
        auto store = storage::open(file, {.create = false,
                                          .journal = storage::Journal::Keep,
                                          .sync = storage::Sync::Keep,
                                          .connectionPrefix = QStringLiteral("span-keys")});
        if (!store)
            return false;
        QSqlDatabase& db = store->db();
        QSqlQuery q(db);
        ok = ok && q.exec(QStringLiteral("SELECT unit, payload, position, facts FROM fleet_outbox "
                                         "WHERE kind = 'span'"));
        while (ok && q.next()) {
            const auto read =
                series::readSharedSpan(db, q.value(1).toByteArray(), q.value(2).toLongLong(),
                                       std::size_t(q.value(3).toLongLong()));
            ok = read.ok();
            if (!ok)
                break;
            const std::vector<fleet::Outbox::SpanRecord>& records = *read;
            for (std::size_t k = 0; k < records.size(); ++k)
                keys.insert(QStringLiteral("%1/%2/%3")
                                .arg(q.value(0).toString())
                                .arg(q.value(2).toLongLong() + qint64(k))
                                .arg(records[k].hash)
                                .toStdString());
        }
    }
    return ok;
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
    std::int64_t facts = 0;
    std::vector<std::vector<std::string>> laptopFiles;
    for (int i = 0; i < laptops; ++i) {
        // Each laptop a files folder of its own, as the program keeps it: its register's
        // events, each through Outbox::enqueue in the event's transaction, and its series,
        // which took the unit's download (its confirmed records into the outbox as span rows).
        const std::string folder = dir.filePath(laptopName(i)).toStdString() + "/";
        QDir().mkpath(QString::fromStdString(folder));
        fleet::writeFleetSettings(folder, {QString(), laptopName(i)});
        const std::string events = folder + "units.sqlite";
        const std::string seriesFile = folder + series::kFileName;
        const QString connection = laptopName(i);
        {
            auto store = storage::open(events, {.journal = storage::Journal::Keep,
                                                .sync = storage::Sync::Keep,
                                                .connectionPrefix = connection});
            if (!store || !fleet::Outbox::createTables(store->db())) {
                std::fprintf(stderr, "cannot make %s\n", events.c_str());
                return 1;
            }
            QSqlDatabase& db = store->db();
            const int u = i % kUnits;
            for (int e = 0; e < eventsEach; ++e) {
                const QString id = fleet::newFactId();
                eventIds.insert(id.toStdString());
                db.transaction();
                if (!fleet::Outbox::enqueue(
                        db, fleet::eventFact(
                                id, unitName(u),
                                e % 2 ? QStringLiteral("download") : QStringLiteral("visit"),
                                {{QStringLiteral("n"), e}}, 1765188000000 + e, laptopName(i)))) {
                    std::fprintf(stderr, "events of %s not put in the outbox\n", events.c_str());
                    return 1;
                }
                db.commit();
            }
        }
        {
            series::SeriesStore store;
            series::DownloadInput in;
            in.serial = unitName(i % kUnits).toStdString();
            in.keptPath = "kept-" + std::to_string(i);
            in.atMs = 1765188000000;
            in.safe = true;
            auto opened = store.open(seriesFile);
            if (!opened ||
                !store
                     .apply(in, series::parseDownloadText(unitDownload(i % kUnits, recordsPerUnit)),
                            {})
                     .ok) {
                std::fprintf(stderr, "series of %s not made: %s\n", folder.c_str(),
                             opened ? "" : opened.text().c_str());
                return 1;
            }
        }
        if (!spanKeys(seriesFile, recordKeys)) {
            std::fprintf(stderr, "the outbox of %s not read\n", seriesFile.c_str());
            return 1;
        }
        facts += eventsEach + recordsPerUnit;
        laptopFiles.push_back({events, seriesFile});
    }

    std::vector<std::unique_ptr<fleet::Pusher>> pushers;
    for (const std::vector<std::string>& outboxes : laptopFiles) {
        fleet::PusherConfig c;
        c.sources = series::sharingSources();
        c.conninfo = fleet::serviceConninfo("field_laptop");
        c.outboxFiles = outboxes;
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
        "SELECT count(*) || ' ' || md5(string_agg(unit || '/' || position || '/' || identity, "
        "',' ORDER BY unit || '/' || position || '/' || identity COLLATE \"C\")) "
        "FROM xrq.series_facts");
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

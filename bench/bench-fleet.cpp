// SPDX-License-Identifier: GPL-3.0-or-later
// Sharing at scale, on the program's own path, against a private PostgreSQL server on a Unix
// socket (initdb in a temporary folder; run as an ordinary user): the outboxes filled as the
// program fills them (downloads taken into a series store, whose confirmed records enter its
// outbox as span rows in the download's own transaction; register events through
// Outbox::enqueue in their own transactions), then pushed by the program's pusher (the span
// rows read back through the series' span reader) from its start until the server has
// confirmed the last fact. Filling is not timed. The server runs with fsync off and 512 MB of
// shared buffers. What the outbox adds to a download's local write is bench-series' figure.
//
// Usage: bench-fleet [records] [events]   (default 1000000 100000)
#include "bench/bench_timing.h"
#include "fleet/fact.h"
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
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QVariant>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using bench::Clock;
using namespace std::chrono_literals;

using bench::msSince;

// A unit's download as it sends it: one data set of `records` records from `first`.
std::string downloadText(int first, int records) {
    std::string text = "F\r\nName: SET1\r\n";
    char line[96];
    for (int i = first; i < first + records; ++i) {
        std::snprintf(line, sizeof line, "26-%02d-%02d,%02d:%02d:00,12.%d,21.%d,1013.%d\r\n",
                      1 + i / 44640 % 12, 1 + i / 1440 % 31, i / 60 % 24, i % 60, i % 97, i % 89,
                      i % 83);
        text += line;
    }
    return text + ">";
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int records = argc > 1 ? std::atoi(argv[1]) : 1000000;
    const int events = argc > 2 ? std::atoi(argv[2]) : 100000;
    QTemporaryDir dir;
    const std::string folder = dir.path().toStdString() + "/";

    testsupport::PgTestServer server(
        {.tls = false, .maxConnections = 20, .sharedBuffers = "512MB"});
    if (!server.ok()) {
        std::fprintf(stderr, "no server: %s\n", server.error().c_str());
        return 1;
    }
    server.addService("owner_db", testsupport::PgTestServer::kOwner);
    const fleet::InitOutcome init = fleet::initServer(fleet::serviceConninfo("owner_db"));
    if (!init.ok || !server.createLoginRole("bench_laptop", "bench-pw") ||
        !fleet::grantLaptop(fleet::serviceConninfo("owner_db"), "bench_laptop").ok) {
        std::fprintf(stderr, "server not prepared: %s\n", qPrintable(init.message));
        return 1;
    }
    server.addService("bench_laptop", "bench_laptop");

    // The series' outbox: downloads of 10,000 records, one unit each, taken safe.
    const std::string seriesFile = folder + series::kFileName;
    const std::string eventsFile = folder + "units.sqlite";
    {
        const auto t0 = Clock::now();
        series::SeriesStore store;
        if (auto opened = store.open(seriesFile); !opened) {
            std::fprintf(stderr, "series store: %s\n", opened.text().c_str());
            return 1;
        }
        constexpr int kPerDownload = 10000;
        for (int first = 0, n = 0; first < records; first += kPerDownload, ++n) {
            series::DownloadInput in;
            char serial[16];
            std::snprintf(serial, sizeof serial, "XRQ%05d", n);
            in.serial = serial;
            in.keptPath = "kept-" + std::to_string(n);
            in.atMs = 1765188000000 + n;
            in.safe = true;
            const series::ApplyResult r =
                store.apply(in,
                            series::parseDownloadText(
                                downloadText(first, std::min(kPerDownload, records - first))),
                            {});
            if (!r.ok) {
                std::fprintf(stderr, "download not taken: %s\n", r.error.c_str());
                return 1;
            }
        }
        store.close();
        // The register's events, each in a transaction of its own as the register writes them.
        {
            auto eventsStore =
                storage::open(eventsFile, {.journal = storage::Journal::Keep,
                                           .sync = storage::Sync::Off,
                                           .connectionPrefix = QStringLiteral("events")});
            if (!eventsStore || !fleet::Outbox::createTables(eventsStore->db())) {
                std::fprintf(stderr, "events file not made\n");
                return 1;
            }
            QSqlDatabase& db = eventsStore->db();
            for (int i = 0; i < events; ++i) {
                db.transaction();
                if (!fleet::Outbox::enqueue(
                        db,
                        fleet::eventFact(fleet::newFactId(),
                                         QStringLiteral("XRQ%1").arg(i % 100, 5, 10, QChar('0')),
                                         QStringLiteral("visit"), {{QStringLiteral("port"), 3}},
                                         1765188000000 + i, QStringLiteral("bench-laptop")))) {
                    std::fprintf(stderr, "events not put in the outbox\n");
                    return 1;
                }
                db.commit();
            }
        }
        std::printf("outboxes filled: %lld records, %lld events in %.1f s (not timed below)\n",
                    static_cast<long long>(fleet::Outbox::waitingIn(seriesFile)),
                    static_cast<long long>(fleet::Outbox::waitingIn(eventsFile)),
                    msSince(t0) / 1000);
    }

    fleet::PusherConfig c;
    c.sources = series::sharingSources();
    c.conninfo = fleet::serviceConninfo("bench_laptop");
    // As the program orders them: the register's facts, then the series'.
    c.outboxFiles = {eventsFile, seriesFile};
    c.statementTimeout = 300s;
    fleet::Pusher pusher(c);
    const auto t0 = Clock::now();
    pusher.start();
    const bool done = pusher.pushAndWait(3600s);
    const double s = msSince(t0) / 1000;
    const fleet::PushStatus st = pusher.status();
    pusher.stop();
    const auto rec = server.value("SELECT count(*) FROM xrq.series_facts");
    const auto ev = server.value("SELECT count(*) FROM xrq.events");
    const long long recs = rec ? std::atoll(rec->c_str()) : 0;
    std::printf("push (the program's pusher, batches of %d): %s, %lld facts in %.1f s: %.0f "
                "facts/s, %.0f records/s (server holds %s records, %s events)\n",
                c.batchSize, done ? "done" : "NOT DONE", static_cast<long long>(st.pushed), s,
                double(st.pushed) / s, double(recs) / s, rec.value_or("?").c_str(),
                ev.value_or("?").c_str());
    return done && recs == records ? 0 : 1;
}

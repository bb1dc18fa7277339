// SPDX-License-Identifier: GPL-3.0-or-later
// xrq-office over a generated server, against a private PostgreSQL server on a Unix socket
// (initdb in a temporary folder; run as an ordinary user; the server runs with fsync off):
// U units with E events (by the owner, in one statement) and R series records pushed from a
// laptop's outbox by the real pusher (filling and pushing not timed): one unit, BIG, holds
// a series of 20,000 records, the others share the rest, one a minute each, under a clock set
// with its offset. Then the program xrq-office itself, asked over HTTP from one client:
// 1. the Units page at once after the service's start (while it counts every series ahead),
//    the time until it has counted them all, and the page again (counted already), five times;
// 2. a unit's page, five times;
// 3. a plot of BIG's whole series and of one hour of it, five times each;
// 4. the web service's pages of 1,000 Observations of BIG, one after another by their next
//    links: pages per second;
// and the service's memory at its peak (VmHWM).
//
// Usage: bench-office [units] [events] [records]   (default 10000 1000000 1000000)
#include "bench/bench_office_client.h"
#include "bench/bench_office_start.h"
#include "bench/bench_push.h"
#include "bench/bench_timing.h"
#include "fleet/fact.h"
#include "fleet/outbox.h"
#include "fleet/pusher.h"
#include "fleet/server_schema.h"
#include "register/register_outbox.h"
#include "series/series_share.h"
#include "series/span_reader.h"
#include "storage/sqlite_store.h"
#include "support/pg_test_server.h"
#include "support/wait.h"

#include <QCoreApplication>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using bench::Clock;
using bench::msSince;
using bench::report;
using namespace std::chrono_literals;

[[noreturn]] void fail(const std::string& why) {
    bench::fail("bench-office", why);
}

constexpr std::int64_t kClockSetMs = 1796079600000; // 2026-11-30T23:00:00Z, 00:00 at UTC+01:00
constexpr std::int64_t kDownloadMs = 1797724800000; // 2026-12-20T00:00:00Z, after every stamp
constexpr int kBig = 20000;

QString unitName(long i) {
    return i == 0 ? QStringLiteral("BIG") : QStringLiteral("XRQ%1").arg(i, 5, 10, QLatin1Char('0'));
}

// `count` records of one unit's series as a laptop shares them, one a minute from local
// midnight of 2026-12-01.
void recordsOf(const QString& unit, int count, std::vector<fleet::Fact>& out) {
    series::RecordChain chain;
    for (int i = 0; i < count; ++i) {
        char line[96];
        std::snprintf(line, sizeof line, "2026/12/%02d %02d:%02d:00, %d.%d, %d", 1 + i / 1440,
                      i / 60 % 24, i % 60, 12 + i % 3, i % 10, 20 + i % 7);
        series::SharedRecord r;
        r.line = line;
        r.download = "/data/kept.txt";
        QByteArray payload;
        series::appendRecordPayload(payload, r, i == 0);
        out.push_back(fleet::recordFact(unit, {series::sharedDataSet("ANALOG", 0), 0, i},
                                        chain.next(line), QJsonDocument::fromJson(payload).object(),
                                        kDownloadMs + i, QStringLiteral("bench_laptop")));
    }
}

using bench::Got;

Got get(QNetworkAccessManager& net, const QString& url) {
    return bench::get("bench-office", net, url, 300s);
}

} // namespace

int main(int argc, char** argv) {
    const long units = argc > 1 ? std::atol(argv[1]) : 10000;
    const long events = argc > 2 ? std::atol(argv[2]) : 1000000;
    const long records = argc > 3 ? std::atol(argv[3]) : 1000000;
    if (units < 2 || events <= 0 || records < kBig + units)
        fail("usage: bench-office [units >= 2] [events] [records >= 20000 + units]");
    QCoreApplication app(argc, argv);

    testsupport::PgServerOptions options;
    options.sharedBuffers = "512MB";
    // Static: fail()'s exit stops it too.
    static testsupport::PgTestServer server(options);
    bench::prepareServer("bench-office", server, {bench::Role::Laptop, bench::Role::Office});

    // Events: every kind in turn, a minute apart, and each unit's clock set with its offset.
    auto t0 = Clock::now();
    std::string why;
    const std::string u = std::to_string(units);
    const std::string fill =
        "SET statement_timeout = 0; "
        "INSERT INTO xrq.events (id, unit, kind, occurred_at, laptop, payload) "
        "SELECT gen_random_uuid(), CASE WHEN i % " +
        u +
        " = 0 THEN 'BIG' ELSE 'XRQ' || "
        "lpad((i % " +
        u +
        ")::text, 5, '0') END, "
        "(ARRAY['visit','battery','download','clear','link'])[1 + (i / " +
        u +
        ") % 5], "
        "to_timestamp(1765188000 + i * 60), 'laptop-' || (i % 25), "
        "jsonb_build_object('port', 3, 'volts', 12.5, 'celsius', 21.0, 'safe', true, "
        "'reasons', '[]'::jsonb) FROM generate_series(1, " +
        std::to_string(events) +
        ") i; "
        "INSERT INTO xrq.events (id, unit, kind, occurred_at, laptop, payload) "
        "SELECT gen_random_uuid(), CASE WHEN i = 0 THEN 'BIG' ELSE 'XRQ' || lpad(i::text, 5, "
        "'0') END, 'clock_set', to_timestamp(" +
        std::to_string(kClockSetMs / 1000) +
        "), "
        "'laptop-0', jsonb_build_object('sent', '26-12-01 00:00:00', 'utc_offset', 3600) "
        "FROM generate_series(0, " +
        std::to_string(units - 1) + ") i;";
    if (!server.sql(fill, testsupport::PgTestServer::kDatabase, &why))
        fail("the server was not filled: " + why);
    std::printf("events: %ld units, %ld events and a clock set each in %.1f s (not timed)\n", units,
                events, msSince(t0) / 1000);

    // Records: an outbox filled, then pushed by the real pusher.
    QTemporaryDir dir;
    const QString outboxFile = dir.path() + QStringLiteral("/outbox.sqlite");
    t0 = Clock::now();
    {
        auto outbox =
            storage::open(outboxFile.toStdString(), {.journal = storage::Journal::Keep,
                                                     .sync = storage::Sync::Off,
                                                     .connectionPrefix = QStringLiteral("fill")});
        if (!outbox || !fleet::Outbox::createTables(outbox->db()))
            fail("no outbox");
        QSqlDatabase& db = outbox->db();
        db.transaction();
        const long rest = records - kBig;
        std::vector<fleet::Fact> facts;
        for (long i = 0; i < units; ++i) {
            facts.clear();
            const long n = i == 0 ? kBig : rest / (units - 1) + (i <= rest % (units - 1) ? 1 : 0);
            recordsOf(unitName(i), int(n), facts);
            // One fact a record: the span rows the program writes need a series store, which
            // the office never reads; the server holds the same rows either way.
            for (const fleet::Fact& fact : facts)
                if (!fleet::Outbox::enqueue(db, fact))
                    fail("records not put in the outbox");
        }
        db.commit();
    }
    bench::pushOutbox("bench-office", outboxFile, 3600s);
    // As autovacuum leaves a server at rest: the tables' visibility maps set (what lets the
    // office's index-only reads skip the rows) and their statistics made.
    server.sql("VACUUM (ANALYZE) xrq.events, xrq.series_facts, xrq.series_records;",
               testsupport::PgTestServer::kDatabase, &why);
    std::printf("records: %s on the server in %.1f s (outbox and push, not timed)\n",
                server.value("SELECT count(*) FROM xrq.series_places").value_or("?").c_str(),
                msSince(t0) / 1000);

    QProcess office;
    const bench::StartedOffice started = bench::startOffice("bench-office", office);
    const QString base = started.base;
    QByteArray told = started.told;
    QNetworkAccessManager net;

    auto timed = [&](const char* what, const QString& path, int runs) {
        return bench::timedGet("bench-office", net, base + path, what, runs, 300s);
    };
    {
        std::vector<double> first;
        Got g;
        for (int i = 0; i < 5 && (i == 0 || g.body.contains("not all counted")); ++i) {
            const auto s = Clock::now();
            g = get(net, base + QStringLiteral("/units"));
            first.push_back(msSince(s));
        }
        std::printf("Units page while the service counts every series: %zu loads, %s\n",
                    first.size(),
                    g.body.contains("not all counted") ? "NOT all counted yet" : "all counted");
        report("Units page, first loads (series being counted)", first);
    }
    {
        // The service counts every series from its start, and says when it has.
        const QRegularExpression said(
            QStringLiteral("every series counted \\((\\d+) derived\\) in (\\d+) ms\n"));
        QRegularExpressionMatch c;
        const bool counted = testsupport::waitUntil(
            [&] {
                told += office.readAllStandardError();
                c = said.match(QString::fromLatin1(told));
                return c.hasMatch();
            },
            1800s);
        if (!counted)
            fail("the service did not count every series: " + told.toStdString());
        std::printf("%-58s %s series in %.1f s from the service's start\n",
                    "every series counted ahead", qPrintable(c.captured(1)),
                    c.captured(2).toDouble() / 1000);
    }
    timed("Units page, counted already", QStringLiteral("/units"), 5);
    const QString unit = unitName(units / 2);
    timed("a unit's page", QStringLiteral("/unit?u=") + unit, 5);
    timed("a unit's page, BIG (20,000 records)", QStringLiteral("/unit?u=BIG"), 5);
    timed("plot of BIG's whole series (800 buckets)",
          QStringLiteral("/api/series?u=BIG&set=ANALOG"), 5);
    timed("plot of one hour of BIG",
          QStringLiteral("/api/series?u=BIG&set=ANALOG&from=2026-12-05T10:00:00Z&"
                         "to=2026-12-05T11:00:00Z"),
          5);
    {
        QString link = base + QStringLiteral("/api/v1.1/Datastreams('BIG/ANALOG/2')/"
                                             "Observations?$top=1000");
        int pages = 0;
        long long seen = 0;
        const auto s = Clock::now();
        while (!link.isEmpty() && pages < 20) {
            const Got g = get(net, link);
            if (g.status != 200)
                fail("API page: " + g.body.left(300).toStdString());
            const QJsonObject o = QJsonDocument::fromJson(g.body).object();
            seen += o.value(QLatin1String("value")).toArray().size();
            link = o.value(QLatin1String("@iot.nextLink")).toString();
            ++pages;
        }
        const double ms = msSince(s);
        std::printf("%-58s %d pages, %lld observations in %.1f s: %.1f pages/s\n",
                    "API pages of 1,000 Observations by their next links", pages, seen, ms / 1000,
                    pages / (ms / 1000));
    }
    bench::reportPeak("xrq-office's memory at its peak (VmHWM)", office);
    office.terminate();
    office.waitForFinished(10000);
    return 0;
}

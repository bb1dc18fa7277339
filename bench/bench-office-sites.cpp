// SPDX-License-Identifier: GPL-3.0-or-later
// xrq-office's pages of places over a generated server, against a private PostgreSQL server on
// a Unix socket (initdb in a temporary folder; run as an ordinary user; fsync off): S sites,
// three deployments each (two swaps), a note each, added by the data manager's writes in one
// transaction; each unit a visit, two battery readings and a clock set with its offset (by the
// owner, in one statement); the first site's three units each with a third of R records, one
// a minute, within their deployment there, pushed from a laptop's outbox by the real pusher
// (filling and pushing not timed). Then the program xrq-office itself, asked over HTTP from
// one client, five times each: the Sites page, a site's page, the first site's plot (one day
// of it first, which builds the site's series, then its whole series and one day of it kept),
// and its CSV three times (bytes a second); and the service's memory at its peak (VmHWM).
//
// With `copy`, the first site's units' series are brought into the server's derived copy as
// `xrq-office --derive-now` does (office/observation_deriver.h) before measuring, and, where
// pushing a third of R records a unit through the real pusher would take minutes, only the
// first 2,000 of each are pushed and derived and the copy filled by SQL to R with the same
// records (generate_series): the site's CSV, read from the copy, is then R records while its
// plot, built from the facts, is 6,000. Then also a site's Datastream's page of Observations
// and the whole root /Observations page ordered by time (10,000 sites deployed).
//
// Usage: bench-office-sites [sites] [records] [copy]   (default 10000 100000)
#include "bench/bench_office_client.h"
#include "bench/bench_office_start.h"
#include "bench/bench_push.h"
#include "bench/bench_timing.h"
#include "fleet/fact.h"
#include "fleet/outbox.h"
#include "fleet/pusher.h"
#include "fleet/server_schema.h"
#include "fleet/site_fact_writes.h"
#include "office/observation_deriver.h"
#include "series/series_share.h"
#include "series/span_reader.h"
#include "support/pg_test_server.h"
#include "support/wait.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTimeZone>

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
    bench::fail("bench-office-sites", why);
}

constexpr std::int64_t kClockSetMs = 1796079600000; // 2026-11-30T23:00:00Z, 00:00 at UTC+01:00
constexpr std::int64_t kMinute = 60000;

QString unitName(long i) {
    return QStringLiteral("U%1").arg(i, 5, 10, QLatin1Char('0'));
}

QString siteCode(long i) {
    return QStringLiteral("S%1").arg(i, 5, 10, QLatin1Char('0'));
}

// `count` records of a unit as a laptop shares them, one a minute from `first` minutes after
// local midnight of 2026-12-01 (UTC+01:00), downloaded after the last.
void recordsOf(const QString& unit, long first, long count, std::vector<fleet::Fact>& out) {
    series::RecordChain chain;
    const QDateTime midnight(QDate(2026, 12, 1), QTime(0, 0), QTimeZone::utc());
    const std::int64_t downloaded = kClockSetMs + (first + count + 60) * kMinute + 7200000;
    for (long i = 0; i < count; ++i) {
        const QByteArray stamp = midnight.addSecs((first + i) * 60)
                                     .toString(QStringLiteral("yyyy/MM/dd HH:mm:ss"))
                                     .toLatin1();
        char line[96];
        std::snprintf(line, sizeof line, "%s, %ld.%ld, %ld", stamp.constData(), 12 + i % 3, i % 10,
                      20 + i % 7);
        series::SharedRecord r;
        r.line = line;
        r.download = "/data/kept.txt";
        QByteArray payload;
        series::appendRecordPayload(payload, r, i == 0);
        out.push_back(fleet::recordFact(unit, {series::sharedDataSet("ANALOG", 0), 0, int(i)},
                                        chain.next(line), QJsonDocument::fromJson(payload).object(),
                                        downloaded + i, QStringLiteral("bench_laptop")));
    }
}

using bench::Got;

Got get(QNetworkAccessManager& net, const QString& url) {
    return bench::get("bench-office-sites", net, url, 600s);
}

// The sites, their units' deployments (a unit at one site, three a site, each ending where the
// next starts) and a note each: one transaction of the data manager's writes.
void addSites(long sites, long perUnit) {
    fleet::PgConnection pg;
    if (!pg.connect(fleet::serviceConninfo("owner_db"), 30s))
        fail("the owner did not connect");
    std::vector<fleet::SiteFactToAdd> facts;
    facts.reserve(std::size_t(sites) * 5);
    for (long s = 0; s < sites; ++s) {
        fleet::Site site;
        site.code = siteCode(s);
        site.name = QStringLiteral("Gauge %1").arg(s);
        site.longitude = 6 + double(s % 100) * 0.04;
        site.latitude = 46 + double(s / 100) * 0.02;
        site.visitDays = s % 7 == 0 ? std::optional<int>(14) : std::nullopt;
        facts.push_back({site, false, {}});
        for (long k = 0; k < 3; ++k) {
            fleet::Deployment d;
            d.unit = unitName(s * 3 + k);
            d.site = site.code;
            d.fromMs = kClockSetMs + k * perUnit * kMinute;
            facts.push_back({d, false, {}});
        }
        fleet::FieldNote n;
        n.id = fleet::newFactId();
        n.site = site.code;
        n.atMs = kClockSetMs + 2 * perUnit * kMinute;
        n.category = fleet::NoteCategory::Maintenance;
        n.text = QStringLiteral("Swapped the logger, battery low");
        n.by = QStringLiteral("bench");
        facts.push_back({n, false, {}});
    }
    const fleet::AddedSiteFacts added = fleet::addSiteFacts(pg, facts, 3600s);
    if (!added.ok)
        fail("the site facts were not added: " + added.error.toStdString());
}

// The derived copy brought up to date as `xrq-office --derive-now` does, then each of the
// first site's units' series continued by SQL from its `pushed` records to `perUnit`, the same
// records recordsOf makes (its Datastreams' fields 2 and 3), its state row's signature kept:
// the copy holds them as current.
void fillCopy(testsupport::PgTestServer& server, long perUnit, long pushed) {
    auto t0 = Clock::now();
    fleet::PgConnection pg;
    if (!pg.connect(fleet::serviceConninfo("owner_db"), 30s))
        fail("the owner did not connect");
    const platform::Result<office::DeriveReport> derived =
        office::deriveObservations(pg, false, 600s);
    if (!derived || derived.value().failed > 0)
        fail("the copy was not derived");
    std::printf("derived copy: %lld Observations derived in %.1f s (not timed)\n",
                derived.value().rows, msSince(t0) / 1000);
    t0 = Clock::now();
    const std::string per = std::to_string(perUnit);
    const std::string sql =
        "SET statement_timeout = 0; "
        "INSERT INTO xrq.derived_observations (datastream, ordinal, segment, place, utc, "
        "utc_offset, result, flags, record, cells) "
        "SELECT d.id, i, 1, i, " +
        std::to_string(kClockSetMs / 1000) + " + (u.k * " + per +
        " + i) * 60, 3600, "
        "CASE d.field WHEN 2 THEN 12 + i % 3 + (i % 10) / 10.0 ELSE 20 + i % 7 END, '', "
        "to_char(timestamp '2026-12-01 00:00:00' + (u.k * " +
        per +
        " + i) * interval "
        "'1 minute', 'YYYY/MM/DD HH24:MI:SS') || ', ' || (12 + i % 3) || '.' || (i % 10) || "
        "', ' || (20 + i % 7), '{2,3,3}' "
        "FROM xrq.derived_datastreams d JOIN xrq.derived_series s ON s.id = d.series "
        "CROSS JOIN LATERAL (SELECT substr(d.unit, 2)::int AS k) u "
        "CROSS JOIN LATERAL generate_series(" +
        std::to_string(pushed) + ", " + per +
        " - 1) i WHERE d.unit IN ('U00000', 'U00001', 'U00002'); "
        "UPDATE xrq.derived_series SET records = " +
        per + " WHERE unit IN ('U00000', 'U00001', 'U00002');";
    std::string why;
    if (!server.sql(sql, testsupport::PgTestServer::kDatabase, &why) ||
        !server.sql("VACUUM (ANALYZE) xrq.derived_observations, xrq.derived_series;",
                    testsupport::PgTestServer::kDatabase, &why))
        fail("the copy was not filled: " + why);
    std::printf("derived copy: filled by SQL to %ld records of three units in %.1f s (not "
                "timed)\n",
                perUnit * 3, msSince(t0) / 1000);
    // The site's pieces built again over the rows filled, as the deriver's next pass does.
    t0 = Clock::now();
    const platform::Result<office::DeriveReport> pieces =
        office::deriveObservations(pg, false, 600s);
    if (!pieces || pieces.value().failed > 0)
        fail("the sites' pieces were not built");
    std::printf("derived copy: %d sites' pieces built again in %.1f s (not timed)\n",
                pieces.value().sites, msSince(t0) / 1000);
}

} // namespace

int main(int argc, char** argv) {
    const long sites = argc > 1 ? std::atol(argv[1]) : 10000;
    const long records = argc > 2 ? std::atol(argv[2]) : 100000;
    if (sites < 1 || records < 3)
        fail("usage: bench-office-sites [sites >= 1] [records >= 3]");
    QCoreApplication app(argc, argv);
    const long perUnit = (records + 2) / 3;
    const bool copy = argc > 3 && std::string(argv[3]) == "copy";
    // What the pusher carries: with the copy, at most 2,000 records a unit (filled by SQL after).
    const long pushed = copy ? std::min(perUnit, 2000L) : perUnit;

    testsupport::PgServerOptions options;
    options.sharedBuffers = "256MB";
    static testsupport::PgTestServer server(options); // static: fail()'s exit stops it too
    bench::prepareServer("bench-office-sites", server, {bench::Role::Laptop, bench::Role::Office});

    auto t0 = Clock::now();
    std::string why;
    const std::string units = std::to_string(sites * 3);
    const std::string fill =
        "SET statement_timeout = 0; "
        "INSERT INTO xrq.events (id, unit, kind, occurred_at, laptop, payload) "
        "SELECT gen_random_uuid(), 'U' || lpad(i::text, 5, '0'), k.kind, "
        "now() - ((i % 90) || ' days')::interval - k.back, 'laptop-' || (i % 25), "
        "jsonb_build_object('port', 3, 'volts', 12.0 + (i % 7) / 10.0, 'celsius', 21.0, "
        "'sent', '26-12-01 00:00:00', 'utc_offset', 3600) FROM generate_series(0, " +
        units +
        " - 1) i, (VALUES ('visit', interval '0'), ('battery', interval '0'), "
        "('battery', interval '30 days')) k(kind, back); "
        "INSERT INTO xrq.events (id, unit, kind, occurred_at, laptop, payload) "
        "SELECT gen_random_uuid(), 'U' || lpad(i::text, 5, '0'), 'clock_set', to_timestamp(" +
        std::to_string(kClockSetMs / 1000) +
        "), 'laptop-0', jsonb_build_object('sent', '26-12-01 00:00:00', 'utc_offset', 3600) "
        "FROM generate_series(0, 2) i;";
    if (!server.sql(fill, testsupport::PgTestServer::kDatabase, &why))
        fail("the server was not filled: " + why);
    addSites(sites, perUnit);
    std::printf("sites: %ld sites, %ld deployments, %ld notes, %ld units' events in %.1f s "
                "(not timed)\n",
                sites, sites * 3, sites, sites * 3, msSince(t0) / 1000);

    QTemporaryDir dir;
    const QString outboxFile = dir.path() + QStringLiteral("/outbox.sqlite");
    t0 = Clock::now();
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), "fill");
        db.setDatabaseName(outboxFile);
        if (!db.open() || !fleet::Outbox::createTables(db))
            fail("no outbox");
        QSqlQuery(db).exec(QStringLiteral("PRAGMA synchronous=OFF"));
        db.transaction();
        std::vector<fleet::Fact> facts;
        for (long k = 0; k < 3; ++k) {
            facts.clear();
            recordsOf(unitName(k), k * perUnit, pushed, facts);
            for (const fleet::Fact& fact : facts)
                if (!fleet::Outbox::enqueue(db, fact))
                    fail("records not put in the outbox");
        }
        db.commit();
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("fill"));
    bench::pushOutbox("bench-office-sites", outboxFile, 3600s);
    server.sql("VACUUM (ANALYZE) xrq.events, xrq.site_facts, xrq.series_facts, "
               "xrq.series_records;",
               testsupport::PgTestServer::kDatabase, &why);
    std::printf("records: %ld of three units at %s in %.1f s (outbox and push, not timed)\n",
                pushed * 3, qPrintable(siteCode(0)), msSince(t0) / 1000);
    if (copy)
        fillCopy(server, perUnit, pushed);

    QProcess office;
    const QString base = bench::startOffice("bench-office-sites", office).base;
    QNetworkAccessManager net;

    auto timed = [&](const char* what, const QString& path, int runs) {
        return bench::timedGet("bench-office-sites", net, base + path, what, runs, 600s);
    };
    const Got page = timed("Sites page", QStringLiteral("/sites"), 5);
    std::printf("%-58s %.1f MB\n", "Sites page's size", double(page.body.size()) / 1e6);
    timed("Sites as JSON", QStringLiteral("/api/sites"), 5);
    timed("a site's page", QStringLiteral("/site?site=") + siteCode(sites / 2), 5);
    timed("a site's page, its series' site", QStringLiteral("/site?site=") + siteCode(0), 5);
    // The site's series is built at its first read and kept (the office's SiteSeriesCache):
    // the first ask of one day of it builds it, the rest cut their range from it.
    const QString oneDay = QStringLiteral("/api/site-series?site=%1&from=2026-12-20T00:00:00Z&"
                                          "to=2026-12-21T00:00:00Z")
                               .arg(siteCode(0));
    // With the copy, the plot is streamed from it at every ask (its properties and ends kept).
    timed(copy ? "plot of one day of a site's series, first (from the copy)"
               : "plot of one day of a site's series, first (built)",
          oneDay, 1);
    const Got plot = timed(copy ? "plot of a site's whole series (800 buckets), from the copy"
                                : "plot of a site's whole series (800 buckets), kept",
                           QStringLiteral("/api/site-series?site=") + siteCode(0), 5);
    std::printf("%-58s %lld records\n", "records in the site's plot",
                QJsonDocument::fromJson(plot.body).object().value("records").toInteger());
    timed(copy ? "plot of one day of a site's series, from the copy"
               : "plot of one day of a site's series, kept",
          oneDay, 5);
    if (copy)
        timed("plot of a site's first 30 days, from the copy",
              QStringLiteral("/api/site-series?site=%1&from=2026-11-30T23:00:00Z&"
                             "to=2026-12-30T23:00:00Z")
                  .arg(siteCode(0)),
              5);
    for (int run = 0; run < 3; ++run) {
        const auto s = Clock::now();
        const Got csv = get(net, base + QStringLiteral("/csv/site?site=") + siteCode(0));
        const double ms = msSince(s);
        if (csv.status != 200)
            fail("CSV: " + csv.body.left(300).toStdString());
        std::printf("%-58s %.1f MB, %lld lines in %.2f s: %.1f MB/s\n", "a site's CSV",
                    double(csv.body.size()) / 1e6, (long long)csv.body.count('\n'), ms / 1000,
                    double(csv.body.size()) / 1e6 / (ms / 1000));
    }
    // What the site pages, the plot and the CSV took at most, before the web service's pages.
    bench::reportPeak("xrq-office's memory at its peak (VmHWM), pages, plots and CSV", office);
    if (copy) {
        // A site's Datastream's first page, a page deep in it, and every Datastream's
        // Observations in time (units and sites alike).
        const QString stream =
            QStringLiteral("/api/v1.1/Datastreams('site:%1/c/ANALOG/field_2')/Observations")
                .arg(siteCode(0));
        timed("a site Datastream's first page of Observations", stream, 5);
        timed("a site Datastream's page at $skip=50000", stream + QStringLiteral("?$skip=50000"),
              3);
        // Not served where the units are more than the Units read's bound (20,000): told.
        const auto s = Clock::now();
        const Got root = get(
            net, base + QStringLiteral("/api/v1.1/Observations?$orderby=phenomenonTime&$top=1000"));
        std::printf("%-58s %d in %.1f ms: %s\n", "root Observations, 1,000 by phenomenonTime",
                    root.status, msSince(s), root.body.left(160).constData());
    }
    bench::reportPeak("xrq-office's memory at its peak (VmHWM)", office);
    office.terminate();
    office.waitForFinished(10000);
    return 0;
}

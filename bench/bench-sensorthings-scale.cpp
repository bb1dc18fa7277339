// SPDX-License-Identifier: GPL-3.0-or-later
// The web service's Observations at scale, served from the derived copy the server keeps
// (office/observation_deriver.h), against a private PostgreSQL server on a Unix socket (initdb
// in a temporary folder; run as an ordinary user). The copy is filled by SQL from
// generate_series (never a statement a row; not timed, its time told): S units of one series
// each, their state rows current with the series' arrival sums, N Observations in all, one a
// minute, of which one Datastream holds min(1,000,000, N/2) and the others two Datastreams
// each. Then the program xrq-office itself, asked over HTTP from one client, five times each
// (median): a page of 1,000 of every Datastream's Observations filtered on phenomenonTime and
// ordered by it; one Datastream's page with a range filter; $count=true on the largest; then
// a unit visited twice with 10,000 records each, pushed by the real pusher, the copy brought up
// to date after the second visit (its new records appended) as the deriver does; and the
// service's memory at its peak (VmHWM).
//
// With --sites, each unit is deployed at a site of its own (sites added as a data manager adds
// them), the sites' pieces filled by SQL as the deriver writes them (one site's checked against
// the deriver's own); without, the root collection is the units' alone, as in the figures
// before sites.
// The fill is a statement per 500 units on a connection of its own that waits as long as one
// takes. Also timed: a filter on `result` beside the time's, and pages deep in a $skip (past
// the bound on it refused unless past the end).
//
// Usage: bench-sensorthings-scale [observations] [units] [--sites] [--largest N]
//        (default 1000000 10000; the largest Datastream min(1,000,000, observations / 2))
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
#include "office/observation_reads.h"
#include "register/register_outbox.h"
#include "series/series_share.h"
#include "series/span_reader.h"
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
#include <QSqlDatabase>
#include <QTemporaryDir>

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
    bench::fail("bench-sensorthings-scale", why);
}

constexpr std::int64_t kClockSetMs = 1796079600000; // 2026-11-30T23:00:00Z, 00:00 at UTC+01:00

using bench::Got;

// A status timed() takes as 200 or 413 (a bound named), telling which.
constexpr int kAnswerOrRefuse = -1;

Got get(QNetworkAccessManager& net, const QString& url) {
    return bench::get("bench-sensorthings-scale", net, url, 600s);
}

// `count` records of the visited unit from record `first`, one a minute, as a laptop shares
// them, in its outbox.
void pushVisit(const QString& outboxFile, long first, long count, series::RecordChain& chain) {
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), "visit");
        db.setDatabaseName(outboxFile);
        if (!db.open() || !fleet::Outbox::createTables(db))
            fail("no outbox");
        db.transaction();
        for (long i = first; i < first + count; ++i) {
            char line[96];
            std::snprintf(line, sizeof line, "2026/%02ld/%02ld %02ld:%02ld:00, %ld.%ld, %ld",
                          12 + 0 * i, 1 + i / 1440 % 28, i / 60 % 24, i % 60, 12 + i % 3, i % 10,
                          20 + i % 7);
            series::SharedRecord r;
            r.line = line;
            r.download = "/data/kept.txt";
            QByteArray payload;
            series::appendRecordPayload(payload, r, i == 0);
            if (!fleet::Outbox::enqueue(
                    db,
                    fleet::recordFact(
                        QStringLiteral("VISITED"), {series::sharedDataSet("TEMP", 0), 0, int(i)},
                        chain.next(line), QJsonDocument::fromJson(payload).object(),
                        kClockSetMs + (first + count) * 60000 + i, QStringLiteral("bench_laptop"))))
                fail("records not put in the outbox");
        }
        db.commit();
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("visit"));
    bench::pushOutbox("bench-sensorthings-scale", outboxFile, 600s);
}

office::DeriveReport deriveNow() {
    fleet::PgConnection pg;
    if (!pg.connect(fleet::serviceConninfo("bench_deriver"), 30s, 600s))
        fail("the deriver did not connect: " + pg.error());
    platform::Result<office::DeriveReport> r = office::deriveObservations(pg, false, 600s);
    if (!r)
        fail("not derived: " + r.error().text);
    return r.value();
}

// The owner's connection for the fill: a statement may take minutes at ten million rows,
// longer than the test server helper waits for one.
fleet::PgConnection& owner() {
    static fleet::PgConnection pg;
    if (!pg.isOpen() && !pg.connect(fleet::serviceConninfo("owner_db"), 30s, 3600s))
        fail("the owner did not connect: " + pg.error());
    return pg;
}

void ownerSql(const std::string& sql, const std::vector<fleet::PgParam>& params = {}) {
    const fleet::PgResult r = owner().exec(sql, params, 3600s);
    if (!r.ok())
        fail("the server was not filled: " + r.error());
}

QString unitName(long i) {
    return QStringLiteral("U%1").arg(i, 5, 10, QLatin1Char('0'));
}

// Units U00000.. of one series each, every state row current with its arrivals' sums; unit
// U00000's series holds the largest Datastream (field 2 alone), every other unit's two (fields 2
// and 3). Their Observations are written a statement per kFillBatch units, each told.
void fill(long units, long long largest, long long perOther) {
    constexpr long kFillBatch = 500;
    const std::string n = std::to_string(units);
    ownerSql("SET synchronous_commit = off");
    ownerSql("INSERT INTO xrq.events (id, unit, kind, occurred_at, laptop, payload) "
             "SELECT gen_random_uuid(), 'U' || lpad(i::text, 5, '0'), 'visit', to_timestamp(" +
             std::to_string(kClockSetMs / 1000) +
             "), 'bench', '{\"port\": 3}' FROM generate_series(0, " + n + " - 1) i");
    ownerSql("INSERT INTO xrq.series_arrivals (unit, data_set, rows, newest) "
             "SELECT 'U' || lpad(i::text, 5, '0'), 'TEMP', CASE WHEN i = 0 THEN " +
             std::to_string(largest) + " ELSE " + std::to_string(perOther) +
             " END, i FROM generate_series(0, " + n + " - 1) i");
    ownerSql("INSERT INTO xrq.derived_series (unit, data_set, facts, newest, trust, clocks, "
             "records, fields, digest) SELECT unit, data_set, rows, newest, 0, 0, rows, CASE WHEN "
             "unit = 'U00000' THEN '{2}'::integer[] ELSE '{2,3}' END, 'bench' FROM "
             "xrq.series_arrivals");
    ownerSql("INSERT INTO xrq.derived_datastreams (series, unit, data_set, field) "
             "SELECT id, unit, data_set, f FROM xrq.derived_series, unnest(fields) f");
    const std::string observations =
        "INSERT INTO xrq.derived_observations (datastream, ordinal, segment, place, utc, "
        "utc_offset, result, flags, record, cells) SELECT d.id, k, 1, k, " +
        std::to_string(kClockSetMs / 1000) +
        " + k * 60 + (d.id % 60), 3600, (k % 10)::double precision, '', "
        "to_char(to_timestamp(" +
        std::to_string(kClockSetMs / 1000 + 3600) +
        " + k * 60) AT TIME ZONE 'UTC', 'YYYY/MM/DD HH24:MI:SS') || ', ' || (k % 10) || ', ' || "
        "(20 + k % 7), '{2,3,3}' FROM xrq.derived_datastreams d, generate_series(0, (SELECT "
        "records - 1 "
        "FROM xrq.derived_series s WHERE s.id = d.series)) k "
        "WHERE d.unit COLLATE \"C\" >= $1 AND d.unit COLLATE \"C\" < $2";
    for (long from = 0; from < units; from += kFillBatch) {
        const auto t0 = Clock::now();
        const long to = std::min(units, from + kFillBatch);
        ownerSql(observations, {fleet::PgParam::text(unitName(from).toStdString()),
                                fleet::PgParam::text(unitName(to).toStdString())});
        std::printf("  fill: units %ld to %ld in %.1f s\n", from, to - 1, msSince(t0) / 1000);
    }
}

// A site for each unit, the unit deployed there since its first record: a data manager's
// writes in one transaction.
void addSites(long units) {
    std::vector<fleet::SiteFactToAdd> facts;
    facts.reserve(std::size_t(units) * 2);
    for (long i = 0; i < units; ++i) {
        fleet::Site site;
        site.code = QStringLiteral("S%1").arg(i, 5, 10, QLatin1Char('0'));
        site.name = QStringLiteral("Gauge %1").arg(i);
        site.longitude = 6 + double(i % 100) * 0.04;
        site.latitude = 46 + double(i / 100) * 0.02;
        facts.push_back({site, false, {}});
        fleet::Deployment d;
        d.unit = unitName(i);
        d.site = site.code;
        d.fromMs = kClockSetMs;
        facts.push_back({d, false, {}});
    }
    const fleet::AddedSiteFacts added = fleet::addSiteFacts(owner(), facts, 3600s);
    if (!added.ok)
        fail("the site facts were not added: " + added.error.toStdString());
    // A site's series is read from the copy where the copy holds every data set the units'
    // facts name, as those facts stand: one record fact a unit names its data set (the copy's
    // rows stand for the rest), and each state row takes the arrival sums that fact made.
    ownerSql("INSERT INTO xrq.series_records (unit, data_set, segment, position, chain_hash, "
             "occurred_at, laptop, payload) SELECT 'U' || lpad(i::text, 5, '0'), 'TEMP', 1, 0, "
             "'bench', to_timestamp(" +
             std::to_string(kClockSetMs / 1000) + "), 'bench', '{}' FROM generate_series(0, " +
             std::to_string(units) + " - 1) i");
    ownerSql("UPDATE xrq.derived_series s SET facts = a.facts, newest = a.newest FROM (SELECT "
             "unit, data_set, sum(rows) AS facts, max(newest) AS newest FROM xrq.series_arrivals "
             "GROUP BY 1, 2) a WHERE a.unit = s.unit AND a.data_set = s.data_set");
    // The sites' pieces as the deriver builds them (office/observation_deriver.h), by SQL: each
    // site's one unit, deployed since the clock set, before its first record; its Datastreams'
    // columns without a meaning or a title, so the site's "field_2" then "field_3", each a
    // piece of the whole deployment counting every record (each cell a number).
    const std::string clock = std::to_string(kClockSetMs);
    ownerSql("INSERT INTO xrq.derived_site_units (site, unit) SELECT 'S' || substr(unit, 2), "
             "unit FROM xrq.derived_series");
    ownerSql("INSERT INTO xrq.derived_site_pieces (site, stream, place, source, datastream, unit, "
             "data_set, field, from_ms, to_ms, least_cell, a, b, deployed_ms, property, "
             "definition, uom_code, uom_symbol, uom_name, column_set, records, first_utc, "
             "last_utc, first_placed) SELECT 'S' || substr(d.unit, 2), 'site:S' || "
             "substr(d.unit, 2) || '/c/TEMP/field_' || d.field, d.field - 1, 0, d.id, d.unit, "
             "d.data_set, d.field, " +
             clock + ", NULL, 3, NULL, NULL, " + clock +
             ", 'field_' || d.field, '', '', '', '', 'TEMP', s.records, " +
             std::to_string(kClockSetMs / 1000) + " + d.id % 60, " +
             std::to_string(kClockSetMs / 1000) +
             " + (s.records - 1) * 60 + d.id % 60, 0 FROM xrq.derived_datastreams d JOIN "
             "xrq.derived_series s ON s.id = d.series");
    ownerSql(std::string("INSERT INTO xrq.derived_sites (site, signature, site_facts, series, "
                         "served) SELECT g.site, 'bench', ") +
             office::kSiteFactsSignatureSql + ", " + office::kSiteSeriesSignatureSql +
             ", true FROM (SELECT DISTINCT site FROM xrq.derived_site_units) g");
}

// The pieces of site `code` as the fill wrote them, for comparing with the deriver's.
std::string piecesOf(const std::string& code) {
    const fleet::PgResult r = owner().exec(
        "SELECT string_agg(concat_ws(' ', stream, place, source, datastream, unit, data_set, "
        "field, from_ms, to_ms, least_cell, a, b, deployed_ms, property, definition, uom_code, "
        "uom_symbol, uom_name, column_set, records, first_utc, last_utc, first_placed), '; ' "
        "ORDER BY stream, from_ms) FROM xrq.derived_site_pieces WHERE site = $1",
        {fleet::PgParam::text(code)}, 600s);
    if (!r.ok() || r.rows() != 1)
        fail("the pieces were not read: " + r.error());
    return r.value(0, 0);
}

// The plans of every Datastream's page with the sites' (a day, by time either way), as the
// server ran them: where its time goes.
void explainRoot() {
    for (const office::DerivedAsk::Order order :
         {office::DerivedAsk::Order::TimeAscending, office::DerivedAsk::Order::TimeDescending}) {
        office::DerivedAsk ask;
        ask.sites = true;
        ask.order = order;
        ask.top = 1000;
        const double day = double(kClockSetMs) / 1000 + 11 * 3600; // 2026-12-01T10:00:00Z
        ask.time = {{office::TimeComparison::Op::Ge, day},
                    {office::TimeComparison::Op::Lt, day + 86400}};
        int parameters = 0;
        const std::string sql = office::derivedObservationsWithSitesSql(ask, false, parameters);
        const fleet::PgResult r = owner().exec(
            "EXPLAIN (ANALYZE, BUFFERS) " + sql,
            {fleet::PgParam::text(std::to_string(day)),
             fleet::PgParam::text(std::to_string(day + 86400)), fleet::PgParam::text("1001"),
             fleet::PgParam::text("1001"), fleet::PgParam::text("0")},
            600s);
        if (!r.ok())
            fail("not explained: " + r.error());
        for (int i = 0; i < r.rows(); ++i)
            std::printf("  plan: %s\n", r.value(i, 0).c_str());
    }
}

} // namespace

// Whole: the benchmark's steps in order, each told as it ends.
int main(int argc, char** argv) {
    // Positional counts, then options: --sites deploys each unit at a site of its own;
    // --largest N sets the largest Datastream's rows (default min(1,000,000, observations / 2)).
    std::vector<std::string> counts;
    bool withSites = false;
    long long largestAsked = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--sites")
            withSites = true;
        else if (a == "--largest" && i + 1 < argc)
            largestAsked = std::atoll(argv[++i]);
        else
            counts.push_back(a);
    }
    const long long observations = counts.size() > 0 ? std::atoll(counts[0].c_str()) : 1000000;
    const long units = counts.size() > 1 ? std::atol(counts[1].c_str()) : 10000;
    if (observations < 10000 || units < 2 || units > 99999 || largestAsked < 0)
        fail("usage: bench-sensorthings-scale [observations >= 10000] [units 2..99999] "
             "[--sites] [--largest N]");
    QCoreApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const long long largest =
        largestAsked > 0 ? largestAsked : std::min(1000000LL, observations / 2);
    const long long perOther =
        std::max(1LL, (observations - std::min(observations, largest)) / (units - 1) / 2);

    testsupport::PgServerOptions options;
    options.sharedBuffers = "256MB";
    static testsupport::PgTestServer server(options); // static: fail()'s exit stops it too
    bench::prepareServer("bench-sensorthings-scale", server,
                         {bench::Role::Laptop, bench::Role::Office, bench::Role::Deriver});

    auto t0 = Clock::now();
    fill(units, largest, perOther);
    std::string why;
    if (!server.sql("VACUUM (ANALYZE) xrq.derived_observations, xrq.derived_datastreams, "
                    "xrq.derived_series, xrq.series_arrivals, xrq.events",
                    testsupport::PgTestServer::kDatabase, &why))
        fail("the server was not vacuumed: " + why);
    const std::optional<std::string> rows =
        server.value("SELECT count(*) FROM xrq.derived_observations");
    const std::optional<std::string> size =
        server.value("SELECT pg_size_pretty(pg_total_relation_size('xrq.derived_observations'))");
    std::printf("fill: %s Observations of %ld units (the largest Datastream %lld) in %.1f s, "
                "%s on disk with the indexes (not timed)\n",
                rows.value_or("?").c_str(), units, largest, msSince(t0) / 1000,
                size.value_or("?").c_str());
    if (withSites) {
        t0 = Clock::now();
        addSites(units);
        std::printf("sites: %ld sites, each with its unit deployed, in %.1f s (not timed)\n", units,
                    msSince(t0) / 1000);
        // The fill's pieces of one site are those the deriver builds of the same facts.
        const std::string filled = piecesOf("S00007");
        ownerSql("UPDATE xrq.derived_sites SET series = 'stale' WHERE site = 'S00007'");
        t0 = Clock::now();
        const office::DeriveReport d = deriveNow();
        const std::string built = piecesOf("S00007");
        std::printf("%-58s %.1f ms (%d sites)\n", "one site's pieces built again by the deriver",
                    msSince(t0), d.sites);
        if (d.sites != 1 || built != filled)
            fail("the fill's pieces are not the deriver's:\n  " + filled + "\n  " + built);
        // A new site fact: every site's pieces built again from the facts.
        ownerSql("UPDATE xrq.derived_sites SET site_facts = 'stale'");
        t0 = Clock::now();
        const office::DeriveReport all = deriveNow();
        std::printf("%-58s %.1f s (%d sites)\n", "every site's pieces built again by the deriver",
                    msSince(t0) / 1000, all.sites);
        if (all.sites != units || piecesOf("S00007") != filled)
            fail("not every site's pieces were built again as the fill wrote them");
        // A visit's swap: U00008 moved to S00009 (side by side with U00009) a day after its
        // first record: its old site's pieces and its new one's built again, no other.
        fleet::Deployment moved;
        moved.unit = unitName(8);
        moved.site = QStringLiteral("S00009");
        moved.fromMs = kClockSetMs + 86400000;
        if (!fleet::addSiteFacts(::owner(), {{moved, false, {}}}, 600s).ok)
            fail("the swap was not added");
        t0 = Clock::now();
        const office::DeriveReport swapped = deriveNow();
        std::printf("%-58s %.1f ms (%d sites)\n", "a swap's two sites' pieces built again",
                    msSince(t0), swapped.sites);
        if (swapped.sites != 2)
            fail("a swap had " + std::to_string(swapped.sites) + " sites built again, not 2");
    }

    if (withSites && std::getenv("XRQ_BENCH_EXPLAIN"))
        explainRoot();
    QProcess office;
    const QString base =
        bench::startOffice("bench-sensorthings-scale", office).base + QStringLiteral("/api/v1.1");
    QNetworkAccessManager net;

    auto timed = [&](const char* what, const QString& path, int expected = 200) {
        std::vector<double> ms;
        Got g;
        for (int i = 0; i < 5; ++i) {
            const auto s = Clock::now();
            g = get(net, base + path);
            ms.push_back(msSince(s));
            // With sites deployed, every Datastream's page is the sites' too: where the copy
            // does not hold them yet it is derived per request, and its answer is told.
            if (g.status != expected && withSites && path.startsWith(QLatin1String("/Obs"))) {
                std::printf("%-58s %d after %.1f ms: %s\n", what, g.status, ms.back(),
                            g.body.left(160).constData());
                return QJsonObject{};
            }
            if (g.status != expected &&
                !(expected == kAnswerOrRefuse && (g.status == 200 || g.status == 413)))
                fail(std::string(what) + ": " + std::to_string(g.status) + " " +
                     g.body.left(300).toStdString());
        }
        report(what, ms);
        if (g.status != 200)
            std::printf("%-58s %d: %s\n", "  answered", g.status, g.body.left(200).constData());
        return QJsonDocument::fromJson(g.body).object();
    };
    const QString day = QStringLiteral("phenomenonTime%20ge%202026-12-01T10:00:00Z%20and%20"
                                       "phenomenonTime%20lt%202026-12-02T10:00:00Z");
    QJsonObject o =
        timed("1,000 Observations in a day, ordered by time",
              QStringLiteral("/Observations?$top=1000&$orderby=phenomenonTime&$filter=") + day);
    std::printf("%-58s %lld\n", "  Observations on the page",
                (long long)o.value("value").toArray().size());
    timed("the same, newest first",
          QStringLiteral("/Observations?$top=1000&$orderby=phenomenonTime%20desc&$filter=") + day);
    timed("a Datastream's Observations in a day",
          QStringLiteral("/Datastreams('U00007/TEMP/2')/Observations?$top=1000&$filter=") + day);
    timed("the largest Datastream's in a day",
          QStringLiteral("/Datastreams('U00000/TEMP/2')/Observations?$top=1000&$filter=") + day);
    o = timed("$count=true on the largest Datastream",
              QStringLiteral("/Datastreams('U00000/TEMP/2')/Observations?$count=true&$top=1"));
    std::printf("%-58s %lld\n", "  its count", (long long)o.value("@iot.count").toInteger());
    const QString highs = QStringLiteral("%20and%20result%20ge%207");
    timed("the largest Datastream's in a day, result ge 7",
          QStringLiteral("/Datastreams('U00000/TEMP/2')/Observations?$top=1000&$filter=") + day +
              highs);
    timed("1,000 Observations in a day, result ge 7, by time",
          QStringLiteral("/Observations?$top=1000&$orderby=phenomenonTime&$filter=") + day + highs);
    // A filter on result alone: the rows in time's order are read until a page is found, so
    // one that holds for none reads them all, within the statement time-out or refused by it.
    timed(
        "1,000 Observations with result eq 7, by time",
        QStringLiteral("/Observations?$top=1000&$orderby=phenomenonTime&$filter=result%20eq%207"));
    timed(
        "every Datastream's, result gt 100 (none), by time",
        QStringLiteral("/Observations?$top=1000&$orderby=phenomenonTime&$filter=result%20gt%20100"),
        kAnswerOrRefuse);
    if (withSites) {
        // A site's Datastream: the site's series read from the copy (its unit's rows).
        o = timed("a site's Datastreams", QStringLiteral("/Things('site:S00007')/Datastreams"));
        const QJsonArray streams = o.value("value").toArray();
        if (streams.isEmpty())
            fail("site S00007 has no Datastream");
        const QUrl link(streams.first()["Observations@iot.navigationLink"].toString(),
                        QUrl::StrictMode);
        const QString path = link.path(QUrl::FullyEncoded).mid(9); // past /api/v1.1
        std::printf("%-58s %s\n", "  the first", qPrintable(path));
        // Three hours of its unit's records (each unit's but the largest's begin at 23:00Z).
        const QString hours = QStringLiteral("phenomenonTime%20ge%202026-12-01T00:00:00Z%20and%20"
                                             "phenomenonTime%20lt%202026-12-01T03:00:00Z");
        o = timed("a site Datastream's Observations in three hours",
                  path + QStringLiteral("?$top=1000&$count=true&$filter=") + hours);
        std::printf("%-58s %lld\n", "  its count", (long long)o.value("@iot.count").toInteger());
        timed("the same, newest first",
              path + QStringLiteral("?$top=1000&$orderby=phenomenonTime%20desc&$filter=") + hours);
        timed("the site Datastream's Observations whole, $count=true",
              path + QStringLiteral("?$top=1000&$count=true"));
        // Site S00000's first Datastream: its unit's largest, read from its piece by SQL.
        const QString big =
            QStringLiteral("/Datastreams('site:S00000/c/TEMP/field_2')/Observations");
        timed("the largest site Datastream's first page", big + QStringLiteral("?$top=1000"));
        timed("the largest site Datastream's in a day",
              big + QStringLiteral("?$top=1000&$filter=") + day);
        timed("the same, newest first",
              big + QStringLiteral("?$top=1000&$orderby=phenomenonTime%20desc&$filter=") + day);
        timed("the largest site Datastream's last page ($skip)",
              big + QStringLiteral("?$top=1000&$skip=") + QString::number(largest - 1000));
        o = timed("$count=true on the largest site Datastream",
                  big + QStringLiteral("?$count=true&$top=1"));
        std::printf("%-58s %lld\n", "  its count", (long long)o.value("@iot.count").toInteger());
        timed("$count=true on it in a day",
              big + QStringLiteral("?$count=true&$top=1&$filter=") + day);
    }
    // A deep page: the rows before it are read and passed over, within the service's bound.
    timed("the largest Datastream's last page ($skip)",
          QStringLiteral("/Datastreams('U00000/TEMP/2')/Observations?$top=1000&$skip=") +
              QString::number(largest - 1000));
    timed("every Datastream's page at a million ($skip)",
          QStringLiteral("/Observations?$top=1000&$orderby=phenomenonTime&$skip=1000000"));
    timed("every Datastream's page past a million ($skip)",
          QStringLiteral("/Observations?$top=1000&$skip=1000001"),
          largest + 2 * perOther * (units - 1) > 1000001 ? 413 : 200);

    // A unit visited twice: the first visit derived whole, the second appended.
    if (!server.sql("INSERT INTO xrq.events (id, unit, kind, occurred_at, laptop, payload) "
                    "VALUES (gen_random_uuid(), 'VISITED', 'clock_set', to_timestamp(" +
                        std::to_string(kClockSetMs / 1000) +
                        "), 'bench', '{\"sent\": \"26-12-01 00:00:00\", \"utc_offset\": 3600}')",
                    testsupport::PgTestServer::kDatabase, &why))
        fail("no clock set: " + why);
    QTemporaryDir dir;
    const QString outbox = dir.path() + QStringLiteral("/outbox.sqlite");
    series::RecordChain chain;
    pushVisit(outbox, 0, 10000, chain);
    t0 = Clock::now();
    office::DeriveReport d = deriveNow();
    std::printf("%-58s %.1f ms (%d whole, %lld Observations)\n",
                "first visit of 10,000 records derived", msSince(t0), d.whole, d.rows);
    pushVisit(outbox, 10000, 10000, chain);
    t0 = Clock::now();
    d = deriveNow();
    std::printf("%-58s %.1f ms (%d appended, %d whole, %lld Observations)\n",
                "copy up to date after a visit of 10,000 more", msSince(t0), d.appended, d.whole,
                d.rows);
    bench::reportPeak("xrq-office's memory at its peak (VmHWM)", office);
    office.terminate();
    office.waitForFinished(10000);
    return 0;
}

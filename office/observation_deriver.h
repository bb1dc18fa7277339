// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The web service's Observations kept derived on the server (schema 12: xrq.derived_series,
// xrq.derived_datastreams, xrq.derived_observations), so that a page of them is an index read
// rather than a series derived whole per request (sensor_things.h, observation_reads.h).
//
// Derived is never a fact: each series' rows are what series::deriveSeries makes of its facts
// (through series::ServerSeries, as every other reader), each record's UTC and flags as the CSV
// and the per-request path work them out (series::forEachRecordUtc, series::RecordFlags), one
// row per record with a known UTC and per Datastream (each column numeric in some record,
// recordValues). A series' state row keeps the signature of the facts it was derived at (the
// sums of xrq.series_arrivals and the newest xrq.role_trust row, as the office reads them), the
// newest of its unit's clock sets, the records it holds, its fields, and a digest of its
// records in order. Bringing a series up to
// date derives it again from its facts; when the first records' digest and the fields are the
// state's, the series only appended and only the records after them are written, otherwise its
// rows are replaced whole (a clock set, a dispute, a role disowned). Each series in one
// transaction of its own: a reader sees its old rows or its new ones.
//
// Who writes: xrq-office's deriver thread (ObservationDeriver), connected as a role of
// xrq_deriver, which may write the derived tables and nothing else (the service's and the
// signed-in people's roles stay read-only), woken by the series' arrivals trigger's NOTIFY on
// xrq_series_arrivals; or `xrq-office --derive-now` / `--rebuild-derived` as that role.
// Blocking, with the given statement timeout; on a thread that is not the UI's.

#include "fleet/pg_connection.h"
#include "fleet/server_schema.h"
#include "platform/result.h"

#include <QString>
#include <QStringList>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

namespace office {

// The signature of every series' facts as a FROM item "a" (unit, data_set, facts, newest,
// trust, clocks): the sums of what each insert added, the newest trust row, and the arrival of
// the newest of its unit's clock sets (they put its records in UTC: a new one may move them).
inline constexpr const char* kSignaturesSql =
    "(SELECT g.unit, g.data_set, g.facts, g.newest, t.trust, COALESCE(c.clocks, 0) AS clocks "
    "FROM (SELECT unit, data_set, pg_catalog.sum(rows) AS facts, pg_catalog.max(newest) AS "
    "newest FROM xrq.series_arrivals GROUP BY 1, 2) g "
    "CROSS JOIN (SELECT COALESCE(pg_catalog.max(id), 0) AS trust FROM xrq.role_trust) t "
    "LEFT JOIN (SELECT unit, pg_catalog.max(arrival) AS clocks FROM xrq.events "
    "WHERE kind = 'clock_set' GROUP BY unit) c ON c.unit = g.unit) a ";
// After kSignaturesSql: each series' state "s", where it differs from the signature (or is none).
inline constexpr const char* kBehindSql =
    "LEFT JOIN xrq.derived_series s ON s.unit = a.unit AND s.data_set = a.data_set "
    "WHERE s.id IS NULL OR (s.facts, s.newest, s.trust, s.clocks) IS DISTINCT FROM "
    "(a.facts, a.newest, a.trust, a.clocks)";
// The same signature of one series (unit $1, data set $2) as a FROM item "a": the server
// schema's (fleet/server_schema.h), which a site's series read from the copy checks too.
inline constexpr const char* kOneSignatureSql = fleet::kDerivedSignatureOfOneSql;

// A site's pieces (xrq.derived_site_pieces) are built from the site facts as they stand and
// from the series of the units deployed there (xrq.derived_site_units) as the copy holds them:
// these two signatures, SQL of the server's own values, say which. The second is of the site
// "g.site" of the statement it is put in.
// Of the site facts, those a site's series is made of: deployments, removals, columns'
// meanings and calibrations (a site's name or a field note changes none).
inline constexpr const char* kSiteFactsSignatureSql =
    "(SELECT pg_catalog.count(*) || '/' || COALESCE(pg_catalog.max(arrival), 0) "
    "FROM xrq.owned_site_facts WHERE kind IN ('deployment', 'removal', 'meaning', "
    "'calibration'))";
inline constexpr const char* kSiteSeriesSignatureSql =
    "(SELECT COALESCE(pg_catalog.string_agg(concat_ws('/', s.id, s.facts, s.newest, s.trust, "
    "s.clocks, s.records), '|' ORDER BY s.id), '') FROM xrq.derived_series s WHERE s.unit IN "
    "(SELECT u.unit FROM xrq.derived_site_units u WHERE u.site = g.site))";

// The rows of derived Observations "o" that are the piece "p"'s (its Datastream's, within its
// time), found by the time index: the piece's bounds widened by a second each side, then exact.
inline constexpr const char* kPieceRowsSql =
    "o.datastream = p.datastream AND o.utc >= p.from_ms::double precision / 1000 - 1 AND o.utc < "
    "COALESCE(p.to_ms::double precision / 1000 + 1, 'Infinity') AND o.utc * 1000 >= p.from_ms "
    "AND o.utc * 1000 < COALESCE(p.to_ms::double precision, 'Infinity')";

// The same of every site at once, as a FROM item "c" (site, series), for the sites whose units
// hold any series (the others' is empty).
inline constexpr const char* kSitesSeriesSignaturesSql =
    "(SELECT u.site, pg_catalog.string_agg(concat_ws('/', s.id, s.facts, s.newest, s.trust, "
    "s.clocks, s.records), '|' ORDER BY s.id) AS series FROM xrq.derived_site_units u JOIN "
    "xrq.derived_series s ON s.unit = u.unit GROUP BY u.site) c ";

struct DeriveReport {
    int whole = 0;        // series written whole
    int appended = 0;     // series whose new records were added after the ones held
    int skipped = 0;      // left for the next pass: another deriver wrote them meanwhile
    int failed = 0;       // not derived (told in problems)
    long long rows = 0;   // Observations written
    int sites = 0;        // sites whose pieces were built again
    QStringList problems; // one line each: the series, and why
};

// Remembers the series that could not be derived at a signature, so that a deriver woken
// again does not derive them again until their facts change. Used by one thread.
struct DeriveMemory {
    std::map<std::pair<QString, QString>, std::string> failedAt; // series -> its signature
};

// Brings every series whose state differs from its facts' signature up to date on `pg`, a
// connection of a role in xrq_deriver (or the owner's), then the pieces of every site whose
// units' series changed or that the site facts added touch (all of them when that cannot be
// told; a site's pieces in one transaction, built from series::siteCopyPieces); `rebuild`: empties
// the derived tables first and derives every series whole, as from nothing. A Server error when the
// server could not be read or written at all; a series that fails is counted and told, the others
// go on.
platform::Result<DeriveReport> deriveObservations(fleet::PgConnection& pg, bool rebuild,
                                                  std::chrono::milliseconds timeout,
                                                  DeriveMemory* memory = nullptr);

// The deriver of a running service: a thread of its own that connects as `conninfo`,
// LISTENs on xrq_series_arrivals, brings the derived copy up to date at its start and after
// each notification (those arriving meanwhile coalesce into one more pass), and after a lost
// connection tries again after a wait. Its one line per pass that wrote goes to `log`;
// `passed`, when given, is called after every pass (on the deriver's thread).
class ObservationDeriver {
public:
    ObservationDeriver(std::string conninfo, std::chrono::milliseconds timeout,
                       std::function<void(const QString&)> log, std::function<void()> passed = {});
    ~ObservationDeriver(); // stops and joins
    ObservationDeriver(const ObservationDeriver&) = delete;
    ObservationDeriver& operator=(const ObservationDeriver&) = delete;
    void start();
    void stop();
    // Passes ended since the start (each after a wake, whatever it found).
    long long passes() const { return m_passes.load(); }

private:
    void run();
    std::string m_conninfo;
    std::chrono::milliseconds m_timeout;
    std::function<void(const QString&)> m_log;
    std::function<void()> m_passed;
    int m_stop[2] = {-1, -1}; // a pipe: readable once stop() is asked
    std::thread m_thread;
    std::atomic<long long> m_passes{0};
};

} // namespace office

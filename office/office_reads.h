// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What the office's view reads from the organisation's server: every statement of xrq-office
// goes through here (a connection's own setup through read_connections), so that when the
// server's tables change only this file follows.
//
// Each read takes a connection of its role kept open (read_connections.h; the service is
// stateless all the same: several may serve one server, and a streaming replica serves as
// well as the primary, nothing being written), made read-only when it was opened
// (SET SESSION CHARACTERISTICS AS TRANSACTION READ ONLY, on top of the role xrq_office, which
// may only SELECT), bounds every statement by the server's statement_timeout and every answer
// by a row limit, and checks the schema as a laptop does. Blocking, with deadlines: called on
// the service's worker threads, never on the thread that serves HTTP.
//
// Text from the server is Unicode already (a unit's 8-bit serial and names are pushed as
// their Latin-1 characters); nothing here is escaped for a page: office_pages does that.

#include "fleet/server_values.h"
#include "fleet/site_facts.h"
#include "office/plot_marks.h"
#include "platform/result.h"
#include "series/server_series.h"
#include "series/site_series.h"

#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace office {

struct ReadLimits {
    std::chrono::milliseconds connectTimeout{5000};
    // statement_timeout on the server and the wait for each answer here.
    std::chrono::milliseconds statementTimeout{10000};
    int mostUnits = 20000;             // Units page rows
    int mostHistory = 500;             // a unit's history entries
    int mostBattery = 2000;            // a unit's battery readings
    int mostSites = 20000;             // Sites page rows
    int mostNotes = 500;               // a site's notes
    int mostDeployments = 2000;        // a site's deployments
    long long mostRecords = 2'000'000; // a series' rows the plot and the CSV take
    // The Units page's time for deriving series not counted before (the rest are counted on
    // the service's counting thread for later loads, counting_ahead.h; a unit's page takes
    // statementTimeout).
    std::chrono::milliseconds mostCounting{250};
    // What one query of the web service (sensor_things.h) may read and build.
    int mostWebSeries = 256;                // derived series read (a unit's data set each)
    long long mostWebObservations = 50'000; // Observations built to filter or order
    long long mostWebEntities = 200'000;    // entities of every kind built
    // Rows a page of the derived copy (observation_reads.h) may pass over for its $skip: the
    // server reads each of them, so a deeper page is refused (413) rather than left to the
    // statement timeout; a $filter on phenomenonTime reaches any depth at once.
    long long mostSkipped = 1'000'000;
};

// Why a read gave nothing: the server could not be read (503), or it holds no such thing (404),
// or the thing is larger than the limits let a read take (413).
struct ReadError {
    enum class Kind { None, Unavailable, NotFound, TooLarge };
    Kind kind = Kind::None;
    QString message;
    bool failed() const { return kind != Kind::None; }
};

// The answer's error for one given at a boundary below (platform::Result): a thing not there
// is NotFound, anything else the server's not being read (Unavailable).
ReadError readErrorOf(const platform::Error& error);
// The answer's error for a series not read (series::ServerSeries::read): facts over the bounds
// of deriving (Invalid: too many chains, too long) as a series too large; a server that
// stopped answering (`connected` false) as unavailable; none held, or a read refused on a
// connection still open, as not found.
ReadError seriesReadErrorOf(const platform::Error& error, bool connected);

struct UnitRow {
    QString unit;
    QStringList dataSets; // as the server names them (see dataSetName)
    std::optional<std::int64_t> lastVisitMs;
    QString lastVisitLaptop;
    std::optional<std::int64_t> lastDownloadMs;
    std::optional<bool> lastDownloadSafe;
    QStringList lastDownloadReasons;
    std::vector<double> battery; // volts at the last visits, oldest first
    // Over every data set, as the series derived from every laptop's facts has them
    // (series_counts.h); a data set not counted (too large, or the read's time spent) adds
    // nothing and is told in uncountedSets.
    long long records = 0;  // each physical record once
    long long disputed = 0; // places where laptops' records differ
    int uncountedSets = 0;
    std::optional<std::int64_t> lastClearMs;
    // The visit interval the server keeps for it (its own, else the organisation's); none:
    // the service's --visit-interval.
    std::optional<int> visitIntervalDays;
    // Its facts stamped by a clock ahead (well after the server received them,
    // fleet::clockAhead): none of them is its last visit, download or clear.
    long long aheadFacts = 0;
    // Its facts this read could not take (a time at infinity, a battery that is no number).
    fleet::UnreadFacts unread;
};

struct UnitsOverview {
    ReadError error;
    std::int64_t readAtMs = 0;                   // the server's clock when it answered
    std::vector<UnitRow> units;                  // by unit
    bool more = false;                           // more units than the limit
    std::optional<int> organisationIntervalDays; // the server's visit interval for all
    QString leftOut; // the disowned roles whose facts were left out (fleet::disownedNote)
};
UnitsOverview readUnitsOverview(const std::string& conninfo, const ReadLimits& limits);

struct HistoryItem {
    QString kind; // the event's type, or "kept_download"
    std::int64_t occurredAtMs = 0;
    QString laptop;
    QJsonObject payload;
    QString pushedBy; // the role that pushed it: the one thing of a fact its laptop cannot choose
    // Stamped well after the server received it (fleet::clockAhead): shown as stamped by a
    // clock ahead, never the unit's last visit.
    bool ahead = false;
};

struct SeriesSummary {
    QString dataSet;
    // As series_counts.h counts them; all 0 and counted false when the series is larger than
    // a read takes or could not be read.
    long long records = 0;
    long long disputed = 0;
    long long repeated = 0;
    long long gaps = 0; // records after a gap of over ten times the usual interval
    int segments = 0;
    bool counted = true;
};

struct UnitDetail {
    ReadError error;
    std::int64_t readAtMs = 0;
    std::vector<HistoryItem> history; // newest first
    bool moreHistory = false;
    std::vector<std::pair<std::int64_t, double>> battery; // (ms, volts), oldest first
    std::vector<SeriesSummary> series;
    std::optional<int> visitIntervalDays; // as UnitRow's
    QString leftOut;           // the disowned roles whose facts were left out (fleet::disownedNote)
    fleet::UnreadFacts unread; // history and battery facts left out as not readable
};
UnitDetail readUnitDetail(const std::string& conninfo, const QString& unit,
                          const ReadLimits& limits);

// A data set's name on the server split back into the download's name (Latin-1 bytes) and its
// place among the sets of that name (0 for the first).
struct DataSetName {
    std::string name;
    int ordinal = 0;
};
DataSetName dataSetName(const QString& onServer);
// The data set as a reader reads it: "ANALOG" or "ANALOG (set 2)".
QString dataSetLabel(const QString& onServer);

// A series' time range, in UTC seconds; unset ends are open.
struct TimeRange {
    std::optional<double> from, to;
};

// One bucket of a plot: the time of its earliest record, and per column the least, mean and
// greatest value (NaN where the bucket has none).
struct PlotBucket {
    double t = 0;
    std::vector<double> low, mean, high;
};

struct SeriesPlot {
    ReadError error;
    QStringList columns;             // each plotted column's label (plot_axes.h's plotColumnName)
    QStringList names, units;        // each plotted column's name and unit, by the same rule
    std::vector<std::size_t> fields; // each plotted column's field in the record (0: the time)
    // Per column, its title from the set's title lines (series_export.h's fieldTitles);
    // empty where none names it.
    QStringList titles;
    std::vector<PlotBucket> buckets;
    double from = 0, to = 0;    // the range the buckets cover (UTC s)
    double first = 0, last = 0; // the whole series' first and last time
    long long records = 0;      // records in the range
    long long flagged = 0;      // records in the range without a usable time
    long long utcRecords = 0;   // records in the range whose UTC is known
    long long unitRecords = 0;  // records in the range at the unit's own time (offset unknown)
    PlotMarks marks;            // segment starts and flagged records (plot_marks.h)
};
SeriesPlot readSeriesPlot(const std::string& conninfo, const QString& unit, const QString& dataSet,
                          const TimeRange& range, int buckets, const ReadLimits& limits);

// The range's CSV, through the same export as `xrq-series export --service`.
// The series read, ready to be written as the export's CSV in pieces (the derived series is
// held, not its CSV): `write` streams it to a sink (false from the sink stops it) and returns
// the rows written, or -1. Runs on the caller's thread.
struct SeriesCsv {
    ReadError error;
    std::function<long long(const std::function<bool(std::string_view)>& sink)> write;
};
SeriesCsv readSeriesCsv(const std::string& conninfo, const QString& unit, const QString& dataSet,
                        const TimeRange& range, const ReadLimits& limits,
                        series::ExportLayout layout = series::ExportLayout::Plain);

// For the web service (sensor_things.h): a page of the units by serial and how many there are.
struct UnitList {
    ReadError error;
    QStringList units;
    long long total = 0;
};
UnitList readUnitList(const std::string& conninfo, long long skip, int top,
                      const ReadLimits& limits);

// The data sets the server holds records of for `unit`; NotFound when it holds nothing of it.
struct UnitSets {
    ReadError error;
    QStringList dataSets;
};
UnitSets readUnitSets(const std::string& conninfo, const QString& unit, const ReadLimits& limits);

// One series derived from every laptop's facts (the plot's and the CSV's read), after a bounded
// look at its size; the one derived last time while the server holds the same facts of it.
// Null with `error` when it cannot be read. `recent` above 0: the one kept, without a read,
// when this conninfo read its signature no longer ago than that (the web service's pages,
// DerivedSeriesCache::findRecent): facts pushed since are then read by a page after it.
std::shared_ptr<const series::ServerSeries>
readDerivedSeries(const std::string& conninfo, const QString& unit, const QString& dataSet,
                  const ReadLimits& limits, ReadError& error,
                  std::chrono::milliseconds recent = {});

// For the web service (sensor_things.h): the site facts that count now (sites, deployments,
// column meanings) as fleet::readSiteFacts reads them; none on a server before it kept them.
struct SitesRead {
    ReadError error;
    fleet::SiteFacts facts;
};
SitesRead readSites(const std::string& conninfo, const ReadLimits& limits);

// Reads every series' signature as `conninfo` and has those not counted at it counted on the
// counting thread (counting_ahead.h): what the service does at its start. A Server error when
// the server could not be read.
platform::Result<void> countEverySeries(const std::string& conninfo, const ReadLimits& limits);

// A place's record as the Sites page and a site's page show it, from the site facts the server
// keeps (sites, deployments, notes: fleet/site_facts.h), the newest fact of each kind and key
// counting. Text is the server's, unescaped, as everywhere here.
struct SiteNote {
    std::int64_t atMs = 0;
    QString category; // maintenance, calibration, damage, other
    QString text;
    QString author; // who wrote it
    QString unit;   // the unit it is about; empty: the site
};

// A unit at a site from a time, until its removal or its next deployment (none: still there).
struct SiteDeployment {
    QString unit;
    std::int64_t fromMs = 0;
    std::optional<std::int64_t> toMs;
};

struct SiteRow {
    QString code, name;
    std::optional<double> longitude, latitude, elevation; // WGS 84; none: not given
    std::optional<int> visitIntervalDays;                 // the site's own
    QStringList currentUnits; // deployed there now, earliest first (more: side by side)
    // The newest visit of a unit while it was deployed there, and the laptop that made it.
    std::optional<std::int64_t> lastVisitMs;
    QString lastVisitLaptop, lastVisitUnit;
    std::vector<double> battery; // the first current unit's volts at its last visits, oldest first
    std::optional<SiteNote> lastNote;
};

struct SitesOverview {
    ReadError error;
    std::int64_t readAtMs = 0;
    std::vector<SiteRow> sites; // by code
    bool more = false;          // more sites than the limit
    std::optional<int> organisationIntervalDays;
};
SitesOverview readSitesOverview(const std::string& conninfo, const ReadLimits& limits);

struct SiteDetail {
    ReadError error;
    std::int64_t readAtMs = 0;
    SiteRow site;
    QString description;
    std::vector<SiteDeployment> deployments; // by start
    std::vector<SiteNote> notes;             // newest first
    bool moreNotes = false;
    std::optional<int> organisationIntervalDays;
};
SiteDetail readSiteDetail(const std::string& conninfo, const QString& code,
                          const ReadLimits& limits);

// A site's series (series/site_series.h), whole, from its facts and the series of every unit
// deployed there, each derived as the unit's plot derives it (readDerivedSeries, kept between
// reads); kept built under the signature of those (SiteSeriesCache), so that a plot or a CSV
// cuts its range from it (SiteSeries::rowsWithin) without building it again. Null with
// `error`: NotFound for no such site, TooLarge when its units' series hold more than
// mostRecords. Read whole from the server's derived copy instead where it holds every data set
// of the site's units as their facts stand (series::readSiteSeriesFromCopy: the same series);
// `behind`, when given, says why it was built from the facts where the copy was asked and
// could not serve (empty otherwise, and when the series was kept). With `known`, the caller
// already asked the copy (series::planSiteFromCopy) and found it behind: the facts that plan
// read are taken, neither they nor the copy asked again.
struct SiteCopyBehind {
    fleet::SiteFacts facts; // the site's, as the plan read them
    std::string why;        // the plan's reason (non-empty)
};
std::shared_ptr<const series::SiteSeries> readSiteSeries(const std::string& conninfo,
                                                         const QString& code,
                                                         const ReadLimits& limits, ReadError& error,
                                                         std::string* behind = nullptr,
                                                         const SiteCopyBehind* known = nullptr);

} // namespace office

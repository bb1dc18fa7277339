// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A site's series: the records of every unit deployed at a site, each taken only within its
// deployment's time (the record's UTC as the unit's own series works it out, RecordClock over
// its clock sets; a record without a UTC is left out and counted), joined into one series per
// site, one row per record in UTC order, with its unit's serial and data set, its flags, and
// for each property of the site the calibrated value beside the raw one as the unit sent it.
//
// A property is a column's meaning (fleet/site_facts.h: the observed property and its unit of
// measurement); a column without a meaning goes by its title (series_export.h's fieldTitles),
// else "field_N", and is a property of its own per data set. Two units deployed side by side
// give rows of both, each with its serial. A swap is where one unit's deployment ends and
// another's starts: kept as a mark for plots and told in the export's metadata.
//
// Pure over record sources (series_export.h's RecordSource, from the local store or the
// server) and the site's facts: the same records and facts give the same series.

#include "series/series_export.h"

#include "fleet/site_facts.h"
#include "platform/result.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace series {

// A column of the site's series.
struct SiteProperty {
    std::string name;         // the property's name, else the column's title, else "field_N"
    std::string definition;   // the property's definition URI; empty when unknown
    fleet::UnitOfMeasure uom; // empty code: not known
    std::string dataSet;      // for a column without a meaning: its data set; else empty
    // The CSV header's cell: "Water temperature [Cel]", or the name alone without a unit.
    std::string header() const;
};

// One record of one unit.
struct SiteRow {
    double utc = 0; // UTC seconds
    std::string unit;
    std::string dataSet;
    // Per property (SiteSeries::properties): the calibrated value (none: the record has no
    // number there or no such column) and the raw text as sent (empty: no such column).
    std::vector<std::optional<double>> values;
    std::vector<std::string> raw;
    std::string flags; // series_export.h's RecordFlags, of the unit's own series
    // Where the record is in its unit's derived series (RecordRef's segment and index: what
    // it is, the same on every server holding its facts), its own time stamp as the unit wrote
    // it and the offset its UTC was worked out with.
    int segment = 0;
    std::uint64_t index = 0;
    std::string unitTime;
    int offsetSeconds = 0;
};

// Where one unit's deployment at the site ends and another's starts (or a unit's starts
// while another is there: side by side).
struct SiteSwap {
    std::int64_t atMs = 0;
    std::string fromUnit; // empty: none was deployed before
    std::string toUnit;   // empty: removed, none after
};

struct SiteSeries {
    std::string site;
    std::vector<SiteProperty> properties;
    std::vector<SiteRow> rows; // by utc, then unit
    std::vector<SiteSwap> swaps;
    std::vector<fleet::Deployment> deployments;
    long long outsideDeployments = 0; // records of the units outside their time at the site
    long long withoutUtc = 0;         // records whose UTC is not known: left out
    std::vector<std::string> told;    // what the reader should be told (unread sources ...)

    // The rows within [fromUtc, toUtc] (an open end: the series' own) as [first, end) of
    // `rows`, found by halving: a range is cut from a series kept whole without copying it.
    std::pair<std::size_t, std::size_t> rowsWithin(std::optional<double> fromUtc,
                                                   std::optional<double> toUtc) const;
    // About how much memory it holds, for the bound of what is kept of it.
    std::size_t bytes() const;
};

// Each deployment's start and end as the site's swaps (by time), the unit before and after
// named where one deployment ends where another starts.
std::vector<SiteSwap> swapsOf(const std::vector<fleet::Deployment>& deployments);

// One unit's data set as a record source.
struct UnitSource {
    std::string unit;
    RecordSource source;
};

// The site's series from its facts (readSiteFacts with this site) and the record sources of
// the units deployed there; sources of other units are passed over. Records within
// [fromUtc, toUtc] only, where given (UTC seconds).
SiteSeries buildSiteSeries(const fleet::SiteFacts& facts, const std::string& site,
                           const std::vector<UnitSource>& sources,
                           std::optional<double> fromUtc = std::nullopt,
                           std::optional<double> toUtc = std::nullopt);

// A site's series from the organisation's server: its facts, and every data set of each
// unit deployed there derived as ServerSeries does. Errors: Server when the server could not
// be read, NotFound when it knows no such site.
platform::Result<SiteSeries>
readSiteSeries(fleet::PgConnection& connection, const std::string& site,
               std::chrono::milliseconds timeout = std::chrono::seconds(60),
               std::optional<double> fromUtc = std::nullopt,
               std::optional<double> toUtc = std::nullopt);

// The site's series as CSV (RFC 4180, UTF-8, CR LF): "utc" (ISO 8601 with Z), "unit",
// "data_set", per property its calibrated value under its header and the raw value under
// "<header> raw", then "flags"; every text cell through appendCell. Streams to `sink` in
// pieces of about 64 KiB (false from it stops), never the whole file held; the rows within
// [fromUtc, toUtc] only, where given (rowsWithin). Returns the rows written or -1 when stopped.
long long exportSiteCsv(const SiteSeries& series, const std::function<bool(std::string_view)>& sink,
                        std::optional<double> fromUtc = std::nullopt,
                        std::optional<double> toUtc = std::nullopt);

// A site's series read from the server's derived copy (office/observation_deriver.h: each
// unit's series derived as ServerSeries does, its records' UTC, offsets and flags, and its
// title lines), so that a site's CSV is written as its rows are read, never held whole.
// planSiteFromCopy reads the site's facts and whether the copy holds every data set of each
// unit deployed there as its facts stand; where it does not (a push not derived yet, a server
// before schema 13, a data set with no number in any column), `behind` says why and the
// caller reads the series as before (readSiteSeries). The rows are those buildSiteSeries
// makes of the same facts, placed by the same code, in the same order.
// The door to reading a site's series from the copy: open unless the environment's
// XRQ_SITE_FROM_COPY is "0", which keeps every reader on the series built whole from the facts
// (to check one path against the other).
bool siteCopyOpen();

struct SiteCopyPlan {
    struct Source {
        std::string unit, dataSet;
        std::int64_t datastream = 0; // any of the series' Datastreams: each holds every record
        std::int64_t records = 0;    // the series' records, those without a UTC among them
        RecordSource titles;         // its title lines only (fieldTitles)
    };
    std::string site;
    fleet::SiteFacts facts;
    std::vector<Source> sources; // units as deployed there, each one's data sets by name
    std::string behind;          // non-empty: read as before, for this reason
    // What the site's series in the copy is read from: its facts as read and each series'
    // state. Equal signatures, equal series.
    std::string signature;
};
platform::Result<SiteCopyPlan> planSiteFromCopy(fleet::PgConnection& connection,
                                                const std::string& site,
                                                std::chrono::milliseconds timeout);

// The site's properties as the series read from the copy holds them (a pass over each
// series in its order): those of the whole series, or of its rows within [fromUtc, toUtc]
// where given (as readSiteSeries with a range gives them). The same under the same
// `signature` of the plan: a reader may keep them.
platform::Result<std::vector<SiteProperty>> siteCopyProperties(fleet::PgConnection& connection,
                                                               const SiteCopyPlan& plan,
                                                               std::optional<double> fromUtc,
                                                               std::optional<double> toUtc,
                                                               std::chrono::milliseconds timeout);

// The site's CSV as exportSiteCsv writes it, from the copy as `plan` found it under
// `properties` (siteCopyProperties), the rows within [fromUtc, toUtc] read in pieces and
// written as they come (the units' rows merged in time). Returns the rows written. Errors:
// Server when the copy was not read (the rows before it are written), else the kind of the
// sink's errno when the sink stopped, with the words "cannot write the export: " and its
// reason.
platform::Result<long long> exportSiteCsvFromCopy(
    fleet::PgConnection& connection, const SiteCopyPlan& plan,
    const std::vector<SiteProperty>& properties, const std::function<bool(std::string_view)>& sink,
    std::optional<double> fromUtc, std::optional<double> toUtc, std::chrono::milliseconds timeout);

// What a site's plot takes of the whole series without its rows, asked of the copy as `plan`
// found it: the first and last UTC of its rows (the least and greatest within each deployment,
// in the index of a Datastream's time; none when it holds no row) and the records left out for
// want of a UTC (each series' records less the rows the copy holds of it): what
// readSiteSeriesFromCopy's series would give of rows.front(), rows.back() and withoutUtc.
struct SiteCopyExtent {
    std::optional<double> first, last;
    long long withoutUtc = 0;
};
platform::Result<SiteCopyExtent> siteCopyExtent(fleet::PgConnection& connection,
                                                const SiteCopyPlan& plan,
                                                std::chrono::milliseconds timeout);

// Each row of the site's series within [fromUtc, toUtc] (an open end: the series' own), in the
// series' order (by UTC, then unit), placed under `properties` (siteCopyProperties) and handed
// to `take` as read from the copy in pieces: the rows exportSiteCsvFromCopy writes and a plot
// buckets, never the series held. A row handed over is valid only during the call. Returns the
// rows handed; `stopped` (when given) is set when `take` said false, which ends the reading.
// A Server error when the copy was not read (the rows before it were handed).
platform::Result<long long>
forEachSiteRowFromCopy(fleet::PgConnection& connection, const SiteCopyPlan& plan,
                       const std::vector<SiteProperty>& properties, std::optional<double> fromUtc,
                       std::optional<double> toUtc, std::chrono::milliseconds timeout,
                       const std::function<bool(const SiteRow&)>& take, bool* stopped = nullptr);

// The site's series whole, as readSiteSeries builds it from the same facts (rows, properties,
// their order, the counts of records left out), read from the copy as `plan` found it rather
// than derived again from each unit's facts: what the web service serves a site's Things,
// Datastreams and Observations from. A Server error when the copy could not be read.
platform::Result<SiteSeries> readSiteSeriesFromCopy(fleet::PgConnection& connection,
                                                    const SiteCopyPlan& plan,
                                                    std::chrono::milliseconds timeout);

// What a record holds in its column (from 1) as a site's series takes it: no such field, an
// empty one, a text that is no number, a number. A site's Datastream counts a record where its
// column has any text under a meaning, and where it is a number without one (the copy keeps
// this per derived Observation, office/observation_deriver.h).
enum class SiteCell : int { None = 0, Empty = 1, Text = 2, Number = 3 };
SiteCell siteCellOf(const std::vector<std::string_view>& fields, int column);

// A piece of a site's series as the derived copy holds it: one source's column over part of
// a deployment of its unit at the site, within which the column's property and calibration
// stay the same. A site's Datastream is its pieces of one property; its rows those records
// of each piece whose cell says so (SiteCell), in the series' order.
struct SiteCopyPiece {
    std::size_t source = 0; // in SiteCopyPlan::sources
    int field = 0;          // the column, from 1
    std::int64_t fromMs = 0;
    std::optional<std::int64_t> toMs;
    SiteProperty property;
    bool meant = false; // a recorded meaning: counted where the cell has text, else a number
    std::optional<std::pair<double, double>> calibration; // a, b
    std::int64_t deployedMs = 0;                          // its deployment's start
};
// Every piece of the site's series `plan` found, for the columns `fields` (per source, the
// fields of its Datastreams in the copy) and those with a meaning.
std::vector<SiteCopyPiece> siteCopyPieces(const SiteCopyPlan& plan,
                                          const std::vector<std::vector<int>>& fields);

} // namespace series

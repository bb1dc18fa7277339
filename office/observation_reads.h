// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Pages of Observations read from the derived copy the server keeps (observation_deriver.h):
// one Datastream's or every Datastream's, narrowed by comparisons of their time and of their
// result with numbers (DerivedCondition), in the series' order or in time's (either way),
// counted when asked. The SQL is put together from fixed fragments only; every value (a
// Datastream's key, a time, a number, $top, $skip) is a bound parameter.
// Within the service's bounds: the statement timeout of ReadLimits on a read-only connection of
// ReadConnections, at most kMostTop rows a page (odata_query.h), and a page at most
// ReadLimits::mostSkipped rows in (deeper ones refused, 413, unless past the last row), each
// bound named in its refusal.
//
// When the copy cannot answer as the facts stand, the page says so (served false) and the
// caller derives as before: a Datastream whose series' state differs from its facts'
// signature (a push not yet derived), a server without the derived tables (before schema 12)
// or where nothing was ever derived. Every Datastream's page is served from the copy while any
// of it is derived, and tells how many series are behind (seriesBehind): deriving them all per
// request is what the copy is there to avoid. Runs on a read thread of the service.

#include "office/odata_filter.h"
#include "office/odata_query.h"
#include "office/office_reads.h"
#include "office/site_things.h"

#include <QString>

#include <optional>
#include <string>
#include <vector>

namespace office {

// A $filter the copy's SQL answers beyond the time alone: comparisons of phenomenonTime with
// times and of result with numbers (eq ne gt ge lt le, either way round), joined by and, or and
// not. Its text is the fixed fragments below with a "?" for each value, in values' order; it
// gives what odata_filter.h's evaluation gives for the same Observation, null included: the
// copy's result is null exactly where the Observation's result is not a finite number (no cell,
// text such as "NaN"), and such a result is never equal to a number, neither less nor greater.
struct DerivedCondition {
    std::string sql;
    std::vector<double> values;
};
std::optional<DerivedCondition> derivedConditionOf(const FilterNode& tree);

struct DerivedAsk {
    struct Stream {
        QString unit, dataSet;
        int field = 0;
    };
    std::optional<Stream> stream; // none: every Datastream
    // A site's Datastream (site_things.h: its site and identity) instead of a unit's.
    struct SiteStream {
        QString site, id;
    };
    std::optional<SiteStream> siteStream;
    // Every Datastream's page: on a server with deployments, the sites' Datastreams besides the
    // units', from their pieces (xrq.derived_site_pieces), after the units' at equal times.
    bool sites = false;
    std::vector<TimeComparison> time;
    std::optional<DerivedCondition> condition; // every one of time and this must hold
    enum class Order { Series, TimeAscending, TimeDescending };
    Order order = Order::Series;
    long long skip = 0;
    int top = kDefaultTop;
    bool count = false;
};

struct DerivedObservation {
    QString unit, dataSet;
    int field = 0;
    int segment = 0;
    std::uint64_t place = 0;
    double utc = 0;
    int offset = 0;
    std::string flags, record;               // Latin-1, as the series gives them
    std::optional<SiteCopyObservation> site; // one of a site's Datastream's (the rest unread)
};

struct DerivedPage {
    bool served = false; // false: the copy cannot answer, derive as before (error is None)
    ReadError error;
    std::vector<DerivedObservation> rows; // at most top
    bool more = false;                    // rows after these
    std::optional<long long> total;       // when count was asked
    long long seriesBehind = 0;           // every Datastream's page: series not yet derived
    long long sitesBehind = 0; // a site's or with the sites': sites whose pieces are behind
};

DerivedPage readDerivedObservations(const std::string& conninfo, const DerivedAsk& ask,
                                    const ReadLimits& limits);

// A site's Datastream's page and every Datastream's with the sites' are served only while the
// pieces are as their facts and series stand (xrq.derived_sites' signatures: for every
// Datastream's, each site the deriver has seen built and none behind; for a site's, none of its
// units' series behind either), and ask no $filter on result (a calibrated value is not the
// copy's): else derived as before, the sites whose pieces are behind counted (sitesBehind).

// A site's Datastreams as its pieces give them: one per property with a record, in the
// order the properties first appear, each with its records, first and last time and units (in
// the order they first observed it), what site_things.h's siteStreamJson takes. Served false
// when the pieces cannot answer as the facts stand (then the site's series is read as before;
// sitesBehind 1 where they are behind).
struct SiteStreamSummary {
    series::SiteProperty property;
    std::size_t index = 0; // the property's among the site series' properties
    long long records = 0;
    double first = 0, last = 0;
    QStringList units;
};
struct SiteStreamsRead {
    bool served = false;
    ReadError error;
    std::vector<SiteStreamSummary> streams;
    long long sitesBehind = 0;
};
SiteStreamsRead readSiteStreamsFromPieces(const std::string& conninfo, const QString& site,
                                          const ReadLimits& limits);

// A site's Observation `id` of its Datastream `stream` (site_things.h: the Datastream's
// identity, then the record's unit, data set, segment and place) read from the pieces that may
// hold it, never the site's series: none where none holds it. Served false as
// readSiteStreamsFromPieces.
struct SiteObservationRead {
    bool served = false;
    ReadError error;
    std::optional<SiteCopyObservation> observation;
};
SiteObservationRead readSiteObservationFromPieces(const std::string& conninfo, const QString& site,
                                                  const QString& stream, const QString& id,
                                                  const ReadLimits& limits);

// The statement's text for `ask` (the page's, or its count's), with the number of parameters
// it takes: what the page reads, for the tests that check no value is ever in it.
std::string derivedObservationsSql(const DerivedAsk& ask, bool count, int& parameters);
// The same for every Datastream's with the sites' (ask.sites): its parameters are the time's
// values, then $skip + $top + 1, $top + 1 and $skip (not in a count's).
std::string derivedObservationsWithSitesSql(const DerivedAsk& ask, bool count, int& parameters);

} // namespace office

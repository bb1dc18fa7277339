// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A site as the web service (sensor_things.h) shows it: a Thing of its own beside the units,
// whose Datastreams are the site's series (series/site_series.h), one per property, across the
// swaps of the units deployed there and calibrated; its Location the site's position and its
// HistoricalLocations the deployments at it, each as the site's own; a column's meaning its
// Datastream's ObservedProperty and unit of measurement.
//
// Identities say what the entity is, from the facts alone, so that every server holding them
// and every start gives the same; none can be a unit's, whose parts are joinId's (letters,
// digits, '_', '-', '%' and '/'): a site's begin with "site:".
//   Thing               site:RIVER-1
//   HistoricalLocation  site:RIVER-1/SITE3/1764547200000        (the unit, its deployment)
//   Datastream          site:RIVER-1/p/Water%20temperature/Cel  (a meaning: property, unit)
//                       site:RIVER-1/c/TEMP/field_3             (no meaning: data set, name)
//   Observation         <Datastream>/SITE3/TEMP/1/37            (unit, data set, the record's
//                                                                segment and place in it)
//   FeatureOfInterest   unit:SITE3                              (what a unit observed while
//                                                                deployed at no site)
//   ObservedProperty    property:Water%20temperature            (a meaning's property)
//                       column:TEMP/field_3                     (a site column without one)
// A record seen through a site's Datastream and through its unit's is two Observations, each
// with its own identity. Pure: the site's series and facts are read by the caller.

#include "office/entity_links.h"
#include "office/odata_filter.h"

#include "series/site_series.h"

#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

namespace office {

QString siteThingId(const QString& code);
// The site an identity of a site's entity names (any of the table above but the
// ObservedProperties'), or none when `id` is not one.
std::optional<QString> siteOfId(const QString& id);
// The unit whose FeatureOfInterest outside the sites `id` names, or none.
std::optional<QString> unitOfFeatureId(const QString& id);
QString siteHistoricalId(const QString& code, const fleet::Deployment& d);
QString siteStreamId(const QString& code, const series::SiteProperty& p);
QString sitePropertyId(const series::SiteProperty& p);
// The observed property's identity of a column with a meaning, by the property's name.
QString meaningPropertyId(const QString& property);

// A unit of measurement in the standard's shape: name, symbol and definition, each null where
// the column's meaning is not recorded (the standard's form for a Datastream without a unit).
QJsonObject unitOfMeasurementJson(const fleet::UnitOfMeasure& uom);

// What a unit observed while it was deployed at no site: a GeoJSON Feature with no place,
// every Observation having one FeatureOfInterest.
QJsonObject unitFeatureJson(const Links& l, const QString& unit);
QJsonObject siteThingJson(const Links& l, const fleet::Site& site);
// A deployment at `site` as one of the site Thing's HistoricalLocations.
QJsonObject siteHistoricalJson(const Links& l, const fleet::Deployment& d);
// The ObservedProperty of a column's meaning, and of a site's column without one.
QJsonObject meaningPropertyJson(const Links& l, const QString& property, const QString& definition);
QJsonObject sitePropertyJson(const Links& l, const series::SiteProperty& p);

// A site's Datastream of `property`: its `records`, the first's and the last's time (UTC
// seconds) and its units in the order they first observed it.
QJsonObject siteStreamJson(const Links& l, const fleet::Site& site,
                           const series::SiteProperty& property, long long records, double first,
                           double last, const QStringList& units);
// The site's Datastreams, one per property of its series that has a value in any row.
struct SiteStream {
    QString id;
    std::size_t property = 0; // in SiteSeries::properties
    QJsonObject json;
};
std::vector<SiteStream> siteStreams(const Links& l, const fleet::Site& site,
                                    const series::SiteSeries& series);

// The unit a site's Datastreams give as their Sensor: the one deployed there last.
std::optional<QString> siteSensorUnit(const series::SiteSeries& series);

// The Observations of a site's Datastream: the rows of the site's series that have its
// column (in the series' order, UTC then unit) and whose time `within` takes, and each row
// as its Observation, the one place they are made: its result the calibrated value (the raw
// text where the record has no number there), its parameters the raw value, the unit's own
// time, the offset, the unit's serial and data set and the deployment it was taken within.
std::vector<std::size_t> siteObservationRows(const series::SiteSeries& series,
                                             const SiteStream& stream,
                                             const std::function<bool(double utc)>& within);
QJsonObject siteObservationJson(const Links& l, const series::SiteSeries& series,
                                const SiteStream& stream, std::size_t row);
// The Observation `id` of the site's Datastream `stream`, or none.
std::optional<QJsonObject> siteObservation(const Links& l, const series::SiteSeries& series,
                                           const SiteStream& stream, const QString& id);

// A site's Observation as the derived copy gives it (observation_reads.h): a record of a unit
// Datastream, read through a piece of the site's Datastream `stream` (its calibration, its
// deployment's start). The same JSON siteObservationJson makes of the series' row.
struct SiteCopyObservation {
    QString site, stream;
    QString unit, dataSet; // the unit's serial, the data set as the server names it
    int field = 0;
    int segment = 0;
    std::uint64_t place = 0;
    double utc = 0;
    int offset = 0;
    std::string flags, record; // Latin-1, as the series gives them
    std::optional<std::pair<double, double>> calibration;
    std::int64_t deployedMs = 0;
};
QJsonObject siteCopyObservationJson(const Links& l, const SiteCopyObservation& o);

} // namespace office

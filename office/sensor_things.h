// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The office's web service by the field's standard: read-only JSON under /api/v1.1/ shaped
// after OGC SensorThings API 1.1's sensing core. A unit is a Thing (and its own Sensor), each
// numeric column of each of its data sets a Datastream with its ObservedProperty, each record
// of the series derived from every laptop's facts an Observation of each Datastream, its
// phenomenonTime the record's UTC by its own clock (series::forEachRecordUtc, as the CSV has
// it) and the unit's own time in its parameters. A record whose UTC is not known (no clock set
// it fits) is no Observation: its Datastream counts it in properties.records_without_utc.
// A site is a Location and a FeatureOfInterest, and a Thing of its own whose Datastreams are
// its series per property across the units' swaps (site_things.h, with its identities); each
// deployment a HistoricalLocation of the unit and one of the site. A column's meaning gives its
// Datastream's ObservedProperty and unit of measurement. Every collection is served at the
// root, each read within the request's bounds (ReadLimits' mostWeb*).
//
// Identities are the unit, the data set as the server names it and the column (field_N of the
// CSV), each percent-encoded and joined by "/": "SITE1", "SITE1/ANALOG/2", "SITE1/ANALOG/2/37"
// (the record's place in the derived series, 0-based, over every segment).
// Runs on a read thread of the service, as office_routes does.

#include "office/entity_links.h"
#include "office/odata_query.h"
#include "office/office_routes.h"

namespace office {

// `path` begins with kApiRoot.
Answer sensorThingsAnswer(const Request& request, const OfficeConfig& config);

} // namespace office

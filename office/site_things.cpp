// SPDX-License-Identifier: GPL-3.0-or-later
#include "office/site_things.h"

#include "office/odata_query.h"
#include "office/office_reads.h"

#include "platform/checked_number.h"
#include "series/download_text.h"
#include "series/record_time.h"
#include "series/series_share.h"

#include <QJsonArray>

#include <algorithm>
#include <cmath>

namespace office {

namespace {

const QString kMeasurement =
    QStringLiteral("http://www.opengis.net/def/observationType/OGC-OM/2.0/OM_Measurement");
const QString kObservation =
    QStringLiteral("http://www.opengis.net/def/observationType/OGC-OM/2.0/OM_Observation");
const QLatin1String kSitePrefix("site:");

QString utf8(const std::string& s) {
    return QString::fromUtf8(s.data(), qsizetype(s.size()));
}

QString iso(double seconds) {
    return QString::fromStdString(series::isoUtc(seconds));
}

// What a site's column is called in names: its property, or its data set and title.
QString propertyLabel(const series::SiteProperty& p) {
    return p.dataSet.empty() ? utf8(p.name)
                             : dataSetLabel(utf8(p.dataSet)) + QLatin1Char(' ') + utf8(p.name);
}

// The unit's deployment (at the series' site) that a record of it at `utc` was taken within.
const fleet::Deployment* deploymentAt(const series::SiteSeries& s, const std::string& unit,
                                      double utc) {
    const double ms = utc * 1000;
    for (const fleet::Deployment& d : s.deployments)
        if (d.unit.toStdString() == unit && ms >= double(d.fromMs) &&
            (!d.toMs || ms < double(*d.toMs)))
            return &d;
    return nullptr;
}

// What a site's Observation is made of, from a row of the site's series or from the copy.
struct ObservationFields {
    QString unit, dataSet; // as the JSON names them
    int segment = 0;
    std::uint64_t index = 0;
    double utc = 0;
    int offset = 0;
    std::string_view flags, unitTime;
    QString raw;
    std::optional<double> value;
    std::optional<fleet::Deployment> deployment;
};

QString recordKey(const ObservationFields& r) {
    return joinId({r.unit, r.dataSet, QString::number(r.segment), QString::number(r.index)});
}

// The one place a site's Observation is made.
QJsonObject observationJson(const Links& l, const QString& streamId, const ObservationFields& r) {
    const QString id = streamId + QLatin1Char('/') + recordKey(r);
    QJsonArray flags;
    series::forEachFlag(r.flags, [&](std::string_view f) {
        flags.append(QString::fromLatin1(f.data(), qsizetype(f.size())));
    });
    QJsonObject parameters{
        {QStringLiteral("raw"), r.raw},
        {QStringLiteral("unit_time"),
         QString::fromLatin1(r.unitTime.data(), qsizetype(r.unitTime.size()))},
        {QStringLiteral("utc_offset"), QString::fromStdString(series::offsetText(r.offset))},
        {QStringLiteral("unit"), r.unit},
        {QStringLiteral("data_set"), dataSetLabel(r.dataSet)}};
    if (r.deployment) {
        parameters.insert(QStringLiteral("deployment"),
                          siteHistoricalId(r.deployment->site, *r.deployment));
        parameters.insert(QStringLiteral("deployed_from"),
                          iso(double(r.deployment->fromMs) / 1000));
    }
    return {{QStringLiteral("@iot.id"), id},
            {QStringLiteral("@iot.selfLink"), l.entity("Observations", id)},
            {QStringLiteral("phenomenonTime"), iso(r.utc)},
            {QStringLiteral("resultTime"), QJsonValue::Null},
            {QStringLiteral("result"), r.value ? QJsonValue(*r.value) : QJsonValue(r.raw)},
            {QStringLiteral("resultQuality"), flags},
            {QStringLiteral("parameters"), parameters},
            {QStringLiteral("Datastream@iot.navigationLink"),
             l.entity("Observations", id, "Datastream")},
            {QStringLiteral("FeatureOfInterest@iot.navigationLink"),
             l.entity("Observations", id, "FeatureOfInterest")}};
}

ObservationFields observationFieldsOf(const series::SiteSeries& s, const SiteStream& stream,
                                      const series::SiteRow& r) {
    const std::size_t at = stream.property;
    ObservationFields p;
    p.unit = utf8(r.unit);
    p.dataSet = utf8(r.dataSet);
    p.segment = r.segment;
    p.index = r.index;
    p.utc = r.utc;
    p.offset = r.offsetSeconds;
    p.flags = r.flags;
    p.unitTime = r.unitTime;
    p.raw = QString::fromLatin1(r.raw[at].data(), qsizetype(r.raw[at].size()));
    p.value = r.values[at];
    if (const fleet::Deployment* d = deploymentAt(s, r.unit, r.utc))
        p.deployment = *d;
    return p;
}

QJsonObject observationJson(const Links& l, const series::SiteSeries& s, const SiteStream& stream,
                            const series::SiteRow& r) {
    return observationJson(l, stream.id, observationFieldsOf(s, stream, r));
}

// Whether the row is an Observation of the property: the record has that column.
bool observes(const series::SiteRow& r, std::size_t property) {
    return property < r.raw.size() && !r.raw[property].empty();
}

} // namespace

QString siteThingId(const QString& code) {
    return kSitePrefix + joinId({code});
}

std::optional<QString> siteOfId(const QString& id) {
    if (!id.startsWith(kSitePrefix))
        return std::nullopt;
    const qsizetype slash = id.indexOf(QLatin1Char('/'));
    const std::optional<QStringList> code =
        splitId(id.mid(kSitePrefix.size(), slash < 0 ? -1 : slash - kSitePrefix.size()), 1);
    if (!code)
        return std::nullopt;
    return code->front();
}

std::optional<QString> unitOfFeatureId(const QString& id) {
    if (!id.startsWith(QLatin1String("unit:")))
        return std::nullopt;
    const std::optional<QStringList> unit = splitId(id.mid(5), 1);
    if (!unit)
        return std::nullopt;
    return unit->front();
}

QJsonObject unitFeatureJson(const Links& l, const QString& unit) {
    const QString id = QStringLiteral("unit:") + joinId({unit});
    return {
        {QStringLiteral("@iot.id"), id},
        {QStringLiteral("@iot.selfLink"), l.entity("FeaturesOfInterest", id)},
        {QStringLiteral("name"), QStringLiteral("%1 at no site").arg(unit)},
        {QStringLiteral("description"),
         QStringLiteral("What unit %1 observed while it was deployed at no site").arg(unit)},
        {QStringLiteral("encodingType"), QStringLiteral("application/geo+json")},
        {QStringLiteral("feature"),
         QJsonObject{{QStringLiteral("type"), QStringLiteral("Feature")},
                     {QStringLiteral("geometry"), QJsonValue::Null},
                     {QStringLiteral("properties"), QJsonObject{{QStringLiteral("unit"), unit}}}}},
        {QStringLiteral("properties"), QJsonObject{{QStringLiteral("unit"), unit}}},
        {QStringLiteral("Observations@iot.navigationLink"),
         l.entity("FeaturesOfInterest", id, "Observations")}};
}

QString siteHistoricalId(const QString& code, const fleet::Deployment& d) {
    return siteThingId(code) + QLatin1Char('/') + joinId({d.unit, QString::number(d.fromMs)});
}

QString siteStreamId(const QString& code, const series::SiteProperty& p) {
    QString id = siteThingId(code);
    if (p.dataSet.empty()) {
        id += QLatin1String("/p/") + joinId({utf8(p.name)});
        if (!p.uom.code.isEmpty())
            id += QLatin1Char('/') + joinId({p.uom.code});
    } else {
        id += QLatin1String("/c/") + joinId({utf8(p.dataSet), utf8(p.name)});
    }
    return id;
}

QString meaningPropertyId(const QString& property) {
    return QStringLiteral("property:") + joinId({property});
}

QString sitePropertyId(const series::SiteProperty& p) {
    return p.dataSet.empty() ? meaningPropertyId(utf8(p.name))
                             : QStringLiteral("column:") + joinId({utf8(p.dataSet), utf8(p.name)});
}

QJsonObject unitOfMeasurementJson(const fleet::UnitOfMeasure& uom) {
    if (uom.code.isEmpty() && uom.name.isEmpty() && uom.symbol.isEmpty())
        return {{QStringLiteral("name"), QJsonValue::Null},
                {QStringLiteral("symbol"), QJsonValue::Null},
                {QStringLiteral("definition"), QJsonValue::Null}};
    return {{QStringLiteral("name"), uom.name},
            {QStringLiteral("symbol"), uom.symbol},
            {QStringLiteral("definition"),
             uom.code.isEmpty()
                 ? QJsonValue(QJsonValue::Null)
                 : QJsonValue(QStringLiteral("http://unitsofmeasure.org/ucum.html#") + uom.code)}};
}

QJsonObject siteThingJson(const Links& l, const fleet::Site& site) {
    const QString id = siteThingId(site.code);
    return {
        {QStringLiteral("@iot.id"), id},
        {QStringLiteral("@iot.selfLink"), l.entity("Things", id)},
        {QStringLiteral("name"), site.name.isEmpty() ? site.code : site.name},
        {QStringLiteral("description"),
         site.description.isEmpty()
             ? QStringLiteral("Site %1: what the units deployed there observed, in turn")
                   .arg(site.code)
             : site.description},
        {QStringLiteral("properties"),
         QJsonObject{{QStringLiteral("site"), site.code},
                     {QStringLiteral("kind"), QStringLiteral("site")}}},
        {QStringLiteral("Locations@iot.navigationLink"), l.entity("Things", id, "Locations")},
        {QStringLiteral("HistoricalLocations@iot.navigationLink"),
         l.entity("Things", id, "HistoricalLocations")},
        {QStringLiteral("Datastreams@iot.navigationLink"), l.entity("Things", id, "Datastreams")}};
}

QJsonObject siteHistoricalJson(const Links& l, const fleet::Deployment& d) {
    const QString id = siteHistoricalId(d.site, d);
    QJsonObject properties{{QStringLiteral("site"), d.site}, {QStringLiteral("unit"), d.unit}};
    if (d.toMs)
        properties.insert(QStringLiteral("until"), iso(double(*d.toMs) / 1000));
    return {
        {QStringLiteral("@iot.id"), id},
        {QStringLiteral("@iot.selfLink"), l.entity("HistoricalLocations", id)},
        {QStringLiteral("time"), iso(double(d.fromMs) / 1000)},
        {QStringLiteral("properties"), properties},
        {QStringLiteral("Thing@iot.navigationLink"), l.entity("HistoricalLocations", id, "Thing")},
        {QStringLiteral("Locations@iot.navigationLink"),
         l.entity("HistoricalLocations", id, "Locations")}};
}

QJsonObject meaningPropertyJson(const Links& l, const QString& property,
                                const QString& definition) {
    const QString id = meaningPropertyId(property);
    return {{QStringLiteral("@iot.id"), id},
            {QStringLiteral("@iot.selfLink"), l.entity("ObservedProperties", id)},
            {QStringLiteral("name"), property},
            {QStringLiteral("definition"), definition},
            {QStringLiteral("description"),
             QStringLiteral("%1, as the columns' recorded meanings name it").arg(property)},
            {QStringLiteral("Datastreams@iot.navigationLink"),
             l.entity("ObservedProperties", id, "Datastreams")}};
}

QJsonObject sitePropertyJson(const Links& l, const series::SiteProperty& p) {
    if (p.dataSet.empty())
        return meaningPropertyJson(l, utf8(p.name), utf8(p.definition));
    const QString id = sitePropertyId(p);
    return {{QStringLiteral("@iot.id"), id},
            {QStringLiteral("@iot.selfLink"), l.entity("ObservedProperties", id)},
            {QStringLiteral("name"), propertyLabel(p)},
            {QStringLiteral("definition"), QString()},
            {QStringLiteral("description"),
             QStringLiteral("The column %1 of the units' data set %2 at the sites: its meaning "
                            "is not recorded")
                 .arg(utf8(p.name), dataSetLabel(utf8(p.dataSet)))},
            {QStringLiteral("Datastreams@iot.navigationLink"),
             l.entity("ObservedProperties", id, "Datastreams")}};
}

QJsonObject siteStreamJson(const Links& l, const fleet::Site& site,
                           const series::SiteProperty& property, long long records, double first,
                           double last, const QStringList& units) {
    const QString siteName = site.name.isEmpty() ? site.code : site.name;
    const QString id = siteStreamId(site.code, property);
    const bool meant = property.dataSet.empty() && !property.uom.code.isEmpty();
    QJsonObject properties{{QStringLiteral("site"), site.code},
                           {QStringLiteral("records"), records},
                           {QStringLiteral("units"), QJsonArray::fromStringList(units)},
                           {QStringLiteral("calibrated"), true}};
    if (!property.dataSet.empty()) {
        properties.insert(QStringLiteral("data_set"), dataSetLabel(utf8(property.dataSet)));
        properties.insert(QStringLiteral("meaning"), QStringLiteral("not recorded"));
    }
    return {
        {QStringLiteral("@iot.id"), id},
        {QStringLiteral("@iot.selfLink"), l.entity("Datastreams", id)},
        {QStringLiteral("name"), siteName + QStringLiteral(": ") + propertyLabel(property)},
        {QStringLiteral("description"),
         QStringLiteral("%1 at site %2, from every unit deployed there in turn, calibrated")
             .arg(propertyLabel(property), site.code)},
        {QStringLiteral("unitOfMeasurement"),
         unitOfMeasurementJson(property.dataSet.empty() ? property.uom : fleet::UnitOfMeasure{})},
        {QStringLiteral("observationType"), meant ? kMeasurement : kObservation},
        {QStringLiteral("phenomenonTime"), iso(first) + QLatin1Char('/') + iso(last)},
        {QStringLiteral("properties"), properties},
        {QStringLiteral("Thing@iot.navigationLink"), l.entity("Datastreams", id, "Thing")},
        {QStringLiteral("Sensor@iot.navigationLink"), l.entity("Datastreams", id, "Sensor")},
        {QStringLiteral("ObservedProperty@iot.navigationLink"),
         l.entity("Datastreams", id, "ObservedProperty")},
        {QStringLiteral("Observations@iot.navigationLink"),
         l.entity("Datastreams", id, "Observations")}};
}

std::vector<SiteStream> siteStreams(const Links& l, const fleet::Site& site,
                                    const series::SiteSeries& s) {
    std::vector<SiteStream> out;
    for (std::size_t p = 0; p < s.properties.size(); ++p) {
        long long records = 0;
        std::optional<double> first, last;
        QStringList units;
        for (const series::SiteRow& r : s.rows)
            if (observes(r, p)) {
                ++records;
                first = first.value_or(r.utc);
                last = r.utc;
                if (!units.contains(utf8(r.unit)))
                    units << utf8(r.unit);
            }
        if (records == 0)
            continue;
        out.push_back({siteStreamId(site.code, s.properties[p]), p,
                       siteStreamJson(l, site, s.properties[p], records, *first, *last, units)});
    }
    return out;
}

std::optional<QString> siteSensorUnit(const series::SiteSeries& s) {
    const auto last = std::max_element(
        s.deployments.begin(), s.deployments.end(),
        [](const fleet::Deployment& a, const fleet::Deployment& b) { return a.fromMs < b.fromMs; });
    if (last == s.deployments.end())
        return std::nullopt;
    return last->unit;
}

std::vector<std::size_t> siteObservationRows(const series::SiteSeries& s, const SiteStream& stream,
                                             const std::function<bool(double utc)>& within) {
    std::vector<std::size_t> out;
    for (std::size_t i = 0; i < s.rows.size(); ++i)
        if (observes(s.rows[i], stream.property) && within(s.rows[i].utc))
            out.push_back(i);
    return out;
}

QJsonObject siteObservationJson(const Links& l, const series::SiteSeries& s,
                                const SiteStream& stream, std::size_t row) {
    return observationJson(l, s, stream, s.rows[row]);
}

std::optional<QJsonObject> siteObservation(const Links& l, const series::SiteSeries& s,
                                           const SiteStream& stream, const QString& id) {
    if (!id.startsWith(stream.id + QLatin1Char('/')))
        return std::nullopt;
    const QString key = id.mid(stream.id.size() + 1);
    if (!splitId(key, 4))
        return std::nullopt;
    for (const series::SiteRow& r : s.rows)
        if (observes(r, stream.property) && recordKey(observationFieldsOf(s, stream, r)) == key)
            return observationJson(l, s, stream, r);
    return std::nullopt;
}

QJsonObject siteCopyObservationJson(const Links& l, const SiteCopyObservation& o) {
    ObservationFields p;
    p.unit = o.unit;
    // The series' own name of its data set, as a row of the site's series holds it.
    const std::string name = series::dataSetOfShared(o.dataSet).first;
    p.dataSet = utf8(name);
    p.segment = o.segment;
    p.index = o.place;
    p.utc = o.utc;
    p.offset = o.offset;
    p.flags = o.flags;
    p.unitTime = series::stampText(o.record);
    const std::vector<std::string_view> fields = series::fieldsOf(o.record);
    const std::string_view cell = o.field >= 1 && std::size_t(o.field) <= fields.size()
                                      ? fields[std::size_t(o.field - 1)]
                                      : std::string_view{};
    p.raw = QString::fromLatin1(cell.data(), qsizetype(cell.size()));
    // The placer's number and calibration (series/site_series.cpp).
    if (const auto raw = platform::parseFinite(cell, -1e300, 1e300))
        p.value = o.calibration ? o.calibration->first * *raw + o.calibration->second : *raw;
    p.deployment = fleet::Deployment{o.unit, o.site, o.deployedMs, std::nullopt, false};
    return observationJson(l, o.stream, p);
}

} // namespace office

// SPDX-License-Identifier: GPL-3.0-or-later
#include "office/sensor_things.h"

#include "office/observation_reads.h"
#include "office/odata_query.h"
#include "office/plot_buckets.h"
#include "office/query_params.h"
#include "office/series_counts.h"
#include "office/site_things.h"

#include "series/record_time.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSet>
#include <QUrl>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <tuple>

namespace office {

namespace {

const QString kMeasurement =
    QStringLiteral("http://www.opengis.net/def/observationType/OGC-OM/2.0/OM_Measurement");
const QString kObservation =
    QStringLiteral("http://www.opengis.net/def/observationType/OGC-OM/2.0/OM_Observation");

Answer json(const QJsonObject& o) {
    return {200, "application/json", QJsonDocument(o).toJson(QJsonDocument::Compact), {}};
}

// What the links begin with: the origin the client asked, when it is a plain one.
QString originOf(const Request& r) {
    for (const QChar c : r.linkOrigin)
        if (!(c.isLetterOrNumber() && c.unicode() < 0x80) && !QStringLiteral(":/.-[]").contains(c))
            return {};
    return r.linkOrigin;
}

// A data set's numeric columns and what its records' times span.
struct SetShape {
    std::vector<int> fields; // 1-based, as the CSV numbers them
    // Each field's title from the set's title lines (Latin-1; empty where none names it).
    std::vector<std::string> titles;
    long long records = 0, withoutUtc = 0;
    std::optional<double> first, last;
};

SetShape shapeOf(const series::RecordSource& source) {
    SetShape s;
    std::vector<bool> numeric;
    std::vector<double> values;
    series::forEachRecordUtc(
        source, [&](const series::RecordRef& r, bool, double, const series::RecordClock::Utc& utc) {
            ++s.records;
            if (!utc.known) {
                ++s.withoutUtc;
            } else {
                s.first = std::min(s.first.value_or(utc.seconds), utc.seconds);
                s.last = std::max(s.last.value_or(utc.seconds), utc.seconds);
            }
            recordValues(r.line, values);
            if (numeric.size() < values.size())
                numeric.resize(values.size());
            for (std::size_t c = 0; c < values.size(); ++c)
                if (!std::isnan(values[c]))
                    numeric[c] = true;
            return true;
        });
    for (std::size_t c = 0; c < numeric.size(); ++c)
        if (numeric[c])
            s.fields.push_back(int(c) + 1);
    s.titles = series::fieldTitles(source, numeric.size());
    return s;
}

QString latin1(std::string_view s) {
    return QString::fromLatin1(s.data(), qsizetype(s.size()));
}

QString fieldName(const QString& set, int field) {
    return QStringLiteral("%1 field_%2").arg(dataSetLabel(set), QString::number(field));
}

QJsonObject thingJson(const Links& l, const QString& unit) {
    const QString id = joinId({unit});
    return {
        {QStringLiteral("@iot.id"), id},
        {QStringLiteral("@iot.selfLink"), l.entity("Things", id)},
        {QStringLiteral("name"), unit},
        {QStringLiteral("description"), QStringLiteral("XRQ unit ") + unit},
        {QStringLiteral("properties"), QJsonObject{{QStringLiteral("serial"), unit}}},
        {QStringLiteral("Locations@iot.navigationLink"), l.entity("Things", id, "Locations")},
        {QStringLiteral("HistoricalLocations@iot.navigationLink"),
         l.entity("Things", id, "HistoricalLocations")},
        {QStringLiteral("Datastreams@iot.navigationLink"), l.entity("Things", id, "Datastreams")}};
}

QJsonObject sensorJson(const Links& l, const QString& unit) {
    const QString id = joinId({unit});
    return {
        {QStringLiteral("@iot.id"), id},
        {QStringLiteral("@iot.selfLink"), l.entity("Sensors", id)},
        {QStringLiteral("name"), QStringLiteral("XRQ unit ") + unit},
        {QStringLiteral("description"),
         QStringLiteral("The XRQ data logger of serial %1 and its inputs").arg(unit)},
        {QStringLiteral("encodingType"), QStringLiteral("text/plain")},
        {QStringLiteral("metadata"), QStringLiteral("serial ") + unit},
        {QStringLiteral("Datastreams@iot.navigationLink"), l.entity("Sensors", id, "Datastreams")}};
}

QJsonObject propertyJson(const Links& l, const QString& set, int field) {
    const QString id = joinId({set, QString::number(field)});
    return {{QStringLiteral("@iot.id"), id},
            {QStringLiteral("@iot.selfLink"), l.entity("ObservedProperties", id)},
            {QStringLiteral("name"), fieldName(set, field)},
            {QStringLiteral("definition"), QString()},
            {QStringLiteral("description"),
             QStringLiteral("Field %1 of the units' data set %2 (the units name no quantity)")
                 .arg(field)
                 .arg(dataSetLabel(set))},
            {QStringLiteral("Datastreams@iot.navigationLink"),
             l.entity("ObservedProperties", id, "Datastreams")}};
}

// A site's position as GeoJSON (longitude, latitude and, when known, elevation).
QJsonObject pointOf(const fleet::Site& site) {
    QJsonArray c{site.longitude, site.latitude};
    if (site.elevation)
        c.append(*site.elevation);
    return {{QStringLiteral("type"), QStringLiteral("Point")}, {QStringLiteral("coordinates"), c}};
}

// A site as a Location (where its Things are) and as a FeatureOfInterest (what they observe);
// both take the site's code for identity.
QJsonObject locationJson(const Links& l, const fleet::Site& site) {
    const QString id = joinId({site.code});
    return {{QStringLiteral("@iot.id"), id},
            {QStringLiteral("@iot.selfLink"), l.entity("Locations", id)},
            {QStringLiteral("name"), site.name.isEmpty() ? site.code : site.name},
            {QStringLiteral("description"), site.description},
            {QStringLiteral("encodingType"), QStringLiteral("application/geo+json")},
            {QStringLiteral("location"), pointOf(site)},
            {QStringLiteral("properties"), QJsonObject{{QStringLiteral("code"), site.code}}},
            {QStringLiteral("Things@iot.navigationLink"), l.entity("Locations", id, "Things")},
            {QStringLiteral("HistoricalLocations@iot.navigationLink"),
             l.entity("Locations", id, "HistoricalLocations")}};
}

QJsonObject featureJson(const Links& l, const fleet::Site& site) {
    const QString id = joinId({site.code});
    return {{QStringLiteral("@iot.id"), id},
            {QStringLiteral("@iot.selfLink"), l.entity("FeaturesOfInterest", id)},
            {QStringLiteral("name"), site.name.isEmpty() ? site.code : site.name},
            {QStringLiteral("description"), site.description},
            {QStringLiteral("encodingType"), QStringLiteral("application/geo+json")},
            {QStringLiteral("feature"), pointOf(site)},
            {QStringLiteral("properties"), QJsonObject{{QStringLiteral("code"), site.code}}},
            {QStringLiteral("Observations@iot.navigationLink"),
             l.entity("FeaturesOfInterest", id, "Observations")}};
}

// A deployment as a HistoricalLocation: the unit, and the instant it was deployed.
QJsonObject historicalJson(const Links& l, const fleet::Deployment& d) {
    const QString id = joinId({d.unit, QString::number(d.fromMs)});
    return {
        {QStringLiteral("@iot.id"), id},
        {QStringLiteral("@iot.selfLink"), l.entity("HistoricalLocations", id)},
        {QStringLiteral("time"), QString::fromStdString(series::isoUtc(double(d.fromMs) / 1000))},
        {QStringLiteral("properties"), QJsonObject{{QStringLiteral("site"), d.site}}},
        {QStringLiteral("Thing@iot.navigationLink"), l.entity("HistoricalLocations", id, "Thing")},
        {QStringLiteral("Locations@iot.navigationLink"),
         l.entity("HistoricalLocations", id, "Locations")}};
}

QJsonObject datastreamJson(const Links& l, const QString& unit, const QString& set, int field,
                           const SetShape& shape) {
    const QString id = joinId({unit, set, QString::number(field)});
    const std::size_t at = std::size_t(field - 1);
    const QString title =
        at < shape.titles.size()
            ? QString::fromLatin1(shape.titles[at].data(), qsizetype(shape.titles[at].size()))
            : QString();
    QJsonObject o{
        {QStringLiteral("@iot.id"), id},
        {QStringLiteral("@iot.selfLink"), l.entity("Datastreams", id)},
        {QStringLiteral("name"), fieldName(set, field)},
        {QStringLiteral("description"), QStringLiteral("Field %1 of data set %2 of unit %3")
                                            .arg(field)
                                            .arg(dataSetLabel(set), unit)},
        {QStringLiteral("unitOfMeasurement"), unitOfMeasurementJson({})},
        {QStringLiteral("observationType"), kObservation},
        {QStringLiteral("properties"),
         QJsonObject{{QStringLiteral("data_set"), dataSetLabel(set)},
                     {QStringLiteral("meaning"), QStringLiteral("not recorded")},
                     {QStringLiteral("field"), field},
                     {QStringLiteral("records"), qint64(shape.records)},
                     {QStringLiteral("records_without_utc"), qint64(shape.withoutUtc)},
                     {QStringLiteral("column_title"), title}}},
        {QStringLiteral("Thing@iot.navigationLink"), l.entity("Datastreams", id, "Thing")},
        {QStringLiteral("Sensor@iot.navigationLink"), l.entity("Datastreams", id, "Sensor")},
        {QStringLiteral("ObservedProperty@iot.navigationLink"),
         l.entity("Datastreams", id, "ObservedProperty")},
        {QStringLiteral("Observations@iot.navigationLink"),
         l.entity("Datastreams", id, "Observations")}};
    o.insert(QStringLiteral("phenomenonTime"),
             shape.first ? QJsonValue(QString::fromStdString(series::isoUtc(*shape.first) + "/" +
                                                             series::isoUtc(*shape.last)))
                         : QJsonValue(QJsonValue::Null));
    return o;
}

// The field'th comma-separated cell of a record, blanks trimmed (empty view: none).
std::optional<std::string_view> cellOf(std::string_view line, int field) {
    for (int f = 1;; ++f) {
        const auto comma = line.find(',');
        if (f == field)
            return series::trimmed(line.substr(0, comma));
        if (comma == std::string_view::npos)
            return std::nullopt;
        line.remove_prefix(comma + 1);
    }
}

QJsonValue resultOf(std::string_view line, int field) {
    const std::optional<std::string_view> cell = cellOf(line, field);
    if (!cell)
        return QJsonValue::Null;
    std::vector<double> v;
    recordValues(*cell, v);
    if (v.size() == 1 && !std::isnan(v[0]))
        return v[0];
    return latin1(*cell);
}

// An Observation's identity is its Datastream's, the record's segment and its place in it: what
// the record is in the unit's data, the same at every start of every server holding its facts.
QJsonObject observationJson(const Links& l, const QString& datastream, const series::RecordRef& r,
                            const series::RecordClock::Utc& utc, int field,
                            const std::string& flags) {
    const QString id = datastream + QLatin1Char('/') + QString::number(r.segment) +
                       QLatin1Char('/') + QString::number(r.index);
    QJsonArray flagList;
    series::forEachFlag(flags, [&](std::string_view f) { flagList.append(latin1(f)); });
    return {{QStringLiteral("@iot.id"), id},
            {QStringLiteral("@iot.selfLink"), l.entity("Observations", id)},
            {QStringLiteral("phenomenonTime"), QString::fromStdString(series::isoUtc(utc.seconds))},
            {QStringLiteral("resultTime"), QJsonValue::Null},
            {QStringLiteral("result"), resultOf(r.line, field)},
            {QStringLiteral("resultQuality"), flagList},
            {QStringLiteral("parameters"),
             QJsonObject{{QStringLiteral("unit_time"), latin1(series::stampText(r.line))},
                         {QStringLiteral("utc_offset"),
                          QString::fromStdString(series::offsetText(utc.offsetSeconds))},
                         {QStringLiteral("segment"), r.segment},
                         {QStringLiteral("record"), latin1(r.line)},
                         {QStringLiteral("flags"), flagList}}},
            {QStringLiteral("Datastream@iot.navigationLink"),
             l.entity("Observations", id, "Datastream")},
            {QStringLiteral("FeatureOfInterest@iot.navigationLink"),
             l.entity("Observations", id, "FeatureOfInterest")}};
}

// A Datastream's identity read back.
struct StreamId {
    QString unit, set;
    int field = 0;
    QString id() const { return joinId({unit, set, QString::number(field)}); }
};
std::optional<StreamId> streamOf(const QString& id) {
    const std::optional<QStringList> p = splitId(id, 3);
    if (!p)
        return std::nullopt;
    bool ok = false;
    const int field = (*p)[2].toInt(&ok);
    if (!ok || field < 1 || field > 100000)
        return std::nullopt;
    return StreamId{(*p)[0], (*p)[1], field};
}

// An Observation's identity read back: its Datastream's, the segment and the place in it.
struct ObservationId {
    StreamId stream;
    int segment = 0;
    std::uint64_t index = 0;
};
std::optional<ObservationId> observationOf(const QString& id) {
    const std::optional<QStringList> p = splitId(id, 5);
    if (!p)
        return std::nullopt;
    const std::optional<StreamId> stream = streamOf(joinId({(*p)[0], (*p)[1], (*p)[2]}));
    bool okSegment = false, okIndex = false;
    const int segment = (*p)[3].toInt(&okSegment);
    const qulonglong index = (*p)[4].toULongLong(&okIndex);
    if (!stream || !okSegment || !okIndex || segment < 1)
        return std::nullopt;
    return ObservationId{*stream, segment, index};
}

// Each record's UTC and flags, worked out once for a series kept derived (DerivedSeriesCache),
// so that its pages are each cut from them rather than each a pass of their own over all its
// records; kept for the last series asked, up to as many records as DerivedSeriesCache.
struct Timeline {
    struct Point {
        series::RecordClock::Utc utc;
        std::string flags; // the CSV's, as series::RecordFlags gives them
    };
    std::vector<Point> points; // in the series' order
};

std::shared_ptr<const Timeline> timelineOf(const DerivedSeriesCache::Held& held) {
    static std::mutex mutex;
    static std::deque<std::pair<std::weak_ptr<const series::ServerSeries>,
                                std::shared_ptr<const Timeline>>>
        kept;                                   // the newest last
    constexpr std::size_t kMostPoints = 250000; // as DerivedSeriesCache's records
    {
        const std::lock_guard lock(mutex);
        for (const auto& [series, timeline] : kept)
            if (series.lock() == held)
                return timeline;
    }
    const series::RecordSource source = held->source();
    auto made = std::make_shared<Timeline>();
    made->points.reserve(std::size_t(source.info.records));
    series::RecordFlags flags(source.info.usualInterval);
    series::forEachRecordUtc(source, [&](const series::RecordRef& rec, bool parsed, double s,
                                         const series::RecordClock::Utc& utc) {
        made->points.push_back({utc, flags.next(rec, parsed, s, utc)});
        return true;
    });
    const std::lock_guard lock(mutex);
    std::size_t points = made->points.size();
    for (const auto& k : kept)
        points += k.second->points.size();
    while (!kept.empty() && points > kMostPoints) {
        points -= kept.front().second->points.size();
        kept.pop_front();
    }
    if (made->points.size() <= kMostPoints)
        kept.emplace_back(held, made);
    return made;
}

// The entity sets and the navigation properties that lead from one to another.
enum class Set {
    Things,
    Locations,
    HistoricalLocations,
    Datastreams,
    Sensors,
    ObservedProperties,
    Observations,
    FeaturesOfInterest
};
constexpr std::pair<Set, const char*> kSets[] = {{Set::Things, "Things"},
                                                 {Set::Locations, "Locations"},
                                                 {Set::HistoricalLocations, "HistoricalLocations"},
                                                 {Set::Datastreams, "Datastreams"},
                                                 {Set::Sensors, "Sensors"},
                                                 {Set::ObservedProperties, "ObservedProperties"},
                                                 {Set::Observations, "Observations"},
                                                 {Set::FeaturesOfInterest, "FeaturesOfInterest"}};

const char* nameOf(Set set) {
    for (const auto& [s, name] : kSets)
        if (s == set)
            return name;
    return "";
}
std::optional<Set> setNamed(QStringView name) {
    for (const auto& [s, n] : kSets)
        if (name == QLatin1String(n))
            return s;
    return std::nullopt;
}

struct Navigation {
    Set from;
    const char* name;
    Set to;
    bool many;
};
constexpr Navigation kNavigations[] = {
    {Set::Things, "Locations", Set::Locations, true},
    {Set::Things, "HistoricalLocations", Set::HistoricalLocations, true},
    {Set::Things, "Datastreams", Set::Datastreams, true},
    {Set::Locations, "Things", Set::Things, true},
    {Set::Locations, "HistoricalLocations", Set::HistoricalLocations, true},
    {Set::HistoricalLocations, "Thing", Set::Things, false},
    {Set::HistoricalLocations, "Locations", Set::Locations, true},
    {Set::Datastreams, "Thing", Set::Things, false},
    {Set::Datastreams, "Sensor", Set::Sensors, false},
    {Set::Datastreams, "ObservedProperty", Set::ObservedProperties, false},
    {Set::Datastreams, "Observations", Set::Observations, true},
    {Set::Sensors, "Datastreams", Set::Datastreams, true},
    {Set::ObservedProperties, "Datastreams", Set::Datastreams, true},
    {Set::Observations, "Datastream", Set::Datastreams, false},
    {Set::Observations, "FeatureOfInterest", Set::FeaturesOfInterest, false},
    {Set::FeaturesOfInterest, "Observations", Set::Observations, true}};

const Navigation* navigationOf(Set from, QStringView name) {
    for (const Navigation& n : kNavigations)
        if (n.from == from && name == QLatin1String(n.name))
            return &n;
    return nullptr;
}

QString idOf(const QJsonObject& e);

// The entities as the server's facts give them, read on demand within one request's bounds
// (ReadLimits' mostWeb*: beyond one, the answer is a 413 that names it, so that no query reads
// or builds without end).
// Sites (Locations, HistoricalLocations, FeaturesOfInterest, a site's Things) are not held
// yet: their sets are empty, and the functions below are where they are read once they are.
class Model {
public:
    Model(const OfficeConfig& c, const Links& l) : m_c(c), m_l(l) {}

    // The first failure (a read that failed, a bound passed); after it everything is empty.
    std::optional<Answer> failed;

    // Every entity of `set` (Observations: those whose time is within `window`).
    std::vector<QJsonObject> all(Set set, const TimeWindow& window) {
        std::vector<QJsonObject> out;
        switch (set) {
        case Set::Things:
        case Set::Sensors:
            for (const QString& u : units())
                out.push_back(set == Set::Things ? thingJson(m_l, u) : sensorJson(m_l, u));
            if (set == Set::Things)
                for (const fleet::Site& site : sites().sites)
                    out.push_back(siteThingJson(m_l, site));
            break;
        case Set::Datastreams:
            for (const QString& u : units())
                for (const Stream& s : streamsOfUnit(u))
                    out.push_back(s.json);
            for (const fleet::Site& site : sites().sites)
                for (const SiteStream& s : streamsOfSite(site.code))
                    out.push_back(s.json);
            break;
        case Set::ObservedProperties: {
            std::map<QString, QJsonObject> distinct;
            for (const QString& u : units())
                for (const Stream& s : streamsOfUnit(u))
                    distinct.emplace(idOf(s.property), s.property);
            for (const fleet::Site& site : sites().sites)
                for (const SiteStream& s : streamsOfSite(site.code))
                    if (const auto series = siteSeries(site.code)) {
                        const QJsonObject p = sitePropertyJson(m_l, series->properties[s.property]);
                        distinct.emplace(idOf(p), p);
                    }
            for (auto& [key, json] : distinct)
                out.push_back(std::move(json));
            break;
        }
        case Set::Observations:
            for (const QString& u : units())
                for (const Stream& s : streamsOfUnit(u)) {
                    std::vector<QJsonObject> o = observationsOf(s.id, window);
                    std::move(o.begin(), o.end(), std::back_inserter(out));
                }
            for (const fleet::Site& site : sites().sites)
                for (const SiteStream& s : streamsOfSite(site.code)) {
                    std::vector<QJsonObject> o = siteObservationsOf(site.code, s, window);
                    std::move(o.begin(), o.end(), std::back_inserter(out));
                }
            break;
        case Set::Locations:
        case Set::FeaturesOfInterest:
            for (const fleet::Site& site : sites().sites)
                out.push_back(set == Set::Locations ? locationJson(m_l, site)
                                                    : featureJson(m_l, site));
            if (set == Set::FeaturesOfInterest)
                for (const QString& u : units())
                    out.push_back(unitFeatureJson(m_l, u));
            break;
        case Set::HistoricalLocations:
            for (const fleet::Deployment& d : sites().deployments) {
                out.push_back(historicalJson(m_l, d));
                out.push_back(siteHistoricalJson(m_l, d));
            }
            break;
        }
        return spend(out);
    }

    // The entity `id` of `set`, or none.
    std::optional<QJsonObject> one(Set set, const QString& id) {
        if (const std::optional<QString> code = siteOfId(id))
            return siteOne(set, *code, id);
        switch (set) {
        case Set::Things:
        case Set::Sensors: {
            const std::optional<QStringList> unit = splitId(id, 1);
            if (!unit || !unitExists(unit->front()))
                return std::nullopt;
            return set == Set::Things ? thingJson(m_l, unit->front())
                                      : sensorJson(m_l, unit->front());
        }
        case Set::Datastreams: {
            const std::optional<StreamId> s = streamOf(id);
            if (!s || !unitExists(s->unit))
                return std::nullopt;
            for (const Stream& stream : streamsOfUnit(s->unit))
                if (stream.id.set == s->set && stream.id.field == s->field)
                    return stream.json;
            return std::nullopt;
        }
        case Set::ObservedProperties: {
            // A column's (two parts) is a unit's alone: the sites' series are not read for it.
            const bool ofUnits = splitId(id, 2).has_value();
            for (const QString& u :
                 ofUnits || id.startsWith(QLatin1String("property:")) ? units() : QStringList())
                for (const Stream& s : streamsOfUnit(u))
                    if (idOf(s.property) == id)
                        return s.property;
            if (!ofUnits)
                for (const fleet::Site& site : sites().sites)
                    for (const SiteStream& s : streamsOfSite(site.code))
                        if (const auto series = siteSeries(site.code))
                            if (sitePropertyId(series->properties[s.property]) == id)
                                return sitePropertyJson(m_l, series->properties[s.property]);
            return std::nullopt;
        }
        case Set::Observations: {
            const std::optional<ObservationId> o = observationOf(id);
            if (!o || !one(Set::Datastreams, o->stream.id()))
                return std::nullopt;
            return observationAt(*o);
        }
        case Set::Locations:
        case Set::FeaturesOfInterest: {
            if (const std::optional<QString> unit = unitOfFeatureId(id))
                return set == Set::FeaturesOfInterest && unitExists(*unit)
                           ? std::optional(unitFeatureJson(m_l, *unit))
                           : std::nullopt;
            const std::optional<QStringList> code = splitId(id, 1);
            const fleet::Site* site = code ? sites().site(code->front()) : nullptr;
            if (!site)
                return std::nullopt;
            return set == Set::Locations ? locationJson(m_l, *site) : featureJson(m_l, *site);
        }
        case Set::HistoricalLocations:
            for (const fleet::Deployment& d : sites().deployments)
                if (joinId({d.unit, QString::number(d.fromMs)}) == id)
                    return historicalJson(m_l, d);
            return std::nullopt;
        }
        return std::nullopt;
    }

    // What `nav` leads to from the entity `id` of `nav.from` (Observations: within `window`);
    // `entity`, when given, is that entity's JSON (an Observation's time).
    // Whole: one case per navigation the standard allows, each a few lines, read side by side.
    std::vector<QJsonObject> follow(const QString& id, const Navigation& nav,
                                    const TimeWindow& window, const QJsonObject* entity = nullptr) {
        const std::int64_t nowMs = QDateTime::currentMSecsSinceEpoch();
        auto current = [&](const fleet::Deployment& d) { return !d.toMs || *d.toMs > nowMs; };
        auto siteNamed = [&](const QString& code) { return sites().site(code); };
        std::vector<QJsonObject> out;
        auto add = [&](std::optional<QJsonObject> o) {
            if (o)
                out.push_back(std::move(*o));
        };
        if (const std::optional<QString> code = siteOfId(id)) {
            followSite(*code, id, nav, window, out);
            return spend(out);
        }
        if (const std::optional<QString> unit = unitOfFeatureId(id)) {
            // What the unit observed outside every deployment.
            for (const Stream& s : streamsOfUnit(*unit))
                for (QJsonObject& o : observationsOf(s.id, window)) {
                    const std::optional<double> t =
                        parseIsoTime(o.value(QLatin1String("phenomenonTime")).toString());
                    if (t && !deployedAt(*unit, *t))
                        out.push_back(std::move(o));
                }
            return spend(out);
        }
        const std::optional<StreamId> stream = streamOf(id);
        switch (nav.from) {
        case Set::Things:
        case Set::Sensors: {
            const std::optional<QStringList> unit = splitId(id, 1);
            if (!unit)
                break;
            if (nav.to == Set::Datastreams) {
                for (const Stream& s : streamsOfUnit(unit->front()))
                    out.push_back(s.json);
                if (nav.from == Set::Sensors)
                    for (const SiteStream& s : sensedSiteStreams(unit->front()))
                        out.push_back(s.json);
            } else if (nav.to == Set::Locations) {
                // A Thing's Location is where it is deployed now.
                const auto d = sites().deploymentOf(unit->front(), nowMs);
                if (d && current(*d))
                    if (const fleet::Site* site = siteNamed(d->site))
                        out.push_back(locationJson(m_l, *site));
            } else if (nav.to == Set::HistoricalLocations) {
                for (const fleet::Deployment& d : sites().deployments)
                    if (d.unit == unit->front())
                        out.push_back(historicalJson(m_l, d));
            }
            break;
        }
        case Set::Locations:
        case Set::FeaturesOfInterest: {
            const std::optional<QStringList> code = splitId(id, 1);
            if (!code)
                break;
            for (const fleet::Deployment& d : sites().deploymentsAt(code->front())) {
                if (nav.to == Set::Things && current(d))
                    out.push_back(thingJson(m_l, d.unit));
                else if (nav.to == Set::HistoricalLocations)
                    out.push_back(historicalJson(m_l, d));
                else if (nav.to == Set::Observations) {
                    // What the units deployed there observed while they were.
                    TimeWindow w = window;
                    const double from = double(d.fromMs) / 1000;
                    w.from = w.from ? std::max(*w.from, from) : from;
                    for (const Stream& s : streamsOfUnit(d.unit))
                        for (QJsonObject& o : observationsOf(s.id, w)) {
                            const std::optional<double> t =
                                parseIsoTime(o.value(QLatin1String("phenomenonTime")).toString());
                            if (t && (!d.toMs || *t < double(*d.toMs) / 1000))
                                out.push_back(std::move(o));
                        }
                }
            }
            // The site itself: a Thing there, its own moves, its own series.
            if (const fleet::Site* site = siteNamed(code->front())) {
                if (nav.to == Set::Things)
                    out.push_back(siteThingJson(m_l, *site));
                else if (nav.to == Set::HistoricalLocations)
                    for (const fleet::Deployment& d : sites().deploymentsAt(site->code))
                        out.push_back(siteHistoricalJson(m_l, d));
                else if (nav.to == Set::Observations)
                    for (const SiteStream& s : streamsOfSite(site->code)) {
                        std::vector<QJsonObject> o = siteObservationsOf(site->code, s, window);
                        std::move(o.begin(), o.end(), std::back_inserter(out));
                    }
            }
            break;
        }
        case Set::HistoricalLocations: {
            const std::optional<QStringList> p = splitId(id, 2);
            if (!p)
                break;
            if (nav.to == Set::Things) {
                add(one(Set::Things, joinId({(*p)[0]})));
            } else {
                for (const fleet::Deployment& d : sites().deployments)
                    if (d.unit == (*p)[0] && QString::number(d.fromMs) == (*p)[1])
                        if (const fleet::Site* site = siteNamed(d.site))
                            out.push_back(locationJson(m_l, *site));
            }
            break;
        }
        case Set::Datastreams:
            if (!stream)
                break;
            if (nav.to == Set::Things || nav.to == Set::Sensors)
                add(one(nav.to, joinId({stream->unit})));
            else if (nav.to == Set::ObservedProperties) {
                for (const Stream& s : streamsOfUnit(stream->unit))
                    if (s.id.set == stream->set && s.id.field == stream->field)
                        out.push_back(s.property);
            } else if (nav.to == Set::Observations)
                out = observationsOf(*stream, window);
            break;
        case Set::ObservedProperties:
            for (const QString& u : units())
                for (const Stream& s : streamsOfUnit(u))
                    if (idOf(s.property) == id)
                        out.push_back(s.json);
            if (!splitId(id, 2)) // a meaning's, or a site's column's: the sites' too
                for (const fleet::Site& site : sites().sites)
                    for (const SiteStream& s : streamsOfSite(site.code))
                        if (const auto series = siteSeries(site.code))
                            if (sitePropertyId(series->properties[s.property]) == id)
                                out.push_back(s.json);
            break;
        case Set::Observations: {
            const std::optional<ObservationId> o = observationOf(id);
            if (!o)
                break;
            if (nav.to == Set::Datastreams) {
                add(one(Set::Datastreams, o->stream.id()));
            } else if (nav.to == Set::FeaturesOfInterest) {
                // The site the unit was deployed at when the record was taken.
                std::optional<QJsonObject> own =
                    entity ? std::optional(*entity) : one(Set::Observations, id);
                const std::optional<double> t =
                    own ? parseIsoTime(own->value(QLatin1String("phenomenonTime")).toString())
                        : std::nullopt;
                if (!t)
                    break;
                const std::optional<fleet::Deployment> d = deployedAt(o->stream.unit, *t);
                const fleet::Site* site = d ? siteNamed(d->site) : nullptr;
                out.push_back(site ? featureJson(m_l, *site)
                                   : unitFeatureJson(m_l, o->stream.unit));
            }
            break;
        }
        }
        return spend(out);
    }

    // A Datastream's unit of measurement from its column's meaning as it stands now, when one
    // is recorded (the column numbered as the export's field_N, as the Datastream's field is).
    // Its ObservedProperty, the meaning's property then, else the column's own.
    QJsonObject withMeaning(QJsonObject& json, const QString& unit, const QString& set, int field) {
        const fleet::ColumnMeaning* m = fleet::meaningOf(sites().meanings, unit, set, field,
                                                         QDateTime::currentMSecsSinceEpoch());
        if (!m)
            return propertyJson(m_l, set, field);
        json.insert(QStringLiteral("unitOfMeasurement"), unitOfMeasurementJson(m->uom));
        json.insert(QStringLiteral("observationType"), kMeasurement);
        QJsonObject properties = json.value(QLatin1String("properties")).toObject();
        properties.remove(QStringLiteral("meaning"));
        properties.insert(QStringLiteral("property"), m->property);
        json.insert(QStringLiteral("properties"), properties);
        return meaningPropertyJson(m_l, m->property, m->definition);
    }

    // Sites whose series this request built from the facts because the derived copy could not
    // serve them (a push not derived yet): told in X-Derived-Behind.
    int sitesBehind = 0;
    // Sites whose pieces in the derived copy are behind their facts, so that this request's
    // Observations were derived as before: told in X-Derived-Behind too.
    std::set<QString> piecesBehind;
    long long everyPiecesBehind = 0; // every site's, for the whole collection
    int behindCount() const {
        return int(std::min<long long>(
            1 << 30,
            std::max({(long long)sitesBehind, (long long)piecesBehind.size(), everyPiecesBehind})));
    }

    // The site facts that count now, read once per request (none on a server before them).
    const fleet::SiteFacts& sites() {
        if (!m_sites && !failed) {
            SitesRead r = readSites(m_c.conninfo, m_c.limits);
            if (r.error.failed())
                fail(r.error);
            m_sites = std::move(r.facts);
        }
        static const fleet::SiteFacts none;
        return m_sites && !failed ? *m_sites : none;
    }

    // Every Datastream's identity, unit by unit.
    std::vector<StreamId> allStreams() {
        std::vector<StreamId> out;
        for (const QString& u : units())
            for (const Stream& s : streamsOfUnit(u))
                out.push_back(s.id);
        return out;
    }

    // The Observations of one Datastream whose time is within `window`, each built: bounded by
    // ReadLimits::mostWebObservations.
    std::vector<QJsonObject> observationsOf(const StreamId& id, const TimeWindow& window) {
        std::vector<QJsonObject> out;
        const auto held = series(id.unit, id.set);
        if (!held)
            return out;
        const std::shared_ptr<const Timeline> timeline = timelineOf(held);
        const std::vector<Timeline::Point>& points = timeline->points;
        const QString stream = id.id();
        std::uint64_t index = 0;
        held->source().forEachRecord([&](const series::RecordRef& rec) {
            const Timeline::Point& p = points[index++];
            if (!p.utc.known || (window.from && p.utc.seconds < *window.from) ||
                (window.to && p.utc.seconds > *window.to))
                return index < points.size();
            if (++m_built > m_c.limits.mostWebObservations) {
                fail(413, QStringLiteral("the query would weigh more than %1 Observations (the "
                                         "bound on what one query evaluates): narrow it by a "
                                         "phenomenonTime range in $filter, or ask one "
                                         "Datastream's Observations ordered by phenomenonTime")
                              .arg(m_c.limits.mostWebObservations));
                return false;
            }
            out.push_back(observationJson(m_l, stream, rec, p.utc, id.field, p.flags));
            return index < points.size();
        });
        if (failed)
            out.clear();
        return out;
    }

    // The derived series of a unit's data set, counted against ReadLimits::mostWebSeries.
    DerivedSeriesCache::Held series(const QString& unit, const QString& set) {
        if (failed)
            return nullptr;
        const auto key = std::pair(unit, set);
        if (const auto it = m_series.find(key); it != m_series.end())
            return it->second;
        if (int(m_series.size()) + m_siteSeriesWeight >= m_c.limits.mostWebSeries) {
            fail(413, QStringLiteral("the query would read more than %1 series (the bound on "
                                     "what one query reads): ask one Thing's Datastreams or one "
                                     "Datastream's Observations")
                          .arg(m_c.limits.mostWebSeries));
            return nullptr;
        }
        ReadError error;
        const auto held = readDerivedSeries(m_c.conninfo, unit, set, m_c.limits, error,
                                            DerivedSeriesCache::kRecentFor);
        if (!held)
            fail(error);
        m_series.emplace(key, held);
        return held;
    }

    // A site's series (none: no such site), read once per request and counted against
    // ReadLimits::mostWebSeries by the units' series it is built from.
    std::shared_ptr<const series::SiteSeries> siteSeries(const QString& code) {
        if (failed)
            return nullptr;
        if (const auto it = m_siteSeries.find(code); it != m_siteSeries.end())
            return it->second;
        if (int(m_series.size()) + m_siteSeriesWeight >= m_c.limits.mostWebSeries) {
            failSeries();
            return nullptr;
        }
        ReadError error;
        std::string behind;
        auto held = readSiteSeries(m_c.conninfo, code, m_c.limits, error, &behind);
        if (held && !behind.empty())
            ++sitesBehind;
        if (!held && error.kind != ReadError::Kind::NotFound)
            fail(error);
        if (held) {
            std::set<std::pair<std::string, std::string>> from;
            for (const series::SiteRow& r : held->rows)
                from.emplace(r.unit, r.dataSet);
            m_siteSeriesWeight += std::max(1, int(from.size()));
            if (int(m_series.size()) + m_siteSeriesWeight > m_c.limits.mostWebSeries)
                failSeries();
        }
        m_siteSeries.emplace(code, held);
        return failed ? nullptr : held;
    }

    // A site's Datastreams (none when it has no series).
    const std::vector<SiteStream>& streamsOfSite(const QString& code) {
        static const std::vector<SiteStream> none;
        if (const auto it = m_siteStreams.find(code); it != m_siteStreams.end())
            return it->second;
        const fleet::Site* site = sites().site(code);
        if (!site)
            return none;
        // From the site's pieces where they stand as the facts do, without its series: a read
        // of its own, counted against ReadLimits::mostWebSeries as one series.
        if (series::siteCopyOpen()) {
            if (int(m_series.size()) + m_siteSeriesWeight >= m_c.limits.mostWebSeries) {
                failSeries();
                return none;
            }
            ++m_siteSeriesWeight;
            const SiteStreamsRead read = readSiteStreamsFromPieces(m_c.conninfo, code, m_c.limits);
            if (read.error.failed()) {
                fail(read.error);
                return none;
            }
            if (read.sitesBehind > 0)
                piecesBehind.insert(code);
            if (read.served) {
                std::vector<SiteStream> streams;
                for (const SiteStreamSummary& s : read.streams)
                    streams.push_back({siteStreamId(code, s.property), s.index,
                                       siteStreamJson(m_l, *site, s.property, s.records, s.first,
                                                      s.last, s.units)});
                return m_siteStreams.emplace(code, std::move(streams)).first->second;
            }
        }
        const auto series = siteSeries(code);
        if (!series)
            return none;
        return m_siteStreams.emplace(code, siteStreams(m_l, *site, *series)).first->second;
    }

    // The site Datastream an identity names, or the one an Observation's identity begins with.
    const SiteStream* siteStream(const QString& code, const QString& id, bool ofObservation) {
        for (const SiteStream& s : streamsOfSite(code))
            if (ofObservation
                    ? id.startsWith(s.id + QLatin1Char('/')) && splitId(id.mid(s.id.size() + 1), 4)
                    : id == s.id)
                return &s;
        return nullptr;
    }

    // The Observations of a site's Datastream within `window`, each built: bounded by
    // ReadLimits::mostWebObservations as a unit's are.
    std::vector<QJsonObject> siteObservationsOf(const QString& code, const SiteStream& stream,
                                                const TimeWindow& window) {
        std::vector<QJsonObject> out;
        const auto series = siteSeries(code);
        if (!series)
            return out;
        const std::vector<std::size_t> rows = siteObservationRows(*series, stream, [&](double t) {
            return (!window.from || t >= *window.from) && (!window.to || t <= *window.to);
        });
        if (m_built + (long long)rows.size() > m_c.limits.mostWebObservations) {
            failObservations();
            return out;
        }
        m_built += (long long)rows.size();
        for (const std::size_t row : rows)
            out.push_back(siteObservationJson(m_l, *series, stream, row));
        return out;
    }

    // The deployment `unit` was within at `utc` (seconds), if any.
    std::optional<fleet::Deployment> deployedAt(const QString& unit, double utc) {
        const std::int64_t atMs = std::int64_t(std::floor(utc * 1000));
        std::optional<fleet::Deployment> d = sites().deploymentOf(unit, atMs);
        if (d && d->toMs && *d->toMs <= atMs)
            d.reset();
        return d;
    }

    // The Datastreams of the sites whose Sensor `unit` is (the unit deployed there last).
    std::vector<SiteStream> sensedSiteStreams(const QString& unit) {
        std::vector<SiteStream> out;
        QStringList seen;
        for (const fleet::Deployment& d : sites().deployments) {
            if (d.unit != unit || seen.contains(d.site))
                continue;
            seen << d.site;
            const auto series = siteSeries(d.site);
            if (series && siteSensorUnit(*series) == unit)
                for (const SiteStream& s : streamsOfSite(d.site))
                    out.push_back(s);
        }
        return out;
    }

private:
    // The entity `id` of `set` when it is one of the site `code`'s.
    // A site's Observation `id` of `stream` read from the site's pieces (the inner none: no
    // such Observation), or none when they cannot answer: then read from its series.
    std::optional<std::optional<QJsonObject>>
    siteObservationFromPieces(const QString& code, const SiteStream& stream, const QString& id) {
        if (!series::siteCopyOpen())
            return std::nullopt;
        const SiteObservationRead read =
            readSiteObservationFromPieces(m_c.conninfo, code, stream.id, id, m_c.limits);
        if (read.error.failed()) {
            fail(read.error);
            return std::optional<QJsonObject>();
        }
        if (!read.served)
            return std::nullopt;
        if (!read.observation)
            return std::optional<QJsonObject>();
        return std::optional(siteCopyObservationJson(m_l, *read.observation));
    }

    std::optional<QJsonObject> siteOne(Set set, const QString& code, const QString& id) {
        const fleet::Site* site = sites().site(code);
        if (!site)
            return std::nullopt;
        switch (set) {
        case Set::Things:
            if (id == siteThingId(code))
                return siteThingJson(m_l, *site);
            break;
        case Set::HistoricalLocations:
            for (const fleet::Deployment& d : sites().deploymentsAt(code))
                if (siteHistoricalId(code, d) == id)
                    return siteHistoricalJson(m_l, d);
            break;
        case Set::Datastreams:
            if (const SiteStream* s = siteStream(code, id, false))
                return s->json;
            break;
        case Set::Observations:
            if (const SiteStream* s = siteStream(code, id, true)) {
                if (std::optional<std::optional<QJsonObject>> copied =
                        siteObservationFromPieces(code, *s, id))
                    return *copied;
                if (const auto series = siteSeries(code))
                    return siteObservation(m_l, *series, *s, id);
            }
            break;
        default:
            break;
        }
        return std::nullopt;
    }

    // What `nav` leads to from the entity `id` of the site `code` (a Thing, a
    // HistoricalLocation, a Datastream or an Observation of it).
    void followSite(const QString& code, const QString& id, const Navigation& nav,
                    const TimeWindow& window, std::vector<QJsonObject>& out) {
        const fleet::Site* site = sites().site(code);
        if (!site)
            return;
        const bool toSite = nav.to == Set::Locations || nav.to == Set::FeaturesOfInterest;
        const SiteStream* stream = nav.from == Set::Datastreams    ? siteStream(code, id, false)
                                   : nav.from == Set::Observations ? siteStream(code, id, true)
                                                                   : nullptr;
        if (nav.to == Set::Things) {
            out.push_back(siteThingJson(m_l, *site));
        } else if (toSite) {
            out.push_back(nav.to == Set::Locations ? locationJson(m_l, *site)
                                                   : featureJson(m_l, *site));
        } else if (nav.from == Set::Things && nav.to == Set::HistoricalLocations) {
            for (const fleet::Deployment& d : sites().deploymentsAt(code))
                out.push_back(siteHistoricalJson(m_l, d));
        } else if (nav.from == Set::Things && nav.to == Set::Datastreams) {
            for (const SiteStream& s : streamsOfSite(code))
                out.push_back(s.json);
        } else if (stream && nav.to == Set::Datastreams) {
            out.push_back(stream->json);
        } else if (stream && nav.to == Set::Sensors) {
            const auto series = siteSeries(code);
            const std::optional<QString> unit = series ? siteSensorUnit(*series) : std::nullopt;
            if (unit)
                if (std::optional<QJsonObject> sensor = one(Set::Sensors, joinId({*unit})))
                    out.push_back(std::move(*sensor));
        } else if (stream && nav.to == Set::ObservedProperties) {
            if (const auto series = siteSeries(code))
                out.push_back(sitePropertyJson(m_l, series->properties[stream->property]));
        } else if (stream && nav.to == Set::Observations) {
            out = siteObservationsOf(code, *stream, window);
        }
    }

    void failSeries() {
        fail(413, QStringLiteral("the query would read more than %1 series (the bound on "
                                 "what one query reads): ask one Thing's Datastreams or one "
                                 "Datastream's Observations")
                      .arg(m_c.limits.mostWebSeries));
    }
    void failObservations() {
        fail(413, QStringLiteral("the query would weigh more than %1 Observations (the "
                                 "bound on what one query evaluates): narrow it by a "
                                 "phenomenonTime range in $filter, or ask one "
                                 "Datastream's Observations ordered by phenomenonTime")
                      .arg(m_c.limits.mostWebObservations));
    }

    struct Stream {
        StreamId id;
        QJsonObject json;
        QJsonObject property; // its ObservedProperty
    };

    void fail(int status, const QString& why) {
        if (!failed)
            failed = errorAnswer(status, why);
    }
    void fail(const ReadError& e) {
        if (!failed)
            failed = readErrorAnswer(e);
    }

    std::vector<QJsonObject> spend(std::vector<QJsonObject>& out) {
        m_entities += (long long)out.size();
        if (m_entities > m_c.limits.mostWebEntities)
            fail(413, QStringLiteral("the query would build more than %1 entities (the bound on "
                                     "what one query evaluates)")
                          .arg(m_c.limits.mostWebEntities));
        if (failed)
            out.clear();
        return std::move(out);
    }

    // Every unit the server holds records of, by serial.
    const QStringList& units() {
        if (!m_units && !failed) {
            const UnitList list = readUnitList(m_c.conninfo, 0, m_c.limits.mostUnits, m_c.limits);
            if (list.error.failed())
                fail(list.error);
            else if (list.total > list.units.size())
                fail(413, QStringLiteral("the server holds more than %1 units (the bound on the "
                                         "Units read): ask one Thing's")
                              .arg(m_c.limits.mostUnits));
            m_units = list.units;
        }
        static const QStringList none;
        return m_units && !failed ? *m_units : none;
    }

    // Whether the server holds anything of `unit` (its data sets' names only, not their series).
    bool unitExists(const QString& unit) {
        if (m_streams.count(unit) && (!m_streams[unit].empty() || m_withoutStreams.contains(unit)))
            return true;
        if (const auto it = m_known.find(unit); it != m_known.end())
            return it->second;
        if (failed)
            return false;
        const UnitSets sets = readUnitSets(m_c.conninfo, unit, m_c.limits);
        if (sets.error.failed() && sets.error.kind != ReadError::Kind::NotFound)
            fail(sets.error);
        return m_known[unit] = !sets.error.failed();
    }

    // A unit's Datastreams, in data set and field order (none when the server holds none).
    const std::vector<Stream>& streamsOfUnit(const QString& unit) {
        static const std::vector<Stream> none;
        if (const auto it = m_streams.find(unit); it != m_streams.end())
            return it->second;
        if (failed)
            return none;
        const UnitSets sets = readUnitSets(m_c.conninfo, unit, m_c.limits);
        if (sets.error.kind == ReadError::Kind::NotFound)
            return none;
        if (sets.error.failed()) {
            fail(sets.error);
            return none;
        }
        std::vector<Stream> streams;
        for (const QString& set : sets.dataSets) {
            const auto held = series(unit, set);
            if (!held)
                return none;
            const SetShape shape = shapeOf(held->source());
            for (const int field : shape.fields) {
                QJsonObject json = datastreamJson(m_l, unit, set, field, shape);
                QJsonObject property = withMeaning(json, unit, set, field);
                streams.push_back(
                    {StreamId{unit, set, field}, std::move(json), std::move(property)});
            }
        }
        if (streams.empty())
            m_withoutStreams.insert(unit);
        return m_streams.emplace(unit, std::move(streams)).first->second;
    }

    // The Observation at a record's segment and place, when its time is known.
    std::optional<QJsonObject> observationAt(const ObservationId& o) {
        const auto held = series(o.stream.unit, o.stream.set);
        if (!held)
            return std::nullopt;
        const std::shared_ptr<const Timeline> timeline = timelineOf(held);
        std::optional<QJsonObject> found;
        std::uint64_t index = 0;
        held->source().forEachRecord([&](const series::RecordRef& rec) {
            const Timeline::Point& p = timeline->points[index++];
            if (rec.segment == o.segment && rec.index == o.index) {
                if (p.utc.known)
                    found =
                        observationJson(m_l, o.stream.id(), rec, p.utc, o.stream.field, p.flags);
                return false;
            }
            return index < timeline->points.size();
        });
        return found;
    }

    const OfficeConfig& m_c;
    const Links& m_l;
    std::optional<QStringList> m_units;
    std::optional<fleet::SiteFacts> m_sites;
    std::map<QString, std::vector<Stream>> m_streams;
    QSet<QString> m_withoutStreams;
    std::map<QString, bool> m_known;
    std::map<std::pair<QString, QString>, DerivedSeriesCache::Held> m_series;
    std::map<QString, std::shared_ptr<const series::SiteSeries>> m_siteSeries;
    std::map<QString, std::vector<SiteStream>> m_siteStreams;
    int m_siteSeriesWeight = 0; // the units' series the site series read are built from
    long long m_built = 0, m_entities = 0;
};

// The set an entity's self link names.
std::optional<Set> setOfEntity(const QJsonObject& e) {
    const QString self = e.value(QLatin1String("@iot.selfLink")).toString();
    const qsizetype root = self.indexOf(QLatin1String(kApiRoot));
    if (root < 0)
        return std::nullopt;
    const qsizetype begin = root + qsizetype(std::strlen(kApiRoot)) + 1;
    const qsizetype open = self.indexOf(QLatin1Char('('), begin);
    return open < 0 ? std::nullopt : setNamed(QStringView(self).sliced(begin, open - begin));
}

QString idOf(const QJsonObject& e) {
    return e.value(QLatin1String("@iot.id")).toString();
}

double nowSeconds() {
    return double(QDateTime::currentMSecsSinceEpoch()) / 1000.0;
}

// The link to the page after one of `shown` entities: the same options, $skip past them.
QString nextLink(const QString& self, QMap<QString, QString> options, int top, long long skip) {
    options.insert(QStringLiteral("$top"), QString::number(top));
    options.insert(QStringLiteral("$skip"), QString::number(skip));
    QStringList query;
    for (auto it = options.cbegin(); it != options.cend(); ++it)
        query << QString::fromLatin1(QUrl::toPercentEncoding(it.key(), "$") + '=' +
                                     QUrl::toPercentEncoding(it.value()));
    return self + QLatin1Char('?') + query.join(QLatin1Char('&'));
}

// The query options applied to entities the model gives: $filter, $orderby, $count, $skip,
// $top, then $expand and $select on each of the page's.
class Shaper {
public:
    explicit Shaper(Model& model) : m_model(model) {
        m_resolve = [this](const QJsonObject& e, const QString& nav) -> std::optional<QJsonObject> {
            const std::optional<Set> set = setOfEntity(e);
            const Navigation* n = set ? navigationOf(*set, nav) : nullptr;
            if (!n || n->many)
                return std::nullopt;
            const QString key =
                idOf(e) + QLatin1Char(' ') + QLatin1String(nameOf(*set)) + QLatin1Char(' ') + nav;
            if (const auto it = m_resolved.find(key); it != m_resolved.end())
                return it->second;
            const std::vector<QJsonObject> to = m_model.follow(idOf(e), *n, {}, &e);
            std::optional<QJsonObject> found;
            if (!to.empty())
                found = to.front();
            m_resolved.emplace(key, found);
            return found;
        };
    }

    struct Page {
        QJsonArray value;
        long long total = 0;
        bool more = false;
    };

    // Filters, orders and cuts `all` (of `set`) and shapes the page's entities.
    Page collection(Set set, std::vector<QJsonObject> all, const QueryOptions& o) {
        if (o.filter)
            std::erase_if(
                all, [&](const QJsonObject& e) { return !holds(*o.filter, e, m_resolve, m_now); });
        if (!o.orderby.empty()) {
            std::vector<std::pair<std::vector<FilterValue>, std::size_t>> keys;
            keys.reserve(all.size());
            for (std::size_t i = 0; i < all.size(); ++i) {
                std::vector<FilterValue> k;
                for (const OrderKey& key : o.orderby)
                    k.push_back(pathValue(all[i], key.path, m_resolve));
                keys.emplace_back(std::move(k), i);
            }
            std::stable_sort(keys.begin(), keys.end(), [&](const auto& a, const auto& b) {
                for (std::size_t k = 0; k < o.orderby.size(); ++k) {
                    const int c = compareForOrder(a.first[k], b.first[k]);
                    if (c != 0)
                        return o.orderby[k].descending ? c > 0 : c < 0;
                }
                return false;
            });
            std::vector<QJsonObject> sorted;
            sorted.reserve(all.size());
            for (const auto& k : keys)
                sorted.push_back(std::move(all[k.second]));
            all = std::move(sorted);
        }
        Page p;
        p.total = (long long)all.size();
        for (long long i = o.skip; i < p.total && p.value.size() < o.top; ++i) {
            QJsonObject e = std::move(all[std::size_t(i)]);
            shape(set, e, o);
            p.value.append(e);
        }
        p.more = o.skip + p.value.size() < p.total && p.value.size() > 0;
        return p;
    }

    // $expand and $select on one entity of `set`.
    void shape(Set set, QJsonObject& e, const QueryOptions& o) {
        QStringList expanded;
        for (const ExpandItem& item : o.expand) {
            const Navigation* nav = navigationOf(set, item.path.front());
            if (!nav) {
                refuse(QStringLiteral("%1 have no navigation property %2")
                           .arg(QLatin1String(nameOf(set)), item.path.front().left(40)));
                return;
            }
            QueryOptions nested = item.options;
            if (item.path.size() > 1) {
                nested = QueryOptions{};
                nested.expand.push_back({item.path.mid(1), item.options});
            }
            const QString name = item.path.front();
            expanded << name;
            std::vector<QJsonObject> to = m_model.follow(
                idOf(e), *nav,
                nested.filter ? timeWindowOf(*nested.filter, QStringLiteral("phenomenonTime"))
                              : TimeWindow{},
                &e);
            if (nav->many) {
                const Page p = collection(nav->to, std::move(to), nested);
                e.insert(name, p.value);
                if (nested.count)
                    e.insert(name + QLatin1String("@iot.count"), qint64(p.total));
                if (p.more)
                    e.insert(
                        name + QLatin1String("@iot.nextLink"),
                        nextLink(e.value(name + QLatin1String("@iot.navigationLink")).toString(),
                                 nested.given, nested.top, nested.skip + p.value.size()));
            } else if (const QString option = collectionOptionOf(nested); !option.isEmpty()) {
                refuse(QStringLiteral("%1 is for a collection; %2 is a single entity: "
                                      "$select and $expand are what it takes")
                           .arg(option, name));
                return;
            } else if (!to.empty()) {
                QJsonObject one = std::move(to.front());
                shape(nav->to, one, nested);
                e.insert(name, one);
            }
        }
        if (!o.select)
            return;
        QJsonObject kept;
        for (const QString& s : *o.select) {
            const QString key = s == QLatin1String("id")         ? QStringLiteral("@iot.id")
                                : s == QLatin1String("selfLink") ? QStringLiteral("@iot.selfLink")
                                                                 : s;
            const QString link = s + QLatin1String("@iot.navigationLink");
            if (e.contains(key) && !navigationOf(set, s))
                kept.insert(key, e.value(key));
            else if (navigationOf(set, s) && e.contains(link))
                kept.insert(link, e.value(link));
            else if (!navigationOf(set, s))
                refuse(QStringLiteral("%1 have no property %2")
                           .arg(QLatin1String(nameOf(set)), s.left(40)));
        }
        for (const QString& name : expanded)
            for (const char* tail : {"", "@iot.count", "@iot.nextLink"})
                if (e.contains(name + QLatin1String(tail)))
                    kept.insert(name + QLatin1String(tail), e.value(name + QLatin1String(tail)));
        e = kept;
    }

    std::optional<Answer> refused;

private:
    void refuse(const QString& why) {
        if (!refused)
            refused = errorAnswer(400, why);
    }

    Model& m_model;
    Resolver m_resolve;
    std::map<QString, std::optional<QJsonObject>> m_resolved;
    const double m_now = nowSeconds();
};

// The request's query read: its options, or the refusal.
struct Asked {
    QueryParams params;
    QueryOptions options;
    std::optional<Answer> refused;
};

Asked ask(const Request& r) {
    Asked a;
    static const QStringList allowed = {QStringLiteral("$top"),    QStringLiteral("$skip"),
                                        QStringLiteral("$count"),  QStringLiteral("$orderby"),
                                        QStringLiteral("$filter"), QStringLiteral("$select"),
                                        QStringLiteral("$expand")};
    a.params = parseQuery(r.query, allowed);
    QueryRefusal refusal;
    if (!a.params.ok)
        a.refused =
            errorAnswer(a.params.error.contains(QLatin1String("long")) ? 413 : 400, a.params.error);
    else if (!parseQueryOptions(a.params.values, a.options, refusal))
        a.refused = errorAnswer(refusal.status, refusal.why);
    return a;
}

// A collection's answer: its page, the count when asked, the next page's link when more.
QJsonObject collectionJson(const Shaper::Page& page, const QString& self, const Asked& a) {
    QJsonObject o;
    if (a.options.count)
        o.insert(QStringLiteral("@iot.count"), qint64(page.total));
    if (page.more)
        o.insert(QStringLiteral("@iot.nextLink"), nextLink(self, a.params.values, a.options.top,
                                                           a.options.skip + page.value.size()));
    o.insert(QStringLiteral("value"), page.value);
    return o;
}

Answer notFound(const QString& what) {
    return errorAnswer(404, QStringLiteral("no such entity: %1").arg(what.left(200)));
}

// A page of Observations of one or more Datastreams (in the unit's order, one Datastream after
// another, or in their time's order) filtered on their time alone: cut from the series'
// timelines, building only the page's Observations, so that it costs about the same at any
// size of the series (the common read, which ReadLimits::mostWebObservations does not bound).
// Nullopt when the options ask more than that. `sites`: the sites' Datastreams besides, after
// the units' (their Observations cut from the site's series).
struct SiteSource {
    std::shared_ptr<const series::SiteSeries> series;
    SiteStream stream;
};
// Whole: the units' and the sites' streams merged into one page by time, in one pass.
std::optional<Shaper::Page> timeOrderedPage(Model& model, Shaper& shaper,
                                            const std::vector<StreamId>& streams,
                                            const QueryOptions& o, const Links& l,
                                            const std::vector<SiteSource>& sites = {}) {
    std::optional<TimeFilter> filter;
    if (o.filter) {
        filter = timeFilterOf(*o.filter);
        if (!filter)
            return std::nullopt;
    }
    const bool ordered = o.orderby.size() == 1 &&
                         o.orderby.front().path == QStringList{QStringLiteral("phenomenonTime")};
    if (!o.orderby.empty() && !ordered)
        return std::nullopt;
    const bool newestFirst = ordered && o.orderby.front().descending;
    Shaper::Page page;
    struct Held {
        DerivedSeriesCache::Held series;
        std::shared_ptr<const Timeline> timeline;
    };
    std::vector<Held> held;
    struct Hit {
        double t;
        std::uint32_t stream;
        std::uint64_t index;
    };
    std::vector<Hit> hits;
    for (const StreamId& id : streams) {
        const auto series = model.series(id.unit, id.set);
        if (!series)
            return page;
        held.push_back({series, timelineOf(series)});
        const std::vector<Timeline::Point>& points = held.back().timeline->points;
        for (std::uint64_t at = 0; at < points.size(); ++at) {
            const series::RecordClock::Utc& utc = points[at].utc;
            if (utc.known && (!filter || filter->holds(utc.seconds)))
                hits.push_back({utc.seconds, std::uint32_t(held.size() - 1), at});
        }
    }
    for (std::size_t k = 0; k < sites.size(); ++k)
        for (const std::size_t row :
             siteObservationRows(*sites[k].series, sites[k].stream,
                                 [&](double t) { return !filter || filter->holds(t); }))
            hits.push_back(
                {sites[k].series->rows[row].utc, std::uint32_t(streams.size() + k), row});
    if (ordered)
        std::stable_sort(hits.begin(), hits.end(), [&](const Hit& x, const Hit& y) {
            return newestFirst ? x.t > y.t : x.t < y.t;
        });
    page.total = (long long)hits.size();
    // The page's records, by their Datastream and index, each with its place in the page.
    std::vector<std::tuple<std::uint32_t, std::uint64_t, std::size_t>> wanted;
    for (long long i = o.skip; i < page.total && (long long)wanted.size() < o.top; ++i)
        wanted.emplace_back(hits[std::size_t(i)].stream, hits[std::size_t(i)].index, wanted.size());
    std::sort(wanted.begin(), wanted.end());
    std::vector<QJsonObject> built(wanted.size());
    for (auto next = wanted.begin(); next != wanted.end();) {
        const std::uint32_t s = std::get<0>(*next);
        if (s >= streams.size()) {
            const SiteSource& site = sites[s - streams.size()];
            built[std::get<2>(*next)] =
                siteObservationJson(l, *site.series, site.stream, std::get<1>(*next));
            ++next;
            continue;
        }
        const StreamId& id = streams[s];
        const QString stream = id.id();
        const std::vector<Timeline::Point>& points = held[s].timeline->points;
        std::uint64_t index = 0;
        held[s].series->source().forEachRecord([&](const series::RecordRef& rec) {
            if (next != wanted.end() && std::get<0>(*next) == s && std::get<1>(*next) == index) {
                const Timeline::Point& p = points[index];
                built[std::get<2>(*next)] =
                    observationJson(l, stream, rec, p.utc, id.field, p.flags);
                ++next;
            }
            ++index;
            return next != wanted.end() && std::get<0>(*next) == s && index < points.size();
        });
        while (next != wanted.end() && std::get<0>(*next) == s)
            ++next; // none of a series that changed under the timeline
    }
    for (QJsonObject& e : built) {
        shaper.shape(Set::Observations, e, o);
        page.value.append(std::move(e));
    }
    page.more = o.skip + page.value.size() < page.total && page.value.size() > 0;
    return page;
}

// A page of a site Datastream's Observations filtered on their time alone, in the site
// series' order (UTC) or its reverse: cut from the series, building only the page's, as
// timeOrderedPage does for a unit's. Nullopt when the options ask more than that.
std::optional<Shaper::Page> siteStreamPage(Model& model, Shaper& shaper, const QString& site,
                                           const QString& streamId, const QueryOptions& o,
                                           const Links& l) {
    std::optional<TimeFilter> filter;
    if (o.filter && !(filter = timeFilterOf(*o.filter)))
        return std::nullopt;
    const bool ordered = o.orderby.size() == 1 &&
                         o.orderby.front().path == QStringList{QStringLiteral("phenomenonTime")};
    if (!o.orderby.empty() && !ordered)
        return std::nullopt;
    Shaper::Page page;
    const auto series = model.siteSeries(site);
    const SiteStream* stream = model.siteStream(site, streamId, false);
    if (!series || !stream)
        return page;
    std::vector<std::size_t> rows = siteObservationRows(
        *series, *stream, [&](double t) { return !filter || filter->holds(t); });
    if (ordered && o.orderby.front().descending)
        std::reverse(rows.begin(), rows.end());
    page.total = (long long)rows.size();
    for (long long i = o.skip; i < page.total && page.value.size() < o.top; ++i) {
        QJsonObject e = siteObservationJson(l, *series, *stream, rows[std::size_t(i)]);
        shaper.shape(Set::Observations, e, o);
        page.value.append(std::move(e));
    }
    page.more = o.skip + page.value.size() < page.total && page.value.size() > 0;
    return page;
}

// The options the copy's SQL takes into `ask`: false when they ask more ($filter on more than
// the time and result compared with numbers, $orderby on more than the time).
bool askedOf(const QueryOptions& o, DerivedAsk& ask) {
    if (o.filter) {
        if (const std::optional<TimeFilter> filter = timeFilterOf(*o.filter))
            ask.time = filter->all;
        else if (!(ask.condition = derivedConditionOf(*o.filter)))
            return false;
    }
    if (o.orderby.size() > 1 ||
        (o.orderby.size() == 1 &&
         o.orderby.front().path != QStringList{QStringLiteral("phenomenonTime")}))
        return false;
    if (o.orderby.size() == 1)
        ask.order = o.orderby.front().descending ? DerivedAsk::Order::TimeDescending
                                                 : DerivedAsk::Order::TimeAscending;
    ask.skip = o.skip;
    ask.top = o.top;
    ask.count = o.count;
    return true;
}

// A page of Observations from the derived copy the server keeps (observation_reads.h): every
// Datastream's, or one's, with no option the copy's SQL cannot give ($filter on the time and on
// result compared with numbers, derivedConditionOf; $orderby on the time alone); their $select
// and $expand as on any page. Nullopt when the path or the options ask more, or the copy cannot
// answer as the facts stand: then derived as before.
std::optional<Answer> derivedObservationsAnswer(Model& model, Shaper& shaper,
                                                const std::vector<PathPart>& parts, const Asked& a,
                                                const Links& l, const Request& r,
                                                const OfficeConfig& c) {
    const bool every =
        parts.size() == 1 && !parts[0].key && parts[0].name == QLatin1String("Observations");
    const bool one = parts.size() == 2 && parts[0].key &&
                     parts[0].name == QLatin1String("Datastreams") && !parts[1].key &&
                     parts[1].name == QLatin1String("Observations");
    if (!every && !one)
        return std::nullopt;
    // Once a unit is deployed its records are a site's Observations too: the whole collection
    // then holds the sites' Datastreams' besides, read from their pieces.
    DerivedAsk ask;
    // Whether any is, the copy tells (the site facts are not read for it); behind the door
    // (series::siteCopyOpen) the collection with the sites' is derived as before.
    ask.sites = every;
    if (every && !series::siteCopyOpen()) {
        if (!model.sites().deployments.empty() || model.failed)
            return std::nullopt;
        ask.sites = false;
    }
    if (one) {
        if (const std::optional<QString> site = siteOfId(*parts[0].key)) {
            ask.siteStream = DerivedAsk::SiteStream{*site, *parts[0].key};
        } else {
            const std::optional<StreamId> stream = streamOf(*parts[0].key);
            if (!stream)
                return std::nullopt;
            ask.stream = DerivedAsk::Stream{stream->unit, stream->set, stream->field};
        }
    }
    // The sites' pieces are the copy too: behind its door.
    if (ask.siteStream && !series::siteCopyOpen())
        return std::nullopt;
    const QueryOptions& o = a.options;
    if (!askedOf(o, ask))
        return std::nullopt;
    const DerivedPage derived = readDerivedObservations(c.conninfo, ask, c.limits);
    if (derived.error.failed())
        return readErrorAnswer(derived.error);
    if (!derived.served) {
        if (ask.siteStream && derived.sitesBehind > 0)
            model.piecesBehind.insert(ask.siteStream->site);
        else if (ask.sites)
            model.everyPiecesBehind = derived.sitesBehind;
        return std::nullopt;
    }
    Shaper::Page page;
    for (const DerivedObservation& d : derived.rows) {
        if (d.site) {
            QJsonObject e = siteCopyObservationJson(l, *d.site);
            shaper.shape(Set::Observations, e, o);
            page.value.append(std::move(e));
            continue;
        }
        series::RecordRef rec;
        rec.segment = d.segment;
        rec.index = d.place;
        rec.line = d.record;
        series::RecordClock::Utc utc;
        utc.known = true;
        utc.seconds = d.utc;
        utc.offsetSeconds = d.offset;
        QJsonObject e = observationJson(l, StreamId{d.unit, d.dataSet, d.field}.id(), rec, utc,
                                        d.field, d.flags);
        shaper.shape(Set::Observations, e, o);
        page.value.append(std::move(e));
    }
    page.total = derived.total.value_or(0);
    page.more = derived.more && page.value.size() > 0;
    const QString self = l.root() + r.path.sliced(qsizetype(std::strlen(kApiRoot)));
    Answer answer = json(collectionJson(page, self, a));
    if (derived.seriesBehind > 0)
        answer.headers.emplace_back("X-Derived-Behind",
                                    QByteArray::number(derived.seriesBehind) + " series");
    return answer;
}

// The conformance classes the service meets whole; nothing it meets in part.
QJsonArray conformance() {
    QJsonArray classes;
    for (const char* c : {"http://www.opengis.net/spec/iot_sensing/1.1/req/datamodel",
                          "http://www.opengis.net/spec/iot_sensing/1.1/req/resource-path/"
                          "resource-path-to-entities",
                          "http://www.opengis.net/spec/iot_sensing/1.1/req/request-data"})
        classes.append(QLatin1String(c));
    return classes;
}

Answer serviceRoot(const Links& l) {
    QJsonArray sets;
    for (const auto& [set, name] : kSets)
        sets.append(QJsonObject{{QStringLiteral("name"), QLatin1String(name)},
                                {QStringLiteral("url"), l.set(name)}});
    return json({{QStringLiteral("value"), sets},
                 {QStringLiteral("serverSettings"),
                  QJsonObject{{QStringLiteral("conformance"), conformance()},
                              {QStringLiteral("note"),
                               QStringLiteral("read-only: see xrq-office(1), THE WEB SERVICE")}}}});
}

Answer noResource(const Request& r) {
    return errorAnswer(404, QStringLiteral("no such resource: %1").arg(r.path.left(200)));
}

// A property's answer: {"name": value}, or the value itself as text after $value.
Answer propertyAnswer(const QJsonObject& e, const QString& name, bool raw, const Request& r) {
    const QString key = name == QLatin1String("id")         ? QStringLiteral("@iot.id")
                        : name == QLatin1String("selfLink") ? QStringLiteral("@iot.selfLink")
                                                            : name;
    if (!e.contains(key) || name.contains(QLatin1Char('@')))
        return noResource(r);
    const QJsonValue v = e.value(key);
    if (!raw)
        return json({{key, v}});
    if (v.isNull() || v.isUndefined())
        return errorAnswer(404, QStringLiteral("%1 has no value").arg(name));
    if (v.isObject() || v.isArray())
        return errorAnswer(
            400, QStringLiteral("$value is for a plain property; %1 is not one").arg(name));
    const QByteArray text =
        v.isString() ? v.toString().toUtf8()
        : v.isBool()
            ? QByteArray(v.toBool() ? "true" : "false")
            : QJsonDocument(QJsonArray{v}).toJson(QJsonDocument::Compact).chopped(1).mid(1);
    return {200, "text/plain; charset=utf-8", text, {}};
}

QJsonObject refOf(const QJsonObject& e) {
    return {{QStringLiteral("@iot.selfLink"), e.value(QLatin1String("@iot.selfLink"))}};
}

// Where a path leads: an entity, or a collection under one (with the navigation it was reached
// by, for the Observations' own page), or an answer of its own (a property, a 404).
struct Walked {
    Set set = Set::Things;
    std::optional<QJsonObject> entity;
    std::optional<QString> parentId;
    const Navigation* via = nullptr;
    bool ref = false;
    std::optional<Answer> answer;
};

Walked walk(Model& model, const std::vector<PathPart>& parts, Set first, const Request& r) {
    Walked w;
    w.set = first;
    if (parts[0].key) {
        w.entity = model.one(w.set, *parts[0].key);
        if (!w.entity) {
            w.answer = notFound(QStringLiteral("%1('%2')").arg(parts[0].name, *parts[0].key));
            return w;
        }
    }
    std::size_t at = 1;
    for (; at < parts.size() && !parts[at].name.startsWith(QLatin1Char('$')); ++at) {
        const PathPart& p = parts[at];
        const Navigation* nav = w.entity ? navigationOf(w.set, p.name) : nullptr;
        if (!w.entity || (nav && !nav->many && p.key)) {
            w.answer = noResource(r); // after a collection only $ref; no key after a single
            return w;
        }
        if (!nav) { // a property, and perhaps its $value
            const bool raw =
                at + 2 == parts.size() && parts[at + 1].name == QLatin1String("$value");
            w.answer = !p.key && (at + 1 == parts.size() || raw)
                           ? propertyAnswer(*w.entity, p.name, raw, r)
                           : noResource(r);
            return w;
        }
        if (nav->many && !p.key) {
            w.parentId = idOf(*w.entity);
            w.via = nav;
            w.set = nav->to;
            w.entity.reset();
            continue;
        }
        std::vector<QJsonObject> to = model.follow(idOf(*w.entity), *nav, {}, &*w.entity);
        w.entity.reset();
        for (QJsonObject& e : to)
            if (!p.key || idOf(e) == *p.key)
                w.entity = std::move(e);
        w.set = nav->to;
        if (!w.entity) {
            w.answer = notFound(r.path);
            return w;
        }
    }
    w.ref = at < parts.size() && parts[at].name == QLatin1String("$ref") && at + 1 == parts.size();
    if (at < parts.size() && !w.ref)
        w.answer = noResource(r);
    return w;
}

// The page of the collection a path led to.
Shaper::Page collectionPage(Model& model, Shaper& shaper, const Walked& w, const Asked& a,
                            const Links& l) {
    std::optional<Shaper::Page> page;
    if (w.via && w.via->from == Set::Datastreams && w.set == Set::Observations) {
        if (const std::optional<StreamId> stream = streamOf(*w.parentId))
            page = timeOrderedPage(model, shaper, {*stream}, a.options, l);
        else if (const std::optional<QString> site = siteOfId(*w.parentId))
            page = siteStreamPage(model, shaper, *site, *w.parentId, a.options, l);
    } else if (!w.via && w.set == Set::Observations) {
        const std::vector<StreamId> streams = model.allStreams();
        std::vector<SiteSource> sites;
        for (const fleet::Site& site : model.sites().sites)
            for (const SiteStream& s : model.streamsOfSite(site.code))
                sites.push_back({model.siteSeries(site.code), s});
        if (model.failed)
            return {};
        page = timeOrderedPage(model, shaper, streams, a.options, l, sites);
    }
    if (page)
        return *page;
    const TimeWindow window =
        a.options.filter ? timeWindowOf(*a.options.filter, QStringLiteral("phenomenonTime"))
                         : TimeWindow{};
    std::vector<QJsonObject> all =
        w.via ? model.follow(*w.parentId, *w.via, window) : model.all(w.set, window);
    if (model.failed)
        return {};
    return shaper.collection(w.set, std::move(all), a.options);
}

} // namespace

// Whole: each resource path the web service answers, in turn, one branch a path.
Answer sensorThingsAnswer(const Request& r, const OfficeConfig& c) {
    const Links l(originOf(r));
    QStringView rest = QStringView(r.path).sliced(qsizetype(std::strlen(kApiRoot)));
    if (rest == QLatin1String("/"))
        rest = {};
    std::vector<PathPart> parts;
    if (!parseResourcePath(rest, parts))
        return noResource(r);
    const Asked a = ask(r);
    if (a.refused)
        return *a.refused;
    if (parts.empty())
        return serviceRoot(l);
    const std::optional<Set> first = setNamed(parts[0].name);
    if (!first)
        return errorAnswer(404,
                           QStringLiteral("no such collection: %1").arg(parts[0].name.left(40)));
    Model model(c, l);
    Shaper shaper(model);
    // A failed read or a bound passed comes first, then a refused option, then the answer.
    auto done = [&](Answer answer) {
        if (model.failed)
            return *model.failed;
        if (shaper.refused)
            return *shaper.refused;
        if (const int behind = model.behindCount(); behind > 0)
            answer.headers.emplace_back("X-Derived-Behind", QByteArray::number(behind) + " sites");
        return answer;
    };
    if (std::optional<Answer> derived = derivedObservationsAnswer(model, shaper, parts, a, l, r, c))
        return done(*derived);
    Walked w = walk(model, parts, *first, r);
    // A single entity (or its property) takes $select and $expand, never a collection's
    // options: refused by name rather than passed over.
    const QString option = collectionOptionOf(a.options);
    if (!option.isEmpty() && (w.entity || (w.answer && w.answer->status == 200)))
        return done(errorAnswer(400, QStringLiteral("%1 is for a collection; %2 is a single "
                                                    "entity: $select and $expand are what it "
                                                    "takes")
                                         .arg(option, r.path.left(200))));
    if (w.answer)
        return done(*w.answer);
    if (w.entity) {
        if (w.ref)
            return done(json(refOf(*w.entity)));
        shaper.shape(w.set, *w.entity, a.options);
        return done(json(*w.entity));
    }
    Shaper::Page page = collectionPage(model, shaper, w, a, l);
    if (w.ref) {
        QJsonArray refs;
        for (const QJsonValue& v : page.value)
            refs.append(refOf(v.toObject()));
        page.value = refs;
    }
    const QString self = l.root() + r.path.sliced(qsizetype(std::strlen(kApiRoot)));
    return done(json(collectionJson(page, self, a)));
}

} // namespace office

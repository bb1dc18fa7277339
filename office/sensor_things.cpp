// SPDX-License-Identifier: GPL-3.0-or-later
#include "office/sensor_things.h"

#include "office/odata_query.h"
#include "office/plot_buckets.h"
#include "office/query_params.h"
#include "office/series_counts.h"

#include "series/record_time.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QUrl>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>

namespace office {

namespace {

const QString kMeasurement =
    QStringLiteral("http://www.opengis.net/def/observationType/OGC-OM/2.0/OM_Measurement");

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

// A key in a path as a link writes it: its '%' escaped, its quotes doubled.
QString keyInLink(const QString& id) {
    QString k = id;
    k.replace(QLatin1Char('%'), QLatin1String("%25"))
        .replace(QLatin1Char('\''), QLatin1String("''"));
    return k;
}

class Links {
public:
    explicit Links(QString origin) : m_base(std::move(origin) + QLatin1String(kApiRoot)) {}
    QString entity(const char* set, const QString& id, const char* then = nullptr) const {
        QString l = m_base + QLatin1Char('/') + QLatin1String(set) + QStringLiteral("('") +
                    keyInLink(id) + QStringLiteral("')");
        if (then)
            l += QLatin1Char('/') + QLatin1String(then);
        return l;
    }
    QString set(const char* name) const { return m_base + QLatin1Char('/') + QLatin1String(name); }
    QString root() const { return m_base; }

private:
    QString m_base;
};

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
                 .arg(dataSetLabel(set))}};
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
        {QStringLiteral("unitOfMeasurement"),
         QJsonObject{{QStringLiteral("name"), QString()},
                     {QStringLiteral("symbol"), QString()},
                     {QStringLiteral("definition"), QString()}}},
        {QStringLiteral("observationType"), kMeasurement},
        {QStringLiteral("properties"),
         QJsonObject{{QStringLiteral("data_set"), dataSetLabel(set)},
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
    if (shape.first)
        o.insert(QStringLiteral("phenomenonTime"),
                 QString::fromStdString(series::isoUtc(*shape.first) + "/" +
                                        series::isoUtc(*shape.last)));
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

QJsonObject observationJson(const Links& l, const QString& datastream, std::uint64_t index,
                            const series::RecordRef& r, const series::RecordClock::Utc& utc,
                            int field, const std::string& flags) {
    const QString id = datastream + QLatin1Char('/') + QString::number(index);
    QJsonArray flagList;
    series::forEachFlag(flags, [&](std::string_view f) { flagList.append(latin1(f)); });
    return {{QStringLiteral("@iot.id"), id},
            {QStringLiteral("@iot.selfLink"), l.entity("Observations", id)},
            {QStringLiteral("phenomenonTime"), QString::fromStdString(series::isoUtc(utc.seconds))},
            {QStringLiteral("resultTime"), QJsonValue::Null},
            {QStringLiteral("result"), resultOf(r.line, field)},
            {QStringLiteral("parameters"),
             QJsonObject{{QStringLiteral("unit_time"), latin1(series::stampText(r.line))},
                         {QStringLiteral("utc_offset"),
                          QString::fromStdString(series::offsetText(utc.offsetSeconds))},
                         {QStringLiteral("segment"), r.segment},
                         {QStringLiteral("record"), latin1(r.line)},
                         {QStringLiteral("flags"), flagList}}},
            {QStringLiteral("Datastream@iot.navigationLink"),
             l.entity("Observations", id, "Datastream")}};
}

// The request's query after the path's own checks.
struct Asked {
    QueryParams params;
    ListOptions options;
    std::optional<Answer> refused;
};

Asked ask(const Request& r, bool list, bool observations) {
    Asked a;
    QStringList allowed;
    if (list)
        allowed << QStringLiteral("$top") << QStringLiteral("$skip") << QStringLiteral("$count");
    if (observations)
        allowed << QStringLiteral("$orderby") << QStringLiteral("$filter");
    a.params = parseQuery(r.query, allowed);
    QString why;
    if (!a.params.ok)
        a.refused = errorAnswer(400, a.params.error);
    else if (!parseListOptions(a.params.values, observations, a.options, why))
        a.refused = errorAnswer(400, why);
    return a;
}

// The collection's answer: its page, the count when asked, the next page's link when more.
QJsonObject collection(const QJsonArray& page, long long total, const QString& self,
                       const Asked& a) {
    QJsonObject o;
    if (a.options.count)
        o.insert(QStringLiteral("@iot.count"), qint64(total));
    if (a.options.skip + page.size() < total && page.size() > 0) {
        QStringList query;
        QMap<QString, QString> values = a.params.values;
        values.insert(QStringLiteral("$top"), QString::number(a.options.top));
        values.insert(QStringLiteral("$skip"), QString::number(a.options.skip + page.size()));
        for (auto it = values.cbegin(); it != values.cend(); ++it)
            query << QString::fromLatin1(QUrl::toPercentEncoding(it.key(), "$") + '=' +
                                         QUrl::toPercentEncoding(it.value()));
        o.insert(QStringLiteral("@iot.nextLink"),
                 self + QLatin1Char('?') + query.join(QLatin1Char('&')));
    }
    o.insert(QStringLiteral("value"), page);
    return o;
}

QJsonArray slice(const std::vector<QJsonObject>& all, const ListOptions& o) {
    QJsonArray page;
    for (long long i = o.skip; i < (long long)all.size() && page.size() < o.top; ++i)
        page.append(all[std::size_t(i)]);
    return page;
}

// A Datastream's identity read back.
struct StreamId {
    QString unit, set;
    int field = 0;
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

Answer notFound(const QString& what) {
    return errorAnswer(404, QStringLiteral("no such entity: %1").arg(what.left(200)));
}

// Every Datastream of a unit, in data set and field order.
struct Streams {
    ReadError error;
    std::vector<QJsonObject> all;
};
Streams streamsOf(const Links& l, const QString& unit, const OfficeConfig& c) {
    Streams s;
    const UnitSets sets = readUnitSets(c.conninfo, unit, c.limits);
    if (sets.error.failed()) {
        s.error = sets.error;
        return s;
    }
    for (const QString& set : sets.dataSets) {
        const auto held = readDerivedSeries(c.conninfo, unit, set, c.limits, s.error);
        if (!held)
            return s;
        const SetShape shape = shapeOf(held->source());
        for (const int field : shape.fields)
            s.all.push_back(datastreamJson(l, unit, set, field, shape));
    }
    return s;
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

// One Datastream's Observations (the one at `only` alone when given): cut from the series kept
// derived, whose signature this role read within DerivedSeriesCache::kRecentFor, else read
// again.
Answer observations(const Links& l, const Request& r, const OfficeConfig& c, const StreamId& id,
                    const Asked& a, std::optional<std::uint64_t> only) {
    ReadError error;
    const auto held = readDerivedSeries(c.conninfo, id.unit, id.set, c.limits, error,
                                        DerivedSeriesCache::kRecentFor);
    if (!held)
        return readErrorAnswer(error);
    const series::RecordSource source = held->source();
    const std::shared_ptr<const Timeline> timeline = timelineOf(held);
    const std::vector<Timeline::Point>& points = timeline->points;
    const ListOptions& o = a.options;
    struct Hit {
        double t;
        std::uint64_t index;
    };
    std::vector<Hit> hits;
    for (std::uint64_t at = 0; at < points.size(); ++at) {
        const series::RecordClock::Utc& utc = points[at].utc;
        if (!utc.known || (only && at != *only) || (o.filtered && !o.filter.holds(utc.seconds)))
            continue;
        hits.push_back({utc.seconds, at});
    }
    if (o.ordered)
        std::stable_sort(hits.begin(), hits.end(), [&](const Hit& x, const Hit& y) {
            return o.newestFirst ? x.t > y.t : x.t < y.t;
        });
    const long long total = (long long)hits.size();
    // The page's records, by their index, each with its place in the page.
    std::vector<std::pair<std::uint64_t, std::size_t>> wanted;
    for (long long i = only ? 0 : o.skip; i < total && (only || (long long)wanted.size() < o.top);
         ++i)
        wanted.emplace_back(hits[std::size_t(i)].index, wanted.size());
    if (only && wanted.empty())
        return notFound(QStringLiteral("Observations('%1')").arg(r.path));
    std::sort(wanted.begin(), wanted.end());
    std::vector<QJsonObject> page(wanted.size());
    const QString stream = joinId({id.unit, id.set, QString::number(id.field)});
    std::uint64_t index = 0;
    auto next = wanted.begin();
    source.forEachRecord([&](const series::RecordRef& rec) {
        if (next != wanted.end() && next->first == index) {
            const Timeline::Point& p = points[index];
            page[next->second] = observationJson(l, stream, index, rec, p.utc, id.field, p.flags);
            ++next;
        }
        ++index;
        return next != wanted.end() && index < points.size();
    });
    if (only)
        return json(page.front());
    QJsonArray value;
    for (QJsonObject& obs : page)
        value.append(std::move(obs));
    return json(collection(value, total, l.entity("Datastreams", stream, "Observations"), a));
}

Answer serviceRoot(const Links& l) {
    QJsonArray sets;
    for (const char* name : {"Things", "Locations", "HistoricalLocations", "Datastreams", "Sensors",
                             "Observations", "ObservedProperties", "FeaturesOfInterest"})
        sets.append(QJsonObject{{QStringLiteral("name"), QLatin1String(name)},
                                {QStringLiteral("url"), l.set(name)}});
    return json({{QStringLiteral("value"), sets},
                 {QStringLiteral("serverSettings"),
                  QJsonObject{{QStringLiteral("conformance"), QJsonArray{}},
                              {QStringLiteral("note"),
                               QStringLiteral("read-only; a part of the sensing core: see "
                                              "xrq-office(1), THE WEB SERVICE")}}}});
}

Answer emptyCollection(const Request& r) {
    const Asked a = ask(r, true, false);
    if (a.refused)
        return *a.refused;
    QJsonObject o{{QStringLiteral("value"), QJsonArray{}}};
    if (a.options.count)
        o.insert(QStringLiteral("@iot.count"), 0);
    return json(o);
}

Answer unitList(const Links& l, const Request& r, const OfficeConfig& c, bool sensors) {
    const Asked a = ask(r, true, false);
    if (a.refused)
        return *a.refused;
    const UnitList units = readUnitList(c.conninfo, a.options.skip, a.options.top, c.limits);
    if (units.error.failed())
        return readErrorAnswer(units.error);
    QJsonArray page;
    for (const QString& u : units.units)
        page.append(sensors ? sensorJson(l, u) : thingJson(l, u));
    return json(collection(page, units.total, l.set(sensors ? "Sensors" : "Things"), a));
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
        return errorAnswer(404, QStringLiteral("no such resource: %1").arg(r.path.left(200)));
    if (parts.empty()) {
        const Asked a = ask(r, false, false);
        return a.refused ? *a.refused : serviceRoot(l);
    }
    auto is = [&](std::size_t i, const char* name, bool keyed) {
        return i < parts.size() && parts[i].name == QLatin1String(name) &&
               parts[i].key.has_value() == keyed;
    };
    const QString key = parts[0].key.value_or(QString());
    // Collections at the root.
    if (parts.size() == 1 && !parts[0].key) {
        if (is(0, "Things", false))
            return unitList(l, r, c, false);
        if (is(0, "Sensors", false))
            return unitList(l, r, c, true);
        if (is(0, "Locations", false) || is(0, "HistoricalLocations", false) ||
            is(0, "FeaturesOfInterest", false))
            return emptyCollection(r);
        if (is(0, "Datastreams", false) || is(0, "Observations", false) ||
            is(0, "ObservedProperties", false))
            return errorAnswer(400, QStringLiteral("%1 are not served whole here: reach them "
                                                   "from a Thing, as Things('SITE1')/Datastreams")
                                        .arg(parts[0].name));
        return errorAnswer(404,
                           QStringLiteral("no such collection: %1").arg(parts[0].name.left(40)));
    }
    // Things('u'), Sensors('u') and what they lead to.
    if (is(0, "Things", true) || is(0, "Sensors", true)) {
        const bool sensor = is(0, "Sensors", true);
        const std::optional<QStringList> id = splitId(key, 1);
        if (!id)
            return notFound(parts[0].name);
        const QString unit = id->front();
        if (parts.size() == 1) {
            const Asked a = ask(r, false, false);
            if (a.refused)
                return *a.refused;
            const UnitSets sets = readUnitSets(c.conninfo, unit, c.limits);
            if (sets.error.failed())
                return readErrorAnswer(sets.error);
            return json(sensor ? sensorJson(l, unit) : thingJson(l, unit));
        }
        if (parts.size() == 2 && is(1, "Datastreams", false)) {
            const Asked a = ask(r, true, false);
            if (a.refused)
                return *a.refused;
            const Streams s = streamsOf(l, unit, c);
            if (s.error.failed())
                return readErrorAnswer(s.error);
            return json(collection(slice(s.all, a.options), (long long)s.all.size(),
                                   l.entity(sensor ? "Sensors" : "Things", key, "Datastreams"), a));
        }
        if (!sensor && parts.size() == 2 &&
            (is(1, "Locations", false) || is(1, "HistoricalLocations", false)))
            return emptyCollection(r);
        return errorAnswer(404, QStringLiteral("no such resource: %1").arg(r.path.left(200)));
    }
    if (is(0, "Datastreams", true)) {
        const std::optional<StreamId> id = streamOf(key);
        if (!id)
            return notFound(QStringLiteral("Datastreams"));
        if (parts.size() == 2 && is(1, "Observations", false)) {
            const Asked a = ask(r, true, true);
            return a.refused ? *a.refused : observations(l, r, c, *id, a, std::nullopt);
        }
        const Asked a = ask(r, false, false);
        if (a.refused)
            return *a.refused;
        if (parts.size() == 2 && is(1, "Thing", false))
            return json(thingJson(l, id->unit));
        if (parts.size() == 2 && is(1, "Sensor", false))
            return json(sensorJson(l, id->unit));
        if (parts.size() == 2 && is(1, "ObservedProperty", false))
            return json(propertyJson(l, id->set, id->field));
        if (parts.size() != 1)
            return errorAnswer(404, QStringLiteral("no such resource: %1").arg(r.path.left(200)));
        ReadError error;
        const auto held = readDerivedSeries(c.conninfo, id->unit, id->set, c.limits, error);
        if (!held)
            return readErrorAnswer(error);
        const SetShape shape = shapeOf(held->source());
        if (std::find(shape.fields.begin(), shape.fields.end(), id->field) == shape.fields.end())
            return notFound(QStringLiteral("Datastreams"));
        return json(datastreamJson(l, id->unit, id->set, id->field, shape));
    }
    if (is(0, "Observations", true)) {
        const std::optional<QStringList> p = splitId(key, 4);
        bool ok = false;
        const qulonglong index = p ? (*p)[3].toULongLong(&ok) : 0;
        const std::optional<StreamId> id =
            p ? streamOf(joinId({(*p)[0], (*p)[1], (*p)[2]})) : std::nullopt;
        if (!ok || !id)
            return notFound(QStringLiteral("Observations"));
        const Asked a = ask(r, false, false);
        if (a.refused)
            return *a.refused;
        if (parts.size() == 2 && is(1, "Datastream", false)) {
            Request streamRequest = r;
            streamRequest.path = QLatin1String(kApiRoot) + QStringLiteral("/Datastreams('") +
                                 joinId({id->unit, id->set, QString::number(id->field)}) +
                                 QStringLiteral("')");
            streamRequest.query.clear();
            return sensorThingsAnswer(streamRequest, c);
        }
        if (parts.size() != 1)
            return errorAnswer(404, QStringLiteral("no such resource: %1").arg(r.path.left(200)));
        return observations(l, r, c, *id, a, index);
    }
    if (is(0, "ObservedProperties", true) && parts.size() == 1) {
        const std::optional<QStringList> p = splitId(key, 2);
        bool ok = false;
        const int field = p ? (*p)[1].toInt(&ok) : 0;
        if (!ok || field < 1)
            return notFound(QStringLiteral("ObservedProperties"));
        const Asked a = ask(r, false, false);
        return a.refused ? *a.refused : json(propertyJson(l, (*p)[0], field));
    }
    return errorAnswer(404, QStringLiteral("no such resource: %1").arg(r.path.left(200)));
}

} // namespace office

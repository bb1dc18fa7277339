// SPDX-License-Identifier: GPL-3.0-or-later
#include "office/office_pages.h"

#include "office/html_text.h"
#include "office/plot_battery.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTimeZone>

#include <algorithm>
#include <cmath>
#include <map>
#include <string_view>

namespace office {

namespace {

constexpr std::int64_t kDayMs = 24LL * 3600 * 1000;

QString unitLink(const QString& unit) {
    return QStringLiteral("<a href=\"/unit?u=%1\">%2</a>").arg(queryValue(unit), html(unit));
}

QString seriesHref(const QString& unit, const QString& set) {
    return QStringLiteral("/series?u=%1&amp;set=%2").arg(queryValue(unit), queryValue(set));
}

// The page around a body: our own style sheet and script only; who is signed in, with the
// sign-out, in its header.
QByteArray page(const QString& title, const QString& body, const PageContext& context,
                const QString& scripts = {}) {
    QString out = QStringLiteral("<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
                                 "<meta name=\"viewport\" content=\"width=device-width, "
                                 "initial-scale=1\"><title>");
    out += html(title);
    out += QStringLiteral(
        " - XRQ office</title><link rel=\"stylesheet\" href=\"/static/office.css\">");
    out += scripts;
    out += QStringLiteral("</head><body><header><a href=\"/units\">XRQ office</a>");
    if (!context.signedInAs.isEmpty())
        out += QStringLiteral("<form id=\"sign-out\" method=\"post\" action=\"/sign-out\">"
                              "<span>%1</span> <button type=\"submit\">Sign out</button></form>")
                   .arg(html(context.signedInAs));
    out += QStringLiteral(" <nav><a href=\"/units\">Units</a> <a href=\"/sites\">Sites</a></nav>"
                          "</header><main>");
    out += body;
    out += QStringLiteral("</main><script src=\"/static/office.js\"></script></body></html>\n");
    return out.toUtf8();
}

// A small line of the values, drawn by the page itself (no script): the battery's trend.
QString sparkline(const std::vector<double>& values, int width, int height, const QString& cls) {
    if (values.empty())
        return {};
    const auto [lo, hi] = std::minmax_element(values.begin(), values.end());
    const bool flat = !(*hi - *lo > 1e-9);
    QString points;
    for (std::size_t i = 0; i < values.size(); ++i) {
        const double x = values.size() == 1
                             ? width / 2.0
                             : 2 + (width - 4) * double(i) / double(values.size() - 1);
        // Equal readings run across the middle, not along an edge.
        const double y =
            flat ? height / 2.0 : height - 2 - (height - 4) * (values[i] - *lo) / (*hi - *lo);
        points += QStringLiteral("%1,%2 ").arg(x, 0, 'f', 1).arg(y, 0, 'f', 1);
    }
    // The newest reading as a dot: one reading alone is a dot, not an invisible line.
    const QStringList last =
        points.trimmed().split(QLatin1Char(' ')).last().split(QLatin1Char(','));
    return QStringLiteral("<svg class=\"%1\" viewBox=\"0 0 %2 %3\" width=\"%2\" height=\"%3\" "
                          "role=\"img\"><polyline points=\"%4\"/>"
                          "<circle cx=\"%5\" cy=\"%6\" r=\"2\"/></svg>")
        .arg(cls)
        .arg(width)
        .arg(height)
        .arg(points.trimmed(), last.value(0), last.value(1));
}

QString volts(double v) {
    return QString::number(v, 'f', 1) + QStringLiteral(" V");
}

QString verdictText(const UnitRow& u) {
    if (!u.lastDownloadSafe)
        return QStringLiteral("no download");
    if (*u.lastDownloadSafe)
        return QStringLiteral("safe");
    return u.lastDownloadReasons.isEmpty()
               ? QStringLiteral("not safe")
               : QStringLiteral("not safe: ") + u.lastDownloadReasons.join(QStringLiteral("; "));
}

// What a row of the Units page leaves aside: facts stamped by a clock ahead, and facts not
// read (with who pushed them, in the title).
QString asideNotes(long long ahead, const fleet::UnreadFacts& unread) {
    QString notes;
    if (ahead > 0)
        notes += QStringLiteral(" <small class=\"ahead\">%1 stamped by a clock ahead</small>")
                     .arg(ahead);
    if (!unread.empty())
        notes += QStringLiteral(" <small class=\"unread\" title=\"%1\">%2 not read</small>")
                     .arg(html(unread.told()))
                     .arg(unread.count);
    return notes;
}

QString footer(std::int64_t readAtMs) {
    return QStringLiteral("<p class=\"read\" id=\"read-at\">Read from the server at %1.</p>")
        .arg(html(utcText(readAtMs)));
}

} // namespace

Lateness lateness(std::optional<std::int64_t> lastVisitMs, std::int64_t nowMs, int intervalDays) {
    Lateness l;
    if (!lastVisitMs) {
        l.text = QStringLiteral("never visited");
        return l;
    }
    const long long days = std::max<std::int64_t>(0, (nowMs - *lastVisitMs) / kDayMs);
    l.daysSince = days;
    l.late = days > intervalDays;
    if (l.late)
        l.text = QStringLiteral("late: %1 days, interval %2").arg(days).arg(intervalDays);
    else
        l.text = days == 0   ? QStringLiteral("today")
                 : days == 1 ? QStringLiteral("1 day ago")
                             : QStringLiteral("%1 days ago").arg(days);
    return l;
}

QString utcText(std::int64_t ms) {
    return QDateTime::fromMSecsSinceEpoch(ms, QTimeZone::utc())
               .toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) +
           QStringLiteral(" UTC");
}

QString historyDetail(const HistoryItem& item) {
    const QJsonObject& p = item.payload;
    auto str = [&](const char* key) { return p.value(QLatin1String(key)).toString(); };
    if (item.kind == QLatin1String("download")) {
        QStringList reasons;
        for (const QJsonValue& r : p.value(QLatin1String("reasons")).toArray())
            reasons << r.toString();
        QString sets;
        for (const QJsonValue& s : p.value(QLatin1String("set_lines")).toArray()) {
            const QJsonObject set = s.toObject();
            sets += QStringLiteral(", %1: %2 lines")
                        .arg(set.value(QLatin1String("name")).toString(),
                             QString::number(set.value(QLatin1String("lines")).toInt()));
        }
        const bool safe = p.value(QLatin1String("safe")).toBool();
        return (safe ? QStringLiteral("safe")
                     : QStringLiteral("not safe") +
                           (reasons.isEmpty()
                                ? QString()
                                : QStringLiteral(": ") + reasons.join(QStringLiteral("; ")))) +
               sets;
    }
    if (item.kind == QLatin1String("battery"))
        return QStringLiteral("%1, %2 °C")
            .arg(volts(p.value(QLatin1String("volts")).toDouble()))
            .arg(p.value(QLatin1String("celsius")).toDouble(), 0, 'f', 1);
    if (item.kind == QLatin1String("clear"))
        return p.value(QLatin1String("confirmed")).toBool()
                   ? QStringLiteral("memory cleared, confirmed by the unit")
                   : QStringLiteral("clear sent, not confirmed");
    if (item.kind == QLatin1String("clock_set")) {
        const QJsonValue offset = p.value(QLatin1String("utc_offset"));
        return QStringLiteral("set to %1").arg(str("sent")) +
               (offset.isDouble() ? QStringLiteral(" (UTC offset %1 min)").arg(offset.toInt() / 60)
                                  : QString());
    }
    if (item.kind == QLatin1String("visit")) {
        const QJsonValue port = p.value(QLatin1String("port"));
        return port.isDouble() ? QStringLiteral("on COM%1").arg(port.toInt()) : QString();
    }
    if (item.kind == QLatin1String("link"))
        return QStringLiteral("download %1").arg(str("download"));
    if (item.kind == QLatin1String("kept_download"))
        return QStringLiteral("the download's bytes are kept on the server");
    return {};
}

QString kindText(const QString& kind) {
    static const std::map<QString, QString> words = {
        {QStringLiteral("download"), QStringLiteral("download")},
        {QStringLiteral("battery"), QStringLiteral("battery reading")},
        {QStringLiteral("clear"), QStringLiteral("memory clear")},
        {QStringLiteral("clock_set"), QStringLiteral("clock set")},
        {QStringLiteral("visit"), QStringLiteral("visit")},
        {QStringLiteral("link"), QStringLiteral("download linked")},
        {QStringLiteral("kept_download"), QStringLiteral("raw download kept")},
        {QStringLiteral("judged_again"), QStringLiteral("download judged again")},
    };
    const auto it = words.find(kind);
    return it != words.end() ? it->second
                             : QString(kind).replace(QLatin1Char('_'), QLatin1Char(' '));
}

namespace {

// "37,566": thousands apart, as the pages write sizes whatever the server's locale.
QString grouped(qint64 n) {
    QString s = QString::number(n);
    for (qsizetype i = s.size() - 3; i > (n < 0 ? 1 : 0); i -= 3)
        s.insert(i, QLatin1Char(','));
    return s;
}

} // namespace

QString historyFacts(const HistoryItem& item) {
    const QJsonObject& p = item.payload;
    QStringList facts;
    const QJsonValue size = p.value(QLatin1String("size"));
    if (size.isDouble())
        facts << grouped(size.toInteger()) + QStringLiteral(" bytes");
    for (const char* key : {"sha256", "hash", "identity"}) {
        const QString v = p.value(QLatin1String(key)).toString();
        if (!v.isEmpty())
            facts << (key == std::string_view("sha256") ? QStringLiteral("SHA-256 ") : QString()) +
                         v;
    }
    return facts.join(QStringLiteral(", "));
}

QByteArray unitsPage(const UnitsOverview& o, const PageContext& context) {
    // Beside each unit's "not read": what a disowned role's facts left out of every unit.
    QString body = QStringLiteral("<h1>Units</h1>");
    if (!o.leftOut.isEmpty())
        body += QStringLiteral("<p class=\"unread\" id=\"left-out\">%1</p>").arg(html(o.leftOut));
    body += QStringLiteral(
        "<p class=\"tools\"><label>Filter <input id=\"filter\" type=\"search\" "
        "placeholder=\"serial, laptop, data set...\"></label> <span id=\"shown\"></span></p>"
        "<p class=\"scroll-hint\">Scroll the table sideways for more.</p><div "
        "class=\"scroll\"><table id=\"units\" class=\"sortable\"><thead><tr>"
        "<th data-type=\"text\">Serial</th><th data-type=\"number\">Last visit, days</th>"
        "<th data-type=\"text\">Last download</th><th data-type=\"number\">Battery</th>"
        "<th data-type=\"number\">Last visit</th><th data-type=\"text\">Laptop</th>"
        "<th data-type=\"number\">Records</th><th data-type=\"number\">Disputed</th>"
        "<th data-type=\"number\">Last clear</th><th data-type=\"text\">Data sets</th>"
        "</tr></thead><tbody>");
    for (const UnitRow& u : o.units) {
        const Lateness late = lateness(u.lastVisitMs, o.readAtMs,
                                       u.visitIntervalDays.value_or(context.visitIntervalDays));
        QStringList sets;
        for (const QString& s : u.dataSets)
            sets << QStringLiteral("<a href=\"%1\">%2</a>")
                        .arg(seriesHref(u.unit, s), html(dataSetLabel(s)));
        const QString verdict = verdictText(u);
        body += QStringLiteral("<tr class=\"%1\">")
                    .arg(late.late ? QStringLiteral("late") : QStringLiteral("due"));
        body += QStringLiteral("<td data-sort=\"%1\">%2%3</td>")
                    .arg(html(u.unit), unitLink(u.unit), asideNotes(u.aheadFacts, u.unread));
        body += QStringLiteral("<td data-sort=\"%1\" class=\"lateness\">%2</td>")
                    .arg(late.daysSince.value_or(1LL << 40))
                    .arg(html(late.text));
        body += QStringLiteral("<td class=\"%1\">%2</td>")
                    .arg(u.lastDownloadSafe.value_or(true) ? QStringLiteral("safe")
                                                           : QStringLiteral("unsafe"),
                         html(verdict));
        body += QStringLiteral("<td data-sort=\"%1\">%2 %3</td>")
                    .arg(u.battery.empty() ? -1.0 : u.battery.back())
                    .arg(sparkline(u.battery, 60, 18, QStringLiteral("spark")),
                         u.battery.empty() ? QStringLiteral("-") : volts(u.battery.back()));
        body += QStringLiteral("<td data-sort=\"%1\">%2</td>")
                    .arg(u.lastVisitMs.value_or(0))
                    .arg(u.lastVisitMs ? html(utcText(*u.lastVisitMs)) : QStringLiteral("-"));
        body += QStringLiteral("<td>%1</td>").arg(html(u.lastVisitLaptop));
        // A data set too large to count at once, or not counted within the read's time, is
        // said: the figures are then the least held.
        body += QStringLiteral("<td data-sort=\"%1\">%1%2</td>")
                    .arg(u.records)
                    .arg(u.uncountedSets > 0 ? QStringLiteral("+ (not all counted)") : QString());
        body += QStringLiteral("<td data-sort=\"%1\" class=\"%2\">%1</td>")
                    .arg(u.disputed)
                    .arg(u.disputed > 0 ? QStringLiteral("disputed") : QString());
        body += QStringLiteral("<td data-sort=\"%1\">%2</td>")
                    .arg(u.lastClearMs.value_or(0))
                    .arg(u.lastClearMs ? html(utcText(*u.lastClearMs)) : QStringLiteral("-"));
        body +=
            QStringLiteral("<td class=\"sets\">%1</td></tr>").arg(sets.join(QStringLiteral(", ")));
    }
    body += QStringLiteral("</tbody></table></div>");
    if (o.more)
        body += QStringLiteral("<p class=\"more\">Only the first %1 units are shown.</p>")
                    .arg(o.units.size());
    const bool own = std::any_of(o.units.begin(), o.units.end(), [&](const UnitRow& u) {
        return u.visitIntervalDays != o.organisationIntervalDays;
    });
    body += QStringLiteral("<p id=\"interval\">A unit is late when its last visit is more than "
                           "%1 days ago (%2)%3.</p>")
                .arg(o.organisationIntervalDays.value_or(context.visitIntervalDays))
                .arg(o.organisationIntervalDays ? QStringLiteral("the interval the server keeps")
                                                : QStringLiteral("none is kept on the server"))
                .arg(own ? QStringLiteral(", or after its own interval where the server keeps one")
                         : QString());
    body += footer(o.readAtMs);
    return page(QStringLiteral("Units"), body, context);
}

// Whole: the unit page top to bottom as the reader sees it.
QByteArray unitPage(const QString& unit, const UnitDetail& d, const PageContext& context) {
    std::optional<std::int64_t> lastVisit;
    long long ahead = 0;
    for (const HistoryItem& h : d.history)
        ahead += h.ahead;
    // A visit stamped by a clock ahead is never the last one: the unit would never be late.
    for (const HistoryItem& h : d.history)
        if (h.kind == QLatin1String("visit") && !h.ahead) {
            lastVisit = h.occurredAtMs;
            break;
        }
    const Lateness late =
        lateness(lastVisit, d.readAtMs, d.visitIntervalDays.value_or(context.visitIntervalDays));
    QString body = QStringLiteral("<h1>Unit %1</h1><p class=\"%2\">Last visit: %3</p>")
                       .arg(html(unit), late.late ? QStringLiteral("late") : QStringLiteral("due"),
                            html(late.text));
    if (!d.unread.empty())
        body +=
            QStringLiteral("<p class=\"unread\" id=\"not-read\">%1</p>").arg(html(d.unread.told()));
    if (!d.leftOut.isEmpty())
        body += QStringLiteral("<p class=\"unread\" id=\"left-out\">%1</p>").arg(html(d.leftOut));
    if (ahead > 0)
        body +=
            QStringLiteral("<p class=\"ahead\" id=\"clock-ahead\">%1 stamped by a clock "
                           "ahead (well after the server received them): none of them counts as "
                           "the last visit.</p>")
                .arg(ahead == 1 ? QStringLiteral("1 entry")
                                : QStringLiteral("%1 entries").arg(ahead));
    body += QStringLiteral("<h2>Series</h2><p class=\"scroll-hint\">Scroll the table sideways for "
                           "more.</p><div class=\"scroll\"><table id=\"series\"><thead>"
                           "<tr><th>Data set</th>"
                           "<th>Records</th><th>Segments</th><th>Gaps</th><th>Disputed</th>"
                           "</tr></thead><tbody>");
    for (const SeriesSummary& s : d.series)
        body += QStringLiteral("<tr><td><a href=\"%1\">%2</a></td><td>%3</td><td>%4</td>"
                               "<td>%5</td><td class=\"%6\">%7</td></tr>")
                    // One pass: a link's "%1F" (a data set's separator) is no place holder.
                    .arg(seriesHref(unit, s.dataSet), html(dataSetLabel(s.dataSet)),
                         s.counted ? QString::number(s.records)
                                   : QStringLiteral("too many to count here"),
                         QString::number(s.segments), QString::number(s.gaps),
                         s.disputed > 0 ? QStringLiteral("disputed") : QString(),
                         QString::number(s.disputed));
    if (d.series.empty())
        body += QStringLiteral("<tr><td colspan=\"5\">No records shared.</td></tr>");
    body += QStringLiteral("</tbody></table></div><h2>Battery</h2>");
    if (d.battery.empty()) {
        body += QStringLiteral("<p>No battery readings.</p>");
    } else {
        std::vector<std::pair<std::int64_t, double>> readings(d.battery.begin(), d.battery.end());
        std::vector<double> values;
        for (const auto& b : d.battery)
            values.push_back(b.second);
        const auto [lo, hi] = std::minmax_element(values.begin(), values.end());
        const QString caption =
            values.size() == 1
                ? QStringLiteral("1 reading: %1 at %2")
                      .arg(volts(values.front()), html(utcText(d.battery.front().first)))
                : QStringLiteral("%1 readings, %2 to %3, from %4 to %5")
                      .arg(QString::number(values.size()), volts(*lo), volts(*hi),
                           html(utcText(d.battery.front().first)),
                           html(utcText(d.battery.back().first)));
        body += QStringLiteral("<figure id=\"battery\">%1<figcaption>%2</figcaption></figure>")
                    .arg(batteryChart(readings, 600, 220), caption);
    }
    body += QStringLiteral("<h2>History</h2><p class=\"scroll-hint\">Scroll the table sideways for "
                           "more.</p><div class=\"scroll\"><table id=\"history\"><thead>"
                           "<tr><th>When</th><th>What</th><th>Laptop</th><th>Pushed by</th>"
                           "<th>Detail</th></tr></thead><tbody>");
    for (const HistoryItem& h : d.history) {
        const QString cls =
            h.kind == QLatin1String("download") && !h.payload.value(QLatin1String("safe")).toBool()
                ? QStringLiteral(" class=\"unsafe\"")
                : QString();
        // Sizes and hashes are for whoever checks a copy: behind a detail, not in the line.
        const QString facts = historyFacts(h);
        body += QStringLiteral("<tr%1><td>%2</td><td>%3</td><td>%4</td><td>%5</td>"
                               "<td class=\"detail\">%6%7</td></tr>")
                    .arg(cls,
                         html(utcText(h.occurredAtMs)) +
                             (h.ahead ? QStringLiteral(" <em class=\"ahead\">stamped by a clock "
                                                       "ahead</em>")
                                      : QString()),
                         html(kindText(h.kind)), html(h.laptop), html(h.pushedBy),
                         html(historyDetail(h)),
                         facts.isEmpty() ? QString()
                                         : QStringLiteral("<details><summary>size and hash"
                                                          "</summary>%1</details>")
                                               .arg(html(facts)));
    }
    body += QStringLiteral("</tbody></table></div>");
    if (d.moreHistory)
        body += QStringLiteral("<p class=\"more\">Only the newest %1 entries are shown.</p>")
                    .arg(d.history.size());
    body += footer(d.readAtMs);
    return page(QStringLiteral("Unit ") + unit, body, context);
}

QByteArray seriesPage(const QString& unit, const QString& dataSet, const PageContext& context) {
    const QString csv =
        QStringLiteral("/csv?u=%1&amp;set=%2").arg(queryValue(unit), queryValue(dataSet));
    QString body = QStringLiteral("<h1>%1, unit %2</h1><p><a href=\"/unit?u=%3\">Unit %2</a> | "
                                  "<a id=\"csv\" href=\"%4\">CSV of the range shown</a> | "
                                  "<a id=\"whole\" href=\"#\">Whole series</a></p>")
                       .arg(html(dataSetLabel(dataSet)), html(unit), queryValue(unit), csv);
    body +=
        QStringLiteral("<p id=\"plot-clock\"></p><div id=\"plot\" data-query=\"u=%1&amp;set=%2\">"
                       "</div>"
                       "<p id=\"plot-status\">Loading...</p>"
                       "<p class=\"hint\">Drag across the plot to zoom: the range is read "
                       "again at the resolution shown; Whole series goes back. Red squares "
                       "mark flagged records, dashed lines the start of a segment.</p>")
            .arg(queryValue(unit), queryValue(dataSet));
    return page(dataSetLabel(dataSet) + QStringLiteral(", unit ") + unit, body, context,
                QStringLiteral("<link rel=\"stylesheet\" href=\"/static/dygraph.css\">"
                               "<script src=\"/static/dygraph.js\"></script>"));
}

QByteArray errorPage(int status, const QString& message, const PageContext& context) {
    const QString title = status == 404   ? QStringLiteral("Not found")
                          : status == 400 ? QStringLiteral("Not understood")
                          : status == 413 ? QStringLiteral("Too large to show here")
                          : status == 405 ? QStringLiteral("Not allowed")
                                          : QStringLiteral("Not available now");
    const QString body = QStringLiteral("<h1>%1</h1><p id=\"error\" class=\"refused\">%2</p>"
                                        "<p><a href=\"/units\">Back to the units</a></p>")
                             .arg(html(title), html(message));
    return page(title, body, context);
}

QByteArray signInPage(const QString& message, const QString& next, const QString& role) {
    QString body = QStringLiteral("<h1>Sign in</h1>");
    if (!message.isEmpty())
        body += QStringLiteral("<p class=\"refused\" id=\"refused\">%1</p>").arg(html(message));
    body +=
        QStringLiteral("<form id=\"sign-in\" method=\"post\" action=\"/sign-in\">"
                       "<p><label>Role <input name=\"role\" autocomplete=\"username\" required "
                       "value=\"%1\"></label></p><p><label>Password <input name=\"password\" "
                       "type=\"password\" autocomplete=\"current-password\" required></label></p>"
                       "<input type=\"hidden\" name=\"next\" value=\"%2\">"
                       "<p><button type=\"submit\">Sign in</button></p></form>"
                       "<p class=\"hint\">Your own role on the organisation's server, a member of "
                       "xrq_office; its owner grants it (xrq-series admin grant-office ROLE).</p>")
            .arg(html(role), html(next));
    return page(QStringLiteral("Sign in"), body, PageContext{});
}

QByteArray officePage(const QString& title, const QString& body, const PageContext& context,
                      const QString& scripts) {
    return page(title, body, context, scripts);
}

QString sparklineSvg(const std::vector<double>& values, int width, int height) {
    return sparkline(values, width, height, QStringLiteral("spark"));
}

QJsonObject unitsJson(const UnitsOverview& o, const PageContext& context) {
    QJsonArray units;
    auto ms = [](const std::optional<std::int64_t>& v) {
        return v ? QJsonValue(qint64(*v)) : QJsonValue(QJsonValue::Null);
    };
    for (const UnitRow& u : o.units) {
        const Lateness late = lateness(u.lastVisitMs, o.readAtMs,
                                       u.visitIntervalDays.value_or(context.visitIntervalDays));
        QJsonArray battery;
        for (const double v : u.battery)
            battery.append(v);
        units.append(QJsonObject{
            {QStringLiteral("unit"), u.unit},
            {QStringLiteral("data_sets"), QJsonArray::fromStringList(u.dataSets)},
            {QStringLiteral("last_visit"), ms(u.lastVisitMs)},
            {QStringLiteral("last_visit_laptop"), u.lastVisitLaptop},
            {QStringLiteral("days_since"),
             late.daysSince ? QJsonValue(qint64(*late.daysSince)) : QJsonValue(QJsonValue::Null)},
            {QStringLiteral("late"), late.late},
            {QStringLiteral("visit_interval_days"),
             u.visitIntervalDays.value_or(context.visitIntervalDays)},
            {QStringLiteral("last_download"), ms(u.lastDownloadMs)},
            {QStringLiteral("last_download_safe"),
             u.lastDownloadSafe ? QJsonValue(*u.lastDownloadSafe) : QJsonValue(QJsonValue::Null)},
            {QStringLiteral("last_download_reasons"),
             QJsonArray::fromStringList(u.lastDownloadReasons)},
            {QStringLiteral("battery"), battery},
            {QStringLiteral("records"), qint64(u.records)},
            {QStringLiteral("disputed"), qint64(u.disputed)},
            {QStringLiteral("all_counted"), u.uncountedSets == 0},
            {QStringLiteral("last_clear"), ms(u.lastClearMs)},
            {QStringLiteral("clock_ahead"), qint64(u.aheadFacts)},
            {QStringLiteral("not_read"), qint64(u.unread.count)},
            {QStringLiteral("not_read_told"), u.unread.told()},
        });
    }
    return {{QStringLiteral("read_at"), qint64(o.readAtMs)},
            {QStringLiteral("visit_interval_days"),
             o.organisationIntervalDays.value_or(context.visitIntervalDays)},
            {QStringLiteral("more"), o.more},
            {QStringLiteral("left_out"), o.leftOut},
            {QStringLiteral("units"), units}};
}

namespace {

// The plot's marks: lines at segment starts, and each flagged point with its kind, the value
// of the plot's first column there and the values of every column plotted (null: drawn at the
// foot of its small plot), as the viewer marks them; and the count of each flag over the range.
QJsonObject marksJson(const SeriesPlot& p) {
    const PlotMarks& m = p.marks;
    auto num = [](double v) {
        return std::isnan(v) ? QJsonValue(QJsonValue::Null) : QJsonValue(v);
    };
    QJsonArray starts, points, counts;
    for (const double t : m.segmentStarts)
        starts.append(qint64(std::llround(t * 1000)));
    for (const PlotMark& mark : m.points) {
        QJsonArray values;
        for (const std::size_t field : p.fields)
            values.append(num(field < mark.values.size() ? mark.values[field] : std::nan("")));
        points.append(QJsonArray{qint64(std::llround(mark.t * 1000)), mark.kind,
                                 values.isEmpty() ? QJsonValue(QJsonValue::Null) : values.first(),
                                 values});
    }
    for (const auto& [flag, n] : m.counts)
        counts.append(QJsonArray{flag, qint64(n)});
    return {{QStringLiteral("segment_starts"), starts},
            {QStringLiteral("kinds"), QJsonArray::fromStringList(m.kinds)},
            {QStringLiteral("points"), points},
            {QStringLiteral("counts"), counts}};
}

} // namespace

std::vector<PlotColumn> plotColumns(const SeriesPlot& p) {
    std::vector<PlotColumn> columns;
    for (qsizetype c = 0; c < p.columns.size(); ++c) {
        PlotColumn column;
        // Named by plotColumnName where the reader did; else by the label's words.
        const bool named = p.names.size() == p.columns.size() && p.units.size() == p.columns.size();
        column.name = named ? p.names[c] : nameOfTitle(p.columns[c]);
        column.unit = named ? p.units[c] : unitOfTitle(p.columns[c]);
        for (const PlotBucket& b : p.buckets) {
            const std::size_t i = std::size_t(c);
            if (i >= b.low.size() || std::isnan(b.low[i]) || std::isnan(b.high[i]))
                continue;
            column.lo = column.any ? std::min(column.lo, b.low[i]) : b.low[i];
            column.hi = column.any ? std::max(column.hi, b.high[i]) : b.high[i];
            column.any = true;
        }
        columns.push_back(column);
    }
    return columns;
}

QJsonObject plotJson(const SeriesPlot& p) {
    auto num = [](double v) {
        return std::isnan(v) ? QJsonValue(QJsonValue::Null) : QJsonValue(v);
    };
    QJsonArray rows;
    for (const PlotBucket& b : p.buckets) {
        QJsonArray row{qint64(std::llround(b.t * 1000))};
        for (std::size_t c = 0; c < b.low.size(); ++c)
            row.append(QJsonArray{num(b.low[c]), num(b.mean[c]), num(b.high[c])});
        rows.append(row);
    }
    const std::vector<PlotColumn> columns = plotColumns(p);
    QJsonArray names, units, groups;
    for (const PlotColumn& c : columns) {
        names.append(c.name);
        units.append(c.unit);
    }
    for (const std::vector<std::size_t>& group : plotGroups(columns)) {
        QJsonArray g;
        for (const std::size_t c : group)
            g.append(qint64(c));
        groups.append(g);
    }
    const PlotClock clock = plotClock(p.utcRecords, p.unitRecords);
    return {{QStringLiteral("columns"), QJsonArray::fromStringList(p.columns)},
            {QStringLiteral("names"), names},
            {QStringLiteral("units"), units},
            {QStringLiteral("groups"), groups},
            {QStringLiteral("clock"), plotClockKey(clock)},
            {QStringLiteral("clock_title"), plotClockTitle(clock)},
            {QStringLiteral("titles"), QJsonArray::fromStringList(p.titles)},
            {QStringLiteral("from"), qint64(std::llround(p.from * 1000))},
            {QStringLiteral("to"), qint64(std::llround(p.to * 1000))},
            {QStringLiteral("first"), qint64(std::llround(p.first * 1000))},
            {QStringLiteral("last"), qint64(std::llround(p.last * 1000))},
            {QStringLiteral("records"), qint64(p.records)},
            {QStringLiteral("without_time"), qint64(p.flagged)},
            {QStringLiteral("rows"), rows},
            {QStringLiteral("marks"), marksJson(p)}};
}

QJsonObject errorJson(int status, const QString& message) {
    return {{QStringLiteral("error"), QJsonObject{{QStringLiteral("status"), status},
                                                  {QStringLiteral("message"), message}}}};
}

} // namespace office

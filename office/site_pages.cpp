// SPDX-License-Identifier: GPL-3.0-or-later
#include "office/site_pages.h"

#include "office/html_text.h"

#include <QJsonArray>
#include <QUrl>

#include <algorithm>
#include <cmath>

namespace office {

namespace {

QString siteHref(const QString& code) {
    return QStringLiteral("/site?site=") + queryValue(code);
}

QString unitLink(const QString& unit) {
    return QStringLiteral("<a href=\"/unit?u=%1\">%2</a>").arg(queryValue(unit), html(unit));
}

QString unitLinks(const QStringList& units) {
    QStringList links;
    for (const QString& u : units)
        links << unitLink(u);
    return links.join(QStringLiteral(", "));
}

QString volts(double v) {
    return QString::number(v, 'f', 1) + QStringLiteral(" V");
}

// A coordinate for a data attribute: plain decimals, nothing else.
QString coordinate(double v) {
    return QString::number(v, 'f', 6);
}

bool hasPosition(const SiteRow& s) {
    return s.longitude && s.latitude && std::isfinite(*s.longitude) && std::isfinite(*s.latitude) &&
           std::abs(*s.latitude) <= 90 && std::abs(*s.longitude) <= 180;
}

// The attributes the map's script reads a site's marker from (office.js, siteMap).
QString mapAttributes(const SiteRow& s, bool late) {
    if (!hasPosition(s))
        return {};
    return QStringLiteral(" data-lat=\"%1\" data-lon=\"%2\" data-code=\"%3\" data-name=\"%4\" "
                          "data-late=\"%5\"")
        .arg(coordinate(*s.latitude), coordinate(*s.longitude), html(s.code), html(s.name),
             late ? QStringLiteral("1") : QStringLiteral("0"));
}

QString noteText(const SiteNote& n) {
    return QStringLiteral("%1: %2").arg(n.category.isEmpty() ? QStringLiteral("other") : n.category,
                                        n.text);
}

// The map's box: the script draws in it (markers on a plain background with a scale and a
// graticule, and tiles only where --tile-url gives them); without the script it stays empty.
QString mapBox(const PageContext& context, const QString& cls) {
    return QStringLiteral("<div id=\"site-map\" class=\"%1\" data-tiles=\"%2\" role=\"img\" "
                          "aria-label=\"Map of the sites\"></div>")
        .arg(cls, html(tileOrigin(context.tileUrl).isEmpty() ? QString() : context.tileUrl));
}

const QString kMapScripts = QStringLiteral("<link rel=\"stylesheet\" href=\"/static/leaflet.css\">"
                                           "<script src=\"/static/leaflet.js\"></script>");

QString footer(std::int64_t readAtMs) {
    return QStringLiteral("<p class=\"read\" id=\"read-at\">Read from the server at %1.</p>")
        .arg(html(utcText(readAtMs)));
}

QJsonValue optionalNumber(const std::optional<double>& v) {
    return v && std::isfinite(*v) ? QJsonValue(*v) : QJsonValue(QJsonValue::Null);
}

QJsonValue optionalMs(const std::optional<std::int64_t>& v) {
    return v ? QJsonValue(qint64(*v)) : QJsonValue(QJsonValue::Null);
}

QJsonObject noteJson(const SiteNote& n) {
    return {{QStringLiteral("at"), qint64(n.atMs)},
            {QStringLiteral("category"), n.category},
            {QStringLiteral("text"), n.text},
            {QStringLiteral("author"), n.author},
            {QStringLiteral("unit"), n.unit}};
}

QJsonObject siteRowJson(const SiteRow& s, std::int64_t readAtMs, std::optional<int> organisation,
                        const PageContext& context) {
    const int interval = siteIntervalDays(s, organisation, context);
    const Lateness late = lateness(s.lastVisitMs, readAtMs, interval);
    QJsonArray battery;
    for (const double v : s.battery)
        battery.append(v);
    return {{QStringLiteral("code"), s.code},
            {QStringLiteral("name"), s.name},
            {QStringLiteral("longitude"), optionalNumber(s.longitude)},
            {QStringLiteral("latitude"), optionalNumber(s.latitude)},
            {QStringLiteral("elevation"), optionalNumber(s.elevation)},
            {QStringLiteral("visit_interval_days"), interval},
            {QStringLiteral("current_units"), QJsonArray::fromStringList(s.currentUnits)},
            {QStringLiteral("last_visit"), optionalMs(s.lastVisitMs)},
            {QStringLiteral("last_visit_laptop"), s.lastVisitLaptop},
            {QStringLiteral("last_visit_unit"), s.lastVisitUnit},
            {QStringLiteral("late"), late.late},
            {QStringLiteral("battery"), battery},
            {QStringLiteral("last_note"),
             s.lastNote ? QJsonValue(noteJson(*s.lastNote)) : QJsonValue(QJsonValue::Null)}};
}

} // namespace

int siteIntervalDays(const SiteRow& site, std::optional<int> organisationDays,
                     const PageContext& context) {
    if (site.visitIntervalDays && *site.visitIntervalDays > 0)
        return *site.visitIntervalDays;
    if (organisationDays && *organisationDays > 0)
        return *organisationDays;
    return context.visitIntervalDays;
}

std::vector<QStringList> deploymentOverlaps(const std::vector<SiteDeployment>& deployments,
                                            std::int64_t nowMs) {
    // A handful of deployments a site (the read's limit bounds them): every pair compared.
    std::vector<QStringList> out(deployments.size());
    auto end = [&](const SiteDeployment& d) { return d.toMs.value_or(std::max(nowMs, d.fromMs)); };
    for (std::size_t i = 0; i < deployments.size(); ++i)
        for (std::size_t j = 0; j < deployments.size(); ++j) {
            const SiteDeployment& a = deployments[i];
            const SiteDeployment& b = deployments[j];
            if (i == j || a.unit == b.unit)
                continue;
            if (a.fromMs < end(b) && b.fromMs < end(a) && !out[i].contains(b.unit))
                out[i] << b.unit;
        }
    return out;
}

QString positionText(const SiteRow& s) {
    if (!hasPosition(s))
        return {};
    QString text = QStringLiteral("%1° %2, %3° %4")
                       .arg(std::abs(*s.latitude), 0, 'f', 5)
                       .arg(*s.latitude < 0 ? QLatin1Char('S') : QLatin1Char('N'))
                       .arg(std::abs(*s.longitude), 0, 'f', 5)
                       .arg(*s.longitude < 0 ? QLatin1Char('W') : QLatin1Char('E'));
    if (s.elevation && std::isfinite(*s.elevation))
        text += QStringLiteral(", %1 m").arg(*s.elevation, 0, 'f', 0);
    return text;
}

QString tileOrigin(const QString& url) {
    if (url.size() > 500)
        return {};
    for (const QChar c : url)
        if (c.unicode() <= 0x20 || c.unicode() >= 0x7f || c == QLatin1Char('"') ||
            c == QLatin1Char('\'') || c == QLatin1Char('<') || c == QLatin1Char('>') ||
            c == QLatin1Char('\\'))
            return {};
    for (const char* part : {"{z}", "{x}", "{y}"})
        if (!url.contains(QLatin1String(part)))
            return {};
    const QUrl parsed(QString(url)
                          .replace(QLatin1Char('{'), QLatin1Char('_'))
                          .replace(QLatin1Char('}'), QLatin1Char('_')),
                      QUrl::StrictMode);
    const QString scheme = parsed.scheme();
    if (!parsed.isValid() || parsed.host().isEmpty() || !parsed.userInfo().isEmpty() ||
        (scheme != QLatin1String("https") && scheme != QLatin1String("http")))
        return {};
    return parsed.toString(QUrl::RemovePath | QUrl::RemoveQuery | QUrl::RemoveFragment |
                           QUrl::StripTrailingSlash);
}

QByteArray sitesPage(const SitesOverview& o, const PageContext& context) {
    QString body = QStringLiteral("<h1>Sites</h1>");
    body += mapBox(context, QStringLiteral("sites-map"));
    body += QStringLiteral(
        "<p class=\"tools\"><label>Filter <input id=\"filter\" type=\"search\" "
        "placeholder=\"site, unit, laptop, note...\"></label> <span id=\"shown\"></span></p>"
        "<p class=\"scroll-hint\">Scroll the table sideways for more.</p><div "
        "class=\"scroll\"><table id=\"sites\" class=\"sortable\"><thead><tr>"
        "<th data-type=\"text\">Site</th><th data-type=\"number\">Last visit, days</th>"
        "<th data-type=\"text\">Unit now</th><th data-type=\"number\">Battery</th>"
        "<th data-type=\"number\">Last visit</th><th data-type=\"text\">By</th>"
        "<th data-type=\"number\">Last note</th>"
        "</tr></thead><tbody>");
    for (const SiteRow& s : o.sites) {
        const int interval = siteIntervalDays(s, o.organisationIntervalDays, context);
        const Lateness late = lateness(s.lastVisitMs, o.readAtMs, interval);
        body += QStringLiteral("<tr class=\"%1\"%2>")
                    .arg(late.late ? QStringLiteral("late") : QStringLiteral("due"),
                         mapAttributes(s, late.late));
        // The code and name first, then what a planner looks for: a phone shows these.
        body += QStringLiteral("<td data-sort=\"%1\"><a href=\"%2\">%1</a><br><span "
                               "class=\"name\">%3</span></td>")
                    .arg(html(s.code), siteHref(s.code), html(s.name));
        body += QStringLiteral("<td data-sort=\"%1\" class=\"lateness\" title=\"interval %2 "
                               "days\">%3</td>")
                    .arg(late.daysSince.value_or(1LL << 40))
                    .arg(interval)
                    .arg(html(late.text));
        body +=
            QStringLiteral("<td class=\"%1\">%2</td>")
                .arg(s.currentUnits.size() > 1 ? QStringLiteral("overlap") : QString(),
                     s.currentUnits.isEmpty() ? QStringLiteral("none") : unitLinks(s.currentUnits));
        body += QStringLiteral("<td data-sort=\"%1\">%2 %3</td>")
                    .arg(s.battery.empty() ? -1.0 : s.battery.back())
                    .arg(sparklineSvg(s.battery, 60, 18),
                         s.battery.empty() ? QStringLiteral("-") : volts(s.battery.back()));
        body += QStringLiteral("<td data-sort=\"%1\">%2</td>")
                    .arg(s.lastVisitMs.value_or(0))
                    .arg(s.lastVisitMs ? html(utcText(*s.lastVisitMs)) : QStringLiteral("-"));
        body +=
            QStringLiteral("<td>%1</td>")
                .arg(s.lastVisitLaptop.isEmpty()
                         ? QString()
                         : html(s.lastVisitLaptop) + (s.lastVisitUnit.isEmpty()
                                                          ? QString()
                                                          : QStringLiteral(" <small>(%1)</small>")
                                                                .arg(html(s.lastVisitUnit))));
        if (s.lastNote)
            body += QStringLiteral("<td data-sort=\"%1\" class=\"note\">%2 <small>%3, %4</small>"
                                   "</td></tr>")
                        .arg(s.lastNote->atMs)
                        .arg(html(noteText(*s.lastNote)), html(utcText(s.lastNote->atMs)),
                             html(s.lastNote->author));
        else
            body += QStringLiteral("<td data-sort=\"0\" class=\"note\">-</td></tr>");
    }
    if (o.sites.empty())
        body += QStringLiteral("<tr><td colspan=\"7\">No sites are kept on the server "
                               "(xrq-series admin adds them).</td></tr>");
    body += QStringLiteral("</tbody></table></div>");
    if (o.more)
        body += QStringLiteral("<p class=\"more\">Only the first %1 sites are shown.</p>")
                    .arg(o.sites.size());
    body += QStringLiteral("<p id=\"interval\">A site is late when its last visit is more than "
                           "its own visit interval ago, else more than %1 days (%2).</p>")
                .arg(o.organisationIntervalDays.value_or(context.visitIntervalDays))
                .arg(o.organisationIntervalDays ? QStringLiteral("the organisation's interval")
                                                : QStringLiteral("the service's interval"));
    body += footer(o.readAtMs);
    return officePage(QStringLiteral("Sites"), body, context, kMapScripts);
}

QByteArray sitePage(const SiteDetail& d, const PageContext& context, bool series) {
    const SiteRow& s = d.site;
    const int interval = siteIntervalDays(s, d.organisationIntervalDays, context);
    const Lateness late = lateness(s.lastVisitMs, d.readAtMs, interval);
    QString body = QStringLiteral("<h1>Site %1: %2</h1>").arg(html(s.code), html(s.name));
    if (!d.description.isEmpty())
        body += QStringLiteral("<p class=\"description\">%1</p>").arg(html(d.description));
    const QString position = positionText(s);
    body += QStringLiteral("<p id=\"position\">%1</p>")
                .arg(position.isEmpty() ? QStringLiteral("No position given.") : html(position));
    body += QStringLiteral("<p class=\"%1\" id=\"lateness\">Last visit: %2 (interval %3 days%4)"
                           "</p>")
                .arg(late.late ? QStringLiteral("late") : QStringLiteral("due"), html(late.text))
                .arg(interval)
                .arg(s.visitIntervalDays ? QStringLiteral(", the site's own") : QString());
    if (!position.isEmpty())
        body += QStringLiteral("<div id=\"site-marker\" hidden%1></div>")
                    .arg(mapAttributes(s, late.late)) +
                mapBox(context, QStringLiteral("site-map"));

    // Deployments: every one as recorded, two at once shown side by side.
    const std::vector<QStringList> overlaps = deploymentOverlaps(d.deployments, d.readAtMs);
    body += QStringLiteral(
        "<h2>Deployments</h2><p class=\"scroll-hint\">Scroll the table "
        "sideways for more.</p><div class=\"scroll\"><table id=\"deployments\">"
        "<thead><tr><th>Unit</th><th>From</th><th>To</th><th>Beside</th></tr></thead><tbody>");
    for (std::size_t i = 0; i < d.deployments.size(); ++i) {
        const SiteDeployment& dep = d.deployments[i];
        const bool overlap = !overlaps[i].isEmpty();
        body += QStringLiteral("<tr%1><td>%2</td><td>%3</td><td>%4</td><td>%5</td></tr>")
                    .arg(overlap ? QStringLiteral(" class=\"overlap\"") : QString(),
                         unitLink(dep.unit), html(utcText(dep.fromMs)),
                         dep.toMs ? html(utcText(*dep.toMs)) : QStringLiteral("still there"),
                         overlap ? QStringLiteral("side by side with ") + unitLinks(overlaps[i])
                                 : QString());
    }
    if (d.deployments.empty())
        body += QStringLiteral("<tr><td colspan=\"4\">No unit deployed here yet.</td></tr>");
    body += QStringLiteral("</tbody></table></div>");

    if (series) {
        const QString query = QStringLiteral("site=") + queryValue(s.code);
        body += QStringLiteral(
                    "<h2>Series</h2><p><a id=\"csv\" href=\"/csv/site?%1\">CSV of the range "
                    "shown</a> | <a id=\"whole\" href=\"#\">Whole series</a></p>"
                    "<p id=\"plot-clock\"></p><div id=\"plot\" data-api=\"/api/site-series\" "
                    "data-csv=\"/csv/site\" data-query=\"%1\"></div>"
                    "<p id=\"plot-status\">Loading...</p><p class=\"hint\">Each property across "
                    "the units deployed here, calibrated; a solid line marks where a unit's "
                    "deployment starts (a swap), red squares flagged records. Drag across the "
                    "plot to zoom.</p>")
                    .arg(query);
    }

    body += QStringLiteral("<h2>Notes</h2><p class=\"scroll-hint\">Scroll the table sideways for "
                           "more.</p><div class=\"scroll\"><table id=\"notes\"><thead><tr>"
                           "<th>When</th><th>Kind</th><th>About</th><th>By</th><th>Note</th>"
                           "</tr></thead><tbody>");
    for (const SiteNote& n : d.notes)
        body += QStringLiteral("<tr><td>%1</td><td>%2</td><td>%3</td><td>%4</td>"
                               "<td class=\"detail\">%5</td></tr>")
                    .arg(html(utcText(n.atMs)),
                         html(n.category.isEmpty() ? QStringLiteral("other") : n.category),
                         n.unit.isEmpty() ? QStringLiteral("the site") : unitLink(n.unit),
                         html(n.author), html(n.text));
    if (d.notes.empty())
        body += QStringLiteral("<tr><td colspan=\"5\">No notes.</td></tr>");
    body += QStringLiteral("</tbody></table></div>");
    if (d.moreNotes)
        body += QStringLiteral("<p class=\"more\">Only the newest %1 notes are shown.</p>")
                    .arg(d.notes.size());
    body += footer(d.readAtMs);
    QString scripts = position.isEmpty() ? QString() : kMapScripts;
    if (series)
        scripts += QStringLiteral("<link rel=\"stylesheet\" href=\"/static/dygraph.css\">"
                                  "<script src=\"/static/dygraph.js\"></script>");
    return officePage(QStringLiteral("Site ") + s.code, body, context, scripts);
}

QJsonObject sitesJson(const SitesOverview& o, const PageContext& context) {
    QJsonArray sites;
    for (const SiteRow& s : o.sites)
        sites.append(siteRowJson(s, o.readAtMs, o.organisationIntervalDays, context));
    return {{QStringLiteral("read_at"), qint64(o.readAtMs)},
            {QStringLiteral("more"), o.more},
            {QStringLiteral("sites"), sites}};
}

QJsonObject siteJson(const SiteDetail& d, const PageContext& context) {
    const std::vector<QStringList> overlaps = deploymentOverlaps(d.deployments, d.readAtMs);
    QJsonArray deployments, notes;
    for (std::size_t i = 0; i < d.deployments.size(); ++i) {
        const SiteDeployment& dep = d.deployments[i];
        deployments.append(
            QJsonObject{{QStringLiteral("unit"), dep.unit},
                        {QStringLiteral("from"), qint64(dep.fromMs)},
                        {QStringLiteral("to"), optionalMs(dep.toMs)},
                        {QStringLiteral("beside"), QJsonArray::fromStringList(overlaps[i])}});
    }
    for (const SiteNote& n : d.notes)
        notes.append(noteJson(n));
    QJsonObject out = siteRowJson(d.site, d.readAtMs, d.organisationIntervalDays, context);
    out.insert(QStringLiteral("description"), d.description);
    out.insert(QStringLiteral("deployments"), deployments);
    out.insert(QStringLiteral("notes"), notes);
    out.insert(QStringLiteral("more_notes"), d.moreNotes);
    out.insert(QStringLiteral("read_at"), qint64(d.readAtMs));
    return out;
}

} // namespace office

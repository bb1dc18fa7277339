// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The office's pages of places: the Sites page (one row per site, with the map of their
// positions) and a site's page (its deployments, overlaps shown, its notes and the plot of its
// series across swaps), and their JSON. Made from what office_reads reads, every text through
// html_text's html(), scripts only from the service's own /static/. Pure: reads in, bytes out.

#include "office/office_pages.h"
#include "office/office_reads.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <optional>
#include <vector>

namespace office {

// The visit interval a site is late by: its own, else the organisation's on the server, else
// the service's --visit-interval.
int siteIntervalDays(const SiteRow& site, std::optional<int> organisationDays,
                     const PageContext& context);

// For each deployment (in the order given), the other units deployed at the site over part of
// its time: two units side by side, shown, never resolved. A deployment still running ends at
// `nowMs`; one ending where the next starts does not overlap it.
std::vector<QStringList> deploymentOverlaps(const std::vector<SiteDeployment>& deployments,
                                            std::int64_t nowMs);

// "47.37690° N, 8.54170° E, 408 m"; empty without a position.
QString positionText(const SiteRow& site);

// Whether a tile URL may be configured: https:// or http://, a host, and {z}, {x} and {y}; no
// quote, space or angle bracket. The origin it fetches from ("https://tiles.example.org"), or
// empty when refused.
QString tileOrigin(const QString& url);

QByteArray sitesPage(const SitesOverview& overview, const PageContext& context);
// `series`: whether the site's series is served (its plot and CSV link are shown).
QByteArray sitePage(const SiteDetail& detail, const PageContext& context, bool series = true);

QJsonObject sitesJson(const SitesOverview& overview, const PageContext& context);
QJsonObject siteJson(const SiteDetail& detail, const PageContext& context);

} // namespace office

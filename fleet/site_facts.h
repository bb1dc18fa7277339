// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What the organisation knows of its places, kept on its server as facts like every other
// (xrq.site_facts, from server schema 11 on): sites, which unit is deployed where from when,
// removals, what each column of a data set means, linear calibrations and field notes. A fact
// is added, never updated or deleted; each has a key (what it is about) and the newest fact
// of a kind for the same key counts, the older ones stay as its history (who said what when).
// A fact that takes an earlier one back is a newer fact of the same key marked withdrawn.
//
//   kind         key (worked out by the server, xrq.site_fact_key)      what it says
//   site         its code                                                name, position, ...
//   deployment   unit and the instant it was deployed                    at which site
//   removal      unit and the instant it was taken away                  (ends a deployment)
//   meaning      unit (or every unit), data set, column, from            property, its unit
//   calibration  unit (or every unit), data set, column, from            a*x+b until `to`
//   note         the note's own UUID                                     text, category, by
//
// A deployment lasts until the unit's removal or its next deployment, whichever comes first;
// two units at one site at the same time are both shown (side by side), never resolved.
//
// Read by every role that reads the server (laptops, xrq-series, the office) through
// xrq.owned_site_facts, which leaves out a disowned laptop role's facts; values are taken
// through server_values.h: a fact whose value does not pass is skipped and counted in
// `unread`, never thrown on. Times are ms since 1970 UTC.

#include "fleet/fact_values.h"
#include "fleet/pg_connection.h"

#include <QString>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string_view>
#include <variant>
#include <vector>

namespace fleet {

// The first server schema that holds these facts.
inline constexpr int kSiteFactsSchemaVersion = 11;

struct Site {
    QString code; // never changes: letters, digits, '-', '_', '.', 1 to 40
    QString name;
    QString description;
    double longitude = 0;            // WGS 84, degrees, -180 to 180
    double latitude = 0;             // WGS 84, degrees, -90 to 90
    std::optional<double> elevation; // metres
    std::optional<int> visitDays;    // the site's own visit interval, before the organisation's
};

struct Deployment {
    QString unit; // serial
    QString site; // code
    std::int64_t fromMs = 0;
    // Worked out (resolveDeployments): the unit's removal or next deployment after fromMs;
    // none while it is deployed.
    std::optional<std::int64_t> toMs;
    // Another unit is deployed at the same site for part of this one's time.
    bool sideBySide = false;
};

struct Removal {
    QString unit;
    std::int64_t atMs = 0;
};

// A unit of measurement by its UCUM code, with how it is shown and said.
struct UnitOfMeasure {
    QString code;   // UCUM ("Cel", "hPa", "[pH]")
    QString symbol; // "°C"
    QString name;   // "degree Celsius"
};
// The curated list of common units (commonUnits) and a lookup in it by UCUM code; a code not
// in it is taken as given (symbol: the code, name empty) where the data manager adds one.
const std::vector<UnitOfMeasure>& commonUnits();
std::optional<UnitOfMeasure> commonUnit(const QString& code);

// What a column of a data set means from `fromMs` on.
struct ColumnMeaning {
    QString unit;    // serial; empty: every unit whose data set has this name
    QString dataSet; // the data set's name
    int column = 1;  // the record's field as the export numbers it (field_N), from 1
    std::int64_t fromMs = 0;
    QString property;   // the observed property's name ("Water temperature")
    QString definition; // its definition URI; may be empty
    UnitOfMeasure uom;
};

// value = a * raw + b for records whose UTC is within [fromMs, toMs) (no toMs: open).
struct Calibration {
    QString unit; // empty: every unit
    QString dataSet;
    int column = 1;
    std::int64_t fromMs = 0;
    std::optional<std::int64_t> toMs;
    double a = 1;
    double b = 0;
};

enum class NoteCategory { Maintenance, Calibration, Damage, Other };
// "maintenance", "calibration", "damage", "other"
QString noteCategoryName(NoteCategory category);
std::optional<NoteCategory> noteCategoryFromName(const QString& name);

struct FieldNote {
    QString id;   // its UUID, made when it was written
    QString site; // about a site, or
    QString unit; // about a unit (either may be empty, not both)
    std::int64_t atMs = 0;
    NoteCategory category = NoteCategory::Other;
    QString text;
    QString by; // who wrote it, as they gave their name
};

enum class SiteFactKind { Site, Deployment, Removal, Meaning, Calibration, Note };
// The kind's word in xrq.site_facts ("site", "deployment", ...).
const char* siteFactKindName(SiteFactKind kind);
std::optional<SiteFactKind> siteFactKindFromName(std::string_view name);

using SiteFactValue =
    std::variant<Site, Deployment, Removal, ColumnMeaning, Calibration, FieldNote>;

// One fact as the server holds it, with where it came from.
struct SiteFactRecord {
    SiteFactKind kind = SiteFactKind::Site;
    QString key;
    SiteFactValue value;
    bool withdrawn = false; // takes back the fact of this key before it
    std::int64_t receivedMs = 0;
    QString pushedBy; // the role that added it
    QString laptop;   // the laptop's name it gave ("" for the data manager's commands)
    std::int64_t arrival = 0;
};

// The facts that count now: the newest of each key, withdrawn ones left out; deployments'
// ends and side-by-side marks worked out (resolveDeployments).
struct SiteFacts {
    bool ok = false;
    QString error;                       // why it could not be read
    std::vector<Site> sites;             // by code
    std::vector<Deployment> deployments; // by site, then fromMs
    std::vector<Removal> removals;
    std::vector<ColumnMeaning> meanings;
    std::vector<Calibration> calibrations;
    std::vector<FieldNote> notes; // by atMs
    UnreadFacts unread;
    // Of the facts read: how many, and the newest arrival among them. Facts are only added,
    // so a reader that keeps what it builds from them (the office's site series) knows them
    // unchanged by these two.
    long long factsRead = 0;
    std::int64_t newestArrival = 0;

    const Site* site(const QString& code) const;
    // The deployments at `site` (every unit), by fromMs.
    std::vector<Deployment> deploymentsAt(const QString& site) const;
    // Where `unit` is deployed at `atMs`, if anywhere (the latest deployment begun by then).
    std::optional<Deployment> deploymentOf(const QString& unit, std::int64_t atMs) const;
};

// The facts that count, through an open connection. A server before schema 11 holds none: ok,
// and nothing. With `site`, only what that site's view needs, every fact of each key read so
// that the site, its deployments (their ends and side-by-side marks), its notes (a unit's too,
// where the unit was then) and its units' meanings and calibrations are those of the whole read:
// the site, the deployments and notes naming it, every fact of the units ever deployed there,
// and the meanings and calibrations of those units and of every unit.
SiteFacts readSiteFacts(PgConnection& connection, std::chrono::milliseconds timeout,
                        const std::optional<QString>& site = std::nullopt);

// Only some of the facts: the sites of these codes, the deployments and removals of these
// units, the calibrations of the data sets `dataSets` and the column meanings of those of
// `meaningSets` (of every unit); the rest of the server's facts are not read. What a site fact
// write's checks need (fleet/site_fact_writes.h), and a unit's plot its columns' meanings.
struct SiteFactScope {
    std::vector<QString> sites, units, dataSets, meaningSets;
};
SiteFacts readSiteFacts(PgConnection& connection, std::chrono::milliseconds timeout,
                        const SiteFactScope& scope);

// Every fact, oldest first (by arrival), withdrawn ones and those replaced since included;
// with `kind` and `key`, the history of that one thing.
struct SiteFactHistory {
    bool ok = false;
    QString error;
    std::vector<SiteFactRecord> facts;
    UnreadFacts unread;
};
SiteFactHistory readSiteFactHistory(PgConnection& connection, std::chrono::milliseconds timeout,
                                    const std::optional<SiteFactKind>& kind = std::nullopt,
                                    const std::optional<QString>& key = std::nullopt);

// Pure rules over facts already read, one place for every reader.
// The newest of each key (facts oldest first), withdrawn ones left out, into a SiteFacts.
SiteFacts currentSiteFacts(const std::vector<SiteFactRecord>& facts);
// Each deployment's end (the unit's first removal or next deployment after it) and whether
// another unit shares its site for part of its time; sorted by site, then fromMs.
void resolveDeployments(std::vector<Deployment>& deployments, const std::vector<Removal>& removals);
// The meaning of a column at `atMs`: the unit's own (latest fromMs <= atMs), else that of
// every unit's data set of this name.
const ColumnMeaning* meaningOf(const std::vector<ColumnMeaning>& meanings, const QString& unit,
                               const QString& dataSet, int column, std::int64_t atMs);
// The calibration of a column at `atMs` (the unit's own before every unit's), if any.
const Calibration* calibrationOf(const std::vector<Calibration>& calibrations, const QString& unit,
                                 const QString& dataSet, int column, std::int64_t atMs);
// A calibration among `held` for the same unit (or every unit), data set and column whose
// window overlaps that of `c` (one of the same key is not counted: it is replaced).
const Calibration* overlappingCalibration(const std::vector<Calibration>& held,
                                          const Calibration& c);

} // namespace fleet

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The server's schema (PostgreSQL schema "xrq") and its roles.
//
// The server keeps facts only, each with the time the server received it (received_at,
// default now(), never given by a laptop, whose clock may drift) and the role that pushed it
// (pushed_by, default session_user), and the laptop that recorded it (laptop_id, the UUID of
// fleet/laptop_identity.h; its name, laptop, is only shown):
//   xrq.events          one row per register event, by its UUID
//   xrq.series_facts    one row per series record, by what it is on every laptop (unit,
//                       data_set, identity, occurrence, and the record before it: after,
//                       after_occurrence); its laptop's segment and position beside them
//   xrq.series_records  the rows versions before schema 7 pushed, by (unit, data_set,
//                       segment, position, chain_hash); kept as they are
//   xrq.kept_downloads  a kept raw download's SHA-256 and size, by its download's UUID
//   xrq.download_bytes  the bytes of a kept download by SHA-256 (the server checks the
//                       hash), when the server takes them (xrq.server_settings)
//   xrq.download_chunks those bytes as laptops send them, in chunks by SHA-256 and offset,
//                       put together into download_bytes once all are there; initServer
//                       removes the chunks of bytes that are whole
//   xrq.visit_intervals how often units are to be visited, each setting a row, set by the
//                       owner (fleet/visit_intervals.h)
//   xrq.site_facts      sites, deployments, removals, column meanings, calibrations and
//                       field notes, by UUID, keyed by what each is about (fleet/site_facts.h);
//                       indexed from schema 15 by the site and the unit they name
// Beside the facts, and never one, the web service's Observations kept derived from them
// (xrq.derived_*, from schema 12, office/observation_deriver.h; each series' title lines from
// schema 13; each Observation's cell and the pieces of the sites' Datastreams from schema
// 14): replaced at will, rebuilt from the facts with the same rows.
// Units, last-seen times and histories are views over the facts (xrq.units,
// xrq.unit_history), never rows that anyone updates; from schema 10 this program reads them
// and the facts through xrq.owned_*, which leave out disowned laptop roles' facts
// (fleet/laptop_roles.h). Laptop-local paths are information
// (a payload field), never part of a key.
//
// Roles: the owner (whoever runs initServer) owns everything; initServer also closes schema
// public to creation by all and refuses to finish while a laptop role could create in any
// schema (checked with has_schema_privilege: a REVOKE by a role that does not own public only
// warns). The office's view (xrq-office) reads as members of "xrq_office", which may only
// SELECT. Laptops log in with roles that
// are members of the group role "xrq_laptop", which may only SELECT and INSERT (and INSERT
// only the columns a laptop supplies): no UPDATE, DELETE or TRUNCATE, so credentials taken
// from a laptop cannot erase or rewrite the organisation's record.
//
// The schema's version and the oldest laptop program that may push to it (by the schema it
// was made for) are one row of xrq.schema_info, which initServer keeps. A laptop pushes to a
// server whose minimum is not above its own version and whose version holds the tables it
// writes (kOldestServerSchemaVersion): a server that only added since is taken. Laptops made
// before schema_info compare xrq.schema_version's highest row with their own version; that
// row is kept at the minimum, so they too push while the migrations since only added.
// initServer migrates an older schema forward and refuses a newer one.

#include "fleet/pg_connection.h"

#include <QString>
#include <QStringList>

#include <chrono>
#include <functional>

namespace fleet {

// The server schema this program writes and reads.
inline constexpr int kServerSchemaVersion = 15;
// The oldest server schema this program pushes to and reads: what it writes and reads was all
// there in it (4: each fact's laptop_id; 5: kept downloads' bytes in chunks; 7: series
// records keyed by what they are, xrq.series_facts). The visit intervals (6) are read where
// they are there. The office's indexes (8) and the sums of what each insert added (9) are for
// the office, which reads only a server at 9 or later (office/read_connections.h).
inline constexpr int kOldestServerSchemaVersion = 7;
inline constexpr const char* kLaptopGroupRole = "xrq_laptop";

// The signature of one series' facts (unit $1, data set $2) as a FROM item "a" (facts,
// newest, trust, clocks), as the derived copy's state rows keep it (xrq.derived_series,
// office/observation_deriver.h): the sums of what each insert added, the newest trust row,
// and the arrival of the newest of its unit's clock sets. A state row equal to it holds the
// series as its facts stand.
inline constexpr const char* kDerivedSignatureOfOneSql =
    "(SELECT COALESCE(pg_catalog.sum(rows), 0) AS facts, COALESCE(pg_catalog.max(newest), 0) "
    "AS newest, (SELECT COALESCE(pg_catalog.max(id), 0) FROM xrq.role_trust) AS trust, "
    "(SELECT COALESCE(pg_catalog.max(arrival), 0) FROM xrq.events WHERE unit = $1 AND "
    "kind = 'clock_set') AS clocks FROM xrq.series_arrivals WHERE unit = $1 AND "
    "data_set = $2) a ";

struct InitOptions {
    // Whether the server takes kept downloads' bytes (their SHA-256 and size always).
    bool acceptDownloadBytes = true;
    // The largest kept download whose bytes the server takes.
    long long maxDownloadBytes = 64LL * 1024 * 1024;
    // Puts keyed series records (xrq.series_facts) beside the rows older versions pushed to
    // xrq.series_records, inside initServer's transaction; `told` says what it did, or why it
    // failed (then nothing changes). The series' own rule (series::keyOlderRecords), handed
    // in by the program that links it.
    std::function<bool(PgConnection&, std::chrono::milliseconds, QString& told)> deriveRecords = {};
};

struct InitOutcome {
    bool ok = false;
    int versionBefore = 0; // 0: there was no schema
    int versionAfter = 0;
    QString message; // for the operator, one line
};

// Creates or migrates the schema and the laptops' group role, run with the owner's role.
// Idempotent.
InitOutcome initServer(const std::string& conninfo, const InitOptions& options = {},
                       std::chrono::milliseconds timeout = std::chrono::seconds(60));

// Lets the login role `role` push and read as a laptop (GRANT xrq_laptop TO role).
InitOutcome grantLaptop(const std::string& conninfo, const QString& role,
                        std::chrono::milliseconds timeout = std::chrono::seconds(30));

// Lets the login role `role` read the server as the office's view does (GRANT xrq_office TO
// role): the group role xrq_office, made by initServer, may only SELECT.
inline constexpr const char* kOfficeGroupRole = "xrq_office";
InitOutcome grantOffice(const std::string& conninfo, const QString& role,
                        std::chrono::milliseconds timeout = std::chrono::seconds(30));

// Lets the login role `role` keep the web service's derived Observations (GRANT xrq_deriver TO
// role): it reads as the office does and writes the derived tables (xrq.derived_*) alone,
// never a fact.
inline constexpr const char* kDeriverGroupRole = "xrq_deriver";
InitOutcome grantDeriver(const std::string& conninfo, const QString& role,
                         std::chrono::milliseconds timeout = std::chrono::seconds(30));

// Every right a laptop role (the group, its members, and PUBLIC) has beyond adding and
// reading facts: a role attribute, creating in the database or a schema, changing, emptying or
// watching a table, and owning anything. A right PUBLIC has is told once, as PUBLIC's. Empty
// `beyond` is the state initServer makes.
struct ServerRights {
    bool ok = false;
    QStringList beyond; // one line each: "laptop_b may create in schema public"
    QString message;    // why it could not be read
};
ServerRights checkServerRights(const std::string& conninfo,
                               std::chrono::milliseconds timeout = std::chrono::seconds(30));

// What a laptop finds on the server it connected to.
struct SchemaCheck {
    // Matches: this program may push to it and read it (its version need not be ours).
    // ServerNewer: it needs a newer program; ServerOlder: its owner has to migrate it.
    enum class State { Matches, NoSchema, ServerOlder, ServerNewer, Failed };
    State state = State::Failed;
    int serverVersion = 0;
    int minLaptopVersion = 0;
    bool transient = false; // Failed: try again later
    QString message;        // for the operator; empty when it matches
};
SchemaCheck checkServerSchema(PgConnection& connection);

} // namespace fleet

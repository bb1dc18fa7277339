// SPDX-License-Identifier: GPL-3.0-or-later
#include "fleet/server_schema.h"

#include <vector>

namespace fleet {

namespace {

// Each migration takes the schema from the version before it to its own. Never edited once
// released: a change is a new migration.
const std::vector<const char*>& migrations() {
    static const std::vector<const char*> steps = {
        // 1: the facts, their views, and what laptops may do.
        R"sql(
CREATE TABLE xrq.server_settings (
    only_row boolean PRIMARY KEY DEFAULT true CHECK (only_row),
    accept_download_bytes boolean NOT NULL DEFAULT true,
    max_download_bytes bigint NOT NULL DEFAULT 67108864);
INSERT INTO xrq.server_settings DEFAULT VALUES;

CREATE TABLE xrq.events (
    id uuid PRIMARY KEY,
    unit text NOT NULL,
    kind text NOT NULL,
    occurred_at timestamptz NOT NULL,
    laptop text NOT NULL,
    payload jsonb NOT NULL,
    received_at timestamptz NOT NULL DEFAULT now(),
    pushed_by name NOT NULL DEFAULT session_user,
    arrival bigint GENERATED ALWAYS AS IDENTITY);
CREATE INDEX events_by_unit ON xrq.events (unit, occurred_at);

CREATE TABLE xrq.series_records (
    unit text NOT NULL,
    data_set text NOT NULL,
    segment bigint NOT NULL CHECK (segment >= 0),
    position bigint NOT NULL CHECK (position >= 0),
    chain_hash text NOT NULL,
    occurred_at timestamptz NOT NULL,
    laptop text NOT NULL,
    payload jsonb NOT NULL,
    received_at timestamptz NOT NULL DEFAULT now(),
    pushed_by name NOT NULL DEFAULT session_user,
    arrival bigint GENERATED ALWAYS AS IDENTITY,
    PRIMARY KEY (unit, data_set, segment, position, chain_hash));

CREATE TABLE xrq.kept_downloads (
    id uuid PRIMARY KEY,
    unit text NOT NULL,
    sha256 text NOT NULL CHECK (sha256 ~ '^[0-9a-f]{64}$'),
    size bigint NOT NULL CHECK (size >= 0),
    occurred_at timestamptz NOT NULL,
    laptop text NOT NULL,
    payload jsonb NOT NULL,
    received_at timestamptz NOT NULL DEFAULT now(),
    pushed_by name NOT NULL DEFAULT session_user,
    arrival bigint GENERATED ALWAYS AS IDENTITY);
CREATE INDEX kept_downloads_by_unit ON xrq.kept_downloads (unit, occurred_at);

CREATE TABLE xrq.download_bytes (
    sha256 text PRIMARY KEY,
    size bigint NOT NULL,
    bytes bytea NOT NULL,
    received_at timestamptz NOT NULL DEFAULT now(),
    pushed_by name NOT NULL DEFAULT session_user,
    CHECK (encode(sha256(bytes), 'hex') = sha256 AND octet_length(bytes) = size));

CREATE VIEW xrq.unit_history AS
    SELECT id, unit, kind, occurred_at, laptop, payload, received_at, arrival
      FROM xrq.events
    UNION ALL
    SELECT id, unit, 'kept_download', occurred_at, laptop,
           payload || jsonb_build_object('sha256', sha256, 'size', size), received_at, arrival
      FROM xrq.kept_downloads;

CREATE VIEW xrq.units AS
    SELECT unit,
           min(occurred_at) AS first_seen,
           max(occurred_at) AS last_seen,
           max(received_at) AS last_received,
           count(*) FILTER (WHERE kind = 'visit') AS visits,
           count(DISTINCT laptop) AS laptops
      FROM xrq.events
     GROUP BY unit;

GRANT USAGE ON SCHEMA xrq TO xrq_laptop;
GRANT SELECT ON ALL TABLES IN SCHEMA xrq TO xrq_laptop;
GRANT INSERT (id, unit, kind, occurred_at, laptop, payload) ON xrq.events TO xrq_laptop;
GRANT INSERT (unit, data_set, segment, position, chain_hash, occurred_at, laptop, payload)
    ON xrq.series_records TO xrq_laptop;
GRANT INSERT (id, unit, sha256, size, occurred_at, laptop, payload)
    ON xrq.kept_downloads TO xrq_laptop;
GRANT INSERT (sha256, size, bytes) ON xrq.download_bytes TO xrq_laptop;
)sql",
    };
    return steps;
}

QString text(const std::string& s) {
    return QString::fromStdString(s);
}

InitOutcome failed(const QString& what, const PgResult& r) {
    InitOutcome o;
    o.message = what + QStringLiteral(": ") + text(r.error());
    return o;
}

} // namespace

InitOutcome initServer(const std::string& conninfo, const InitOptions& options,
                       std::chrono::milliseconds timeout) {
    InitOutcome o;
    PgConnection c;
    if (!c.connect(conninfo, timeout, timeout)) {
        o.message = QStringLiteral("server not reached: ") + text(c.error());
        return o;
    }
    PgResult r = c.exec("BEGIN", {}, timeout);
    if (!r.ok())
        return failed(QStringLiteral("server schema not created"), r);
    // One initialisation at a time; a second waits here for the first to commit.
    r = c.exec("SELECT pg_advisory_xact_lock(7233001)", {}, timeout);
    if (r.ok())
        r = c.exec("CREATE SCHEMA IF NOT EXISTS xrq; REVOKE ALL ON SCHEMA xrq FROM PUBLIC;"
                   "CREATE TABLE IF NOT EXISTS xrq.schema_version ("
                   " version integer PRIMARY KEY,"
                   " applied_at timestamptz NOT NULL DEFAULT now())",
                   {}, timeout);
    if (r.ok())
        r = c.exec("DO $$ BEGIN IF NOT EXISTS (SELECT FROM pg_roles WHERE rolname = "
                   "'xrq_laptop') THEN CREATE ROLE xrq_laptop NOLOGIN; END IF; END $$",
                   {}, timeout);
    if (!r.ok())
        return failed(QStringLiteral("server schema not created"), r);
    r = c.exec("SELECT coalesce(max(version), 0) FROM xrq.schema_version", {}, timeout);
    if (!r.ok() || r.rows() != 1)
        return failed(QStringLiteral("server schema version not read"), r);
    o.versionBefore = std::stoi(r.value(0, 0));
    if (o.versionBefore > kServerSchemaVersion) {
        o.versionAfter = o.versionBefore;
        o.message = QStringLiteral("the server's schema is version %1, newer than this "
                                   "program's %2: nothing changed; use a newer program")
                        .arg(o.versionBefore)
                        .arg(kServerSchemaVersion);
        return o;
    }
    const auto& steps = migrations();
    for (int v = o.versionBefore + 1; v <= kServerSchemaVersion; ++v) {
        r = c.exec(steps[static_cast<std::size_t>(v - 1)], {}, timeout);
        if (r.ok())
            r = c.exec("INSERT INTO xrq.schema_version (version) VALUES ($1)",
                       {PgParam::text(std::to_string(v))}, timeout);
        if (!r.ok())
            return failed(QStringLiteral("server schema not migrated to version %1").arg(v), r);
    }
    r = c.exec("GRANT USAGE ON SCHEMA xrq TO xrq_laptop; "
               "GRANT SELECT ON xrq.schema_version, xrq.server_settings TO xrq_laptop",
               {}, timeout);
    if (r.ok())
        r = c.exec("UPDATE xrq.server_settings SET accept_download_bytes = $1, "
                   "max_download_bytes = $2",
                   {PgParam::text(options.acceptDownloadBytes ? "true" : "false"),
                    PgParam::text(std::to_string(options.maxDownloadBytes))},
                   timeout);
    if (r.ok())
        r = c.exec("COMMIT", {}, timeout);
    if (!r.ok())
        return failed(QStringLiteral("server schema not committed"), r);
    o.ok = true;
    o.versionAfter = kServerSchemaVersion;
    o.message =
        o.versionBefore == kServerSchemaVersion
            ? QStringLiteral("server schema is up to date (version %1)").arg(kServerSchemaVersion)
            : QStringLiteral("server schema now version %1 (was %2)")
                  .arg(kServerSchemaVersion)
                  .arg(o.versionBefore);
    return o;
}

InitOutcome grantLaptop(const std::string& conninfo, const QString& role,
                        std::chrono::milliseconds timeout) {
    InitOutcome o;
    PgConnection c;
    if (!c.connect(conninfo, timeout, timeout)) {
        o.message = QStringLiteral("server not reached: ") + text(c.error());
        return o;
    }
    // The role's name goes through format's %I on the server, never pasted in here.
    PgResult set = c.exec("SELECT set_config('xrq.grant_role', $1, false)",
                          {PgParam::text(role.toStdString())}, timeout);
    if (set.ok())
        set = c.exec("DO $$ BEGIN EXECUTE format('GRANT xrq_laptop TO %I', "
                     "current_setting('xrq.grant_role')); END $$",
                     {}, timeout);
    if (!set.ok())
        return failed(QStringLiteral("laptop role not granted"), set);
    o.ok = true;
    o.message = QStringLiteral("%1 may now push and read as a laptop").arg(role);
    return o;
}

SchemaCheck checkServerSchema(PgConnection& connection) {
    SchemaCheck s;
    const PgResult r = connection.exec("SELECT coalesce(max(version), 0) FROM xrq.schema_version");
    if (!r.ok()) {
        if (r.sqlState() == "42P01" || r.sqlState() == "3F000") {
            s.state = SchemaCheck::State::NoSchema;
            s.message = QStringLiteral("the server has no XRQ schema: its owner runs "
                                       "\"xrq-series admin init-server\"");
            return s;
        }
        s.transient = r.transient();
        s.message = QStringLiteral("server schema not read: ") + text(r.error());
        return s;
    }
    s.serverVersion = std::stoi(r.value(0, 0));
    if (s.serverVersion == kServerSchemaVersion) {
        s.state = SchemaCheck::State::Matches;
    } else if (s.serverVersion > kServerSchemaVersion) {
        s.state = SchemaCheck::State::ServerNewer;
        s.message = QStringLiteral("the server's schema is version %1, newer than this "
                                   "program's %2: update XRQ Control to share")
                        .arg(s.serverVersion)
                        .arg(kServerSchemaVersion);
    } else {
        s.state = SchemaCheck::State::ServerOlder;
        s.message = QStringLiteral("the server's schema is version %1, older than this "
                                   "program's %2: its owner runs \"xrq-series admin "
                                   "init-server\"")
                        .arg(s.serverVersion)
                        .arg(kServerSchemaVersion);
    }
    return s;
}

} // namespace fleet

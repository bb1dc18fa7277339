// SPDX-License-Identifier: GPL-3.0-or-later
#include "fleet/server_schema.h"

#include "platform/checked_number.h"

#include <QStringList>

#include <algorithm>
#include <limits>
#include <optional>
#include <vector>

namespace fleet {

namespace {

// Each migration takes the schema from the version before it to its own, and says the oldest
// laptop program (by the server schema it was made for) that may still push to the schema it
// makes: an additive step keeps the one before it, a step that changes what laptops write
// raises it. Never edited once released: a change is a new migration.
struct Migration {
    const char* sql;
    int minLaptop;
};

// Whole: the server's migrations as one table, each step as it was released and never edited.
const std::vector<Migration>& migrations() {
    static const std::vector<Migration> steps = {
        // 1: the facts, their views, and what laptops may do.
        {R"sql(
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
         1},
        // 2: the server itself holds a kept download's bytes to 64 MiB (laptops checked it
        // alone before); rows already there are left as they are (NOT VALID), and the owner's
        // setting cannot ask for more.
        {R"sql(
UPDATE xrq.server_settings SET max_download_bytes = 67108864
 WHERE max_download_bytes > 67108864;
ALTER TABLE xrq.server_settings ADD CONSTRAINT max_download_bytes_at_most_64_mib
    CHECK (max_download_bytes <= 67108864);
ALTER TABLE xrq.download_bytes ADD CONSTRAINT download_bytes_at_most_64_mib
    CHECK (size <= 67108864) NOT VALID;
)sql",
         1},
        // 3: the schema's version and the oldest laptop that may push to it, in one row that
        // init-server keeps (xrq.schema_version, which laptops before it compare with their
        // own version, keeps that oldest laptop's version as its highest row).
        {R"sql(
CREATE TABLE xrq.schema_info (
    only_row boolean PRIMARY KEY DEFAULT true CHECK (only_row),
    version integer NOT NULL,
    min_laptop_version integer NOT NULL);
GRANT SELECT ON xrq.schema_info TO xrq_laptop;
)sql",
         1},
        // 4: the laptop that recorded a fact, by the random UUID it made when it first shared
        // (fleet/laptop_identity.h); its name is only shown. Empty in rows of older laptops,
        // which push as before.
        {R"sql(
ALTER TABLE xrq.events ADD COLUMN IF NOT EXISTS laptop_id uuid;
ALTER TABLE xrq.series_records ADD COLUMN IF NOT EXISTS laptop_id uuid;
ALTER TABLE xrq.kept_downloads ADD COLUMN IF NOT EXISTS laptop_id uuid;
GRANT INSERT (laptop_id) ON xrq.events, xrq.series_records, xrq.kept_downloads TO xrq_laptop;
CREATE OR REPLACE VIEW xrq.unit_history AS
    SELECT id, unit, kind, occurred_at, laptop, payload, received_at, arrival, laptop_id
      FROM xrq.events
    UNION ALL
    SELECT id, unit, 'kept_download', occurred_at, laptop,
           payload || jsonb_build_object('sha256', sha256, 'size', size), received_at, arrival,
           laptop_id
      FROM xrq.kept_downloads;
)sql",
         1},
        // 5: a kept download's bytes in chunks, each its own transaction, so that a slow link
        // sends them over many statements and a cut one resumes (fleet/kept_bytes.h); put
        // together into download_bytes, whose check proves the hash, once all are there.
        {R"sql(
CREATE TABLE IF NOT EXISTS xrq.download_chunks (
    sha256 text NOT NULL CHECK (sha256 ~ '^[0-9a-f]{64}$'),
    size bigint NOT NULL CHECK (size > 0 AND size <= 67108864),
    "offset" bigint NOT NULL CHECK ("offset" >= 0),
    bytes bytea NOT NULL CHECK (pg_catalog.octet_length(bytes) BETWEEN 1 AND 1048576),
    received_at timestamptz NOT NULL DEFAULT now(),
    pushed_by name NOT NULL DEFAULT session_user,
    PRIMARY KEY (sha256, "offset"),
    CHECK ("offset" + pg_catalog.octet_length(bytes) <= size));
GRANT SELECT ON xrq.download_chunks TO xrq_laptop;
GRANT INSERT (sha256, size, "offset", bytes) ON xrq.download_chunks TO xrq_laptop;
)sql",
         1},
        // 6: how often the units are to be visited (fleet/visit_intervals.h): the
        // organisation's interval (no unit) and units' own, each setting a row of its own,
        // the newest counting; set by the owner, read by all.
        {R"sql(
CREATE TABLE IF NOT EXISTS xrq.visit_intervals (
    id bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
    unit text,
    days integer NOT NULL CHECK (days BETWEEN 1 AND 3650),
    set_at timestamptz NOT NULL DEFAULT now(),
    set_by name NOT NULL DEFAULT session_user);
CREATE INDEX IF NOT EXISTS visit_intervals_by_unit ON xrq.visit_intervals (unit, id);
GRANT SELECT ON xrq.visit_intervals TO xrq_laptop, xrq_office;
)sql",
         1},
        // 7: a series record keyed by what it is on every laptop (series/series_share.h): its
        // unit, data set, identity, occurrence and the record before it on the laptop that
        // pushed it; its laptop's segment and position go beside them, ordering it on that
        // laptop only. Two laptops pushing the same records push one row each. The rows of
        // xrq.series_records stay; init-server puts keyed ones beside them
        // (InitOptions::deriveRecords). Laptops made before it push records by their places
        // there as before, and readers key them as they read (series/server_series.h).
        {R"sql(
CREATE TABLE IF NOT EXISTS xrq.series_facts (
    unit text NOT NULL,
    data_set text NOT NULL,
    identity text NOT NULL CHECK (identity ~ '^[0-9a-f]{32}$'),
    occurrence bigint NOT NULL CHECK (occurrence >= 0),
    after text NOT NULL CHECK (after = '' OR after ~ '^[0-9a-f]{32}$'),
    after_occurrence bigint NOT NULL CHECK (after_occurrence >= 0),
    segment bigint NOT NULL CHECK (segment >= 0),
    position bigint NOT NULL CHECK (position >= 0),
    occurred_at timestamptz NOT NULL,
    laptop text NOT NULL,
    laptop_id uuid,
    payload jsonb NOT NULL,
    received_at timestamptz NOT NULL DEFAULT now(),
    pushed_by name NOT NULL DEFAULT session_user,
    arrival bigint GENERATED ALWAYS AS IDENTITY,
    PRIMARY KEY (unit, data_set, identity, occurrence, after, after_occurrence));
CREATE INDEX IF NOT EXISTS series_facts_by_arrival ON xrq.series_facts (unit, data_set, arrival);
-- Every series record row, keyed or by its place, for readers that count places.
CREATE OR REPLACE VIEW xrq.series_places AS
    SELECT unit, data_set, segment, position, identity, laptop, laptop_id, payload,
           occurred_at, received_at, arrival
      FROM xrq.series_facts
    UNION ALL
    SELECT unit, data_set, segment, position, chain_hash, laptop, laptop_id, payload,
           occurred_at, received_at, arrival
      FROM xrq.series_records;
GRANT SELECT ON xrq.series_facts, xrq.series_places TO xrq_laptop;
GRANT INSERT (unit, data_set, identity, occurrence, after, after_occurrence, segment, position,
              occurred_at, laptop, laptop_id, payload) ON xrq.series_facts TO xrq_laptop;
)sql",
         1},
        // 8: indexes for the office's view (office/office_reads.h), which reads, per unit, its
        // newest event of each kind, and every series' count and newest arrival: each an
        // index seek, or a walk of an index alone, instead of a walk over every row. Only
        // added: laptops write and read as before.
        {R"sql(
CREATE INDEX IF NOT EXISTS events_by_unit_kind ON xrq.events (unit, kind, occurred_at, arrival);
CREATE INDEX IF NOT EXISTS series_records_by_arrival
    ON xrq.series_records (unit, data_set, arrival);
)sql",
         1},
        // 9: what each insert added to a series, written by the server itself in the insert's
        // transaction (a trigger on each series table): the rows it added and the newest
        // arrival among them. A series' count and newest arrival are then the sum and the
        // maximum over a row per push, not a walk over every record (the office's signatures,
        // office/office_reads.h); a row only ever added, as the facts are. The rows already
        // there are summed once here, while the triggers' creation holds the tables' inserts
        // back. Laptops write and read as before: they may not write it themselves.
        {R"sql(
CREATE TABLE IF NOT EXISTS xrq.series_arrivals (
    unit text NOT NULL,
    data_set text NOT NULL,
    rows bigint NOT NULL CHECK (rows > 0),
    newest bigint NOT NULL,
    noted_at timestamptz NOT NULL DEFAULT now());
CREATE INDEX IF NOT EXISTS series_arrivals_by_series
    ON xrq.series_arrivals (unit, data_set) INCLUDE (rows, newest);
CREATE OR REPLACE FUNCTION xrq.note_series_arrivals() RETURNS trigger
    LANGUAGE plpgsql SECURITY DEFINER SET search_path = pg_catalog, pg_temp AS $$
BEGIN
    INSERT INTO xrq.series_arrivals (unit, data_set, rows, newest)
        SELECT a.unit, a.data_set, pg_catalog.count(*), pg_catalog.max(a.arrival)
          FROM added a GROUP BY 1, 2;
    RETURN NULL;
END $$;
REVOKE ALL ON FUNCTION xrq.note_series_arrivals() FROM PUBLIC;
-- Once per table (a migration is run again over a server from before schema_info): the
-- trigger, then the rows already there summed, which its creation holds inserts back from.
DO $$ DECLARE t text; BEGIN
    FOREACH t IN ARRAY ARRAY['series_facts', 'series_records'] LOOP
        IF NOT EXISTS (SELECT FROM pg_catalog.pg_trigger WHERE tgname = t || '_arrivals'
                       AND tgrelid = ('xrq.' || t)::regclass) THEN
            EXECUTE pg_catalog.format('CREATE TRIGGER %I AFTER INSERT ON xrq.%I '
                'REFERENCING NEW TABLE AS added FOR EACH STATEMENT '
                'EXECUTE FUNCTION xrq.note_series_arrivals()', t || '_arrivals', t);
            EXECUTE pg_catalog.format('INSERT INTO xrq.series_arrivals (unit, data_set, rows, '
                'newest) SELECT unit, data_set, pg_catalog.count(*), pg_catalog.max(arrival) '
                'FROM xrq.%I GROUP BY 1, 2', t);
        END IF;
    END LOOP;
END $$;
GRANT SELECT ON xrq.series_arrivals TO xrq_office;
)sql",
         1},
        // 10: what no laptop sends is refused at insert, a laptop is its role, and a role may be
        // disowned. Each laptop role's insert is checked, per statement, by one trigger per
        // fact table (xrq.check_added_facts): every payload's types and ranges by its kind
        // (xrq.payload_fault) and a finite occurred_at, refused with SQLSTATE 23514 naming the
        // fact and the fault; then each laptop_id it carries is bound to the pushing role on
        // its first fact (xrq.laptop_roles, written by the owner's trigger only; the newest row
        // of a laptop_id counts), and a fact under another role's laptop_id is refused with
        // 42501. The owner's own inserts (init-server's keying of older rows) are not checked.
        // Rows already held are left as they are. Disowning a role is a row of
        // xrq.role_trust (the newest of a role counts); xrq.disowned_roles lists those in
        // force, and the views xrq.owned_* are the fact tables and the views of before without
        // their facts received since. Laptops write as before.
        {R"sql(
CREATE TABLE IF NOT EXISTS xrq.laptop_roles (
    id bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
    laptop_id uuid NOT NULL,
    role name NOT NULL,
    set_at timestamptz NOT NULL DEFAULT now(),
    set_by name NOT NULL DEFAULT session_user);
CREATE INDEX IF NOT EXISTS laptop_roles_by_laptop ON xrq.laptop_roles (laptop_id, id);

CREATE TABLE IF NOT EXISTS xrq.role_trust (
    id bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
    role name NOT NULL,
    disowned boolean NOT NULL,
    since timestamptz NOT NULL,
    set_at timestamptz NOT NULL DEFAULT now(),
    set_by name NOT NULL DEFAULT session_user);
CREATE OR REPLACE VIEW xrq.disowned_roles AS
    SELECT role, since, set_at, set_by FROM (
        SELECT DISTINCT ON (role) role, disowned, since, set_at, set_by
          FROM xrq.role_trust ORDER BY role, id DESC) newest
     WHERE disowned;

-- A present key's fault, or NULL: its JSON type, and for a number its range and wholeness.
-- A missing key is no fault (older laptops left some out; readers take it as unknown).
CREATE OR REPLACE FUNCTION xrq.key_fault(p jsonb, k text, t text, lo numeric DEFAULT NULL,
                                         hi numeric DEFAULT NULL, whole boolean DEFAULT false,
                                         nullable boolean DEFAULT true) RETURNS text
    LANGUAGE plpgsql IMMUTABLE SET search_path = pg_catalog, pg_temp AS $$
DECLARE
    v jsonb := p -> k;
    n numeric;
BEGIN
    IF v IS NULL OR (nullable AND jsonb_typeof(v) = 'null') THEN
        RETURN NULL;
    END IF;
    IF jsonb_typeof(v) <> t THEN
        RETURN format('%s is not a %s: %s', k, t, left(v::text, 40));
    END IF;
    IF t = 'number' THEN
        n := v::numeric;
        IF whole AND n <> trunc(n) THEN
            RETURN format('%s is not whole: %s', k, left(v::text, 40));
        END IF;
        IF (lo IS NOT NULL AND n < lo) OR (hi IS NOT NULL AND n > hi) THEN
            RETURN format('%s %s is outside %s to %s', k, left(v::text, 40), lo, hi);
        END IF;
    END IF;
    RETURN NULL;
END $$;

-- A fact's fault, or NULL. `kind`: an event's kind, 'kept_download' or 'record'.
CREATE OR REPLACE FUNCTION xrq.payload_fault(kind text, p jsonb, occurred_at timestamptz)
    RETURNS text LANGUAGE plpgsql IMMUTABLE SET search_path = pg_catalog, pg_temp AS $$
DECLARE
    ms_most constant numeric := 253402300799999; -- 9999-12-31T23:59:59.999Z in milliseconds
    info jsonb;
BEGIN
    IF NOT isfinite(occurred_at) THEN
        RETURN 'occurred_at is not a finite time';
    END IF;
    IF kind !~ '^[a-z_]{1,40}$' THEN
        RETURN format('kind %s is not a word', left(kind, 40));
    END IF;
    IF jsonb_typeof(p) IS DISTINCT FROM 'object' THEN
        RETURN 'the payload is not a JSON object';
    END IF;
    CASE kind
    WHEN 'visit' THEN
        RETURN coalesce(xrq.key_fault(p, 'port', 'number', 1, 65535, true),
                        xrq.key_fault(p, 'device', 'string'));
    WHEN 'battery' THEN
        RETURN coalesce(xrq.key_fault(p, 'volts', 'number', 0, 100),
                        xrq.key_fault(p, 'celsius', 'number', -100, 150),
                        xrq.key_fault(p, 'reply', 'string'));
    WHEN 'clock_set' THEN
        RETURN coalesce(xrq.key_fault(p, 'utc_offset', 'number', -50400, 50400, true),
                        xrq.key_fault(p, 'sent', 'string'),
                        xrq.key_fault(p, 'time_zone', 'string'));
    WHEN 'download' THEN
        RETURN coalesce(xrq.key_fault(p, 'started', 'number', -ms_most, ms_most, true),
                        xrq.key_fault(p, 'ended', 'number', -ms_most, ms_most, true),
                        xrq.key_fault(p, 'bytes', 'number', 0, 9223372036854775807, true),
                        xrq.key_fault(p, 'sets', 'number', 0, 2147483647, true),
                        xrq.key_fault(p, 'complete', 'boolean', nullable => false),
                        xrq.key_fault(p, 'verified', 'boolean', nullable => false),
                        xrq.key_fault(p, 'safe', 'boolean', nullable => false),
                        xrq.key_fault(p, 'why', 'string'),
                        xrq.key_fault(p, 'reasons', 'array'),
                        xrq.key_fault(p, 'set_lines', 'array'),
                        xrq.key_fault(p, 'line_errors', 'string'),
                        xrq.key_fault(p, 'files', 'array'),
                        xrq.key_fault(p, 'kept_file', 'string'),
                        xrq.key_fault(p, 'port', 'number', 1, 65535, true),
                        (SELECT coalesce(CASE WHEN jsonb_typeof(e) <> 'object'
                                              THEN 'set_lines holds a ' || jsonb_typeof(e) END,
                                         xrq.key_fault(e, 'lines', 'number', 0, 2147483647,
                                                       true),
                                         xrq.key_fault(e, 'name', 'string'))
                           FROM jsonb_array_elements(CASE WHEN jsonb_typeof(p -> 'set_lines')
                                = 'array' THEN p -> 'set_lines' ELSE '[]' END) AS s(e)
                          WHERE jsonb_typeof(e) <> 'object' OR xrq.key_fault(e, 'lines',
                                'number', 0, 2147483647, true) IS NOT NULL
                             OR xrq.key_fault(e, 'name', 'string') IS NOT NULL
                          LIMIT 1));
    WHEN 'clear' THEN
        RETURN xrq.key_fault(p, 'confirmed', 'boolean', nullable => false);
    WHEN 'link' THEN
        RETURN xrq.key_fault(p, 'download', 'string');
    WHEN 'judged_again' THEN
        RETURN coalesce(xrq.key_fault(p, 'download', 'string'),
                        xrq.key_fault(p, 'download_started', 'number', -ms_most, ms_most, true),
                        xrq.key_fault(p, 'verified', 'boolean', nullable => false),
                        xrq.key_fault(p, 'reasons', 'array'));
    WHEN 'kept_download' THEN
        RETURN xrq.key_fault(p, 'path', 'string');
    WHEN 'record' THEN
        info := p -> 'info';
        RETURN coalesce(xrq.key_fault(p, 'line', 'string', nullable => false),
                        CASE WHEN NOT p ? 'line' THEN 'line is missing' END,
                        xrq.key_fault(p, 'info', 'object', nullable => false),
                        CASE WHEN jsonb_typeof(info) = 'object' THEN coalesce(
                            xrq.key_fault(info, 'offset', 'number', -50400, 50400, true),
                            xrq.key_fault(info, 'order', 'number', 0, 255, true),
                            xrq.key_fault(info, 'flags', 'number', 0, 255, true),
                            xrq.key_fault(info, 'interval', 'number', 0, 10000000000),
                            xrq.key_fault(info, 'download', 'string'),
                            xrq.key_fault(info, 'notes', 'array')) END);
    ELSE
        RETURN NULL; -- a kind this schema does not know: its readers pass over it
    END CASE;
END $$;

CREATE OR REPLACE FUNCTION xrq.check_added_facts() RETURNS trigger
    LANGUAGE plpgsql SECURITY DEFINER SET search_path = pg_catalog, pg_temp AS $$
DECLARE
    who name := session_user;
    bad record;
    lid uuid;
    bound name;
BEGIN
    -- The owner's own inserts (init-server keying older rows) are the owner's to vouch for.
    IF EXISTS (SELECT FROM pg_roles r WHERE r.rolname = who AND (r.rolsuper OR r.oid =
               (SELECT n.nspowner FROM pg_namespace n WHERE n.nspname = 'xrq'))) THEN
        RETURN NULL;
    END IF;
    IF TG_TABLE_NAME = 'events' THEN
        SELECT a.kind || ' ' || a.id || ' of unit ' || left(a.unit, 60) AS what, f.fault
          INTO bad FROM added a,
               LATERAL (SELECT xrq.payload_fault(a.kind, a.payload, a.occurred_at) AS fault) f
         WHERE f.fault IS NOT NULL LIMIT 1;
    ELSIF TG_TABLE_NAME = 'kept_downloads' THEN
        SELECT 'kept download ' || a.id || ' of unit ' || left(a.unit, 60) AS what, f.fault
          INTO bad FROM added a,
               LATERAL (SELECT xrq.payload_fault('kept_download', a.payload, a.occurred_at)
                        AS fault) f
         WHERE f.fault IS NOT NULL LIMIT 1;
    ELSIF TG_TABLE_NAME = 'series_facts' THEN
        SELECT 'record ' || a.identity || ' of unit ' || left(a.unit, 60) AS what, f.fault
          INTO bad
          FROM added a,
               LATERAL (SELECT xrq.payload_fault('record', a.payload, a.occurred_at) AS fault) f
         WHERE f.fault IS NOT NULL LIMIT 1;
    ELSE
        SELECT 'record ' || a.chain_hash || ' of unit ' || left(a.unit, 60) AS what, f.fault
          INTO bad
          FROM added a,
               LATERAL (SELECT xrq.payload_fault('record', a.payload, a.occurred_at) AS fault) f
         WHERE f.fault IS NOT NULL LIMIT 1;
    END IF;
    IF FOUND THEN
        RAISE EXCEPTION USING ERRCODE = 'check_violation',
            MESSAGE = format('the server refuses %s pushed as %s: %s', bad.what, who,
                             bad.fault);
    END IF;
    FOR lid IN SELECT DISTINCT a.laptop_id FROM added a WHERE a.laptop_id IS NOT NULL LOOP
        -- Two first pushes of one laptop_id bind it once.
        PERFORM pg_advisory_xact_lock(7233002, hashtext(lid::text));
        SELECT r.role INTO bound FROM xrq.laptop_roles r WHERE r.laptop_id = lid
         ORDER BY r.id DESC LIMIT 1;
        IF NOT FOUND THEN
            INSERT INTO xrq.laptop_roles (laptop_id, role) VALUES (lid, who);
        ELSIF bound <> who THEN
            RAISE EXCEPTION USING ERRCODE = 'insufficient_privilege',
                MESSAGE = format('laptop %s pushes as role %s, not as %s', lid, bound, who),
                HINT = format('if this laptop now logs in as %s, the server''s owner moves it: '
                              'xrq-series admin move-laptop %s %s', who, lid, who);
        END IF;
    END LOOP;
    RETURN NULL;
END $$;
REVOKE ALL ON FUNCTION xrq.check_added_facts() FROM PUBLIC;
DO $$ DECLARE t text; BEGIN
    FOREACH t IN ARRAY ARRAY['events', 'kept_downloads', 'series_facts', 'series_records'] LOOP
        IF NOT EXISTS (SELECT FROM pg_catalog.pg_trigger WHERE tgname = t || '_checked'
                       AND tgrelid = ('xrq.' || t)::regclass) THEN
            EXECUTE pg_catalog.format('CREATE TRIGGER %I AFTER INSERT ON xrq.%I '
                'REFERENCING NEW TABLE AS added FOR EACH STATEMENT '
                'EXECUTE FUNCTION xrq.check_added_facts()', t || '_checked', t);
        END IF;
    END LOOP;
END $$;
-- The first laptop_id pushed by each role before now binds it as its next push would.
INSERT INTO xrq.laptop_roles (laptop_id, role, set_at)
    SELECT DISTINCT ON (laptop_id) laptop_id, pushed_by, received_at FROM (
        SELECT laptop_id, pushed_by, received_at, arrival FROM xrq.events
         WHERE laptop_id IS NOT NULL
        UNION ALL SELECT laptop_id, pushed_by, received_at, arrival FROM xrq.kept_downloads
         WHERE laptop_id IS NOT NULL
        UNION ALL SELECT laptop_id, pushed_by, received_at, arrival FROM xrq.series_facts
         WHERE laptop_id IS NOT NULL) f
     WHERE NOT EXISTS (SELECT FROM xrq.laptop_roles r WHERE r.laptop_id = f.laptop_id)
       AND EXISTS (SELECT FROM pg_catalog.pg_roles r WHERE r.rolname = f.pushed_by
                   AND NOT r.rolsuper AND r.oid <> (SELECT nspowner FROM pg_catalog.pg_namespace
                                                     WHERE nspname = 'xrq'))
     ORDER BY laptop_id, received_at, arrival;

-- The facts every reader reads: those of a disowned role received since its disowning are
-- left out (nothing is deleted; owning it again brings them back).
CREATE OR REPLACE VIEW xrq.owned_events AS
    SELECT e.* FROM xrq.events e WHERE NOT EXISTS (SELECT FROM xrq.disowned_roles d
        WHERE d.role = e.pushed_by AND e.received_at >= d.since);
CREATE OR REPLACE VIEW xrq.owned_kept_downloads AS
    SELECT k.* FROM xrq.kept_downloads k WHERE NOT EXISTS (SELECT FROM xrq.disowned_roles d
        WHERE d.role = k.pushed_by AND k.received_at >= d.since);
CREATE OR REPLACE VIEW xrq.owned_series_facts AS
    SELECT f.* FROM xrq.series_facts f WHERE NOT EXISTS (SELECT FROM xrq.disowned_roles d
        WHERE d.role = f.pushed_by AND f.received_at >= d.since);
CREATE OR REPLACE VIEW xrq.owned_series_records AS
    SELECT r.* FROM xrq.series_records r WHERE NOT EXISTS (SELECT FROM xrq.disowned_roles d
        WHERE d.role = r.pushed_by AND r.received_at >= d.since);
-- What the views of before were, read through them (those views stay as they were, for
-- programs made before; a migration run again over a server from before schema_info
-- replaces them as they were), with the role that pushed each fact.
CREATE OR REPLACE VIEW xrq.owned_unit_history AS
    SELECT id, unit, kind, occurred_at, laptop, payload, received_at, arrival, laptop_id,
           pushed_by
      FROM xrq.owned_events
    UNION ALL
    SELECT id, unit, 'kept_download', occurred_at, laptop,
           payload || jsonb_build_object('sha256', sha256, 'size', size), received_at, arrival,
           laptop_id, pushed_by
      FROM xrq.owned_kept_downloads;
CREATE OR REPLACE VIEW xrq.owned_series_places AS
    SELECT unit, data_set, segment, position, identity, laptop, laptop_id, payload,
           occurred_at, received_at, arrival, pushed_by
      FROM xrq.owned_series_facts
    UNION ALL
    SELECT unit, data_set, segment, position, chain_hash, laptop, laptop_id, payload,
           occurred_at, received_at, arrival, pushed_by
      FROM xrq.owned_series_records;
CREATE OR REPLACE VIEW xrq.owned_units AS
    SELECT unit,
           min(occurred_at) AS first_seen,
           max(occurred_at) AS last_seen,
           max(received_at) AS last_received,
           count(*) FILTER (WHERE kind = 'visit') AS visits,
           count(DISTINCT laptop) AS laptops
      FROM xrq.owned_events
     GROUP BY unit;
GRANT SELECT ON xrq.disowned_roles, xrq.owned_events, xrq.owned_kept_downloads,
    xrq.owned_series_facts, xrq.owned_series_records, xrq.owned_unit_history,
    xrq.owned_series_places, xrq.owned_units TO xrq_laptop;
)sql",
         1},
        // 11: what the organisation knows of its places (fleet/site_facts.h): sites,
        // deployments and removals, column meanings, calibrations and field notes, each a row
        // of xrq.site_facts by its UUID, keyed by what it is about (worked out by the server,
        // xrq.site_fact_key), the newest of a key counting. Checked as the other facts are
        // (xrq.site_fact_fault, the same trigger, which now knows this table too); a laptop
        // may add notes, deployments and removals only, the owner (the data manager's
        // commands) every kind. Read through xrq.owned_site_facts. Only added: laptops write
        // and read as before.
        {R"sql(
-- The key of a site fact: what it is about. Never raises: a payload without the fields
-- gives a key the check refuses.
CREATE OR REPLACE FUNCTION xrq.site_fact_key(kind text, p jsonb) RETURNS text
    LANGUAGE sql IMMUTABLE SET search_path = pg_catalog, pg_temp AS $$
    SELECT CASE kind
        WHEN 'site' THEN p ->> 'code'
        WHEN 'deployment' THEN jsonb_build_array(p ->> 'unit', p ->> 'from')::text
        WHEN 'removal' THEN jsonb_build_array(p ->> 'unit', p ->> 'at')::text
        WHEN 'meaning' THEN jsonb_build_array(p ->> 'unit', p ->> 'data_set', p ->> 'column',
                                              p ->> 'from')::text
        WHEN 'calibration' THEN jsonb_build_array(p ->> 'unit', p ->> 'data_set',
                                                  p ->> 'column', p ->> 'from')::text
        WHEN 'note' THEN p ->> 'id'
    END $$;

CREATE TABLE IF NOT EXISTS xrq.site_facts (
    id uuid PRIMARY KEY,
    kind text NOT NULL,
    key text GENERATED ALWAYS AS (xrq.site_fact_key(kind, payload)) STORED,
    occurred_at timestamptz NOT NULL,
    laptop text NOT NULL,
    laptop_id uuid,
    payload jsonb NOT NULL,
    received_at timestamptz NOT NULL DEFAULT now(),
    pushed_by name NOT NULL DEFAULT session_user,
    arrival bigint GENERATED ALWAYS AS IDENTITY);
CREATE INDEX IF NOT EXISTS site_facts_by_key ON xrq.site_facts (kind, key, arrival);

-- A text value's fault: a string of at most `most` characters without control characters
-- (but line ends and tabs where `lines`), non-empty where `needed`.
CREATE OR REPLACE FUNCTION xrq.text_fault(p jsonb, k text, most integer, needed boolean,
                                          lines boolean DEFAULT false) RETURNS text
    LANGUAGE plpgsql IMMUTABLE SET search_path = pg_catalog, pg_temp AS $$
DECLARE
    v jsonb := p -> k;
    bad text;
BEGIN
    IF v IS NULL OR jsonb_typeof(v) = 'null' THEN
        RETURN CASE WHEN needed THEN k || ' is missing' END;
    END IF;
    IF jsonb_typeof(v) <> 'string' THEN
        RETURN format('%s is not a string: %s', k, left(v::text, 40));
    END IF;
    IF needed AND btrim(v #>> '{}') = '' THEN
        RETURN k || ' is empty';
    END IF;
    IF length(v #>> '{}') > most THEN
        RETURN format('%s is longer than %s characters', k, most);
    END IF;
    -- (A CASE inside IF's condition would end it at its own THEN.)
    bad := CASE WHEN lines THEN '[\x01-\x08\x0b\x0c\x0e-\x1f\x7f]' ELSE '[\x01-\x1f\x7f]' END;
    IF (v #>> '{}') ~ bad THEN
        RETURN k || ' holds a control character';
    END IF;
    RETURN NULL;
END $$;

-- A site fact's fault, or NULL.
CREATE OR REPLACE FUNCTION xrq.site_fact_fault(kind text, p jsonb, occurred_at timestamptz)
    RETURNS text LANGUAGE plpgsql IMMUTABLE SET search_path = pg_catalog, pg_temp AS $$
DECLARE
    ms_most constant numeric := 253402300799999; -- 9999-12-31T23:59:59.999Z in milliseconds
    need text;
BEGIN
    IF NOT isfinite(occurred_at) THEN
        RETURN 'occurred_at is not a finite time';
    END IF;
    IF jsonb_typeof(p) IS DISTINCT FROM 'object' THEN
        RETURN 'the payload is not a JSON object';
    END IF;
    SELECT k || ' is missing' INTO need FROM unnest(CASE kind
        WHEN 'site' THEN ARRAY['code', 'name', 'longitude', 'latitude']
        WHEN 'deployment' THEN ARRAY['unit', 'site', 'from']
        WHEN 'removal' THEN ARRAY['unit', 'at']
        WHEN 'meaning' THEN ARRAY['data_set', 'column', 'from', 'property', 'uom_code']
        WHEN 'calibration' THEN ARRAY['data_set', 'column', 'from', 'a', 'b']
        WHEN 'note' THEN ARRAY['id', 'at', 'category', 'text']
        ELSE ARRAY[]::text[] END) AS k
     WHERE NOT p ? k OR jsonb_typeof(p -> k) = 'null' LIMIT 1;
    IF need IS NOT NULL THEN
        RETURN need;
    END IF;
    IF p ? 'withdrawn' AND jsonb_typeof(p -> 'withdrawn') <> 'boolean' THEN
        RETURN 'withdrawn is not a boolean';
    END IF;
    CASE kind
    WHEN 'site' THEN
        RETURN coalesce(xrq.text_fault(p, 'code', 40, true),
                        CASE WHEN (p ->> 'code') !~ '^[A-Za-z0-9][A-Za-z0-9._-]{0,39}$'
                             THEN 'code is not letters, digits, ".", "_" and "-"' END,
                        xrq.text_fault(p, 'name', 200, true),
                        xrq.text_fault(p, 'description', 4000, false, true),
                        xrq.key_fault(p, 'longitude', 'number', -180, 180),
                        xrq.key_fault(p, 'latitude', 'number', -90, 90),
                        xrq.key_fault(p, 'elevation', 'number', -12000, 9000),
                        xrq.key_fault(p, 'visit_days', 'number', 1, 3650, true));
    WHEN 'deployment', 'removal' THEN
        RETURN coalesce(xrq.text_fault(p, 'unit', 64, true),
                        xrq.text_fault(p, 'site', 40, kind = 'deployment'),
                        xrq.key_fault(p, CASE kind WHEN 'deployment' THEN 'from' ELSE 'at' END,
                                      'number', -ms_most, ms_most, true));
    WHEN 'meaning', 'calibration' THEN
        RETURN coalesce(xrq.text_fault(p, 'unit', 64, false),
                        xrq.text_fault(p, 'data_set', 200, true),
                        xrq.key_fault(p, 'column', 'number', 1, 1000, true),
                        xrq.key_fault(p, 'from', 'number', -ms_most, ms_most, true),
                        xrq.key_fault(p, 'to', 'number', -ms_most, ms_most, true),
                        CASE WHEN jsonb_typeof(p -> 'to') = 'number'
                                  AND (p ->> 'to')::numeric <= (p ->> 'from')::numeric
                             THEN 'the window ends before it starts' END,
                        xrq.text_fault(p, 'property', 200, kind = 'meaning'),
                        xrq.text_fault(p, 'definition', 2000, false),
                        xrq.text_fault(p, 'uom_code', 40, kind = 'meaning'),
                        xrq.text_fault(p, 'uom_symbol', 40, false),
                        xrq.text_fault(p, 'uom_name', 200, false),
                        xrq.key_fault(p, 'a', 'number'),
                        xrq.key_fault(p, 'b', 'number'));
    WHEN 'note' THEN
        RETURN coalesce(CASE WHEN (p ->> 'id') !~ '^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$'
                             THEN 'id is not a UUID' END,
                        xrq.text_fault(p, 'site', 40, false),
                        xrq.text_fault(p, 'unit', 64, false),
                        CASE WHEN coalesce(p ->> 'site', '') = '' AND coalesce(p ->> 'unit', '') = ''
                             THEN 'a note is about a site or a unit' END,
                        xrq.key_fault(p, 'at', 'number', -ms_most, ms_most, true),
                        CASE WHEN (p ->> 'category') NOT IN ('maintenance', 'calibration',
                                                             'damage', 'other')
                             THEN 'category is not maintenance, calibration, damage or other' END,
                        xrq.text_fault(p, 'text', 4000, true, true),
                        xrq.text_fault(p, 'by', 200, false));
    ELSE
        RETURN format('kind %s is not a site fact', left(kind, 40));
    END CASE;
END $$;

CREATE OR REPLACE FUNCTION xrq.check_added_facts() RETURNS trigger
    LANGUAGE plpgsql SECURITY DEFINER SET search_path = pg_catalog, pg_temp AS $$
DECLARE
    who name := session_user;
    bad record;
    lid uuid;
    bound name;
BEGIN
    -- The owner's own inserts (init-server keying older rows) are the owner's to vouch for.
    IF EXISTS (SELECT FROM pg_roles r WHERE r.rolname = who AND (r.rolsuper OR r.oid =
               (SELECT n.nspowner FROM pg_namespace n WHERE n.nspname = 'xrq'))) THEN
        RETURN NULL;
    END IF;
    IF TG_TABLE_NAME = 'events' THEN
        SELECT a.kind || ' ' || a.id || ' of unit ' || left(a.unit, 60) AS what, f.fault
          INTO bad FROM added a,
               LATERAL (SELECT xrq.payload_fault(a.kind, a.payload, a.occurred_at) AS fault) f
         WHERE f.fault IS NOT NULL LIMIT 1;
    ELSIF TG_TABLE_NAME = 'kept_downloads' THEN
        SELECT 'kept download ' || a.id || ' of unit ' || left(a.unit, 60) AS what, f.fault
          INTO bad FROM added a,
               LATERAL (SELECT xrq.payload_fault('kept_download', a.payload, a.occurred_at)
                        AS fault) f
         WHERE f.fault IS NOT NULL LIMIT 1;
    ELSIF TG_TABLE_NAME = 'series_facts' THEN
        SELECT 'record ' || a.identity || ' of unit ' || left(a.unit, 60) AS what, f.fault
          INTO bad
          FROM added a,
               LATERAL (SELECT xrq.payload_fault('record', a.payload, a.occurred_at) AS fault) f
         WHERE f.fault IS NOT NULL LIMIT 1;
    ELSIF TG_TABLE_NAME = 'site_facts' THEN
        SELECT a.kind || ' ' || left(coalesce(a.key, a.id::text), 80) AS what, f.fault
          INTO bad FROM added a,
               LATERAL (SELECT coalesce(CASE WHEN a.kind NOT IN ('deployment', 'removal',
                                                                  'note')
                                             THEN format('a laptop may not add a %s',
                                                         left(a.kind, 40)) END,
                                        xrq.site_fact_fault(a.kind, a.payload,
                                                            a.occurred_at)) AS fault) f
         WHERE f.fault IS NOT NULL LIMIT 1;
    ELSE
        SELECT 'record ' || a.chain_hash || ' of unit ' || left(a.unit, 60) AS what, f.fault
          INTO bad
          FROM added a,
               LATERAL (SELECT xrq.payload_fault('record', a.payload, a.occurred_at) AS fault) f
         WHERE f.fault IS NOT NULL LIMIT 1;
    END IF;
    IF FOUND THEN
        RAISE EXCEPTION USING ERRCODE = 'check_violation',
            MESSAGE = format('the server refuses %s pushed as %s: %s', bad.what, who,
                             bad.fault);
    END IF;
    FOR lid IN SELECT DISTINCT a.laptop_id FROM added a WHERE a.laptop_id IS NOT NULL LOOP
        -- Two first pushes of one laptop_id bind it once.
        PERFORM pg_advisory_xact_lock(7233002, hashtext(lid::text));
        SELECT r.role INTO bound FROM xrq.laptop_roles r WHERE r.laptop_id = lid
         ORDER BY r.id DESC LIMIT 1;
        IF NOT FOUND THEN
            INSERT INTO xrq.laptop_roles (laptop_id, role) VALUES (lid, who);
        ELSIF bound <> who THEN
            RAISE EXCEPTION USING ERRCODE = 'insufficient_privilege',
                MESSAGE = format('laptop %s pushes as role %s, not as %s', lid, bound, who),
                HINT = format('if this laptop now logs in as %s, the server''s owner moves it: '
                              'xrq-series admin move-laptop %s %s', who, lid, who);
        END IF;
    END LOOP;
    RETURN NULL;
END $$;
REVOKE ALL ON FUNCTION xrq.check_added_facts() FROM PUBLIC;
DO $$ BEGIN
    IF NOT EXISTS (SELECT FROM pg_catalog.pg_trigger WHERE tgname = 'site_facts_checked'
                   AND tgrelid = 'xrq.site_facts'::regclass) THEN
        CREATE TRIGGER site_facts_checked AFTER INSERT ON xrq.site_facts
            REFERENCING NEW TABLE AS added FOR EACH STATEMENT
            EXECUTE FUNCTION xrq.check_added_facts();
    END IF;
END $$;
CREATE OR REPLACE VIEW xrq.owned_site_facts AS
    SELECT f.* FROM xrq.site_facts f WHERE NOT EXISTS (SELECT FROM xrq.disowned_roles d
        WHERE d.role = f.pushed_by AND f.received_at >= d.since);
GRANT SELECT ON xrq.site_facts, xrq.owned_site_facts TO xrq_laptop;
GRANT INSERT (id, kind, occurred_at, laptop, laptop_id, payload) ON xrq.site_facts
    TO xrq_laptop;
)sql",
         1},
        // 12: the web service's Observations kept derived (office/observation_deriver.h), in
        // tables of their own named as derived: never facts, replaced whenever the facts say
        // otherwise, and rebuilt from them at will. xrq.derived_series is a series' state: the
        // signature of the facts it was derived at (as the office reads it: the sums of
        // xrq.series_arrivals and the newest trust row, and the newest of its unit's clock
        // sets, which put its records in UTC), how many records it holds, its
        // Datastreams' fields and a digest of its records in order, by which a new derivation
        // tells an append from a change. One row per Observation (a record seen through one
        // Datastream), indexed for a Datastream's pages in time and the whole set's. Written
        // only by the group role xrq_deriver, which reads as the office does and may write
        // nothing else; the office reads them. Each insert of series records now also wakes
        // whoever listens on xrq_series_arrivals. Only added: laptops write and read as before.
        {R"sql(
CREATE TABLE IF NOT EXISTS xrq.derived_series (
    id bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
    unit text NOT NULL,
    data_set text NOT NULL,
    facts bigint NOT NULL,
    newest bigint NOT NULL,
    trust bigint NOT NULL,
    clocks bigint NOT NULL,
    records bigint NOT NULL CHECK (records >= 0),
    fields integer[] NOT NULL,
    digest text NOT NULL,
    derived_at timestamptz NOT NULL DEFAULT now(),
    UNIQUE (unit, data_set));
CREATE TABLE IF NOT EXISTS xrq.derived_datastreams (
    id bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
    series bigint NOT NULL REFERENCES xrq.derived_series (id) ON DELETE CASCADE,
    unit text NOT NULL,
    data_set text NOT NULL,
    field integer NOT NULL CHECK (field > 0),
    UNIQUE (unit, data_set, field));
CREATE INDEX IF NOT EXISTS derived_datastreams_in_order
    ON xrq.derived_datastreams (unit COLLATE "C", data_set, field);
CREATE INDEX IF NOT EXISTS derived_datastreams_by_series ON xrq.derived_datastreams (series);
CREATE TABLE IF NOT EXISTS xrq.derived_observations (
    datastream bigint NOT NULL,
    ordinal bigint NOT NULL,
    segment integer NOT NULL,
    place bigint NOT NULL,
    utc double precision NOT NULL,
    utc_offset integer NOT NULL,
    result double precision,
    flags text NOT NULL,
    record text NOT NULL,
    PRIMARY KEY (datastream, ordinal));
CREATE INDEX IF NOT EXISTS derived_observations_by_time
    ON xrq.derived_observations (datastream, utc, ordinal);
CREATE INDEX IF NOT EXISTS derived_observations_by_utc ON xrq.derived_observations (utc);
DO $$ BEGIN IF NOT EXISTS (SELECT FROM pg_catalog.pg_roles WHERE rolname = 'xrq_deriver') THEN
    CREATE ROLE xrq_deriver NOLOGIN; END IF; END $$;
GRANT USAGE ON SCHEMA xrq TO xrq_deriver;
GRANT SELECT, INSERT, UPDATE, DELETE, TRUNCATE
    ON xrq.derived_series, xrq.derived_datastreams, xrq.derived_observations TO xrq_deriver;
CREATE OR REPLACE FUNCTION xrq.note_series_arrivals() RETURNS trigger
    LANGUAGE plpgsql SECURITY DEFINER SET search_path = pg_catalog, pg_temp AS $$
BEGIN
    INSERT INTO xrq.series_arrivals (unit, data_set, rows, newest)
        SELECT a.unit, a.data_set, pg_catalog.count(*), pg_catalog.max(a.arrival)
          FROM added a GROUP BY 1, 2;
    PERFORM pg_catalog.pg_notify('xrq_series_arrivals', '');
    RETURN NULL;
END $$;
REVOKE ALL ON FUNCTION xrq.note_series_arrivals() FROM PUBLIC;
)sql",
         1},
        // 13: each derived series' title lines (a segment's, segment 0 where the series names
        // its columns but no segment does), so that a site's series, whose columns without a
        // meaning go by their titles, is read from the derived copy alone
        // (series/site_series.h). The copy derived before holds no titles: emptied, to be
        // derived again from the facts. Only added: laptops write and read as before.
        {R"sql(
CREATE TABLE IF NOT EXISTS xrq.derived_titles (
    series bigint NOT NULL REFERENCES xrq.derived_series (id) ON DELETE CASCADE,
    segment integer NOT NULL CHECK (segment >= 0),
    line text NOT NULL,
    PRIMARY KEY (series, segment));
TRUNCATE xrq.derived_observations, xrq.derived_datastreams, xrq.derived_series CASCADE;
GRANT SELECT, INSERT, UPDATE, DELETE, TRUNCATE ON xrq.derived_titles TO xrq_deriver;
)sql",
         1},
        // 14: what a site's Datastreams are made of in the derived copy, so that their pages and
        // the whole Observations collection are read by SQL. Each derived Observation says what its
        // record has in each column (cells, from 1: 0 no such field, 1 an empty one, 2 a text that
        // is no number, 3 a number), which decides whether a site's Datastream counts it (a column
        // of text alone has no Datastream of its own: its pieces read another of the record's). A
        // site's pieces: per unit Datastream, deployment and window over which the column's meaning
        // and calibration stay the same, the site Datastream it is part of, with the property's
        // place among the site's (the order at equal times) and what its Observations' JSON needs;
        // xrq.derived_sites keeps what each site's pieces were built from, xrq.derived_site_units
        // the units deployed there then. New site facts wake the deriver as new series records do.
        // The copy derived before holds no cells: emptied, to be derived again from the facts. Only
        // added: laptops write and read as before.
        {R"sql(
ALTER TABLE xrq.derived_observations ADD COLUMN IF NOT EXISTS cells smallint[] NOT NULL
    DEFAULT '{}';
CREATE TABLE IF NOT EXISTS xrq.derived_sites (
    site text PRIMARY KEY,
    signature text NOT NULL,
    site_facts text NOT NULL,
    series text NOT NULL,
    served boolean NOT NULL,
    why text NOT NULL DEFAULT '');
CREATE TABLE IF NOT EXISTS xrq.derived_site_units (
    site text NOT NULL,
    unit text NOT NULL,
    PRIMARY KEY (site, unit));
CREATE INDEX IF NOT EXISTS derived_site_units_by_unit ON xrq.derived_site_units (unit);
CREATE TABLE IF NOT EXISTS xrq.derived_site_pieces (
    site text NOT NULL,
    stream text NOT NULL,
    place integer,
    source integer NOT NULL,
    datastream bigint NOT NULL,
    unit text NOT NULL,
    data_set text NOT NULL,
    field integer NOT NULL,
    from_ms bigint NOT NULL,
    to_ms bigint,
    least_cell smallint NOT NULL,
    a double precision,
    b double precision,
    deployed_ms bigint NOT NULL,
    property text NOT NULL,
    definition text NOT NULL,
    uom_code text NOT NULL,
    uom_symbol text NOT NULL,
    uom_name text NOT NULL,
    column_set text NOT NULL,
    records bigint NOT NULL DEFAULT 0,
    first_utc double precision,
    last_utc double precision,
    first_placed bigint);
CREATE INDEX IF NOT EXISTS derived_site_pieces_by_stream
    ON xrq.derived_site_pieces (site, stream);
CREATE INDEX IF NOT EXISTS derived_site_pieces_by_datastream
    ON xrq.derived_site_pieces (datastream);
CREATE INDEX IF NOT EXISTS derived_site_pieces_in_order
    ON xrq.derived_site_pieces (site COLLATE "C", place);
TRUNCATE xrq.derived_observations, xrq.derived_datastreams, xrq.derived_series CASCADE;
GRANT SELECT, INSERT, UPDATE, DELETE, TRUNCATE
    ON xrq.derived_sites, xrq.derived_site_units, xrq.derived_site_pieces TO xrq_deriver;
CREATE OR REPLACE FUNCTION xrq.note_site_facts() RETURNS trigger
    LANGUAGE plpgsql SECURITY DEFINER SET search_path = pg_catalog, pg_temp AS $$
BEGIN
    PERFORM pg_catalog.pg_notify('xrq_series_arrivals', '');
    RETURN NULL;
END $$;
REVOKE ALL ON FUNCTION xrq.note_site_facts() FROM PUBLIC;
DO $$ BEGIN
    IF NOT EXISTS (SELECT FROM pg_catalog.pg_trigger WHERE tgname = 'site_facts_noted'
                   AND tgrelid = 'xrq.site_facts'::regclass) THEN
        CREATE TRIGGER site_facts_noted AFTER INSERT ON xrq.site_facts
            FOR EACH STATEMENT EXECUTE FUNCTION xrq.note_site_facts();
    END IF;
END $$;
)sql",
         1},
        // 15: a site's facts found by the site and the units they name (a site's own read,
        // fleet/site_facts.h: the deployments and notes at a site, every fact of its units, the
        // meanings and calibrations of every unit), not by scanning every site fact. Only
        // added: laptops write and read as before.
        {R"sql(
CREATE INDEX IF NOT EXISTS site_facts_by_site ON xrq.site_facts (kind, (payload ->> 'site'));
CREATE INDEX IF NOT EXISTS site_facts_by_unit ON xrq.site_facts (kind, (payload ->> 'unit'));
)sql",
         1},
    };
    return steps;
}

QString text(const std::string& s) {
    return QString::fromStdString(s);
}

// The laptop roles: the group, every role that is a member of it (directly or through
// another), and PUBLIC, whose rights every role has; as a FROM item "who(name)". Membership
// is read from the grants, not pg_has_role, which counts every superuser a member.
const char* const kLaptopRoles =
    "(WITH RECURSIVE m(oid) AS (SELECT 'xrq_laptop'::regrole::oid UNION "
    "SELECT a.member FROM pg_catalog.pg_auth_members a JOIN m ON a.roleid = m.oid) "
    "SELECT r.rolname::text AS name FROM m JOIN pg_catalog.pg_roles r ON r.oid = m.oid "
    "UNION ALL SELECT 'public') AS who ";

// "role on schema" for every schema (but the system's) where a laptop role may create.
QStringList creatableSchemas(PgConnection& c, std::chrono::milliseconds timeout, PgResult* out) {
    QStringList open;
    *out = c.exec(std::string("SELECT who.name, n.nspname FROM ") + kLaptopRoles +
                      ", pg_catalog.pg_namespace n WHERE n.nspname NOT LIKE 'pg\\_%' "
                      "AND n.nspname <> 'information_schema' "
                      "AND pg_catalog.has_schema_privilege(who.name, n.oid, 'CREATE') "
                      "AND (who.name = 'public' OR NOT "
                      "pg_catalog.has_schema_privilege('public', n.oid, 'CREATE')) "
                      "ORDER BY 1, 2",
                  {}, timeout);
    if (out->ok())
        for (int i = 0; i < out->rows(); ++i)
            open << QStringLiteral("%1 on schema %2")
                        .arg(QString::fromStdString(out->value(i, 0)),
                             QString::fromStdString(out->value(i, 1)));
    return open;
}

InitOutcome failed(const QString& what, const PgResult& r) {
    InitOutcome o;
    o.message = what + QStringLiteral(": ") + text(r.error());
    return o;
}

} // namespace

// Whole: one initialisation in one transaction, its statements in the order they must run.
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
    r = c.exec("SELECT pg_catalog.pg_advisory_xact_lock(7233001)", {}, timeout);
    if (r.ok())
        r = c.exec("CREATE SCHEMA IF NOT EXISTS xrq; REVOKE ALL ON SCHEMA xrq FROM PUBLIC;"
                   "CREATE TABLE IF NOT EXISTS xrq.schema_version ("
                   " version integer PRIMARY KEY,"
                   " applied_at timestamptz NOT NULL DEFAULT now())",
                   {}, timeout);
    if (r.ok())
        r = c.exec("DO $$ BEGIN IF NOT EXISTS (SELECT FROM pg_catalog.pg_roles WHERE rolname = "
                   "'xrq_laptop') THEN CREATE ROLE xrq_laptop NOLOGIN; END IF; "
                   "IF NOT EXISTS (SELECT FROM pg_catalog.pg_roles WHERE rolname = "
                   "'xrq_office') THEN CREATE ROLE xrq_office NOLOGIN; END IF; END $$",
                   {}, timeout);
    if (!r.ok())
        return failed(QStringLiteral("server schema not created"), r);
    // The schema's version is schema_info's where it is there; before it, the highest row of
    // schema_version.
    r = c.exec("SELECT pg_catalog.to_regclass('xrq.schema_info') IS NOT NULL", {}, timeout);
    if (r.ok() && r.rows() == 1)
        r = c.exec(r.value(0, 0) == "t"
                       ? "SELECT version FROM xrq.schema_info"
                       : "SELECT coalesce(pg_catalog.max(version), 0) FROM xrq.schema_version",
                   {}, timeout);
    if (!r.ok() || r.rows() != 1)
        return failed(QStringLiteral("server schema version not read"), r);
    const std::optional<std::int64_t> before =
        platform::parseInteger(r.value(0, 0), 0, std::numeric_limits<int>::max());
    if (!before) {
        o.message = QStringLiteral("server schema version not read: \"%1\" is no version")
                        .arg(QString::fromStdString(r.value(0, 0)).left(20));
        return o;
    }
    o.versionBefore = int(*before);
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
        r = c.exec(steps[static_cast<std::size_t>(v - 1)].sql, {}, timeout);
        if (!r.ok())
            return failed(QStringLiteral("server schema not migrated to version %1").arg(v), r);
    }
    // The records older versions pushed by their places, keyed beside them (again at every
    // init-server: a laptop that pushed before it was told to update is taken in too).
    QString derived;
    if (options.deriveRecords && !options.deriveRecords(c, timeout, derived)) {
        c.exec("ROLLBACK", {}, timeout);
        o.message = QStringLiteral("not done, nothing changed: the series records older "
                                   "versions pushed not keyed: ") +
                    derived;
        return o;
    }
    int minLaptop = 1;
    for (const Migration& m : steps)
        minLaptop = std::max(minLaptop, m.minLaptop);
    const std::vector<PgParam> versions = {PgParam::text(std::to_string(kServerSchemaVersion)),
                                           PgParam::text(std::to_string(minLaptop))};
    r = c.exec("INSERT INTO xrq.schema_info (version, min_laptop_version) VALUES ($1, $2) "
               "ON CONFLICT (only_row) DO UPDATE SET version = EXCLUDED.version, "
               "min_laptop_version = EXCLUDED.min_laptop_version",
               versions, timeout);
    // A laptop from before schema_info pushes while schema_version's highest row is its own
    // version: so it does while the migrations since only added.
    if (r.ok())
        r = c.exec("INSERT INTO xrq.schema_version (version) VALUES ($1) ON CONFLICT DO NOTHING",
                   {versions[1]}, timeout);
    // Chunks of bytes now whole in download_bytes are the owner's to remove (laptops may not).
    if (r.ok())
        r = c.exec("DELETE FROM xrq.download_chunks c USING xrq.download_bytes b "
                   "WHERE b.sha256 = c.sha256",
                   {}, timeout);
    if (r.ok())
        r = c.exec("GRANT USAGE ON SCHEMA xrq TO xrq_laptop; GRANT SELECT ON xrq.schema_version, "
                   "xrq.schema_info, xrq.server_settings TO xrq_laptop",
                   {}, timeout);
    // The office's view reads everything and writes nothing: no right but SELECT, on every
    // table and view there is now (given again at each init-server, so a migration's new
    // tables are readable too).
    if (r.ok())
        r = c.exec("GRANT USAGE ON SCHEMA xrq TO xrq_office; "
                   "GRANT SELECT ON ALL TABLES IN SCHEMA xrq TO xrq_office",
                   {}, timeout);
    // The deriver reads the facts as the office does, and writes the derived tables only
    // (schema 12's grants).
    if (r.ok())
        r = c.exec("GRANT SELECT ON ALL TABLES IN SCHEMA xrq TO xrq_deriver", {}, timeout);
    if (r.ok())
        r = c.exec("UPDATE xrq.server_settings SET accept_download_bytes = $1, "
                   "max_download_bytes = $2",
                   {PgParam::text(options.acceptDownloadBytes ? "true" : "false"),
                    PgParam::text(std::to_string(options.maxDownloadBytes))},
                   timeout);
    if (!r.ok())
        return failed(QStringLiteral("server schema not committed"), r);
    // A laptop role that may create objects in a schema could put its own function where
    // another session looks for the system's. PostgreSQL 15 closes public by default; an
    // older or upgraded database leaves it open to all. The REVOKE takes only where this role
    // owns the schema (otherwise the server merely warns): what counts is the check after it.
    r = c.exec("REVOKE CREATE ON SCHEMA public FROM PUBLIC", {}, timeout);
    if (!r.ok() && r.sqlState() != "3F000") // a database without public
        return failed(QStringLiteral("CREATE on schema public not revoked"), r);
    const QStringList open = creatableSchemas(c, timeout, &r);
    if (!r.ok())
        return failed(QStringLiteral("laptop roles' rights not read"), r);
    if (!open.isEmpty()) {
        c.exec("ROLLBACK", {}, timeout);
        o.message = QStringLiteral("not done, nothing changed: laptop roles could create objects "
                                   "(%1); the schema's owner runs \"REVOKE CREATE ON SCHEMA "
                                   "... FROM PUBLIC\" (and from those roles), then init-server "
                                   "again")
                        .arg(open.join(QStringLiteral(", ")));
        return o;
    }
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
    if (!derived.isEmpty())
        o.message += QStringLiteral("; ") + derived;
    return o;
}

namespace {

// Makes `role` a member of `group` (one of our own role names, never the caller's text).
InitOutcome grantMembership(const std::string& conninfo, const QString& role, const char* group,
                            const QString& refused, const QString& granted,
                            std::chrono::milliseconds timeout) {
    InitOutcome o;
    PgConnection c;
    if (!c.connect(conninfo, timeout, timeout)) {
        o.message = QStringLiteral("server not reached: ") + text(c.error());
        return o;
    }
    // The role's name goes through format's %I on the server, never pasted in here.
    PgResult set = c.exec("SELECT pg_catalog.set_config('xrq.grant_role', $1, false)",
                          {PgParam::text(role.toStdString())}, timeout);
    if (set.ok())
        set = c.exec(std::string("DO $$ BEGIN EXECUTE pg_catalog.format('GRANT ") + group +
                         " TO %I', pg_catalog.current_setting('xrq.grant_role')); END $$",
                     {}, timeout);
    if (!set.ok())
        return failed(refused, set);
    o.ok = true;
    o.message = granted.arg(role);
    return o;
}

} // namespace

InitOutcome grantLaptop(const std::string& conninfo, const QString& role,
                        std::chrono::milliseconds timeout) {
    return grantMembership(conninfo, role, "xrq_laptop", QStringLiteral("laptop role not granted"),
                           QStringLiteral("%1 may now push and read as a laptop"), timeout);
}

InitOutcome grantOffice(const std::string& conninfo, const QString& role,
                        std::chrono::milliseconds timeout) {
    return grantMembership(conninfo, role, "xrq_office", QStringLiteral("office role not granted"),
                           QStringLiteral("%1 may now read the server as the office's view"),
                           timeout);
}

InitOutcome grantDeriver(const std::string& conninfo, const QString& role,
                         std::chrono::milliseconds timeout) {
    return grantMembership(conninfo, role, "xrq_deriver",
                           QStringLiteral("deriver role not granted"),
                           QStringLiteral("%1 may now keep the derived Observations"), timeout);
}

ServerRights checkServerRights(const std::string& conninfo, std::chrono::milliseconds timeout) {
    ServerRights out;
    PgConnection c;
    if (!c.connect(conninfo, timeout, timeout)) {
        out.message = QStringLiteral("server not reached: ") + text(c.error());
        return out;
    }
    const std::string who = kLaptopRoles;
    const std::string system =
        " n.nspname NOT LIKE 'pg\\_%' AND n.nspname <> 'information_schema' ";
    const std::string sql =
        "SELECT line FROM ("
        // What the role itself may do.
        "SELECT who.name || ' has ' || a.attr AS line FROM " +
        who +
        " JOIN pg_catalog.pg_roles r ON r.rolname = who.name, LATERAL (VALUES "
        "('SUPERUSER', r.rolsuper), ('CREATEROLE', r.rolcreaterole), ('CREATEDB', "
        "r.rolcreatedb), ('BYPASSRLS', r.rolbypassrls), ('REPLICATION', r.rolreplication)) "
        "AS a(attr, has) WHERE a.has "
        "UNION ALL SELECT who.name || ' may create in database ' || "
        "pg_catalog.current_database() FROM " +
        who +
        " WHERE pg_catalog.has_database_privilege(who.name, pg_catalog.current_database(), "
        "'CREATE') AND (who.name = 'public' OR NOT pg_catalog.has_database_privilege('public', "
        "pg_catalog.current_database(), 'CREATE')) "
        "UNION ALL SELECT who.name || ' may create in schema ' || n.nspname FROM " +
        who + ", pg_catalog.pg_namespace n WHERE" + system +
        "AND pg_catalog.has_schema_privilege(who.name, n.oid, 'CREATE') AND (who.name = "
        "'public' OR NOT pg_catalog.has_schema_privilege('public', n.oid, 'CREATE')) "
        // Rights on the tables beyond reading and adding.
        "UNION ALL SELECT who.name || ' may ' || p.priv || ' ' || c.oid::regclass::text FROM " +
        who +
        ", pg_catalog.pg_class c JOIN pg_catalog.pg_namespace n ON n.oid = c.relnamespace, "
        "(VALUES ('UPDATE'), ('DELETE'), ('TRUNCATE'), ('REFERENCES'), ('TRIGGER')) AS p(priv) "
        "WHERE c.relkind IN ('r', 'v', 'm', 'p', 'f') AND" +
        system +
        "AND pg_catalog.has_table_privilege(who.name, c.oid, p.priv) AND (who.name = "
        "'public' OR NOT pg_catalog.has_table_privilege('public', c.oid, p.priv)) "
        // What it owns: whatever it made, it may change.
        "UNION ALL SELECT who.name || ' owns function ' || f.oid::regprocedure::text FROM " +
        who +
        " JOIN pg_catalog.pg_roles r ON r.rolname = who.name "
        "JOIN pg_catalog.pg_proc f ON f.proowner = r.oid "
        "UNION ALL SELECT who.name || ' owns ' || c.oid::regclass::text FROM " +
        who +
        " JOIN pg_catalog.pg_roles r ON r.rolname = who.name "
        "JOIN pg_catalog.pg_class c ON c.relowner = r.oid "
        "UNION ALL SELECT who.name || ' owns schema ' || n.nspname FROM " +
        who +
        " JOIN pg_catalog.pg_roles r ON r.rolname = who.name "
        "JOIN pg_catalog.pg_namespace n ON n.nspowner = r.oid"
        ") lines ORDER BY 1";
    const PgResult r = c.exec(sql, {}, timeout);
    if (!r.ok()) {
        out.message = r.sqlState() == "42704"
                          ? QStringLiteral("the server has no laptop roles: its owner runs "
                                           "\"xrq-series admin init-server\"")
                          : QStringLiteral("laptop roles' rights not read: ") + text(r.error());
        return out;
    }
    out.ok = true;
    for (int i = 0; i < r.rows(); ++i)
        out.beyond << text(r.value(i, 0));
    return out;
}

SchemaCheck checkServerSchema(PgConnection& connection) {
    SchemaCheck s;
    PgResult r = connection.exec("SELECT pg_catalog.to_regclass('xrq.schema_info') IS NOT NULL");
    const bool info = r.ok() && r.rows() == 1 && r.value(0, 0) == "t";
    if (r.ok())
        r = connection.exec(
            info ? "SELECT version, min_laptop_version FROM xrq.schema_info"
                 // Before schema_info every laptop needed its own version exactly.
                 : "SELECT coalesce(pg_catalog.max(version), 0), coalesce(pg_catalog.max(version), "
                   "0) FROM xrq.schema_version");
    if (!r.ok() || r.rows() != 1) {
        if (r.sqlState() == "42P01" || r.sqlState() == "3F000" || (r.ok() && info)) {
            s.state = SchemaCheck::State::NoSchema;
            s.message = QStringLiteral("the server has no XRQ schema: its owner runs "
                                       "\"xrq-series admin init-server\"");
            return s;
        }
        s.transient = r.transient();
        s.message = QStringLiteral("server schema not read: ") + text(r.error());
        return s;
    }
    // The server's own numbers, read as any value of it is: a version that is none fails.
    const std::optional<std::int64_t> version =
        platform::parseInteger(r.value(0, 0), 0, std::numeric_limits<int>::max());
    const std::optional<std::int64_t> least =
        platform::parseInteger(r.value(0, 1), 0, std::numeric_limits<int>::max());
    if (!version || !least) {
        s.message = QStringLiteral("server schema not read: its version is not a number");
        return s;
    }
    s.serverVersion = int(*version);
    s.minLaptopVersion = int(*least);
    if (s.minLaptopVersion > kServerSchemaVersion) {
        s.state = SchemaCheck::State::ServerNewer;
        s.message = QStringLiteral("the server's schema is version %1 and takes XRQ Control made "
                                   "for version %2 or later, this program is made for %3: "
                                   "update XRQ Control to share")
                        .arg(s.serverVersion)
                        .arg(s.minLaptopVersion)
                        .arg(kServerSchemaVersion);
    } else if (s.serverVersion < kOldestServerSchemaVersion) {
        s.state = SchemaCheck::State::ServerOlder;
        s.message = QStringLiteral("the server's schema is version %1, older than this "
                                   "program needs (%2): its owner runs \"xrq-series admin "
                                   "init-server\"")
                        .arg(s.serverVersion)
                        .arg(kOldestServerSchemaVersion);
    } else {
        s.state = SchemaCheck::State::Matches;
    }
    return s;
}

} // namespace fleet

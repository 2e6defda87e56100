#include "server/store/pg/pg_schema.h"

#include <cstdio>

namespace zandrel::store::pg {
namespace {

// Held by migrations and partition changes for the rest of their
// transaction ('zand' in ASCII).
constexpr const char* kLockKey = "2053205604";

struct Step {
  int version;
  const char* sql;
};

// Each step runs in one transaction with the version row that records it.
// A step is never edited once released: changes are new steps.
const Step kSteps[] = {
    {1, R"sql(
CREATE EXTENSION IF NOT EXISTS pg_trgm;
CREATE SEQUENCE report_seq AS bigint INCREMENT BY 64 MINVALUE 1 MAXVALUE 1099511627775 START 1 NO CYCLE;
-- One row a report: its record as the index keeps it, and its exact bytes.
CREATE TABLE reports (
  id bigint NOT NULL,               -- the 40-bit report id; text as ReportIdText writes it
  received timestamptz NOT NULL,
  sender inet NOT NULL,
  addresses inet[] NOT NULL,        -- the sender and every adapter's IPv4 address
  size integer NOT NULL,            -- bytes of the body
  md5 text NOT NULL,                -- the body's digest, 32 upper-case hex digits
  problem text,
  adapters jsonb NOT NULL,          -- [{name, description, mac, ipv4, mask, gateway}], report order
  macs bigint[] NOT NULL,           -- the adapters' hardware addresses, 48 bits each
  modules text[] NOT NULL,          -- full paths as written, report order
  cpu_percent integer,
  free_bytes bigint,
  udp_ok boolean,
  speed_kbps bigint,
  service_ok boolean,
  channels_ok boolean,
  channel_ids text[] NOT NULL,
  parse_errors integer NOT NULL,
  body bytea NOT NULL,
  PRIMARY KEY (id, received)
) PARTITION BY RANGE (received);
ALTER TABLE reports ALTER COLUMN body SET COMPRESSION lz4;
CREATE INDEX reports_received ON reports (received);
CREATE INDEX reports_md5 ON reports (md5);
CREATE INDEX reports_sender ON reports USING gist (sender inet_ops);
CREATE INDEX reports_addresses ON reports USING gin (addresses);
CREATE INDEX reports_macs ON reports USING gin (macs);
CREATE INDEX reports_problem ON reports USING gin (problem gin_trgm_ops);

CREATE FUNCTION zandrel_make_partition(day date) RETURNS void LANGUAGE plpgsql AS $$
DECLARE
  name text := 'reports_' || to_char(day, 'YYYYMMDD');
BEGIN
  PERFORM pg_advisory_xact_lock(2053205604);
  IF to_regclass(name) IS NULL THEN
    EXECUTE format('CREATE TABLE %I PARTITION OF reports FOR VALUES FROM (%L) TO (%L)', name,
                   to_char(day, 'YYYY-MM-DD') || ' 00:00:00+00', to_char(day + 1, 'YYYY-MM-DD') || ' 00:00:00+00');
  END IF;
END $$;

CREATE FUNCTION zandrel_drop_partitions_before(cutoff timestamptz) RETURNS integer LANGUAGE plpgsql AS $$
DECLARE
  part record;
  dropped integer := 0;
BEGIN
  PERFORM pg_advisory_xact_lock(2053205604);
  FOR part IN
    SELECT c.relname FROM pg_inherits i JOIN pg_class c ON c.oid = i.inhrelid
    WHERE i.inhparent = 'reports'::regclass AND c.relname ~ '^reports_[0-9]{8}$'
  LOOP
    IF (to_date(substr(part.relname, 9), 'YYYYMMDD') + 1)::timestamp AT TIME ZONE 'UTC' <= cutoff THEN
      EXECUTE format('DROP TABLE %I', part.relname);
      dropped := dropped + 1;
    END IF;
  END LOOP;
  RETURN dropped;
END $$;
)sql"},
    {2, R"sql(
-- Search: report_search holds, for each row of reports, what the filters
-- read, under indexes made for them, and rid, the report's position
-- (received ms * 64 + its arrival in that millisecond, modulo 64): "newest
-- first" and the page cursors mean what they mean in the embedded index.
-- A statement trigger on reports fills it, so every writer keeps it.
CREATE TABLE module (
  mid serial PRIMARY KEY,
  path text NOT NULL UNIQUE,  -- as written in reports
  lc text NOT NULL,           -- ASCII letters lower-cased, '/' as '\'
  name text NOT NULL);        -- lc after its last '\'
CREATE INDEX module_name ON module (name);
CREATE INDEX module_lc ON module USING gin (lc gin_trgm_ops);
CREATE SEQUENCE report_arrival;
CREATE TABLE report_search (
  rid bigint NOT NULL UNIQUE,
  id bigint NOT NULL,
  received timestamptz NOT NULL,
  problem text,
  tokens text[] NOT NULL,     -- lower-case Latin words, CJK pairs and single characters
  udp_ok boolean,
  speed_kbps bigint,
  service_ok boolean,
  channels_ok boolean,
  macs bigint[] NOT NULL,
  modules integer[] NOT NULL, -- module ids, report order
  UNIQUE (id, received));
CREATE INDEX report_search_tokens ON report_search USING gin (tokens);
CREATE INDEX report_search_macs ON report_search USING gin (macs);
CREATE INDEX report_search_modules ON report_search USING gin (modules);
CREATE INDEX report_search_udp_failed ON report_search (rid) WHERE udp_ok = false;
CREATE INDEX report_search_speed_failed ON report_search (rid) WHERE speed_kbps = 0;
CREATE INDEX report_search_service_failed ON report_search (rid) WHERE service_ok = false;
CREATE INDEX report_search_channels_failed ON report_search (rid) WHERE channels_ok = false;
CREATE INDEX report_search_speed ON report_search (speed_kbps) WHERE speed_kbps IS NOT NULL;
-- Every address of a report (sender and adapters) for CIDR blocks.
CREATE TABLE report_address (
  ip inet NOT NULL,
  rid bigint NOT NULL);
CREATE INDEX report_address_ip ON report_address USING gist (ip inet_ops);
CREATE INDEX report_address_rid ON report_address (rid);
-- Per UTC day, how many reports loaded each module.
CREATE TABLE module_day (
  day integer NOT NULL,
  mid integer NOT NULL,
  n bigint NOT NULL,
  PRIMARY KEY (day, mid));

-- The search words of a problem text: each run of ASCII letters and digits
-- lower-cased; each run of CJK characters as its single characters and its
-- overlapping pairs.
CREATE FUNCTION zandrel_tokens(t text) RETURNS text[] LANGUAGE sql IMMUTABLE PARALLEL SAFE AS $$
  SELECT coalesce(array_agg(DISTINCT tok), '{}') FROM (
    SELECT translate(m[1], 'ABCDEFGHIJKLMNOPQRSTUVWXYZ', 'abcdefghijklmnopqrstuvwxyz') AS tok
      FROM regexp_matches(t, '([A-Za-z0-9]+)', 'g') m
    UNION ALL
    SELECT substr(c[1], i, n)
      FROM regexp_matches(t, '([\u3040-\u30FF\u3400-\u4DBF\u4E00-\u9FFF\uAC00-\uD7AF\uF900-\uFAFF\U00020000-\U0003FFFF]+)', 'g') c,
           generate_series(1, char_length(c[1])) i, (VALUES (1), (2)) v(n)
     WHERE i + n - 1 <= char_length(c[1])) words
$$;

CREATE FUNCTION zandrel_index_reports() RETURNS trigger LANGUAGE plpgsql AS $$
BEGIN
  INSERT INTO module (path, lc, name)
  SELECT p, lc, regexp_replace(lc, '^.*\\', '')
    FROM (SELECT p, translate(p, 'ABCDEFGHIJKLMNOPQRSTUVWXYZ/', 'abcdefghijklmnopqrstuvwxyz\') AS lc
            FROM (SELECT DISTINCT p FROM new_rows r, unnest(r.modules) p) d
           WHERE NOT EXISTS (SELECT 1 FROM module m WHERE m.path = d.p)) m
   ORDER BY p
  ON CONFLICT (path) DO NOTHING;
  INSERT INTO report_search (rid, id, received, problem, tokens, udp_ok, speed_kbps, service_ok, channels_ok, macs,
                             modules)
  SELECT (extract(epoch FROM r.received) * 1000)::bigint * 64 + nextval('report_arrival') % 64, r.id, r.received,
         r.problem, zandrel_tokens(r.problem), r.udp_ok, r.speed_kbps, r.service_ok, r.channels_ok, r.macs,
         ARRAY(SELECT m.mid FROM unnest(r.modules) WITH ORDINALITY u(p, n) JOIN module m ON m.path = u.p ORDER BY u.n)
    FROM new_rows r;
  INSERT INTO report_address (ip, rid)
  SELECT DISTINCT a, s.rid
    FROM new_rows r JOIN report_search s ON s.id = r.id AND s.received = r.received, unnest(r.addresses) a;
  INSERT INTO module_day (day, mid, n)
  SELECT (s.rid / 64 / 86400000)::integer, u.mid, count(*)
    FROM new_rows r JOIN report_search s ON s.id = r.id AND s.received = r.received
         CROSS JOIN LATERAL (SELECT DISTINCT unnest(s.modules) AS mid) u
   GROUP BY 1, 2 ORDER BY 1, 2
  ON CONFLICT (day, mid) DO UPDATE SET n = module_day.n + excluded.n;
  RETURN NULL;
END $$;
CREATE TRIGGER reports_search AFTER INSERT ON reports
  REFERENCING NEW TABLE AS new_rows FOR EACH STATEMENT EXECUTE FUNCTION zandrel_index_reports();

-- Retention drops the search rows of the days it drops.
CREATE OR REPLACE FUNCTION zandrel_drop_partitions_before(cutoff timestamptz) RETURNS integer LANGUAGE plpgsql AS $$
DECLARE
  part record;
  dropped integer := 0;
  last_day date;
BEGIN
  PERFORM pg_advisory_xact_lock(2053205604);
  FOR part IN
    SELECT c.relname FROM pg_inherits i JOIN pg_class c ON c.oid = i.inhrelid
    WHERE i.inhparent = 'reports'::regclass AND c.relname ~ '^reports_[0-9]{8}$'
  LOOP
    IF (to_date(substr(part.relname, 9), 'YYYYMMDD') + 1)::timestamp AT TIME ZONE 'UTC' <= cutoff THEN
      EXECUTE format('DROP TABLE %I', part.relname);
      dropped := dropped + 1;
      last_day := greatest(last_day, to_date(substr(part.relname, 9), 'YYYYMMDD'));
    END IF;
  END LOOP;
  IF last_day IS NOT NULL THEN
    DELETE FROM report_address a USING report_search s
     WHERE a.rid = s.rid AND s.received < (last_day + 1)::timestamp AT TIME ZONE 'UTC';
    DELETE FROM report_search WHERE received < (last_day + 1)::timestamp AT TIME ZONE 'UTC';
    DELETE FROM module_day WHERE day <= last_day - date '1970-01-01';
  END IF;
  RETURN dropped;
END $$;
)sql"},
    {3, R"sql(
-- The desk's own state, shared by every desk on this database: accounts,
-- API tokens, sessions, failed logins and the audit log. Secrets are kept
-- as their hashes (see desk_db.h); times are ms since 1970 UTC.
CREATE TABLE desk_user (
  name text PRIMARY KEY,
  hash text NOT NULL,               -- scrypt of the password
  created_ms bigint NOT NULL);
CREATE TABLE desk_token (
  name text PRIMARY KEY,
  hash text NOT NULL UNIQUE,        -- SHA-256 of the token
  created_ms bigint NOT NULL);
-- A session goes with its user.
CREATE TABLE desk_session (
  id_hash text PRIMARY KEY,         -- SHA-256 of the session id
  user_name text NOT NULL REFERENCES desk_user (name) ON DELETE CASCADE,
  csrf text NOT NULL,
  created_ms bigint NOT NULL,
  used_ms bigint NOT NULL);
CREATE INDEX desk_session_user ON desk_session (user_name);
CREATE TABLE desk_login_failure (
  key text NOT NULL,                -- user:NAME or addr:A.B.C.D
  at_ms bigint NOT NULL);
CREATE INDEX desk_login_failure_key ON desk_login_failure (key, at_ms);
CREATE TABLE desk_login_lock (
  key text PRIMARY KEY,
  until_ms bigint NOT NULL);
CREATE TABLE desk_audit (
  id bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
  at_ms bigint NOT NULL,
  user_name text NOT NULL,
  from_addr text NOT NULL,
  action text NOT NULL,
  detail text NOT NULL,
  imported_id bigint UNIQUE);       -- the record's id in the desk file it was imported from
)sql"},
    {4, R"sql(
-- Searches read report_search, report_address and module: these indexes
-- of reports were only written.
DROP INDEX reports_sender, reports_addresses, reports_macs, reports_problem;
-- A writer that knows the module ids of a report's paths (from
-- zandrel_module_ids) gives them here, in the order of modules, and adds
-- the row's day counts to module_day_added in the same statement; the
-- trigger then need not look each path up nor count. NULL: the trigger
-- does both.
ALTER TABLE reports ADD COLUMN module_ids integer[];

-- What each statement adds to module_day, appended: writers storing at once
-- never wait for each other's commits on shared counter rows, nor update
-- them hundreds of times a second. zandrel_fold_module_days moves it into
-- module_day; readers sum both.
-- A row a statement and day: ns[i] more reports of the day loaded module
-- mids[i].
CREATE TABLE module_day_added (
  day integer NOT NULL,
  mids integer[] NOT NULL,
  ns bigint[] NOT NULL);

CREATE FUNCTION zandrel_fold_module_days() RETURNS bigint LANGUAGE sql AS $$
  WITH moved AS (DELETE FROM module_day_added RETURNING day, mids, ns),
       folded AS (
         INSERT INTO module_day (day, mid, n)
         SELECT m.day, u.mid, sum(u.n) FROM moved m, unnest(m.mids, m.ns) u(mid, n) GROUP BY 1, 2 ORDER BY 1, 2
         ON CONFLICT (day, mid) DO UPDATE SET n = module_day.n + excluded.n
         RETURNING 1)
  SELECT count(*) FROM folded;
$$;

-- The ids of module paths, those not known yet added.
CREATE FUNCTION zandrel_module_ids(paths text[]) RETURNS TABLE (path text, mid integer) LANGUAGE plpgsql AS $$
#variable_conflict use_column
BEGIN
  INSERT INTO module (path, lc, name)
  SELECT p, lc, regexp_replace(lc, '^.*\\', '')
    FROM (SELECT p, translate(p, 'ABCDEFGHIJKLMNOPQRSTUVWXYZ/', 'abcdefghijklmnopqrstuvwxyz\') AS lc
            FROM (SELECT DISTINCT p FROM unnest(paths) p) d
           WHERE NOT EXISTS (SELECT 1 FROM module m WHERE m.path = d.p)) m
   ORDER BY p
  ON CONFLICT DO NOTHING;
  RETURN QUERY SELECT m.path, m.mid FROM module m WHERE m.path = ANY (paths);
END $$;

CREATE OR REPLACE FUNCTION zandrel_index_reports() RETURNS trigger LANGUAGE plpgsql AS $$
BEGIN
  PERFORM zandrel_module_ids(array_agg(p)) FROM new_rows r, unnest(r.modules) p WHERE r.module_ids IS NULL
   HAVING count(*) > 0;
  INSERT INTO report_search (rid, id, received, problem, tokens, udp_ok, speed_kbps, service_ok, channels_ok, macs,
                             modules)
  SELECT (extract(epoch FROM r.received) * 1000)::bigint * 64 + nextval('report_arrival') % 64, r.id, r.received,
         r.problem, zandrel_tokens(r.problem), r.udp_ok, r.speed_kbps, r.service_ok, r.channels_ok, r.macs,
         coalesce(r.module_ids, ARRAY(SELECT m.mid FROM unnest(r.modules) WITH ORDINALITY u(p, n)
                                       JOIN module m ON m.path = u.p ORDER BY u.n))
    FROM new_rows r;
  INSERT INTO report_address (ip, rid)
  SELECT DISTINCT a, s.rid
    FROM new_rows r JOIN report_search s ON s.id = r.id AND s.received = r.received, unnest(r.addresses) a;
  -- A writer that gives module_ids adds their day counts in its statement.
  INSERT INTO module_day_added (day, mids, ns)
  SELECT day, array_agg(mid), array_agg(n) FROM (
    SELECT (s.rid / 64 / 86400000)::integer AS day, u.mid, count(*) AS n
      FROM new_rows r JOIN report_search s ON s.id = r.id AND s.received = r.received
           CROSS JOIN LATERAL (SELECT DISTINCT unnest(s.modules) AS mid) u
     WHERE r.module_ids IS NULL
     GROUP BY 1, 2) c
   GROUP BY day;
  RETURN NULL;
END $$;

CREATE OR REPLACE FUNCTION zandrel_drop_partitions_before(cutoff timestamptz) RETURNS integer LANGUAGE plpgsql AS $$
DECLARE
  part record;
  dropped integer := 0;
  last_day date;
BEGIN
  PERFORM pg_advisory_xact_lock(2053205604);
  FOR part IN
    SELECT c.relname FROM pg_inherits i JOIN pg_class c ON c.oid = i.inhrelid
    WHERE i.inhparent = 'reports'::regclass AND c.relname ~ '^reports_[0-9]{8}$'
  LOOP
    IF (to_date(substr(part.relname, 9), 'YYYYMMDD') + 1)::timestamp AT TIME ZONE 'UTC' <= cutoff THEN
      EXECUTE format('DROP TABLE %I', part.relname);
      dropped := dropped + 1;
      last_day := greatest(last_day, to_date(substr(part.relname, 9), 'YYYYMMDD'));
    END IF;
  END LOOP;
  IF last_day IS NOT NULL THEN
    DELETE FROM report_address a USING report_search s
     WHERE a.rid = s.rid AND s.received < (last_day + 1)::timestamp AT TIME ZONE 'UTC';
    DELETE FROM report_search WHERE received < (last_day + 1)::timestamp AT TIME ZONE 'UTC';
    DELETE FROM module_day WHERE day <= last_day - date '1970-01-01';
    DELETE FROM module_day_added WHERE day <= last_day - date '1970-01-01';
  END IF;
  RETURN dropped;
END $$;
)sql"},
};

bool ReadVersion(Connection& conn, int& version, PgError& error) {
  Result exists = conn.Query("SELECT to_regclass('zandrel_schema') IS NOT NULL", {}, error);
  if (!exists) return false;
  if (std::string(PQgetvalue(exists.get(), 0, 0)) != "t") {
    version = 0;
    return true;
  }
  Result r = conn.Query("SELECT coalesce(max(version), 0) FROM zandrel_schema", {}, error);
  if (!r) return false;
  version = std::stoi(PQgetvalue(r.get(), 0, 0));
  return true;
}

std::string DateText(int64_t ms) {
  // Days since 1970 to a civil date (Howard Hinnant's algorithm).
  int64_t z = (ms >= 0 ? ms : ms - kDayMs + 1) / kDayMs + 719468;
  int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  int64_t doe = z - era * 146097;
  int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  int64_t y = yoe + era * 400;
  int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  int64_t mp = (5 * doy + 2) / 153;
  int64_t d = doy - (153 * mp + 2) / 5 + 1;
  int64_t m = mp < 10 ? mp + 3 : mp - 9;
  if (m <= 2) ++y;
  char text[40];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d", static_cast<int>(y), static_cast<int>(m), static_cast<int>(d));
  return text;
}

}  // namespace

std::string MigrateHint() { return "run `zandrel-desk --database URL migrate` with this program's version"; }

bool SchemaVersion(Connection& conn, int& version, PgError& error) { return ReadVersion(conn, version, error); }

bool Migrate(Connection& conn, PgError& error, const std::function<void(int)>& step) {
  for (const Step& s : kSteps) {
    if (!conn.Exec("BEGIN", error)) return false;
    int version = 0;
    std::string lock = std::string("SELECT pg_advisory_xact_lock(") + kLockKey + ")";
    bool ok = conn.Exec(lock, error) &&
              conn.Exec("CREATE TABLE IF NOT EXISTS zandrel_schema (version integer PRIMARY KEY, "
                        "applied timestamptz NOT NULL DEFAULT now())",
                        error) &&
              ReadVersion(conn, version, error);
    if (ok && version >= s.version) {
      if (!conn.Exec("COMMIT", error)) return false;
      continue;
    }
    ok = ok && conn.Exec(s.sql, error) &&
         conn.Exec("INSERT INTO zandrel_schema(version) VALUES (" + std::to_string(s.version) + ")", error);
    if (!ok) {
      PgError ignored;
      conn.Exec("ROLLBACK", ignored);
      return false;
    }
    if (!conn.Exec("COMMIT", error)) return false;
    if (step) step(s.version);
  }
  return true;
}

bool CheckSchema(Connection& conn, std::string& message) {
  int version = 0;
  PgError error;
  if (!ReadVersion(conn, version, error)) {
    message = "cannot read the schema version: " + error.message;
    return false;
  }
  if (version == kSchemaVersion) return true;
  if (version == 0) {
    message = "the database has no report schema; " + MigrateHint();
  } else if (version < kSchemaVersion) {
    message = "the database's schema is version " + std::to_string(version) + ", older than this program's " +
              std::to_string(kSchemaVersion) + "; " + MigrateHint();
  } else {
    message = "the database's schema is version " + std::to_string(version) + ", newer than this program's " +
              std::to_string(kSchemaVersion) + "; run a program of the newer version, or `zandrel-desk --database URL migrate` of it";
  }
  return false;
}

bool MakePartitions(Connection& conn, int64_t fromMs, int days, PgError& error) {
  for (int i = 0; i < days; ++i) {
    std::string day = DateText(fromMs + int64_t{i} * kDayMs);
    if (!conn.Query("SELECT zandrel_make_partition($1::date)", {day.c_str()}, error)) return false;
  }
  return true;
}

bool DropPartitionsBefore(Connection& conn, int64_t cutoffMs, int& dropped, PgError& error) {
  std::string seconds = std::to_string(cutoffMs / 1000);
  Result r = conn.Query("SELECT zandrel_drop_partitions_before(to_timestamp($1::bigint))", {seconds.c_str()}, error);
  if (!r) return false;
  dropped = std::stoi(PQgetvalue(r.get(), 0, 0));
  return true;
}

}  // namespace zandrel::store::pg

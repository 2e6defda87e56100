#include "server/store/pg_schema.h"

namespace zandrel::store {
namespace {

// Reports: rid is the position (received ms * 64 + the order of arrival in
// that millisecond), as in the embedded index, so cursors and "newest
// first" mean the same; id is the report id's 40-bit value. Search columns:
// tokens (ProblemTokens: lower-case Latin words, CJK pairs and single
// characters) under GIN; macs under GIN; modules (ids into module, in the
// report's order) under GIN; every address of a report (sender and adapters)
// in report_address under GiST. module_day counts, per UTC day, the reports
// that loaded each module, kept by a statement trigger.
constexpr const char* kSteps[] = {
    R"sql(
CREATE EXTENSION IF NOT EXISTS pg_trgm;
CREATE SEQUENCE report_seq;
CREATE TABLE module(
  mid serial PRIMARY KEY,
  path text NOT NULL UNIQUE,
  lc text NOT NULL,
  name text NOT NULL);
CREATE INDEX module_name ON module(name);
CREATE INDEX module_lc ON module USING gin(lc gin_trgm_ops);
CREATE TABLE report(
  rid bigint PRIMARY KEY,
  id bigint NOT NULL UNIQUE,
  received bigint NOT NULL,
  sender inet NOT NULL,
  size bigint NOT NULL,
  md5 text NOT NULL,
  file text NOT NULL,
  problem text,
  tokens text[] NOT NULL,
  cpu_percent integer,
  free_bytes bigint,
  udp_ok boolean,
  speed_kbps bigint,
  service_ok boolean,
  channels_ok boolean,
  parse_errors integer NOT NULL,
  modules integer[] NOT NULL,
  macs bigint[] NOT NULL,
  adapters bytea NOT NULL,
  channel_ids bytea NOT NULL);
CREATE INDEX report_tokens ON report USING gin(tokens);
CREATE INDEX report_macs ON report USING gin(macs);
CREATE INDEX report_modules ON report USING gin(modules);
CREATE INDEX report_udp_failed ON report(rid) WHERE udp_ok = false;
CREATE INDEX report_speed_failed ON report(rid) WHERE speed_kbps = 0;
CREATE INDEX report_service_failed ON report(rid) WHERE service_ok = false;
CREATE INDEX report_channels_failed ON report(rid) WHERE channels_ok = false;
CREATE INDEX report_speed ON report(speed_kbps) WHERE speed_kbps IS NOT NULL;
CREATE TABLE report_address(
  ip inet NOT NULL,
  rid bigint NOT NULL REFERENCES report ON DELETE CASCADE);
CREATE INDEX report_address_ip ON report_address USING gist(ip inet_ops);
CREATE INDEX report_address_rid ON report_address(rid);
CREATE TABLE report_body(
  rid bigint PRIMARY KEY REFERENCES report ON DELETE CASCADE,
  body bytea NOT NULL);
CREATE TABLE module_day(
  day integer NOT NULL,
  mid integer NOT NULL,
  n bigint NOT NULL,
  PRIMARY KEY(day, mid));
CREATE FUNCTION module_day_add() RETURNS trigger LANGUAGE plpgsql AS $$
BEGIN
  INSERT INTO module_day(day, mid, n)
  SELECT (r.received / 86400000)::integer, u.mid, count(*)
    FROM new_rows r CROSS JOIN LATERAL (SELECT DISTINCT unnest(r.modules) AS mid) u
   GROUP BY 1, 2 ORDER BY 1, 2
  ON CONFLICT (day, mid) DO UPDATE SET n = module_day.n + excluded.n;
  RETURN NULL;
END $$;
CREATE FUNCTION module_day_remove() RETURNS trigger LANGUAGE plpgsql AS $$
BEGIN
  UPDATE module_day d SET n = d.n - g.c
    FROM (SELECT (r.received / 86400000)::integer AS day, u.mid, count(*) AS c
            FROM old_rows r CROSS JOIN LATERAL (SELECT DISTINCT unnest(r.modules) AS mid) u
           GROUP BY 1, 2) g
   WHERE d.day = g.day AND d.mid = g.mid;
  RETURN NULL;
END $$;
CREATE TRIGGER report_module_days_add AFTER INSERT ON report
  REFERENCING NEW TABLE AS new_rows FOR EACH STATEMENT EXECUTE FUNCTION module_day_add();
CREATE TRIGGER report_module_days_remove AFTER DELETE ON report
  REFERENCING OLD TABLE AS old_rows FOR EACH STATEMENT EXECUTE FUNCTION module_day_remove();
)sql",
};
static_assert(sizeof(kSteps) / sizeof(kSteps[0]) == kPgSchemaVersion);

}  // namespace

bool PgSchemaVersion(PgConnection& conn, int& version, std::string* error) {
  PgResult exists = conn.Query("SELECT to_regclass('schema_version') IS NOT NULL");
  if (!exists) {
    if (error) *error = exists.error();
    return false;
  }
  version = 0;
  if (exists.Text(0, 0) != "t") return true;
  PgResult found = conn.Query("SELECT coalesce(max(version), 0) FROM schema_version");
  if (!found) {
    if (error) *error = found.error();
    return false;
  }
  version = static_cast<int>(found.Int(0, 0));
  return true;
}

bool PgMigrate(PgConnection& conn, std::string* error) {
  // One migrator at a time: others wait here, then find the work done.
  if (!conn.Exec("BEGIN; SELECT pg_advisory_xact_lock(7152669);"
                 "CREATE TABLE IF NOT EXISTS schema_version(version integer NOT NULL)",
                 error)) {
    conn.Exec("ROLLBACK", nullptr);
    return false;
  }
  int version = 0;
  bool ok = PgSchemaVersion(conn, version, error);
  if (ok && version > kPgSchemaVersion) {
    if (error) *error = "the database's schema is newer (" + std::to_string(version) + ") than this program's";
    ok = false;
  }
  for (int step = version; ok && step < kPgSchemaVersion; ++step) {
    ok = conn.Exec(kSteps[step], error) &&
         conn.Exec("DELETE FROM schema_version; INSERT INTO schema_version VALUES (" + std::to_string(step + 1) + ")",
                   error);
  }
  if (!ok) {
    conn.Exec("ROLLBACK", nullptr);
    return false;
  }
  return conn.Exec("COMMIT", error);
}

}  // namespace zandrel::store

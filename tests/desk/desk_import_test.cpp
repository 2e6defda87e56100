// zandrel-desk import: an embedded store copied into PostgreSQL, cut short by
// a kill and run again.
#include <gtest/gtest.h>

#include <set>

#include "command.h"
#include "pg_server.h"
#include "platform/files.h"
#include "report_generator.h"
#include "server/store/pg/pg_report_store.h"
#include "server/store/report_id.h"
#include "server/store/report_index.h"
#include "temp_dir.h"
#include "wait.h"

namespace {

using namespace zandrel;

void PgQueryOk(store::PgReportStore& db, const std::string& sql) {
  std::string error;
  EXPECT_TRUE(db.connection().Exec(sql, &error)) << sql << ": " << error;
}

TEST(DeskImport, AKilledImportRunAgainCopiesEveryReportOnceWithItsIdAndBytes) {
  testsupport::PgServer server;
  ASSERT_TRUE(server.Start()) << server.why();
  std::string url = server.CreateDatabase("import");
  std::string desk = std::string(ZANDREL_DESK_BIN) + " --database '" + url + "'";
  ASSERT_EQ(testsupport::RunCommand(desk + " migrate").exitCode, 0);

  // The embedded store: body files and their index.
  testsupport::TempDir dir("zandrel-import");
  constexpr int kReports = 1000;
  zandrel::testing::GeneratorOptions options;
  options.count_hint = kReports;
  options.span_ms = 10LL * 86400000;
  zandrel::testing::ReportGenerator gen(options);
  std::vector<store::ReportRecord> records;
  std::vector<std::string> bodies;
  uint64_t last_sequence = 0;
  for (int i = 0; i < kReports; ++i) {
    store::ReportRecord r = gen.Next();
    uint64_t sequence = 1000 + static_cast<uint64_t>(i) * 7;
    last_sequence = sequence;
    r.id = store::ReportIdText(store::ReportIdForSequence(sequence));
    r.file = "report-" + std::to_string(i) + ".txt";
    std::string body = "report " + r.id + std::string("\0\r\n\xb2\xe2", 5) + std::string(static_cast<std::size_t>(i), 'x');
    ASSERT_TRUE(platform::WriteWholeFile(dir / r.file, body.data(), body.size()));
    records.push_back(std::move(r));
    bodies.push_back(std::move(body));
  }
  {
    store::ReportIndex index;
    ASSERT_TRUE(index.Open(dir / "index.sqlite").ok);
    ASSERT_TRUE(index.Add(records).ok);
  }

  // The import is held inside its third batch (a lock this test holds),
  // then killed: what it committed stays, the held batch goes back.
  store::PgReportStore db;
  ASSERT_TRUE(db.Open(url).ok);
  PgQueryOk(db, "CREATE FUNCTION hold() RETURNS trigger LANGUAGE plpgsql AS $$"
                " BEGIN PERFORM pg_advisory_xact_lock(4242); RETURN NULL; END $$");
  std::set<std::string> ids;
  std::vector<store::IndexedFile> order;
  {
    store::ReportIndex index;
    ASSERT_TRUE(index.Open(dir / "index.sqlite").ok);
    ASSERT_TRUE(index.List(order).ok);
  }
  // The first report of the third batch of 200, in the order import reads them.
  uint64_t held_id = *store::ParseReportId(order[400].id);
  PgQueryOk(db, "CREATE TRIGGER hold AFTER INSERT ON reports FOR EACH ROW WHEN (NEW.id = " +
                    std::to_string(held_id) + ") EXECUTE FUNCTION hold()");
  store::PgConnection holder;
  ASSERT_TRUE(holder.Connect(url, nullptr));
  ASSERT_TRUE(holder.Exec("SELECT pg_advisory_lock(4242)", nullptr));

  // The desk's own file: an account and a token, copied after the reports.
  std::string on_file = std::string(ZANDREL_DESK_BIN) + " --data-dir " + dir.path();
  ASSERT_TRUE(platform::WriteWholeFile(dir / "pw", "a long secret\n", 14));
  ASSERT_EQ(testsupport::RunCommand(on_file + " user add carol < " + (dir / "pw")).exitCode, 0);
  ASSERT_EQ(testsupport::RunCommand(on_file + " token add cron").exitCode, 0);

  auto started = testsupport::RunCommand(desk + " --data-dir " + dir.path() + " import >/dev/null 2>&1 & echo $!");
  ASSERT_EQ(started.exitCode, 0);
  std::string pid = started.out.substr(0, started.out.find('\n'));
  auto waiting = [&] {
    store::PgResult r = holder.Query(
        "SELECT count(*) FROM pg_stat_activity WHERE wait_event_type = 'Lock' AND wait_event = 'advisory'");
    return r && r.Int(0, 0) > 0;
  };
  ASSERT_TRUE(testsupport::WaitUntil(waiting, 60000));
  ASSERT_EQ(testsupport::RunCommand("kill -9 " + pid).exitCode, 0);
  ASSERT_TRUE(holder.Exec("SELECT pg_advisory_unlock(4242)", nullptr));
  uint64_t total = 0;
  ASSERT_TRUE(testsupport::WaitUntil(
      [&] {
        store::PgResult r = holder.Query("SELECT count(*) FROM pg_stat_activity WHERE wait_event = 'advisory'");
        return r && r.Int(0, 0) == 0;
      },
      60000));
  ASSERT_TRUE(db.Count({}, total).ok);
  EXPECT_EQ(total, 400u);  // two whole batches, nothing of the third
  PgQueryOk(db, "DROP TRIGGER hold ON reports");

  auto again = testsupport::RunCommand(desk + " --data-dir " + dir.path() + " import 2>/dev/null");
  ASSERT_EQ(again.exitCode, 0) << again.out;
  EXPECT_NE(again.out.find("600 copied, 400 there already"), std::string::npos) << again.out;
  EXPECT_NE(again.out.find("1 users copied, 0 there already; 1 tokens copied"), std::string::npos) << again.out;
  auto third = testsupport::RunCommand(desk + " --data-dir " + dir.path() + " import 2>/dev/null");
  ASSERT_EQ(third.exitCode, 0) << third.out;
  EXPECT_NE(third.out.find("0 users copied, 1 there already; 0 tokens copied, 1 there already"), std::string::npos)
      << third.out;
  EXPECT_EQ(testsupport::RunCommand(desk + " user list").out.rfind("carol\t", 0), 0u);
  EXPECT_EQ(testsupport::RunCommand(desk + " token list").out.rfind("cron\t", 0), 0u);

  store::PgResult rows = db.connection().Query("SELECT id, count(*) FROM reports GROUP BY id");
  ASSERT_TRUE(rows) << rows.error();
  ASSERT_EQ(rows.rows(), kReports);
  for (int i = 0; i < rows.rows(); ++i) {
    EXPECT_EQ(rows.Int(i, 1), 1);
    ids.insert(store::ReportIdText(static_cast<uint64_t>(rows.Int(i, 0))));
  }
  for (std::size_t i = 0; i < records.size(); ++i) {
    EXPECT_TRUE(ids.count(records[i].id)) << records[i].id;
    if (i % 25 != 0) continue;
    std::optional<std::string> body;
    ASSERT_TRUE(db.Body(records[i].id, body).ok);
    ASSERT_TRUE(body) << records[i].id;
    EXPECT_EQ(*body, bodies[i]);
    std::optional<store::ReportRecord> got;
    ASSERT_TRUE(db.Get(records[i].id, got).ok);
    ASSERT_TRUE(got);
    EXPECT_EQ(got->received, records[i].received);
    EXPECT_EQ(got->facts.modules, records[i].facts.modules);
  }
  // New reports are numbered after the imported ones.
  store::PgResult next = db.connection().Query("SELECT nextval('report_seq')");
  ASSERT_TRUE(next) << next.error();
  EXPECT_GT(static_cast<uint64_t>(next.Int(0, 0)), last_sequence);
}

}  // namespace

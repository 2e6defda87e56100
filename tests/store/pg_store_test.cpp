#include "server/store/pg/pg_report_store.h"

#include <gtest/gtest.h>

#include "pg_server.h"
#include "report_generator.h"
#include "server/store/pg/pg_schema.h"
#include "server/store/report_id.h"

namespace zandrel::store {
namespace {

class PgStoreTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    server_ = new testsupport::PgServer;
    started_ = server_->Start();
    if (!started_) ADD_FAILURE() << server_->why();
  }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  void SetUp() override { ASSERT_TRUE(started_); }

  static std::vector<ReportRecord> Records(int n) {
    testing::GeneratorOptions options;
    options.count_hint = static_cast<uint64_t>(n);
    testing::ReportGenerator gen(options);
    std::vector<ReportRecord> out;
    for (int i = 0; i < n; ++i) out.push_back(gen.Next());
    return out;
  }

  static testsupport::PgServer* server_;
  static bool started_;
};
testsupport::PgServer* PgStoreTest::server_;
bool PgStoreTest::started_;

TEST_F(PgStoreTest, SchemaIsMadeOnceAndRequiredBeforeUse) {
  std::string url = server_->CreateDatabase("schema");
  PgReportStore store;
  IndexStatus s = store.Open(url);
  ASSERT_FALSE(s.ok);
  EXPECT_NE(s.message.find("migrate"), std::string::npos) << s.message;
  ASSERT_TRUE(store.Open(url, true).ok);
  PgReportStore again;  // a second migration finds nothing to do
  s = again.Open(url, true);
  ASSERT_TRUE(s.ok) << s.message;
  PgResult versions = again.connection().Query("SELECT version FROM zandrel_schema ORDER BY version");
  ASSERT_TRUE(versions) << versions.error();
  ASSERT_EQ(versions.rows(), pg::kSchemaVersion);  // each step once
  EXPECT_EQ(versions.Int(versions.rows() - 1, 0), pg::kSchemaVersion);
  // A schema from a newer program is refused, also by migrate.
  ASSERT_TRUE(again.connection().Exec("INSERT INTO zandrel_schema(version) VALUES (99)", nullptr));
  EXPECT_FALSE(PgReportStore().Open(url).ok);
  EXPECT_FALSE(PgReportStore().Open(url, true).ok);
  EXPECT_FALSE(PgReportStore().Open(server_->Url("no_such_database")).ok);
}

TEST_F(PgStoreTest, ACappedTotalStopsPastTheCapAndSaysSoWhileAnExactOneCountsAll) {
  std::string url = server_->CreateDatabase("capped");
  PgReportStore store;
  ASSERT_TRUE(store.Open(url, true).ok);
  std::vector<ReportRecord> records = Records(30);
  std::vector<std::string> bodies(records.size(), "x");
  ASSERT_TRUE(store.Insert(records, bodies).ok);
  SearchQuery all;
  all.limit = 5;
  for (int64_t cap : {10, 29, 30, 31}) {
    store.set_count_cap(cap);
    SearchPage page;
    ASSERT_TRUE(store.Search(all, page, true, true).ok);
    ASSERT_TRUE(page.total);
    EXPECT_EQ(page.hits.size(), 5u);
    EXPECT_EQ(*page.total, static_cast<uint64_t>(std::min<int64_t>(cap, 30))) << cap;
    EXPECT_EQ(page.total_capped, cap < 30) << cap;
    ASSERT_TRUE(store.Search(all, page, true).ok);
    EXPECT_EQ(page.total, 30u) << "exact without the cap";
    EXPECT_FALSE(page.total_capped);
  }
  // A filter matching nothing is no "more than".
  SearchQuery none = all;
  none.ip = Ipv4Range{1, 1};
  SearchPage page;
  store.set_count_cap(0);
  ASSERT_TRUE(store.Search(none, page, true, true).ok);
  EXPECT_EQ(page.total, 0u);
  EXPECT_FALSE(page.total_capped);
}

TEST_F(PgStoreTest, StoringTwiceKeepsOneRowWithTheExactBytes) {
  PgReportStore store;
  ASSERT_TRUE(store.Open(server_->CreateDatabase("twice"), true).ok);
  std::vector<ReportRecord> records = Records(40);
  records[1].received = records[0].received;  // one millisecond, two reports
  std::vector<std::string> bodies;
  for (std::size_t i = 0; i < records.size(); ++i) {
    std::string body(300 + i, '\0');
    for (std::size_t k = 0; k < body.size(); ++k) body[k] = static_cast<char>((k * 131 + i) & 255);
    bodies.push_back(body);
  }
  uint64_t added = 0;
  std::vector<ReportRecord> first(records.begin(), records.begin() + 30);
  ASSERT_TRUE(store.Insert(first, std::vector<std::string>(bodies.begin(), bodies.begin() + 30), &added).ok);
  EXPECT_EQ(added, 30u);
  IndexStatus s = store.Insert(records, bodies, &added);
  ASSERT_TRUE(s.ok) << s.message;
  EXPECT_EQ(added, 10u);
  uint64_t total = 0;
  ASSERT_TRUE(store.Count({}, total).ok);
  EXPECT_EQ(total, 40u);
  for (std::size_t i : {std::size_t{0}, std::size_t{1}, std::size_t{39}}) {
    std::optional<std::string> body;
    ASSERT_TRUE(store.Body(records[i].id, body).ok);
    ASSERT_TRUE(body);
    EXPECT_EQ(*body, bodies[i]);
  }
  // The later arrival of the same millisecond comes first.
  SearchQuery q;
  q.from_ms = records[0].received;
  q.to_ms = records[0].received + 1;
  SearchPage page;
  ASSERT_TRUE(store.Search(q, page, true).ok);
  ASSERT_EQ(page.hits.size(), 2u);
  EXPECT_EQ(page.hits[0].record.id, records[1].id);
  std::optional<std::string> none;
  ASSERT_TRUE(store.Body("0000-0000", none).ok);
  EXPECT_FALSE(none);

  // A failing report takes its whole batch back.
  std::vector<ReportRecord> bad = Records(2);
  bad[0].id = ReportIdText(ReportIdForSequence(900000));
  bad[1].id = "not an id";
  EXPECT_FALSE(store.Insert(bad, {"a", "b"}).ok);
  bool found = true;
  ASSERT_TRUE(store.Has(bad[0].id, found).ok);
  EXPECT_FALSE(found);
}

TEST_F(PgStoreTest, TheIdSequenceMovesPastImportedIds) {
  PgReportStore store;
  ASSERT_TRUE(store.Open(server_->CreateDatabase("sequence"), true).ok);
  std::vector<ReportRecord> records = Records(3);
  records[0].id = ReportIdText(ReportIdForSequence(5000));
  records[1].id = ReportIdText(ReportIdForSequence(70));
  records[2].id = ReportIdText(ReportIdForSequence(123456));
  ASSERT_TRUE(store.Insert(records, {"x", "y", "z"}).ok);
  ASSERT_TRUE(store.AdvanceIdSequence().ok);
  PgResult next = store.connection().Query("SELECT nextval('report_seq')");
  ASSERT_TRUE(next) << next.error();
  EXPECT_EQ(next.Int(0, 0), 123457);
  // Never moved back: the next block follows the one just taken.
  ASSERT_TRUE(store.AdvanceIdSequence().ok);
  next = store.connection().Query("SELECT nextval('report_seq')");
  EXPECT_EQ(next.Int(0, 0), 123457 + 64);
}

}  // namespace
}  // namespace zandrel::store

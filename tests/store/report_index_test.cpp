#include "server/store/report_index.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <thread>

#include "pg_server.h"
#include "report_generator.h"
#include "server/store/pg/pg_report_store.h"
#include "server/store/report_reader.h"
#include "temp_dir.h"
#include "wait.h"

namespace zandrel::store {
namespace {

using testing::GeneratorOptions;
using testing::ReportGenerator;

// What a query means, written over the records themselves.
bool Matches(const ReportRecord& r, const SearchQuery& q) {
  const report::ReportFacts& f = r.facts;
  for (const std::string& w : q.words) {
    if (!f.problem) return false;
    if (static_cast<unsigned char>(w[0]) >= 0x80) {
      if (f.problem->find(w) == std::string::npos) return false;
      continue;
    }
    std::set<std::string> words;
    std::string cur;
    for (char c : *f.problem + " ") {
      if (std::isalnum(static_cast<unsigned char>(c)) && static_cast<unsigned char>(c) < 0x80) {
        cur += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      } else if (!cur.empty()) {
        words.insert(cur);
        cur.clear();
      }
    }
    if (!words.count(w)) return false;
  }
  if (q.ip) {
    std::vector<uint32_t> addresses{r.sender};
    for (const auto& a : f.adapters) {
      unsigned b[4];
      if (std::sscanf(a.ipv4.c_str(), "%u.%u.%u.%u", &b[0], &b[1], &b[2], &b[3]) == 4) {
        addresses.push_back(b[0] << 24 | b[1] << 16 | b[2] << 8 | b[3]);
      }
    }
    if (std::none_of(addresses.begin(), addresses.end(),
                     [&](uint32_t a) { return a >= q.ip->first && a <= q.ip->last; })) {
      return false;
    }
  }
  if (q.mac && std::none_of(f.adapters.begin(), f.adapters.end(), [&](const report::Adapter& a) {
        std::string hex;
        for (char c : a.mac) {
          if (c != '-') hex += c;
        }
        return std::stoull(hex, nullptr, 16) == *q.mac;
      })) {
    return false;
  }
  if (q.module && std::none_of(f.modules.begin(), f.modules.end(), [&](const std::string& m) {
        std::string lc = m;
        for (char& c : lc) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (q.module->find('\\') != std::string::npos) return lc.find(*q.module) != std::string::npos;
        return lc.substr(lc.rfind('\\') + 1) == *q.module;
      })) {
    return false;
  }
  if (q.from_ms && r.received < *q.from_ms) return false;
  if (q.to_ms && r.received >= *q.to_ms) return false;
  if ((q.failed & kCheckUdp) && f.udp_ok != false) return false;
  if ((q.failed & kCheckSpeed) && f.speed_kbps != 0) return false;
  if ((q.failed & kCheckService) && f.service_ok != false) return false;
  if ((q.failed & kCheckChannels) && f.channels_ok != false) return false;
  if (q.slower_than && !(f.speed_kbps && *f.speed_kbps < *q.slower_than)) return false;
  return true;
}

std::string Date(int64_t ms, bool with_time) {
  time_t s = static_cast<time_t>(ms / 1000);
  struct tm t;
  gmtime_r(&s, &t);
  char out[40];
  std::strftime(out, sizeof out, with_time ? "%Y-%m-%dT%H:%M:%SZ" : "%Y-%m-%d", &t);
  return out;
}

// The search tests run against each store: the embedded index and PostgreSQL.
enum class Backend { kEmbedded, kPostgres };

std::string BackendName(const ::testing::TestParamInfo<Backend>& info) {
  return info.param == Backend::kEmbedded ? "Embedded" : "Postgres";
}

// One server for the whole run, started at first use.
testsupport::PgServer& Postgres() {
  static testsupport::PgServer server;  // stopped when the process ends
  static bool started = [] {
    if (!server.Start()) ADD_FAILURE() << server.why();
    return true;
  }();
  (void)started;
  return server;
}

// A new, empty store of the backend; `name` is unique within the run.
std::unique_ptr<ReportReader> OpenStore(Backend backend, const testsupport::TempDir& dir, const std::string& name) {
  if (backend == Backend::kEmbedded) {
    auto reader = std::make_unique<EmbeddedReportReader>(dir.path());
    IndexStatus s = reader->Open(dir / (name + ".sqlite"));
    EXPECT_TRUE(s.ok) << s.message;
    return reader;
  }
  auto store = std::make_unique<PgReportStore>();
  IndexStatus s = store->Open(Postgres().CreateDatabase(name), true);
  EXPECT_TRUE(s.ok) << s.message;
  store->set_walk_rows(40);  // less than the tests' stores: pages found by the walk and past it
  return store;
}

// The body a test stores for a record: bytes that no two records share.
std::string BodyOf(const ReportRecord& r) { return "body of " + r.id + std::string("\0\xff\x81", 3); }

IndexStatus AddTo(ReportReader& store, const std::vector<ReportRecord>& records) {
  if (auto* embedded = dynamic_cast<EmbeddedReportReader*>(&store)) return embedded->index().Add(records);
  std::vector<std::string> bodies;
  for (const auto& r : records) bodies.push_back(BodyOf(r));
  return static_cast<PgReportStore&>(store).Insert(records, bodies);
}

class ReportIndexTest : public ::testing::TestWithParam<Backend> {
 protected:
  static constexpr int kRecords = 3000;

  void SetUp() override { index_ = Loaded(GetParam()); }

  // The store of the backend holding the generated records, made at first use.
  static ReportReader* Loaded(Backend backend) {
    ReportReader*& store = backend == Backend::kEmbedded ? embedded_ : postgres_;
    if (store == nullptr) {
      store = OpenStore(backend, *dir_, "search").release();
      for (std::size_t i = 0; i < records_->size(); i += 500) {
        std::vector<ReportRecord> batch(records_->begin() + static_cast<std::ptrdiff_t>(i),
                                        records_->begin() + static_cast<std::ptrdiff_t>(std::min(i + 500, records_->size())));
        IndexStatus s = AddTo(*store, batch);
        EXPECT_TRUE(s.ok) << s.message;
      }
    }
    return store;
  }

  static void SetUpTestSuite() {
    dir_ = new testsupport::TempDir("zandrel-index");
    GeneratorOptions options;
    options.seed = 7;
    options.span_ms = 60LL * 86400000;
    options.senders = 400;
    options.in_time_order = false;  // catch-up adds old reports after new ones
    ReportGenerator gen(options);
    records_ = new std::vector<ReportRecord>;
    for (int i = 0; i < kRecords; ++i) records_->push_back(gen.Next());
    // A few in one millisecond, to be told apart by their order of arrival.
    for (int i = 1; i < 4; ++i) (*records_)[static_cast<std::size_t>(i)].received = (*records_)[0].received;
    phrases_ = new std::vector<std::string>(gen.phrases());
  }
  static void TearDownTestSuite() {
    delete embedded_;
    delete postgres_;
    embedded_ = postgres_ = nullptr;
    delete records_;
    delete phrases_;
    delete dir_;
  }

  // The expected ids: newest first, the later arrival first within a millisecond.
  static std::vector<std::string> Expected(const SearchQuery& q) {
    std::vector<std::size_t> order;
    for (std::size_t i = 0; i < records_->size(); ++i) {
      if (Matches((*records_)[i], q)) order.push_back(i);
    }
    std::stable_sort(order.begin(), order.end(), [](std::size_t a, std::size_t b) {
      const auto &x = (*records_)[a], &y = (*records_)[b];
      return x.received != y.received ? x.received > y.received : a > b;
    });
    std::vector<std::string> ids;
    for (std::size_t i : order) ids.push_back((*records_)[i].id);
    return ids;
  }

  // Every page of the query, following the cursor.
  static std::vector<std::string> AllPages(SearchQuery q, uint64_t* total, ReportReader* index = index_) {
    std::vector<std::string> ids;
    for (int pages = 0; pages < 10000; ++pages) {
      SearchPage page;
      IndexStatus s = index->Search(q, page, true);
      EXPECT_TRUE(s.ok) << s.message;
      if (!s.ok) break;
      *total = page.total.value_or(~0ULL);
      EXPECT_LE(page.hits.size(), static_cast<std::size_t>(q.limit));
      for (const auto& hit : page.hits) ids.push_back(hit.record.id);
      if (page.next_cursor.empty()) break;
      EXPECT_EQ(page.hits.size(), static_cast<std::size_t>(q.limit));
      q.cursor = ParseCursor(page.next_cursor);
    }
    return ids;
  }

  static SearchParams RandomParams(std::mt19937_64& rng) {
    auto pick = [&](std::size_t n) { return static_cast<std::size_t>(rng() % n); };
    const ReportRecord& some = (*records_)[pick(records_->size())];
    SearchParams params;
    std::set<int> kinds;
    for (std::size_t n = 1 + pick(3); kinds.size() < n;) kinds.insert(static_cast<int>(pick(9)));
    for (int kind : kinds) {
      switch (kind) {
        case 0: {
          const std::string& phrase = (*phrases_)[pick(phrases_->size())];
          std::size_t chars = 1 + pick(3), start = pick(phrase.size() / 3) * 3;
          std::string word = phrase.substr(start, 3 * chars);
          const char* latin[] = {"WiFi", "cctv5", "WIN10"};
          params.push_back({"q", pick(4) == 0 ? latin[pick(3)] : word});
          break;
        }
        case 1: {
          const char* masks[] = {"", "/24", "/16", "/8"};
          unsigned a = pick(3) == 0 ? 0xC0A80100u | (2 + static_cast<unsigned>(pick(250))) : some.sender;
          char text[40];
          std::snprintf(text, sizeof text, "%u.%u.%u.%u%s", a >> 24, a >> 16 & 255, a >> 8 & 255, a & 255,
                        masks[pick(4)]);
          params.push_back({"ip", text});
          break;
        }
        case 2: {
          std::string mac = some.facts.adapters[pick(some.facts.adapters.size())].mac;
          if (pick(2)) std::replace(mac.begin(), mac.end(), '-', ':');
          if (pick(2)) std::transform(mac.begin(), mac.end(), mac.begin(), ::toupper);
          params.push_back({"mac", mac});
          break;
        }
        case 3: {
          const char* modules[] = {"d3d9.dll", "D3D9.DLL", "overlay64.dll", "netaccel.dll", "zlib1.dll",
                                   "\\program files (x86)\\chatapp", "temp\\", "ntdll", "no_such.dll"};
          params.push_back({"module", modules[pick(9)]});
          break;
        }
        case 4: params.push_back({"from", Date(some.received, pick(2))}); break;
        case 5: params.push_back({"to", Date(some.received, pick(2))}); break;
        case 6: {
          const char* failed[] = {"udp", "speed", "service", "channels", "udp,speed", "service,channels"};
          params.push_back({"failed", failed[pick(6)]});
          break;
        }
        case 7: params.push_back({"slower_than", std::to_string(100 + pick(5000))}); break;
        case 8: params.push_back({"limit", std::to_string(1 + pick(60))}); break;
      }
    }
    return params;
  }

  static testsupport::TempDir* dir_;
  static std::vector<ReportRecord>* records_;
  static std::vector<std::string>* phrases_;
  static ReportReader* embedded_;
  static ReportReader* postgres_;
  static ReportReader* index_;  // the current test's
};

testsupport::TempDir* ReportIndexTest::dir_;
std::vector<ReportRecord>* ReportIndexTest::records_;
std::vector<std::string>* ReportIndexTest::phrases_;
ReportReader* ReportIndexTest::embedded_;
ReportReader* ReportIndexTest::postgres_;
ReportReader* ReportIndexTest::index_;

INSTANTIATE_TEST_SUITE_P(Stores, ReportIndexTest, ::testing::Values(Backend::kEmbedded, Backend::kPostgres),
                         BackendName);

TEST_P(ReportIndexTest, SearchAgreesWithBruteForceOnEveryPageAndBothPlans) {
  std::mt19937_64 rng(2024);
  int nonempty = 0;
  for (int seed = 0; seed < 150; ++seed) {
    SearchParams params = RandomParams(rng);
    auto parsed = ParseSearchQuery(params);
    ASSERT_TRUE(std::holds_alternative<SearchQuery>(parsed)) << std::get<QueryError>(parsed).parameter;
    SearchQuery q = std::get<SearchQuery>(parsed);
    std::string shown;
    for (const auto& [k, v] : params) shown += k + "=" + v + " ";
    std::vector<std::string> expected = Expected(q);
    nonempty += !expected.empty();
    uint64_t total = 0;
    EXPECT_EQ(AllPages(q, &total), expected) << shown;
    EXPECT_EQ(total, expected.size()) << shown;
  }
  EXPECT_GT(nonempty, 75);  // the filters were not all empty
  if (GetParam() != Backend::kEmbedded) return;  // PostgreSQL's planner picks its own plan

  // The other plan: every set condition tested row by row.
  ReportIndex probing;
  IndexOptions options;
  options.drive_limit = 0;
  ASSERT_TRUE(probing.Open(*dir_ / "search.sqlite", options).ok);
  for (int seed = 0; seed < 40; ++seed) {
    auto q = std::get<SearchQuery>(ParseSearchQuery(RandomParams(rng)));
    SearchPage a, b;
    ASSERT_TRUE(index_->Search(q, a, true).ok);
    ASSERT_TRUE(probing.Search(q, b).ok);
    ASSERT_EQ(a.hits.size(), b.hits.size());
    for (std::size_t i = 0; i < a.hits.size(); ++i) EXPECT_EQ(a.hits[i].record.id, b.hits[i].record.id);
    EXPECT_EQ(a.total, b.total);
  }
}

// Common words read from the full-text index newest first (drive_limit 0
// makes every word common), beside other filters, on every page; and a
// capped total, exact up to the cap and "at least the cap" past it, under
// both plans.
TEST_P(ReportIndexTest, CommonWordsPageByPageAndCappedTotalsAgreeWithBruteForce) {
  if (GetParam() != Backend::kEmbedded) GTEST_SKIP() << "the embedded index's own plans";
  ReportIndex probing, capped;
  IndexOptions options;
  options.drive_limit = 0;
  options.count_cap = 25;
  ASSERT_TRUE(probing.Open(*dir_ / "search.sqlite", options).ok);
  options.drive_limit = IndexOptions{}.drive_limit;
  ASSERT_TRUE(capped.Open(*dir_ / "search.sqlite", options).ok);
  std::mt19937_64 rng(77);
  int under = 0, over = 0, paged = 0;
  for (int seed = 0; seed < 60; ++seed) {
    SearchParams params = RandomParams(rng);
    if (seed % 3 == 2) {
      // Without words: a set alone (an address block, a module) is counted
      // from its own rows.
      std::erase_if(params, [](const auto& p) { return p.first == "q"; });
    } else if (std::none_of(params.begin(), params.end(), [](const auto& p) { return p.first == "q"; })) {
      const std::string& phrase = (*phrases_)[rng() % phrases_->size()];
      params.push_back({"q", phrase.substr(0, 3 * (1 + rng() % 2))});
    }
    std::string shown;
    for (const auto& [k, v] : params) shown += k + "=" + v + " ";
    SearchQuery q = std::get<SearchQuery>(ParseSearchQuery(params));
    std::vector<std::string> expected = Expected(q);
    ReportIndex* plans[] = {&probing, &capped};
    for (ReportIndex* index : plans) {
      // Every page through the cursor, the capped total on each.
      SearchQuery at = q;
      std::vector<std::string> ids;
      for (int pages = 0; pages < 1000; ++pages) {
        SearchPage page;
        ASSERT_TRUE(index->Search(at, page, true, true).ok) << shown;
        ASSERT_TRUE(page.total.has_value());
        if (expected.size() > 25) {
          EXPECT_TRUE(page.total_capped) << shown;
          EXPECT_EQ(*page.total, 25u) << shown;
        } else {
          EXPECT_FALSE(page.total_capped) << shown;
          EXPECT_EQ(*page.total, expected.size()) << shown;
        }
        for (const auto& hit : page.hits) ids.push_back(hit.record.id);
        if (page.next_cursor.empty()) break;
        at.cursor = ParseCursor(page.next_cursor);
        paged += index == &probing;
      }
      EXPECT_EQ(ids, expected) << shown;
      // The exact count is still there for those who ask.
      SearchPage exact;
      ASSERT_TRUE(index->Search(q, exact, true).ok);
      EXPECT_EQ(exact.total, expected.size()) << shown;
      EXPECT_FALSE(exact.total_capped);
    }
    under += expected.size() <= 25;
    over += expected.size() > 25;
  }
  EXPECT_GT(under, 5);  // both sides of the cap were seen
  EXPECT_GT(over, 5);
  EXPECT_GT(paged, 20);  // and the cursor was followed

  // A block holding several addresses of one report, over windows whose
  // matches lie on either side of the cap: each report counts once.
  int near_under = 0, near_over = 0;
  for (int k = 0; k < 30; ++k) {
    int64_t from = (*records_)[rng() % records_->size()].received;
    int64_t to = from + 3600000LL * static_cast<int64_t>(1 + rng() % 20);
    SearchQuery q = std::get<SearchQuery>(
        ParseSearchQuery({{"ip", "192.168.0.0/16"}, {"from", Date(from, true)}, {"to", Date(to, true)}}));
    std::size_t expected = Expected(q).size();
    SearchPage page;
    ASSERT_TRUE(capped.Search(q, page, true, true).ok);
    EXPECT_EQ(*page.total, std::min<std::size_t>(expected, 25)) << Date(from, true) << " " << Date(to, true);
    EXPECT_EQ(page.total_capped, expected > 25);
    near_under += expected <= 25;
    near_over += expected > 25;
  }
  EXPECT_GT(near_under, 3);
  EXPECT_GT(near_over, 3);
}

// Modules found in more reports than the posting limit keep no list of
// their reports: searches for them read each report's own list, alone and
// beside other filters, and agree with the brute force as the listed ones
// do. The same reports, indexed again with a low limit.
TEST_P(ReportIndexTest, ModulesTooCommonForAListAreFoundThroughEachReportsOwnList) {
  if (GetParam() != Backend::kEmbedded) GTEST_SKIP() << "the embedded index's own posting limit";
  testsupport::TempDir dir("zandrel-index-posting");
  EmbeddedReportReader low(dir.path());
  IndexOptions options;
  options.posting_limit = 40;
  ASSERT_TRUE(low.Open(dir / "index.sqlite", options).ok);
  for (std::size_t i = 0; i < records_->size(); i += 700) {
    std::vector<ReportRecord> batch(records_->begin() + static_cast<std::ptrdiff_t>(i),
                                    records_->begin() + static_cast<std::ptrdiff_t>(std::min(i + 700, records_->size())));
    ASSERT_TRUE(low.index().Add(batch).ok);
  }
  SqliteDb db;
  ASSERT_TRUE(db.Open(dir / "index.sqlite", nullptr));
  SqliteStatement unposted =
      db.Prepare("SELECT count(*), (SELECT count(*) FROM report_module r JOIN module m USING (mid) WHERE m.posted = 0)"
                 " FROM module WHERE posted = 0",
                 nullptr);
  ASSERT_TRUE(unposted.Step());
  EXPECT_GT(unposted.Int(0), 0);  // some modules went over the limit
  EXPECT_EQ(unposted.Int(1), 0);  // and their lists went with it
  unposted = {};
  db.Close();

  std::mt19937_64 rng(77);
  int nonempty = 0;
  for (const char* module : {"d3d9.dll", "D3D9.DLL", "overlay64.dll", "netaccel.dll", "zlib1.dll", "kernel32.dll",
                             "\\system32\\", "\\program files (x86)\\"}) {
    for (int extra = 0; extra < 4; ++extra) {
      SearchParams params = extra ? RandomParams(rng) : SearchParams{};
      std::erase_if(params, [](const auto& p) { return p.first == "module"; });
      params.push_back({"module", module});
      auto parsed = ParseSearchQuery(params);
      ASSERT_TRUE(std::holds_alternative<SearchQuery>(parsed));
      SearchQuery q = std::get<SearchQuery>(parsed);
      std::vector<std::string> expected = Expected(q);
      nonempty += !expected.empty();
      uint64_t total = 0;
      EXPECT_EQ(AllPages(q, &total, &low), expected) << module << " with " << params.size() - 1 << " more";
      EXPECT_EQ(total, expected.size()) << module;
    }
  }
  EXPECT_GT(nonempty, 8);

  // Capped totals of such a module alone, over windows of an hour to three
  // days, with and without whole days inside: its per-day counts may settle
  // "more than the cap" at once, and must never claim it wrongly.
  ReportIndex capped;
  options.count_cap = 25;
  ASSERT_TRUE(capped.Open(dir / "index.sqlite", options).ok);
  int under = 0, over = 0;
  for (int k = 0; k < 60; ++k) {
    const ReportRecord& some = (*records_)[rng() % records_->size()];
    int64_t from = some.received - static_cast<int64_t>(rng() % (2 * 86400000ULL));
    int64_t to = from + 3600000LL * static_cast<int64_t>(1 + rng() % 72);
    SearchParams params{{"module", k % 2 ? "d3d9.dll" : "\\system32\\"}};
    if (k % 5 != 0) params.push_back({"from", Date(from, k % 3 != 0)});
    if (k % 5 != 1) params.push_back({"to", Date(to, k % 4 != 0)});
    auto parsed = ParseSearchQuery(params);
    if (!std::holds_alternative<SearchQuery>(parsed)) continue;  // to before from
    SearchQuery q = std::get<SearchQuery>(parsed);
    std::string shown;
    for (const auto& [key, v] : params) shown += key + "=" + v + " ";
    std::size_t expected = Expected(q).size();
    SearchPage page;
    ASSERT_TRUE(capped.Search(q, page, true, true).ok) << shown;
    EXPECT_EQ(page.total_capped, expected > 25) << shown << expected;
    EXPECT_EQ(*page.total, std::min<std::size_t>(expected, 25)) << shown;
    under += expected <= 25;
    over += expected > 25;
  }
  EXPECT_GT(under, 5);
  EXPECT_GT(over, 5);
}

// Over a time range alone, every module counted in the set is counted
// from whole days' tallies and from the reports of the days cut at either
// end: both must agree with the records.
TEST_P(ReportIndexTest, ModulesOfATimeRangeAgreeWithTheRecords) {
  std::mt19937_64 rng(5);
  for (int k = 0; k < 8; ++k) {
    const ReportRecord& some = (*records_)[rng() % records_->size()];
    int64_t from = some.received - static_cast<int64_t>(rng() % (4 * 86400000ULL));
    int64_t to = from + static_cast<int64_t>(rng() % (5 * 86400000ULL)) + 1000;
    SearchParams params;
    if (k != 0) params.push_back({"from", Date(from, k % 2 == 1)});
    if (k % 3 != 2) params.push_back({"to", Date(to, k % 4 != 0)});
    auto parsed = ParseSearchQuery(params);
    if (!std::holds_alternative<SearchQuery>(parsed)) continue;
    SearchQuery q = std::get<SearchQuery>(parsed);
    std::string shown;
    for (const auto& [key, v] : params) shown += key + "=" + v + " ";
    std::map<std::string, uint64_t> want;
    uint64_t matched = 0;
    for (const auto& r : *records_) {
      if (!Matches(r, q)) continue;
      ++matched;
      std::set<std::string> distinct(r.facts.modules.begin(), r.facts.modules.end());
      for (const auto& m : distinct) ++want[m];
    }
    std::vector<ModuleLift> lifts;
    IndexStatus s = index_->OverRepresentedModules(q, 1000000, 1, lifts);
    ASSERT_TRUE(s.ok) << s.message;
    EXPECT_EQ(lifts.size(), want.size()) << shown;
    for (const auto& lift : lifts) {
      EXPECT_EQ(lift.in_set, want[lift.path]) << shown << lift.path;
      EXPECT_EQ(lift.set_total, matched) << shown;
    }
  }
}

TEST_P(ReportIndexTest, ChineseOfOneAndTwoCharactersAndLatinWordsAreFound) {
  for (const char* word : {"卡", "卡顿", "黑屏", "wifi", "WiFi", "没有声音"}) {
    auto q = std::get<SearchQuery>(ParseSearchQuery({{"q", word}}));
    uint64_t total = 0;
    ASSERT_TRUE(index_->Count(q, total).ok);
    EXPECT_GT(total, 0u) << word;
    EXPECT_EQ(total, Expected(q).size()) << word;
  }
}

TEST_P(ReportIndexTest, GetReturnsTheWholeRecord) {
  for (std::size_t i : {std::size_t{0}, std::size_t{3}, std::size_t{1234}}) {
    const ReportRecord& want = (*records_)[i];
    std::optional<ReportRecord> got;
    ASSERT_TRUE(index_->Get(want.id, got).ok);
    ASSERT_TRUE(got);
    EXPECT_EQ(got->received, want.received);
    EXPECT_EQ(got->sender, want.sender);
    EXPECT_EQ(got->md5, want.md5);
    if (GetParam() == Backend::kEmbedded) {
      EXPECT_EQ(got->file, want.file);  // PostgreSQL keeps no files
    }
    EXPECT_EQ(got->facts.problem, want.facts.problem);
    EXPECT_EQ(got->facts.modules, want.facts.modules);
    ASSERT_EQ(got->facts.adapters.size(), want.facts.adapters.size());
    EXPECT_EQ(got->facts.adapters.back().mac, want.facts.adapters.back().mac);
    EXPECT_EQ(got->facts.adapters.back().gateway, want.facts.adapters.back().gateway);
    EXPECT_EQ(got->facts.udp_ok, want.facts.udp_ok);
    EXPECT_EQ(got->facts.speed_kbps, want.facts.speed_kbps);
    EXPECT_EQ(got->facts.channels_ok, want.facts.channels_ok);
    EXPECT_EQ(got->facts.channel_ids, want.facts.channel_ids);
    EXPECT_EQ(got->facts.free_bytes, want.facts.free_bytes);
  }
  std::optional<ReportRecord> none;
  ASSERT_TRUE(index_->Get("0000-0000", none).ok);
  EXPECT_FALSE(none);
}

// Every aggregate of the query against the records, bucket by bucket.
void ExpectAggregatesOf(ReportReader& index, const std::vector<ReportRecord>& records, const SearchQuery& q,
                        const std::string& shown) {
  std::map<int64_t, uint64_t> hours, days;
  std::map<int64_t, DayFailures> failures;
  std::vector<uint64_t> bins(11);
  for (const auto& r : records) {
    if (!Matches(r, q)) continue;
    const report::ReportFacts& f = r.facts;
    ++hours[r.received / 3600000 * 3600000];
    ++days[r.received / 86400000 * 86400000];
    DayFailures& d = failures[r.received / 86400000 * 86400000];
    ++d.reports;
    const std::optional<bool> checks[] = {f.udp_ok, f.speed_kbps ? std::optional<bool>(*f.speed_kbps != 0) : std::nullopt,
                                          f.service_ok, f.channels_ok};
    for (std::size_t i = 0; i < 4; ++i) {
      d.known[i] += checks[i].has_value();
      d.failed[i] += checks[i] == false;
    }
    if (f.speed_kbps) {
      int64_t v = *f.speed_kbps;
      std::size_t bin = v <= 0 ? 0 : v < 64 ? 1 : 2;
      for (int64_t x = v / 64; v >= 64 && x >= 2 && bin < 10; x >>= 1) ++bin;
      ++bins[bin];
    }
  }
  for (auto [bucket, want] : {std::pair{TimeBucket::kHour, &hours}, std::pair{TimeBucket::kDay, &days}}) {
    std::vector<TimeCount> got;
    ASSERT_TRUE(index.CountsPer(q, bucket, got).ok) << shown;
    std::map<int64_t, uint64_t> got_map;
    for (const auto& c : got) got_map[c.start_ms] = c.count;
    EXPECT_EQ(got_map, *want) << shown << (bucket == TimeBucket::kHour ? " per hour" : " per day");
    EXPECT_EQ(got.size(), want->size()) << shown;  // no empty buckets, none twice
  }
  std::vector<DayFailures> got_failures;
  ASSERT_TRUE(index.FailuresPerDay(q, got_failures).ok) << shown;
  ASSERT_EQ(got_failures.size(), failures.size()) << shown;
  for (const auto& d : got_failures) {
    const DayFailures& w = failures[d.day_ms];
    EXPECT_EQ(d.reports, w.reports) << shown << " day " << d.day_ms;
    EXPECT_EQ(d.known, w.known) << shown << " day " << d.day_ms;
    EXPECT_EQ(d.failed, w.failed) << shown << " day " << d.day_ms;
  }
  std::vector<SpeedBin> got_bins;
  ASSERT_TRUE(index.SpeedHistogram(q, got_bins).ok) << shown;
  ASSERT_EQ(got_bins.size(), bins.size());
  for (std::size_t i = 0; i < bins.size(); ++i) EXPECT_EQ(got_bins[i].count, bins[i]) << shown << " bin " << i;
}

// Over a time range alone the whole hours come from hourly tallies and the
// hours cut at either end from the reports; with any other filter every
// report is read. Both agree with the records.
TEST_P(ReportIndexTest, AggregatesAgreeWithTheRecords) {
  std::mt19937_64 rng(11);
  for (int k = 0; k < 12; ++k) {
    const ReportRecord& some = (*records_)[rng() % records_->size()];
    int64_t from = some.received - static_cast<int64_t>(rng() % (3 * 86400000ULL));
    int64_t to = from + static_cast<int64_t>(rng() % (4 * 86400000ULL)) + 1000;
    SearchParams params;
    if (k % 4 != 0) params.push_back({"from", Date(from, k % 2 == 1)});
    if (k % 3 != 0) params.push_back({"to", Date(to, k % 5 != 0)});
    if (k >= 9) params.push_back({"failed", k == 9 ? "udp" : "speed,channels"});
    auto parsed = ParseSearchQuery(params);
    if (!std::holds_alternative<SearchQuery>(parsed)) continue;
    std::string shown;
    for (const auto& [key, v] : params) shown += key + "=" + v + " ";
    ExpectAggregatesOf(*index_, *records_, std::get<SearchQuery>(parsed), shown);
  }
}

// Every aggregate of PostgreSQL is the embedded index's, for filtered sets.
TEST_P(ReportIndexTest, AggregatesAgreeAcrossStores) {
  if (GetParam() == Backend::kEmbedded) GTEST_SKIP() << "compares the other store with this one";
  ReportReader& embedded = *Loaded(Backend::kEmbedded);
  const SearchParams cases[] = {
      {},
      {{"q", "卡"}},
      {{"from", Date((*records_)[20].received, false)}, {"failed", "udp"}},
      {{"module", "d3d9.dll"}, {"to", Date((*records_)[30].received, true)}},
      {{"ip", "0.0.0.0/1"}, {"slower_than", "900"}},
  };
  for (const SearchParams& params : cases) {
    auto q = std::get<SearchQuery>(ParseSearchQuery(params));
    std::string shown;
    for (const auto& [k, v] : params) shown += k + "=" + v + " ";
    for (TimeBucket bucket : {TimeBucket::kHour, TimeBucket::kDay}) {
      std::vector<TimeCount> a, b;
      ASSERT_TRUE(embedded.CountsPer(q, bucket, a).ok);
      ASSERT_TRUE(index_->CountsPer(q, bucket, b).ok);
      ASSERT_EQ(a.size(), b.size()) << shown;
      for (std::size_t i = 0; i < a.size(); ++i) {
        EXPECT_EQ(a[i].start_ms, b[i].start_ms) << shown;
        EXPECT_EQ(a[i].count, b[i].count) << shown;
      }
    }
    std::vector<DayFailures> fa, fb;
    ASSERT_TRUE(embedded.FailuresPerDay(q, fa).ok);
    ASSERT_TRUE(index_->FailuresPerDay(q, fb).ok);
    ASSERT_EQ(fa.size(), fb.size()) << shown;
    for (std::size_t i = 0; i < fa.size(); ++i) {
      EXPECT_EQ(fa[i].day_ms, fb[i].day_ms) << shown;
      EXPECT_EQ(fa[i].reports, fb[i].reports) << shown;
      EXPECT_EQ(fa[i].known, fb[i].known) << shown;
      EXPECT_EQ(fa[i].failed, fb[i].failed) << shown;
    }
    std::vector<SpeedBin> sa, sb;
    ASSERT_TRUE(embedded.SpeedHistogram(q, sa).ok);
    ASSERT_TRUE(index_->SpeedHistogram(q, sb).ok);
    ASSERT_EQ(sa.size(), sb.size());
    for (std::size_t i = 0; i < sa.size(); ++i) EXPECT_EQ(sa[i].count, sb[i].count) << shown << " bin " << i;
    // Ties in lift are ordered by the stores' own module numbers: compare all, by path.
    std::vector<ModuleLift> ma, mb;
    ASSERT_TRUE(embedded.OverRepresentedModules(q, 100000, 2, ma).ok);
    IndexStatus s = index_->OverRepresentedModules(q, 100000, 2, mb);
    ASSERT_TRUE(s.ok) << s.message;
    auto by_path = [](const ModuleLift& x, const ModuleLift& y) { return x.path < y.path; };
    std::sort(ma.begin(), ma.end(), by_path);
    std::sort(mb.begin(), mb.end(), by_path);
    ASSERT_EQ(ma.size(), mb.size()) << shown;
    for (std::size_t i = 0; i < ma.size(); ++i) {
      EXPECT_EQ(ma[i].path, mb[i].path) << shown;
      EXPECT_EQ(ma[i].in_set, mb[i].in_set) << ma[i].path;
      EXPECT_EQ(ma[i].set_total, mb[i].set_total) << ma[i].path;
      EXPECT_EQ(ma[i].in_period, mb[i].in_period) << ma[i].path;
      EXPECT_EQ(ma[i].period_total, mb[i].period_total) << ma[i].path;
      EXPECT_DOUBLE_EQ(ma[i].lift, mb[i].lift) << ma[i].path;
    }
  }
}

class StoreTest : public ::testing::TestWithParam<Backend> {};
INSTANTIATE_TEST_SUITE_P(Stores, StoreTest, ::testing::Values(Backend::kEmbedded, Backend::kPostgres), BackendName);

TEST_P(StoreTest, OverRepresentedModuleIsTheOneBehindASymptom) {
  testsupport::TempDir dir("zandrel-index");
  std::unique_ptr<ReportReader> store = OpenStore(GetParam(), dir, "symptom");
  ASSERT_TRUE(store);
  ReportReader& index = *store;
  GeneratorOptions options;
  options.count_hint = 2000;
  options.span_ms = 20LL * 86400000;
  ReportGenerator gen(options);
  std::vector<ReportRecord> records;
  for (int i = 0; i < 2000; ++i) {
    ReportRecord r = gen.Next();
    bool stutter = i % 10 == 0;
    r.facts.problem = stutter ? "看直播卡顿" : "看电视黑屏";
    if (stutter && i % 20 == 0) r.facts.modules.push_back("C:\\Users\\u\\AppData\\Temp\\Injected.dll");
    records.push_back(std::move(r));
  }
  ASSERT_TRUE(AddTo(index, records).ok);
  auto q = std::get<SearchQuery>(ParseSearchQuery({{"q", "卡顿"}}));
  std::vector<ModuleLift> lifts;
  IndexStatus s = index.OverRepresentedModules(q, 5, 3, lifts);
  ASSERT_TRUE(s.ok) << s.message;
  ASSERT_FALSE(lifts.empty());
  EXPECT_EQ(lifts[0].path, "C:\\Users\\u\\AppData\\Temp\\Injected.dll");
  EXPECT_EQ(lifts[0].in_set, 100u);
  EXPECT_EQ(lifts[0].set_total, 200u);
  EXPECT_EQ(lifts[0].in_period, 100u);
  EXPECT_EQ(lifts[0].period_total, 2000u);
}

TEST(ReportIndex, AddingTwiceKeepsOneRowAndRemovalTakesEverything) {
  testsupport::TempDir dir("zandrel-index");
  std::string path = dir / "index.sqlite";
  GeneratorOptions options;
  options.count_hint = 300;
  ReportGenerator gen(options);
  std::vector<ReportRecord> records;
  for (int i = 0; i < 300; ++i) records.push_back(gen.Next());
  {
    ReportIndex index;
    ASSERT_TRUE(index.Open(path).ok);
    { auto st = index.Add(std::vector<ReportRecord>(records.begin(), records.begin() + 200)); ASSERT_TRUE(st.ok) << st.message; }
    // The second batch repeats 100 of the first and one of its own.
    std::vector<ReportRecord> again(records.begin() + 100, records.end());
    again.push_back(records.back());
    ASSERT_TRUE(index.Add(again).ok);
  }
  ReportIndex index;  // reopened: the rows were committed
  ASSERT_TRUE(index.Open(path).ok);
  std::vector<IndexedFile> files;
  ASSERT_TRUE(index.List(files).ok);
  ASSERT_EQ(files.size(), 300u);
  for (std::size_t i = 1; i < files.size(); ++i) EXPECT_LE(files[i - 1].received, files[i].received);
  uint64_t total = 0;
  ASSERT_TRUE(index.Count({}, total).ok);
  EXPECT_EQ(total, 300u);

  std::vector<IndexedFile> removed;
  ASSERT_TRUE(index.Remove({records[5].id, records[6].id, "ZZZZ-ZZZZ", records[5].id}, removed).ok);
  ASSERT_EQ(removed.size(), 2u);
  EXPECT_EQ(removed[0].file, records[5].file);
  bool found = true;
  ASSERT_TRUE(index.Has(records[5].id, found).ok);
  EXPECT_FALSE(found);
  ASSERT_TRUE(index.Has(records[7].id, found).ok);
  EXPECT_TRUE(found);
  // No posting of a removed report is left to be found.
  auto by_mac = std::get<SearchQuery>(ParseSearchQuery({{"mac", records[6].facts.adapters[0].mac}}));
  SearchPage page;
  ASSERT_TRUE(index.Search(by_mac, page).ok);
  for (const auto& hit : page.hits) EXPECT_NE(hit.record.id, records[6].id);

  int64_t cut = records[150].received;
  ASSERT_TRUE(index.RemoveReceivedBefore(cut, removed).ok);
  EXPECT_EQ(removed.size(), 148u);  // 150 older, two of them gone already
  for (const auto& f : removed) EXPECT_LT(f.received, cut);
  ASSERT_TRUE(index.Count({}, total).ok);
  EXPECT_EQ(total, 150u);
  auto module = std::get<SearchQuery>(ParseSearchQuery({{"module", "ntdll.dll"}}));
  ASSERT_TRUE(index.Count(module, total).ok);
  EXPECT_LE(total, 150u);
  // Emptied, every module's count of reports is gone with its rows.
  ASSERT_TRUE(index.RemoveReceivedBefore(INT64_MAX, removed).ok);
  EXPECT_EQ(removed.size(), 150u);
  std::vector<ModuleLift> lifts;
  ASSERT_TRUE(index.OverRepresentedModules({}, 10, 1, lifts).ok);
  EXPECT_TRUE(lifts.empty());
  ASSERT_TRUE(index.Add({records[0]}).ok);
  ASSERT_TRUE(index.OverRepresentedModules({}, 1000, 1, lifts).ok);
  for (const auto& l : lifts) EXPECT_EQ(l.in_period, 1u) << l.path;
}

// `count` generated reports spread over three days.
std::vector<ReportRecord> GenerateOverThreeDays(int count) {
  GeneratorOptions options;
  options.count_hint = static_cast<uint64_t>(count);
  options.span_ms = 3LL * 86400000;
  ReportGenerator gen(options);
  std::vector<ReportRecord> records;
  for (int i = 0; i < count; ++i) records.push_back(gen.Next());
  return records;
}

// Removal takes a report from its hour's tallies; an index of an earlier
// version is brought up to this one when opened, its tallies made from the
// reports it holds, its modules searchable.
TEST(ReportIndex, TalliesFollowRemovalAndAreMadeWhenAnOlderIndexIsOpened) {
  testsupport::TempDir dir("zandrel-index-tally");
  std::vector<ReportRecord> records = GenerateOverThreeDays(400);
  const SearchQuery none;
  EmbeddedReportReader reader(dir.path());
  ASSERT_TRUE(reader.Open(dir / "index.sqlite").ok);
  ASSERT_TRUE(reader.index().Add(records).ok);
  std::vector<IndexedFile> removed;
  ASSERT_TRUE(reader.index().Remove({records[3].id, records[200].id}, removed).ok);
  ASSERT_TRUE(reader.index().RemoveReceivedBefore(records[50].received, removed).ok);
  std::vector<ReportRecord> kept(records.begin() + 50, records.end());
  std::erase_if(kept, [&](const ReportRecord& r) { return r.id == records[200].id; });
  ExpectAggregatesOf(reader, kept, none, "after removal");
  reader.index().Close();

  for (int version : {2, 1}) {
    SqliteDb db;
    ASSERT_TRUE(db.Open(dir / "index.sqlite", nullptr));
    std::string older = "DROP TABLE hour_tally; PRAGMA user_version = " + std::to_string(version);
    if (version == 1) older = "ALTER TABLE module DROP COLUMN posted; " + older;
    std::string error;
    ASSERT_TRUE(db.Exec(older, &error)) << error;
    db.Close();
    ASSERT_TRUE(reader.Open(dir / "index.sqlite").ok) << "from version " << version;
    ExpectAggregatesOf(reader, kept, none, "from version " + std::to_string(version));
    auto module = std::get<SearchQuery>(ParseSearchQuery({{"module", "d3d9.dll"}}));
    uint64_t total = 0, want = 0;
    ASSERT_TRUE(reader.Count(module, total).ok);
    for (const auto& r : kept) want += Matches(r, module);
    EXPECT_EQ(total, want);
    reader.index().Close();
  }
}

// A module's total of reports, its count per day and its list of reports
// follow batches of every size (a module repeated within one report counts
// once) and removals; a module past the posting limit keeps no list, one
// under it lists each of its reports.
TEST(ReportIndex, ModuleTotalsDaysAndListsFollowBatchesAndRemoval) {
  testsupport::TempDir dir("zandrel-index-modules");
  std::vector<ReportRecord> records = GenerateOverThreeDays(240);
  ASSERT_FALSE(records[10].facts.modules.empty());
  records[10].facts.modules.push_back(records[10].facts.modules.front());
  constexpr int64_t kLimit = 30;
  IndexOptions index_options;
  index_options.posting_limit = kLimit;
  ReportIndex index;
  ASSERT_TRUE(index.Open(dir / "index.sqlite", index_options).ok);
  std::size_t at = 0;
  for (std::size_t size : {1, 7, 50, 1, 100, 81}) {
    IndexStatus s = index.Add(std::vector<ReportRecord>(records.begin() + static_cast<std::ptrdiff_t>(at),
                                                        records.begin() + static_cast<std::ptrdiff_t>(at + size)));
    ASSERT_TRUE(s.ok) << s.message;
    at += size;
  }
  ASSERT_EQ(at, records.size());

  // What the rows must say of the reports still indexed.
  auto expect_counts = [&](const std::vector<ReportRecord>& kept, bool lists, const std::string& when) {
    std::map<std::string, int64_t> totals;
    std::map<std::pair<int64_t, std::string>, int64_t> days;
    for (const auto& r : kept) {
      for (const auto& m : std::set<std::string>(r.facts.modules.begin(), r.facts.modules.end())) {
        ++totals[m];
        ++days[{r.received / 86400000, m}];
      }
    }
    SqliteDb db;
    ASSERT_TRUE(db.Open(dir / "index.sqlite", nullptr));
    SqliteStatement modules = db.Prepare(
        "SELECT path, reports, posted, (SELECT count(*) FROM report_module p WHERE p.mid = m.mid) FROM module m",
        nullptr);
    std::size_t seen = 0, posted = 0, unposted = 0;
    while (modules.Step()) {
      std::string path = modules.Text(0);
      int64_t want = totals.count(path) ? totals[path] : 0;
      seen += want > 0;
      EXPECT_EQ(modules.Int(1), want) << when << " " << path;
      if (!lists) continue;
      bool is_posted = modules.Int(2) != 0;
      EXPECT_EQ(is_posted, want <= kLimit) << when << " " << path;
      EXPECT_EQ(modules.Int(3), is_posted ? want : 0) << when << " " << path;
      posted += is_posted;
      unposted += !is_posted;
    }
    EXPECT_EQ(seen, totals.size()) << when;
    if (lists) {
      EXPECT_GT(posted, 0u) << when;  // both sides of the limit were seen
      EXPECT_GT(unposted, 0u) << when;
    }
    modules = {};
    SqliteStatement per_day = db.Prepare(
        "SELECT d.day, m.path, d.n FROM module_day d JOIN module m USING (mid)", nullptr);
    std::size_t rows = 0;
    while (per_day.Step()) {
      ++rows;
      auto it = days.find({per_day.Int(0), per_day.Text(1)});
      ASSERT_NE(it, days.end()) << when << " " << per_day.Text(1);
      EXPECT_EQ(per_day.Int(2), it->second) << when << " " << per_day.Text(1);
    }
    EXPECT_EQ(rows, days.size()) << when;
  };
  expect_counts(records, true, "after the batches");

  // Removed, reports leave the totals and the days (a module past the limit
  // stays without its list).
  std::vector<IndexedFile> removed;
  ASSERT_TRUE(index.Remove({records[10].id, records[100].id}, removed).ok);
  ASSERT_TRUE(index.RemoveReceivedBefore(records[60].received, removed).ok);
  std::vector<ReportRecord> kept(records.begin() + 60, records.end());
  std::erase_if(kept, [&](const ReportRecord& r) { return r.id == records[100].id; });
  expect_counts(kept, false, "after removal");
}

// Another process (the receiver beside the desk's reindex) holds the write
// lock: an Add waits for it within the busy timeout instead of failing at
// once, also after earlier calls on the same connection.
// Batch after batch, the log is copied into the database as it goes (a
// statement left reading would stop every checkpoint and let the log grow
// with the index, while the database file stayed empty).
TEST(ReportIndex, TheWriteAheadLogIsCheckpointedWhileTheIndexIsOpen) {
  testsupport::TempDir dir("zandrel-index-wal");
  ReportIndex index;
  ASSERT_TRUE(index.Open(dir / "index.sqlite").ok);
  GeneratorOptions options;
  options.seed = 3;
  ReportGenerator gen(options);
  for (int batch = 0; batch < 20; ++batch) {
    std::vector<ReportRecord> records;
    for (int i = 0; i < 100; ++i) records.push_back(gen.Next());
    ASSERT_TRUE(index.Add(records).ok);
  }
  std::error_code ec;
  auto main_bytes = std::filesystem::file_size(dir / "index.sqlite", ec);
  ASSERT_FALSE(ec);
  auto log_bytes = std::filesystem::file_size(dir / "index.sqlite-wal", ec);
  ASSERT_FALSE(ec);
  EXPECT_GT(main_bytes, log_bytes);
}

TEST(ReportIndex, AWriterWaitsForAnotherConnectionsLock) {
  testsupport::TempDir dir("zandrel-index");
  std::string path = dir / "index.sqlite";
  GeneratorOptions gen_options;
  gen_options.count_hint = 10;
  ReportGenerator gen(gen_options);
  std::vector<ReportRecord> records;
  for (int i = 0; i < 4; ++i) records.push_back(gen.Next());
  ReportIndex index;
  IndexOptions options;
  options.busy_timeout_ms = 60000;
  ASSERT_TRUE(index.Open(path, options).ok);
  ASSERT_TRUE(index.Add({records[0], records[1]}).ok);
  std::optional<ReportRecord> got;
  ASSERT_TRUE(index.Get(records[0].id, got).ok);
  SearchPage page;
  ASSERT_TRUE(index.Search({}, page).ok);

  SqliteDb other;
  std::string error;
  ASSERT_TRUE(other.Open(path, &error)) << error;
  ASSERT_TRUE(other.Exec("BEGIN IMMEDIATE", &error)) << error;
  std::atomic<bool> done{false};
  IndexStatus status;
  std::thread writer([&] {
    status = index.Add({records[2], records[3]});
    done = true;
  });
  // A failure shows within this time; a waiting Add does not end in it.
  EXPECT_FALSE(testsupport::WaitUntil([&] { return done.load(); }, 300)) << status.message;
  ASSERT_TRUE(other.Exec("ROLLBACK", &error)) << error;
  writer.join();
  EXPECT_TRUE(status.ok) << status.message;
  bool found = false;
  ASSERT_TRUE(index.Has(records[3].id, found).ok);
  EXPECT_TRUE(found);
}

TEST(ReportIndex, ErrorsAreReportedNotThrown) {
  testsupport::TempDir dir("zandrel-index");
  ReportIndex index;
  IndexStatus s = index.Open(dir / "missing-folder/index.sqlite");
  EXPECT_FALSE(s.ok);
  EXPECT_FALSE(s.message.empty());
  uint64_t total = 0;
  EXPECT_FALSE(index.Count({}, total).ok);
  ASSERT_TRUE(index.Open(dir / "index.sqlite").ok);
  ReportRecord bad;
  bad.id = "AAAA-AAAA";
  bad.received = -5;
  ReportRecord good = bad;
  good.id = "BBBB-BBBB";
  good.received = 1000;
  s = index.Add({good, bad});
  EXPECT_FALSE(s.ok);
  EXPECT_NE(s.message.find("AAAA-AAAA"), std::string::npos);
  bool found = true;
  ASSERT_TRUE(index.Has("BBBB-BBBB", found).ok);
  EXPECT_FALSE(found);  // the whole batch was rolled back

  // A file of a newer version is refused.
  std::string newer = dir / "newer.sqlite";
  {
    SqliteDb db;
    ASSERT_TRUE(db.Open(newer, nullptr));
    ASSERT_TRUE(db.Exec("PRAGMA user_version = 99", nullptr));
  }
  EXPECT_FALSE(index.Open(newer).ok);
}

}  // namespace
}  // namespace zandrel::store

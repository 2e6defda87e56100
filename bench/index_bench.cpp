// The report index at scale: indexes N generated reports (default a
// million; --count N for fewer), then prints the size on disk, the insert
// rate, p50/p95 of the first page (50 rows) of each single filter and of
// combined ones, and the time of each aggregate over 30 days.
//
//   index_bench [--count N] [--dir DIR] [--reuse] [--runs R] [--database URL [--explain]]
// --dir keeps the database in DIR; --reuse queries the one already there.
// --database: the same over PostgreSQL (the database migrated first; each
// report stored with a 2 KB body); --explain prints EXPLAIN ANALYZE of each
// filter's first page.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "report_generator.h"
#include "server/store/pg/pg_report_store.h"
#include "server/store/report_index.h"
#include "server/store/report_reader.h"
#include "temp_dir.h"

using namespace zandrel;
using Clock = std::chrono::steady_clock;

namespace {

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double Percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())))];
}

store::SearchQuery Query(const store::SearchParams& params) {
  auto parsed = store::ParseSearchQuery(params);
  if (auto* e = std::get_if<store::QueryError>(&parsed)) {
    std::fprintf(stderr, "bad query: %s: %s\n", e->parameter.c_str(), e->message.c_str());
    std::exit(2);
  }
  return std::get<store::SearchQuery>(parsed);
}

std::string Date(int64_t ms) {
  time_t s = static_cast<time_t>(ms / 1000);
  struct tm t;
  gmtime_r(&s, &t);
  char out[40];
  std::strftime(out, sizeof out, "%Y-%m-%dT%H:%M:%SZ", &t);
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  uint64_t count = 1000000;
  int runs = 20;
  std::string dir_arg;
  bool reuse = false, explain = false;
  std::string database;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--count" && i + 1 < argc) {
      count = std::stoull(argv[++i]);
    } else if (a == "--dir" && i + 1 < argc) {
      dir_arg = argv[++i];
    } else if (a == "--runs" && i + 1 < argc) {
      runs = std::stoi(argv[++i]);
    } else if (a == "--reuse") {
      reuse = true;
    } else if (a == "--database" && i + 1 < argc) {
      database = argv[++i];
    } else if (a == "--explain") {
      explain = true;
    } else {
      std::fprintf(stderr, "usage: index_bench [--count N] [--dir DIR] [--reuse] [--runs R] [--database URL [--explain]]\n");
      return 2;
    }
  }
  std::unique_ptr<testsupport::TempDir> temp;
  if (dir_arg.empty()) {
    temp = std::make_unique<testsupport::TempDir>("zandrel-index-bench");
    dir_arg = temp->path();
  }
  std::filesystem::create_directories(dir_arg);
  std::string path = dir_arg + "/index.sqlite";

  testing::GeneratorOptions options;
  options.count_hint = count;
  testing::ReportGenerator gen(options);
  store::EmbeddedReportReader embedded(dir_arg);
  store::PgReportStore postgres;
  store::ReportReader& index = database.empty() ? static_cast<store::ReportReader&>(embedded) : postgres;
  store::IndexStatus s = database.empty() ? embedded.Open(path) : postgres.Open(database, true);
  if (!s) {
    std::fprintf(stderr, "%s\n", s.message.c_str());
    return 1;
  }
  std::string body(2048, 'x');
  std::vector<std::string> bodies;
  std::vector<store::ReportRecord> sample;  // every 1000th, for query values
  if (!reuse) {
    auto start = Clock::now();
    std::vector<store::ReportRecord> batch;
    for (uint64_t i = 0; i < count; ++i) {
      batch.push_back(gen.Next());
      if (i % 1000 == 0) sample.push_back(batch.back());
      if (batch.size() == 1000 || i + 1 == count) {
        bodies.assign(batch.size(), body);
        if (!(s = database.empty() ? embedded.index().Add(batch) : postgres.Insert(batch, bodies))) {
          std::fprintf(stderr, "%s\n", s.message.c_str());
          return 1;
        }
        batch.clear();
        if ((i + 1) % 100000 == 0) {
          std::fprintf(stderr, "indexed %llu (%.0f/s)\n", static_cast<unsigned long long>(i + 1),
                       static_cast<double>(i + 1) / (Ms(Clock::now() - start) / 1000));
        }
      }
    }
    double seconds = Ms(Clock::now() - start) / 1000;
    std::printf("indexed %llu reports in %.1f s: %.0f reports/s (batches of 1000)\n",
                static_cast<unsigned long long>(count), seconds, static_cast<double>(count) / seconds);
    if (database.empty()) {
      embedded.index().Close();
      if (!(s = embedded.Open(path))) return 1;
    } else {
      postgres.connection().Exec("VACUUM ANALYZE", nullptr);
    }
  } else {
    for (uint64_t i = 0; i < count; ++i) {
      store::ReportRecord r = gen.Next();
      if (i % 1000 == 0) sample.push_back(std::move(r));
    }
  }
  uint64_t bytes = 0;
  if (!database.empty()) {
    store::PgResult size = postgres.connection().Query("SELECT pg_database_size(current_database())");
    if (size) bytes = static_cast<uint64_t>(size.Int(0, 0));
  }
  for (const char* suffix : {"", "-wal", "-shm"}) {
    if (!database.empty()) break;
    std::error_code ec;
    auto n = std::filesystem::file_size(path + suffix, ec);
    if (!ec) bytes += n;
  }
  std::printf("index size on disk: %.1f MiB (%.0f bytes per report)\n", static_cast<double>(bytes) / 1048576,
              static_cast<double>(bytes) / static_cast<double>(count));

  int64_t last = sample.back().received;
  std::string month_ago = Date(last - 30LL * 86400000);
  auto pick = [&](int run) -> const store::ReportRecord& {
    return sample[static_cast<std::size_t>(run * 7919) % sample.size()];
  };
  auto ip_text = [](uint32_t a, const char* suffix) {
    char t[32];
    std::snprintf(t, sizeof t, "%u.%u.%u.%u%s", a >> 24, a >> 16 & 255, a >> 8 & 255, a & 255, suffix);
    return std::string(t);
  };
  const char* failed[] = {"udp", "speed", "service", "channels"};
  struct Case {
    const char* name;
    std::function<store::SearchParams(int)> params;
  };
  std::vector<Case> cases = {
      {"q=卡顿", [](int) { return store::SearchParams{{"q", "卡顿"}}; }},
      {"q=黑屏", [](int) { return store::SearchParams{{"q", "黑屏"}}; }},
      {"q=卡 (one character)", [](int) { return store::SearchParams{{"q", "卡"}}; }},
      {"q=没有声音", [](int) { return store::SearchParams{{"q", "没有声音"}}; }},
      {"q=wifi", [](int) { return store::SearchParams{{"q", "wifi"}}; }},
      {"ip=sender", [&](int r) { return store::SearchParams{{"ip", ip_text(pick(r).sender, "")}}; }},
      {"ip=sender/16", [&](int r) { return store::SearchParams{{"ip", ip_text(pick(r).sender, "/16")}}; }},
      {"ip=LAN address", [&](int r) { return store::SearchParams{{"ip", pick(r).facts.adapters[0].ipv4}}; }},
      {"mac", [&](int r) { return store::SearchParams{{"mac", pick(r).facts.adapters[0].mac}}; }},
      {"module=d3d9.dll", [](int) { return store::SearchParams{{"module", "d3d9.dll"}}; }},
      {"module=overlay64.dll (rare)", [](int) { return store::SearchParams{{"module", "overlay64.dll"}}; }},
      {"module=\\program files (x86)\\",
       [](int) { return store::SearchParams{{"module", "\\program files (x86)\\"}}; }},
      {"from+to (one day)",
       [&](int r) {
         int64_t t = pick(r).received;
         return store::SearchParams{{"from", Date(t - 86400000)}, {"to", Date(t)}};
       }},
      {"failed=<each check>", [&](int r) { return store::SearchParams{{"failed", failed[r % 4]}}; }},
      {"slower_than=100", [](int) { return store::SearchParams{{"slower_than", "100"}}; }},
      {"q=卡顿 failed=udp from=30 days ago",
       [&](int) { return store::SearchParams{{"q", "卡顿"}, {"failed", "udp"}, {"from", month_ago}}; }},
      {"module=d3d9.dll slower_than=500 ip=/16",
       [&](int r) {
         return store::SearchParams{{"module", "d3d9.dll"}, {"slower_than", "500"},
                                    {"ip", ip_text(pick(r).sender, "/16")}};
       }},
      {"mac failed=speed from=30 days ago",
       [&](int r) {
         return store::SearchParams{{"mac", pick(r).facts.adapters[0].mac}, {"failed", "speed"},
                                    {"from", month_ago}};
       }},
  };
  if (explain && !database.empty()) {
    for (const Case& c : cases) {
      store::PgReportStore::Filter filter;
      store::SearchQuery q = Query(c.params(0));
      if (!(s = postgres.BuildFilter(q, filter)) || filter.none) continue;
      store::PgParams params = filter.params;
      params.push_back({std::to_string(q.limit + 1), false});
      store::PgResult plan = postgres.connection().Query(
          "EXPLAIN (ANALYZE, BUFFERS, COSTS OFF) SELECT r.rid, r.id, r.received FROM report_search r WHERE " +
              filter.where + " ORDER BY r.rid DESC LIMIT $" + std::to_string(params.size()),
          params);
      std::printf("\n-- %s\n", c.name);
      if (!plan) std::printf("%s\n", plan.error().c_str());
      for (int i = 0; i < plan.rows(); ++i) std::printf("%s\n", plan.Text(i, 0).c_str());
    }
  }
  std::printf("\n%-42s %9s %9s %12s %12s %10s\n", "first page (50 rows)", "p50 ms", "p95 ms", "p95 +total",
              "p95 +capped", "matches");
  for (const Case& c : cases) {
    std::vector<double> page_ms, total_ms, capped_ms;
    uint64_t matches = 0;
    for (int r = 0; r < runs; ++r) {
      store::SearchQuery q = Query(c.params(r));
      store::SearchPage page;
      auto t0 = Clock::now();
      if (!(s = index.Search(q, page, false))) {
        std::fprintf(stderr, "%s: %s\n", c.name, s.message.c_str());
        return 1;
      }
      page_ms.push_back(Ms(Clock::now() - t0));
      t0 = Clock::now();
      index.Search(q, page, true);
      total_ms.push_back(Ms(Clock::now() - t0));
      matches = page.total.value_or(0);
      t0 = Clock::now();
      // The desk's list page: a total capped at 10,000 (PostgreSQL counts all).
      if (database.empty()) {
        embedded.index().Search(q, page, true, true);
      } else {
        index.Search(q, page, true);
      }
      capped_ms.push_back(Ms(Clock::now() - t0));
    }
    std::printf("%-42s %9.2f %9.2f %12.2f %12.2f %10llu\n", c.name, Percentile(page_ms, 0.5),
                Percentile(page_ms, 0.95), Percentile(total_ms, 0.95), Percentile(capped_ms, 0.95),
                static_cast<unsigned long long>(matches));
  }

  std::printf("\n%-42s %9s %9s\n", "aggregate over the last 30 days", "p50 ms", "max ms");
  store::SearchQuery month = Query({{"from", month_ago}});
  store::SearchQuery month_stutter = Query({{"from", month_ago}, {"q", "卡顿"}});
  store::SearchQuery month_failed = Query({{"from", month_ago}, {"failed", "speed"}});
  struct Aggregate {
    const char* name;
    std::function<store::IndexStatus()> run;
  };
  std::vector<store::TimeCount> counts;
  std::vector<store::DayFailures> days;
  std::vector<store::SpeedBin> bins;
  std::vector<store::ModuleLift> lifts;
  std::vector<Aggregate> aggregates = {
      {"counts per hour", [&] { return index.CountsPer(month, store::TimeBucket::kHour, counts); }},
      {"counts per day", [&] { return index.CountsPer(month, store::TimeBucket::kDay, counts); }},
      {"failed checks per day", [&] { return index.FailuresPerDay(month, days); }},
      {"speed histogram", [&] { return index.SpeedHistogram(month, bins); }},
      {"over-represented modules (no filter)", [&] { return index.OverRepresentedModules(month, 20, 3, lifts); }},
      {"over-represented modules, q=卡顿", [&] { return index.OverRepresentedModules(month_stutter, 10, 5, lifts); }},
      {"over-represented modules, failed=speed",
       [&] { return index.OverRepresentedModules(month_failed, 10, 5, lifts); }},
  };
  for (const Aggregate& a : aggregates) {
    std::vector<double> ms;
    for (int r = 0; r < 5; ++r) {
      auto t0 = Clock::now();
      if (!(s = a.run())) {
        std::fprintf(stderr, "%s: %s\n", a.name, s.message.c_str());
        return 1;
      }
      ms.push_back(Ms(Clock::now() - t0));
    }
    std::printf("%-42s %9.1f %9.1f\n", a.name, Percentile(ms, 0.5), *std::max_element(ms.begin(), ms.end()));
  }
  if (!lifts.empty()) {
    std::printf("\nmost over-represented with failed=speed: %s (%llu of %llu, lift %.2f)\n", lifts[0].path.c_str(),
                static_cast<unsigned long long>(lifts[0].in_set), static_cast<unsigned long long>(lifts[0].set_total),
                lifts[0].lift);
  }
  return 0;
}

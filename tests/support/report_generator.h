// Realistic report records for the index's tests and benchmark: a few
// thousand senders (machines behind public addresses in a few blocks), each
// with its adapters and hardware addresses, 150-400 modules from a pool of
// system files and program folders (some rare injected ones), every check
// outcome including absent ones, and Chinese problem texts from a few
// hundred phrases. The same seed gives the same records.
#pragma once
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "server/store/report_record.h"

namespace zandrel::testing {

struct GeneratorOptions {
  uint64_t seed = 1;
  int64_t start_ms = 1704067200000;        // 2024-01-01T00:00:00Z
  int64_t span_ms = 180LL * 86400000;      // about six months
  int senders = 3000;
  bool in_time_order = true;  // received times ascending, else random order
  uint64_t count_hint = 1000000;  // for spreading times in order
};

class ReportGenerator {
 public:
  explicit ReportGenerator(const GeneratorOptions& options);
  store::ReportRecord Next();

  const std::vector<std::string>& phrases() const { return phrases_; }
  // Public addresses of the senders, host order.
  const std::vector<uint32_t>& senders() const { return sender_ips_; }

 private:
  struct App {
    std::vector<std::string> modules;
  };
  int64_t Pick(int64_t n) { return static_cast<int64_t>(rng_() % static_cast<uint64_t>(n)); }
  bool Chance(int percent) { return Pick(100) < percent; }

  GeneratorOptions options_;
  std::mt19937_64 rng_;
  uint64_t made_ = 0;
  std::vector<std::string> phrases_;
  std::vector<uint32_t> sender_ips_;
  std::vector<std::string> system_modules_;
  std::vector<App> apps_;
  std::vector<std::string> rare_modules_;
};

}  // namespace zandrel::testing

// The report reader on any bytes: what it returns is well formed, bounded by
// the body's size, and a body cut off anywhere yields only facts that agree
// with those of the whole body.
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "server/report/report_facts.h"
#include "utf8.h"

using zandrel::report::Adapter;
using zandrel::report::ReadReport;
using zandrel::report::ReportFacts;

namespace {

bool DigitsAndDots(std::string_view s) { return s.find_first_not_of("0123456789.") == std::string_view::npos; }

size_t CheckText(const std::string& s) {
  FUZZ_CHECK(zandrel::fuzz::IsValidUtf8(s));
  FUZZ_CHECK(s.find('\0') == std::string::npos);
  return s.size();
}

// Checks one reading and returns the bytes of text it holds.
size_t CheckFacts(const ReportFacts& f) {
  size_t bytes = 0;
  if (f.problem) bytes += CheckText(*f.problem);
  for (const Adapter& a : f.adapters) {
    bytes += CheckText(a.name) + CheckText(a.description);
    FUZZ_CHECK(a.mac.empty() || a.mac.size() == 17);
    for (const std::string* ip : {&a.ipv4, &a.mask, &a.gateway}) {
      FUZZ_CHECK(ip->size() <= 15 && DigitsAndDots(*ip));
    }
  }
  for (const std::string& m : f.modules) {
    FUZZ_CHECK(m.find('\\') != std::string::npos);
    bytes += CheckText(m);
  }
  for (const std::string& id : f.channel_ids) {
    FUZZ_CHECK(!id.empty());
    bytes += CheckText(id);
  }
  if (f.speed_kbps) FUZZ_CHECK(*f.speed_kbps >= 0);
  return bytes;
}

template <typename T>
void Agrees(const std::optional<T>& part, const std::optional<T>& whole) {
  if (part) FUZZ_CHECK(part == whole);
}

template <typename T>
void IsPrefix(const std::vector<T>& part, const std::vector<T>& whole) {
  FUZZ_CHECK(part.size() <= whole.size());
  FUZZ_CHECK(std::equal(part.begin(), part.end(), whole.begin()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  zandrel::fuzz::SeededInput in;
  if (!zandrel::fuzz::SplitInput(data, size, in)) return 0;
  const std::string_view body = in.payload;

  ReportFacts whole = ReadReport(body);
  // Texts grow at most threefold in UTF-8 (one bad byte, one U+FFFD); module
  // paths repeat their directory, within a budget of their own.
  FUZZ_CHECK(CheckFacts(whole) <= 3 * body.size() + 4 * body.size() + (64 << 10));

  ReportFacts part = ReadReport(body.substr(0, in.seed % (body.size() + 1)));
  CheckFacts(part);
  Agrees(part.problem, whole.problem);
  FUZZ_CHECK(part.adapters.size() <= whole.adapters.size());
  for (size_t i = 0; i < part.adapters.size(); ++i) {
    for (auto field : {&Adapter::name, &Adapter::description, &Adapter::mac, &Adapter::ipv4, &Adapter::mask,
                       &Adapter::gateway}) {
      if (!(part.adapters[i].*field).empty()) FUZZ_CHECK(part.adapters[i].*field == whole.adapters[i].*field);
    }
  }
  IsPrefix(part.modules, whole.modules);
  Agrees(part.cpu_percent, whole.cpu_percent);
  Agrees(part.free_bytes, whole.free_bytes);
  Agrees(part.udp_ok, whole.udp_ok);
  Agrees(part.speed_kbps, whole.speed_kbps);
  Agrees(part.service_ok, whole.service_ok);
  Agrees(part.channels_ok, whole.channels_ok);
  IsPrefix(part.channel_ids, whole.channel_ids);
  return 0;
}

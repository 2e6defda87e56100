// The facts a stored report holds, read from its GBK bytes. Texts are UTF-8.
// A report comes from anybody: whatever is absent or unreadable stays empty
// (std::nullopt), never 0 or false, and parse_errors counts what was skipped.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zandrel::report {

// One adapter block of six lines, in report order. A field whose line is
// missing is empty.
struct Adapter {
  std::string name, description;
  std::string mac;  // as written: "02-5a-64-72-65-6c"
  std::string ipv4, mask, gateway;
};

struct ReportFacts {
  std::optional<std::string> problem;  // the text after "问题描述："
  std::vector<Adapter> adapters;
  // Every inventoried file as a full path: its directory line, '\', its file line.
  std::vector<std::string> modules;
  std::optional<int> cpu_percent;
  std::optional<uint64_t> free_bytes;  // of drive C:, from "…GB" or "…MB"
  std::optional<bool> udp_ok;
  std::optional<int64_t> speed_kbps;
  std::optional<bool> service_ok;
  std::optional<bool> channels_ok;
  std::vector<std::string> channel_ids;  // the id="…" values of the channel list
  uint32_t parse_errors = 0;
};

// Never fails and never throws; bounded in time and memory by the input's size.
ReportFacts ReadReport(std::string_view gbk);

}  // namespace zandrel::report

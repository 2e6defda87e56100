#include "server/store/pg/pg_rows.h"

#include <algorithm>
#include <cstdint>
#include <unordered_set>

#include <nlohmann/json.hpp>

#include "server/store/pg/pg_schema.h"
#include "server/store/search_query.h"

namespace zandrel::store::pg {
namespace {

std::string Ipv4Text(uint32_t a) {
  return std::to_string(a >> 24) + "." + std::to_string((a >> 16) & 255) + "." + std::to_string((a >> 8) & 255) + "." +
         std::to_string(a & 255);
}

// Length of the valid UTF-8 sequence at s[i], 0 when there is none.
std::size_t Utf8Length(std::string_view s, std::size_t i) {
  auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char c = b(i);
  std::size_t n = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
  if (n == 0 || i + n > s.size()) return 0;
  for (std::size_t k = 1; k < n; ++k) {
    if ((b(i + k) & 0xC0) != 0x80) return 0;
  }
  if (n == 2 && c < 0xC2) return 0;  // overlong
  if (n == 3) {
    unsigned cp = (c & 0x0Fu) << 12 | (b(i + 1) & 0x3Fu) << 6 | (b(i + 2) & 0x3Fu);
    if (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  }
  if (n == 4) {
    unsigned cp = (c & 0x07u) << 18 | (b(i + 1) & 0x3Fu) << 12 | (b(i + 2) & 0x3Fu) << 6 | (b(i + 3) & 0x3Fu);
    if (cp < 0x10000 || cp > 0x10FFFF) return 0;
  }
  return n;
}

std::optional<std::string> Opt(const std::optional<std::string>& v) {
  if (!v) return std::nullopt;
  return CleanText(*v);
}
template <typename T>
std::optional<std::string> Number(const std::optional<T>& v) {
  if (!v) return std::nullopt;
  return std::to_string(*v);
}
std::optional<std::string> Bool(const std::optional<bool>& v) {
  if (!v) return std::nullopt;
  return std::string(*v ? "t" : "f");
}

}  // namespace

std::string CleanText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    if (text[i] == '\0') {
      ++i;
      continue;
    }
    std::size_t n = Utf8Length(text, i);
    if (n == 0) {
      out += "\xEF\xBF\xBD";
      ++i;
      continue;
    }
    out.append(text.substr(i, n));
    i += n;
  }
  return out;
}

std::string ArrayLiteral(const std::vector<std::string>& items) {
  std::string out = "{";
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i) out += ',';
    out += '"';
    for (char c : items[i]) {
      if (c == '"' || c == '\\') out += '\\';
      out += c;
    }
    out += '"';
  }
  out += '}';
  return out;
}

std::vector<std::string> ModulePaths(const report::ReportFacts& facts) {
  std::vector<std::string> paths;
  paths.reserve(facts.modules.size());
  for (const auto& m : facts.modules) paths.push_back(CleanText(m));
  return paths;
}

RowValues MakeRow(uint64_t id, int64_t received, uint32_t sender, const std::string& md5, std::string_view body,
                  const report::ReportFacts& f, const std::vector<int32_t>* module_ids) {
  std::vector<std::string> addresses{Ipv4Text(sender)}, macs, channels;
  nlohmann::json adapters = nlohmann::json::array();
  for (const report::Adapter& a : f.adapters) {
    if (auto ip = ParseIpv4(a.ipv4)) {
      std::string text = Ipv4Text(*ip);
      bool seen = false;
      for (const auto& s : addresses) seen = seen || s == text;
      if (!seen) addresses.push_back(text);
    }
    if (auto mac = ParseMac(a.mac)) macs.push_back(std::to_string(*mac));
    adapters.push_back({{"name", CleanText(a.name)},
                        {"description", CleanText(a.description)},
                        {"mac", CleanText(a.mac)},
                        {"ipv4", CleanText(a.ipv4)},
                        {"mask", CleanText(a.mask)},
                        {"gateway", CleanText(a.gateway)}});
  }
  for (const auto& c : f.channel_ids) channels.push_back(CleanText(c));
  RowValues row;
  row.text = {std::to_string(id),
              std::to_string(received),
              Ipv4Text(sender),
              ArrayLiteral(addresses),
              std::to_string(body.size()),
              md5,
              Opt(f.problem),
              adapters.dump(),
              ArrayLiteral(macs),
              ArrayLiteral(ModulePaths(f)),
              Number(f.cpu_percent),
              f.free_bytes && *f.free_bytes <= static_cast<uint64_t>(INT64_MAX) ? Number(f.free_bytes) : std::nullopt,
              Bool(f.udp_ok),
              Number(f.speed_kbps),
              Bool(f.service_ok),
              Bool(f.channels_ok),
              ArrayLiteral(channels),
              std::to_string(f.parse_errors),
              std::nullopt};
  if (module_ids) {
    std::string ids = "{";
    for (int32_t mid : *module_ids) ids += (ids.size() > 1 ? "," : "") + std::to_string(mid);
    row.text.back() = ids + "}";
  }
  row.body = body;
  return row;
}

std::string InsertSql(std::size_t rows, bool with_module_days) {
  std::string sql = with_module_days ? "WITH inserted AS (" : "";
  sql +=
      "INSERT INTO reports (id, received, sender, addresses, size, md5, problem, adapters, macs, modules, "
      "cpu_percent, free_bytes, udp_ok, speed_kbps, service_ok, channels_ok, channel_ids, parse_errors, module_ids, body) VALUES ";
  for (std::size_t r = 0; r < rows; ++r) {
    auto p = [&](int k) { return "$" + std::to_string(r * kRowColumns + static_cast<std::size_t>(k)); };
    if (r) sql += ',';
    sql += "(" + p(1) + "::bigint, 'epoch'::timestamptz + " + p(2) + "::bigint * interval '1 millisecond', " + p(3) +
           "::inet, " + p(4) + "::inet[], " + p(5) + "::integer, " + p(6) + ", " + p(7) + ", " + p(8) + "::jsonb, " +
           p(9) + "::bigint[], " + p(10) + "::text[], " + p(11) + "::integer, " + p(12) + "::bigint, " + p(13) +
           "::boolean, " + p(14) + "::bigint, " + p(15) + "::boolean, " + p(16) + "::boolean, " + p(17) +
           "::text[], " + p(18) + "::integer, " + p(19) + "::integer[], " + p(20) + "::bytea)";
  }
  sql += " ON CONFLICT DO NOTHING";
  if (with_module_days) {
    auto p = [&](int k) { return "$" + std::to_string(rows * kRowColumns + static_cast<std::size_t>(k)); };
    sql += " RETURNING 1), counted AS (INSERT INTO module_day_added (day, mids, ns) SELECT day, array_agg(mid), "
           "array_agg(n) FROM unnest(" + p(1) + "::integer[], " + p(2) + "::integer[], " + p(3) +
           "::bigint[]) c(day, mid, n) WHERE EXISTS (SELECT 1 FROM inserted) GROUP BY day) SELECT count(*) FROM inserted";
  }
  return sql;
}

// Past this many, the cache starts again rather than grow without end.
constexpr std::size_t kMaxKnownModules = 500000;

std::string ModuleIdCache::Unknown(const std::vector<std::vector<std::string>>& reports) {
  std::vector<std::string> unknown;
  std::unordered_set<std::string_view> asked;
  for (const auto& paths : reports) {
    for (const std::string& p : paths) {
      if (!ids_.count(p) && asked.insert(p).second) unknown.push_back(p);
    }
  }
  if (unknown.empty()) return "";
  if (ids_.size() + unknown.size() > kMaxKnownModules) ids_.clear();
  return ArrayLiteral(unknown);
}

bool ModuleIdCache::Ids(const std::vector<std::string>& paths, std::vector<int32_t>& ids) const {
  ids.clear();
  for (const std::string& p : paths) {
    auto it = ids_.find(p);
    if (it == ids_.end()) return false;
    ids.push_back(it->second);
  }
  return true;
}

void ModuleDayCounts::Add(int64_t received, std::vector<int32_t> mids) {
  std::sort(mids.begin(), mids.end());
  mids.erase(std::unique(mids.begin(), mids.end()), mids.end());
  auto day = static_cast<int32_t>(received / kDayMs);
  for (int32_t mid : mids) ++counts_[{day, mid}];
}

std::array<std::string, 3> ModuleDayCounts::Params() const {
  std::array<std::string, 3> lists{"{", "{", "{"};
  for (const auto& [key, n] : counts_) {
    const char* sep = lists[0].size() > 1 ? "," : "";
    lists[0] += sep + std::to_string(key.first);
    lists[1] += sep + std::to_string(key.second);
    lists[2] += sep + std::to_string(n);
  }
  for (auto& l : lists) l += '}';
  return lists;
}

}  // namespace zandrel::store::pg

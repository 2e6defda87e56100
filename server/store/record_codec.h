// The compact byte forms the index keeps for a record's lists: unsigned
// varints (module ids) and length-prefixed strings (adapter fields, channel
// ids). Decoding stops quietly at a truncated or damaged value.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "server/report/report_facts.h"

namespace zandrel::store {

inline void PutVarint(std::string& out, uint64_t v) {
  while (v >= 0x80) {
    out += static_cast<char>((v & 0x7F) | 0x80);
    v >>= 7;
  }
  out += static_cast<char>(v);
}

inline bool GetVarint(std::string_view in, std::size_t& pos, uint64_t& v) {
  v = 0;
  for (int shift = 0; pos < in.size() && shift < 64; shift += 7) {
    auto b = static_cast<unsigned char>(in[pos++]);
    v |= static_cast<uint64_t>(b & 0x7F) << shift;
    if (b < 0x80) return true;
  }
  return false;
}

inline std::vector<uint64_t> DecodeVarints(std::string_view in) {
  std::vector<uint64_t> out;
  std::size_t pos = 0;
  uint64_t v;
  while (GetVarint(in, pos, v)) out.push_back(v);
  return out;
}

inline void PutString(std::string& out, std::string_view s) {
  PutVarint(out, s.size());
  out += s;
}

inline std::vector<std::string> DecodeStrings(std::string_view in) {
  std::vector<std::string> out;
  std::size_t pos = 0;
  uint64_t n;
  while (GetVarint(in, pos, n) && n <= in.size() - pos) {
    out.emplace_back(in.substr(pos, n));
    pos += n;
  }
  return out;
}

inline std::string EncodeAdapters(const std::vector<report::Adapter>& adapters) {
  std::string out;
  for (const auto& a : adapters) {
    for (const std::string* f : {&a.name, &a.description, &a.mac, &a.ipv4, &a.mask, &a.gateway}) PutString(out, *f);
  }
  return out;
}

inline std::vector<report::Adapter> DecodeAdapters(std::string_view in) {
  std::vector<std::string> f = DecodeStrings(in);
  std::vector<report::Adapter> out;
  for (std::size_t i = 0; i + 6 <= f.size(); i += 6) {
    out.push_back({f[i], f[i + 1], f[i + 2], f[i + 3], f[i + 4], f[i + 5]});
  }
  return out;
}

inline std::string EncodeStrings(const std::vector<std::string>& list) {
  std::string out;
  for (const auto& s : list) PutString(out, s);
  return out;
}

}  // namespace zandrel::store

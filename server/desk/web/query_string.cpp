#include "server/desk/web/query_string.h"

namespace zandrel::desk::web {
namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::optional<std::string> PercentDecode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '+') {
      out += ' ';
    } else if (c == '%') {
      if (i + 2 >= text.size()) return std::nullopt;
      int hi = HexValue(text[i + 1]), lo = HexValue(text[i + 2]);
      if (hi < 0 || lo < 0) return std::nullopt;
      out += static_cast<char>(hi * 16 + lo);
      i += 2;
    } else {
      out += c;
    }
  }
  return out;
}

std::string PercentEncode(std::string_view text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
                 c == '.' || c == '_' || c == '~';
    if (plain) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

std::optional<Params> ParseQueryString(std::string_view text, std::size_t maxPairs) {
  Params params;
  while (!text.empty()) {
    std::size_t amp = text.find('&');
    std::string_view piece = text.substr(0, amp);
    text = amp == std::string_view::npos ? std::string_view() : text.substr(amp + 1);
    if (piece.empty()) continue;
    if (params.size() == maxPairs) return std::nullopt;
    std::size_t eq = piece.find('=');
    auto name = PercentDecode(piece.substr(0, eq));
    auto value = PercentDecode(eq == std::string_view::npos ? std::string_view() : piece.substr(eq + 1));
    if (!name || !value) return std::nullopt;
    params.emplace_back(std::move(*name), std::move(*value));
  }
  return params;
}

std::string QueryStringOf(const Params& params) {
  std::string out;
  for (const auto& [name, value] : params) {
    if (value.empty()) continue;
    if (!out.empty()) out += '&';
    out += PercentEncode(name) + "=" + PercentEncode(value);
  }
  return out;
}

const std::string* FindParam(const Params& params, std::string_view name) {
  for (const auto& param : params)
    if (param.first == name) return &param.second;
  return nullptr;
}

}  // namespace zandrel::desk::web

#include "server/store/report_id.h"

#include <random>

namespace zandrel::store {
namespace {

constexpr char kDigits[] = "0123456789ABCDEFGHJKMNPQRSTVWXYZ";

int DigitValue(char c) {
  if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  if (c == 'O') return 0;
  if (c == 'I' || c == 'L') return 1;
  for (int i = 0; i < 32; ++i) {
    if (kDigits[i] == c) return i;
  }
  return -1;
}

}  // namespace

std::string ReportIdText(uint64_t value) {
  std::string out(9, '-');
  for (int i = 7; i >= 0; --i) {
    out[static_cast<std::size_t>(i < 4 ? i : i + 1)] = kDigits[value & 31];
    value >>= 5;
  }
  return out;
}

std::optional<uint64_t> ParseReportId(std::string_view text) {
  uint64_t value = 0;
  int digits = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '-' && digits == 4 && i == 4) continue;
    int d = DigitValue(text[i]);
    if (d < 0 || ++digits > 8) return std::nullopt;
    value = value << 5 | static_cast<uint64_t>(d);
  }
  if (digits != 8) return std::nullopt;
  return value;
}

uint64_t NewReportIdValue() {
  static thread_local std::random_device source;
  uint64_t v = (static_cast<uint64_t>(source()) << 32) ^ source();
  return v & ((uint64_t{1} << kReportIdBits) - 1);
}

}  // namespace zandrel::store

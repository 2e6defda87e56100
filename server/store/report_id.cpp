#include "server/store/report_id.h"


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

// Four Feistel rounds over two 20-bit halves: a bijection whatever the
// round function is.
namespace {
constexpr uint64_t kHalf = (uint64_t{1} << 20) - 1;
constexpr uint64_t kKeys[4] = {0x9E3779B9, 0x7F4A7C15, 0x85EBCA6B, 0xC2B2AE35};
uint64_t Round(uint64_t half, int i) {
  uint64_t x = (half ^ kKeys[i]) * 0x2545F491;
  return (x ^ (x >> 13)) & kHalf;
}
}  // namespace

uint64_t ReportIdForSequence(uint64_t sequence) {
  uint64_t l = (sequence >> 20) & kHalf, r = sequence & kHalf;
  for (int i = 0; i < 4; ++i) {
    uint64_t next = l ^ Round(r, i);
    l = r;
    r = next;
  }
  return l << 20 | r;
}

uint64_t SequenceForReportId(uint64_t id) {
  uint64_t l = (id >> 20) & kHalf, r = id & kHalf;
  for (int i = 3; i >= 0; --i) {
    uint64_t prev = r ^ Round(l, i);
    r = l;
    l = prev;
  }
  return l << 20 | r;
}

}  // namespace zandrel::store

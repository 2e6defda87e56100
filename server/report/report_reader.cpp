// Reads a report line by line, in the order the tool writes it: the problem
// line, the adapter blocks, the module inventory, then the tail of results
// (CPU, free space, UDP, speed, local service, channel list). A section may be
// missing; the reader moves forward through the sections and never back.
// A report may be cut off anywhere: a value on a last line that lacks its
// line break may be cut short, so it is not taken.
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string>
#include <string_view>

#include "base/texts.h"
#include "platform/gbk.h"
#include "server/report/report_facts.h"

namespace zandrel::report {
namespace {

// The fixed part of a format, before its first conversion.
constexpr std::string_view Before(std::string_view format, std::string_view conversion) {
  return format.substr(0, format.find(conversion));
}
// What a format writes between a conversion and the line break.
constexpr std::string_view Between(std::string_view format, std::string_view conversion) {
  std::string_view rest = format.substr(format.find(conversion) + conversion.size());
  return rest.substr(0, rest.find("\r\n"));
}

// Computed at start: GCC 12 with the sanitizers cannot take find() as a constant.
const std::string_view kProblem = Before(texts::kTextProblemLine, "%s").substr(2);  // after "\r\n"
const std::string_view kCpu = Before(texts::kFormatCpuLine, "%d");
const std::string_view kDisk = Before(texts::kFormatDiskGB, "%4.2f");
const std::string_view kGB = Between(texts::kFormatDiskGB, "%4.2f");
const std::string_view kMB = Between(texts::kFormatDiskMB, "%4.2f");
const std::string_view kSpeed = Before(texts::kFormatSpeedLine, "%d");
const std::string_view kSpeedUnit = Between(texts::kFormatSpeedLine, "%d");
const std::string_view kChannel = Before(texts::kFormatChannelLine, "%s");
constexpr std::string_view kUdpOk = texts::kTextUdpOk;
constexpr std::string_view kUdpFailed = texts::kTextUdpFailed;
constexpr std::string_view kServiceOk = texts::kTextServiceOk;
constexpr std::string_view kServiceTimeout = texts::kTextServiceTimeout;
constexpr std::string_view kChannelTimeout = texts::kTextChannelTimeout;
static_assert(kUdpOk.size() == 13 && kUdpFailed.size() == 13);

// A module's file line: the name after this indentation.
constexpr std::string_view kFileIndent = "                ";

// No path on either system is longer; a longer line is not a path.
constexpr size_t kMaxPathPart = 4096;

enum class Phase { kHead, kAdapters, kModules, kTail };

// Most lines are tested against many prefixes and differ from them at the
// first byte, which is looked at before the rest is compared.
bool StartsWith(std::string_view s, std::string_view prefix) {
  if (prefix.empty()) return true;
  return s.size() >= prefix.size() && s.front() == prefix.front() && s.substr(0, prefix.size()) == prefix;
}

std::string_view TrimSpaces(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

bool IsWhite(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// A whole number filling `s`; false when it is not one or does not fit.
template <typename T>
bool ParseWhole(std::string_view s, T& out) {
  if (s.empty() || (s.front() == '+')) return false;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
  return ec == std::errc() && end == s.data() + s.size();
}

bool IsHex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// "02-5a-64-72-65-6c": six hexadecimal pairs joined by '-'.
bool IsMac(std::string_view s) {
  if (s.size() != 17) return false;
  for (size_t i = 0; i < s.size(); ++i) {
    if (i % 3 == 2 ? s[i] != '-' : !IsHex(s[i])) return false;
  }
  return true;
}

// Four decimal numbers of 0 to 255 joined by '.'.
bool IsDottedQuad(std::string_view s) {
  for (int part = 0; part < 4; ++part) {
    if (part > 0) {
      if (s.empty() || s.front() != '.') return false;
      s.remove_prefix(1);
    }
    size_t digits = 0;
    while (digits < s.size() && digits < 4 && s[digits] >= '0' && s[digits] <= '9') ++digits;
    unsigned value = 0;
    if (digits == 0 || digits > 3 || !ParseWhole(s.substr(0, digits), value) || value > 255) return false;
    s.remove_prefix(digits);
  }
  return s.empty();
}

// "1.50" in units of `unit` bytes, as a byte count rounded to the nearest.
bool ParseAmount(std::string_view s, uint64_t unit, uint64_t& bytes) {
  size_t dot = s.find('.');
  std::string_view whole = s.substr(0, dot);
  std::string_view frac = dot == std::string_view::npos ? std::string_view() : s.substr(dot + 1);
  uint64_t w = 0;
  if (!ParseWhole(whole, w) || whole.front() == '-') return false;
  if (dot != std::string_view::npos && (frac.empty() || frac.size() > 9)) return false;
  uint64_t f = 0, scale = 1;
  if (!frac.empty()) {
    if (frac.front() == '-' || !ParseWhole(frac, f)) return false;
    for (size_t i = 0; i < frac.size(); ++i) scale *= 10;
  }
  if (w > (UINT64_MAX - unit) / unit) return false;
  // f < 10^9 and unit <= 2^30: the product fits.
  bytes = w * unit + (f * unit + scale / 2) / scale;
  return true;
}

// Report text (GBK) as UTF-8, appended to `out`. The tool never writes a
// zero byte into a text, so one found there is replaced like an invalid
// byte, and counted.
void AppendText(std::string& out, std::string_view gbk, uint32_t& errors) {
  bool plain = true;
  for (char c : gbk) {
    if (static_cast<unsigned char>(c) >= 0x80 || c == '\0') {
      plain = false;
      break;
    }
  }
  if (plain) {
    out += gbk;
    return;
  }
  std::string utf8 = platform::GbkToUtf8(gbk);
  if (utf8.find('\0') == std::string::npos) {
    out += utf8;
    return;
  }
  ++errors;
  out.reserve(out.size() + utf8.size() + 8);
  for (char c : utf8) {
    if (c == '\0') {
      out += "\xEF\xBF\xBD";
    } else {
      out += c;
    }
  }
}

std::string Text(std::string_view gbk, uint32_t& errors) {
  std::string out;
  AppendText(out, gbk, errors);
  return out;
}

class Reader {
 public:
  explicit Reader(std::string_view report) : report_(report), moduleBudget_(4 * report.size() + (64 << 10)) {}

  ReportFacts Read() {
    size_t pos = 0;
    while (pos < report_.size() && !done_) {
      size_t end = report_.find('\n', pos);
      if (end == std::string_view::npos) end = report_.size();
      std::string_view line = report_.substr(pos, end - pos);
      terminated_ = end < report_.size();
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      Line(line);
      pos = end + 1;
    }
    CloseAdapter();
    return std::move(facts_);
  }

 private:
  void Line(std::string_view line) {
    if (phase_ == Phase::kTail || IsTailStart(line)) {
      phase_ = Phase::kTail;
      Tail(line);
      return;
    }
    if (phase_ == Phase::kHead && StartsWith(line, kProblem)) {
      if (Whole()) facts_.problem = Text(line.substr(kProblem.size()), facts_.parse_errors);
      phase_ = Phase::kAdapters;
      haveDir_ = false;
      return;
    }
    if (phase_ <= Phase::kAdapters && AdapterLine(line)) {
      phase_ = Phase::kAdapters;
      return;
    }
    if (phase_ == Phase::kHead && line.empty()) {
      // The blank line before the problem line, or the empty directory of a
      // report that has no problem line.
      dir_.clear();
      haveDir_ = true;
      return;
    }
    CloseAdapter();
    phase_ = Phase::kModules;
    ModuleLine(line);
  }

  // ---- adapters

  struct Field {
    std::string_view prefix;
    std::string Adapter::*member;
    enum { kText, kMac, kAddress } kind;
  };
  static constexpr Field kFields[] = {
      {"AdapterName : ", &Adapter::name, Field::kText},  {"Adapter Desc: ", &Adapter::description, Field::kText},
      {"MAC Addr: \t", &Adapter::mac, Field::kMac},      {"IP Address: ", &Adapter::ipv4, Field::kAddress},
      {"IP Mask: ", &Adapter::mask, Field::kAddress},    {"Gateway: ", &Adapter::gateway, Field::kAddress},
  };

  bool AdapterLine(std::string_view line) {
    size_t i = 0;
    while (i < std::size(kFields) && !StartsWith(line, kFields[i].prefix)) ++i;
    if (i == std::size(kFields)) return false;
    if (i == 0) {
      CloseAdapter();
      facts_.adapters.emplace_back();
      adapterOpen_ = true;
      nextField_ = 0;
      filled_ = 0;
    } else if (!adapterOpen_ || i < nextField_) {
      ++facts_.parse_errors;  // outside a block, repeated or out of order
      return true;
    }
    nextField_ = i + 1;
    ++filled_;
    if (!Whole()) return true;
    const Field& f = kFields[i];
    std::string_view value = line.substr(f.prefix.size());
    std::string& slot = facts_.adapters.back().*f.member;
    if (f.kind == Field::kText) {
      slot = Text(value, facts_.parse_errors);
    } else {
      value = TrimSpaces(value);
      bool ok = value.empty() || (f.kind == Field::kMac ? IsMac(value) : IsDottedQuad(value));
      if (ok) {
        slot = std::string(value);
      } else {
        ++facts_.parse_errors;
      }
    }
    return true;
  }

  void CloseAdapter() {
    if (adapterOpen_ && filled_ < std::size(kFields)) ++facts_.parse_errors;  // lines missing
    adapterOpen_ = false;
  }

  // ---- module inventory

  void ModuleLine(std::string_view line) {
    if (!terminated_) return;  // a name or a directory cut short, or nothing
    if (!StartsWith(line, kFileIndent)) {
      haveDir_ = line.size() <= kMaxPathPart;
      if (haveDir_) {
        dir_ = Text(line, facts_.parse_errors);
      } else {
        ++facts_.parse_errors;
      }
      return;
    }
    std::string_view name = line.substr(kFileIndent.size());
    if (!haveDir_ || name.empty() || name.size() > kMaxPathPart) {
      ++facts_.parse_errors;
      return;
    }
    if (moduleBudget_ == 0) {
      ++facts_.parse_errors;
      return;
    }
    std::string path;
    path.reserve(dir_.size() + 1 + name.size());
    path += dir_;
    path += '\\';
    AppendText(path, name, facts_.parse_errors);
    if (path.size() > moduleBudget_) {
      // A short report cannot hold this many long paths: the rest is dropped.
      moduleBudget_ = 0;
      ++facts_.parse_errors;
      return;
    }
    moduleBudget_ -= path.size();
    facts_.modules.push_back(std::move(path));
  }

  // ---- the results after the inventory

  static bool IsTailStart(std::string_view line) {
    for (std::string_view token : {kCpu, kDisk, kUdpOk, kUdpFailed, kSpeed, kServiceOk, kServiceTimeout, kChannel,
                                   kChannelTimeout}) {
      if (StartsWith(line, token)) return true;
    }
    return false;
  }

  // The current line is whole; one cut short is counted.
  bool Whole() {
    if (!terminated_) ++facts_.parse_errors;
    return terminated_;
  }

  template <typename T>
  void Set(std::optional<T>& slot, T value) {
    if (slot) {
      ++facts_.parse_errors;  // the first one stands
    } else {
      slot = value;
    }
  }

  // One line of results; the UDP text and the local service's success text
  // carry no line break, so what follows them shares their line.
  void Tail(std::string_view rest) {
    bool matched = false;
    while (!rest.empty()) {
      if (StartsWith(rest, kCpu)) {
        int percent = 0;
        if (!Whole()) return;
        if (ParseWhole(TrimSpaces(rest.substr(kCpu.size())), percent)) {
          Set(facts_.cpu_percent, percent);
        } else {
          ++facts_.parse_errors;
        }
        return;
      }
      if (StartsWith(rest, kDisk)) {
        if (!Whole()) return;
        std::string_view amount = TrimSpaces(rest.substr(kDisk.size()));
        uint64_t unit = amount.ends_with(kGB) ? uint64_t{1} << 30 : amount.ends_with(kMB) ? uint64_t{1} << 20 : 0;
        uint64_t bytes = 0;
        if (unit != 0 && ParseAmount(TrimSpaces(amount.substr(0, amount.size() - 2)), unit, bytes)) {
          Set(facts_.free_bytes, bytes);
        } else {
          ++facts_.parse_errors;
        }
        return;
      }
      if (StartsWith(rest, kSpeed)) {
        if (!Whole()) return;
        std::string_view speed = TrimSpaces(rest.substr(kSpeed.size()));
        int64_t kbps = 0;
        if (speed.ends_with(kSpeedUnit) && ParseWhole(speed.substr(0, speed.size() - kSpeedUnit.size()), kbps) &&
            kbps >= 0) {
          Set(facts_.speed_kbps, kbps);
        } else {
          ++facts_.parse_errors;
        }
        return;
      }
      if (StartsWith(rest, kChannel)) {
        Set(facts_.channels_ok, true);
        ChannelReply(RestOfReport(rest.substr(kChannel.size())));
        done_ = true;
        return;
      }
      std::string_view token;
      if (StartsWith(rest, kUdpOk) || StartsWith(rest, kUdpFailed)) {
        token = rest.substr(0, kUdpOk.size());
        Set(facts_.udp_ok, token == kUdpOk);
      } else if (StartsWith(rest, kServiceOk) || StartsWith(rest, kServiceTimeout)) {
        token = StartsWith(rest, kServiceOk) ? kServiceOk : kServiceTimeout;
        Set(facts_.service_ok, token == kServiceOk);
      } else if (StartsWith(rest, kChannelTimeout)) {
        token = kChannelTimeout;
        Set(facts_.channels_ok, false);
      } else {
        if (matched) ++facts_.parse_errors;  // a result followed by something else
        return;
      }
      rest.remove_prefix(token.size());
      matched = true;
    }
  }

  // From `from` (a view into the report) to the end of the report, or to its
  // first zero byte: the tool reads the reply as a C string.
  std::string_view RestOfReport(std::string_view from) const {
    std::string_view rest = report_.substr(static_cast<size_t>(from.data() - report_.data()));
    return rest.substr(0, rest.find('\0'));
  }

  // The values of the id="…" (or id='…') attributes of the channel list.
  void ChannelReply(std::string_view reply) {
    size_t i = 0;
    while ((i = reply.find("id", i)) != std::string_view::npos) {
      size_t at = i;
      i += 2;
      if (at == 0 || !IsWhite(reply[at - 1])) continue;
      size_t j = i;
      while (j < reply.size() && IsWhite(reply[j])) ++j;
      if (j == reply.size() || reply[j] != '=') continue;
      ++j;
      while (j < reply.size() && IsWhite(reply[j])) ++j;
      if (j == reply.size() || (reply[j] != '"' && reply[j] != '\'')) continue;
      size_t close = reply.find(reply[j], j + 1);
      if (close == std::string_view::npos) {
        ++facts_.parse_errors;  // cut off inside the value
        return;
      }
      std::string_view value = reply.substr(j + 1, close - j - 1);
      if (value.empty()) {
        ++facts_.parse_errors;
      } else {
        facts_.channel_ids.push_back(Text(value, facts_.parse_errors));
      }
      i = close + 1;
    }
  }

  std::string_view report_;
  ReportFacts facts_;
  Phase phase_ = Phase::kHead;
  bool done_ = false;
  bool terminated_ = false;  // the current line ends in a line break
  bool adapterOpen_ = false;
  size_t nextField_ = 0;
  size_t filled_ = 0;
  bool haveDir_ = false;
  std::string dir_;
  size_t moduleBudget_;
};

}  // namespace

ReportFacts ReadReport(std::string_view gbk) {
  try {
    return Reader(gbk).Read();
  } catch (...) {
    // Only an allocation can fail; a report too large to hold is no report.
    ReportFacts none;
    none.parse_errors = 1;
    return none;
  }
}

}  // namespace zandrel::report

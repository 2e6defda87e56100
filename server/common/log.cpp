#include "server/common/log.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>

#include "platform/clock.h"

namespace zandrel::server {
namespace {

std::mutex g_logMutex;  // one line at a time, from the loop and the store's worker

// journald stamps every line itself and tells its children so.
bool UnderJournald() { return std::getenv("JOURNAL_STREAM") != nullptr; }

void WriteLine(const char* fmt, va_list args) {
  std::string stamp = UnderJournald() ? std::string() : LogTimeStamp() + " ";
  std::lock_guard<std::mutex> lock(g_logMutex);
  std::fputs(stamp.c_str(), stderr);
  std::vfprintf(stderr, fmt, args);
  std::fputc('\n', stderr);
}

struct Throttle {
  std::mutex mutex;
  LogThrottle lines;
  uint32_t lastSweep = 0;
};

Throttle& TheThrottle() {
  static Throttle t;
  return t;
}

std::string AddressText(uint32_t addr) {
  if (addr == LogThrottle::kOtherSources) return "other addresses";
  char text[16];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", addr >> 24, (addr >> 16) & 255, (addr >> 8) & 255, addr & 255);
  return text;
}

}  // namespace

std::string LogTimeStamp() {
  std::time_t now = std::time(nullptr);
  char text[32] = {};
  std::lock_guard<std::mutex> lock(g_logMutex);  // localtime's result is shared
  if (const std::tm* tm = std::localtime(&now)) std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", tm);
  return text;
}

void LogLine(bool quiet, const char* fmt, ...) {
  if (quiet) return;
  va_list args;
  va_start(args, fmt);
  WriteLine(fmt, args);
  va_end(args);
}

void LogLineAbout(bool quiet, uint32_t addr, const char* fmt, ...) {
  if (quiet) return;
  LogHeldBack(quiet);
  Throttle& t = TheThrottle();
  {
    std::lock_guard<std::mutex> lock(t.mutex);
    if (!t.lines.Admit(addr, platform::TickCount())) return;
  }
  va_list args;
  va_start(args, fmt);
  WriteLine(fmt, args);
  va_end(args);
}

void LogHeldBack(bool quiet) {
  if (quiet) return;
  Throttle& t = TheThrottle();
  std::vector<std::pair<uint32_t, uint64_t>> ended;
  {
    std::lock_guard<std::mutex> lock(t.mutex);
    uint32_t now = platform::TickCount();
    if (now - t.lastSweep < 1000) return;
    t.lastSweep = now;
    ended = t.lines.TakeEnded(now);
  }
  for (const auto& [addr, count] : ended) {
    LogLine(false, "%s: %llu more lines about this address held back in its last minute", AddressText(addr).c_str(),
            static_cast<unsigned long long>(count));
  }
}

std::string QuoteForLog(std::string_view bytes, std::size_t maxBytes) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  std::size_t used = 0;
  for (; used < bytes.size(); ++used) {
    unsigned char ch = static_cast<unsigned char>(bytes[used]);
    std::size_t width = ch < 0x20 || ch >= 0x7f ? 4 : ch == '\\' ? 2 : 1;
    if (out.size() + width > maxBytes) break;
    if (width == 4) {
      out += "\\x";
      out += kHex[ch >> 4];
      out += kHex[ch & 15];
    } else {
      if (ch == '\\') out += '\\';
      out += static_cast<char>(ch);
    }
  }
  if (used < bytes.size()) out += "... (" + std::to_string(bytes.size()) + " bytes)";
  return out;
}

bool LogThrottle::Admit(uint32_t key, uint32_t nowMs) {
  auto it = sources_.find(key);
  if (it != sources_.end() && nowMs - it->second.start >= windowMs_) {
    // Its window is over. With lines held back it waits for TakeEnded to
    // sum them up, this one among them; otherwise a new window starts.
    if (it->second.lines > perWindow_) return ++it->second.lines <= perWindow_;
    sources_.erase(it);
    it = sources_.end();
  }
  if (it == sources_.end()) {
    if (sources_.size() + 1 >= maxSources_) {  // the last entry is the shared one
      key = kOtherSources;
      it = sources_.find(key);
    }
    if (it == sources_.end()) it = sources_.emplace(key, Source{nowMs, 0}).first;
  }
  return ++it->second.lines <= perWindow_;
}

std::vector<std::pair<uint32_t, uint64_t>> LogThrottle::TakeEnded(uint32_t nowMs) {
  std::vector<std::pair<uint32_t, uint64_t>> out;
  for (auto it = sources_.begin(); it != sources_.end();) {
    if (nowMs - it->second.start < windowMs_) {
      ++it;
      continue;
    }
    if (it->second.lines > perWindow_) out.emplace_back(it->first, it->second.lines - perWindow_);
    it = sources_.erase(it);
  }
  return out;
}

}  // namespace zandrel::server

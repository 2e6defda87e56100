// The server programs' log: one line on standard error per call, with the
// local time in front unless journald (which stamps lines itself) takes it.
// Lines about a client are held to a few per address and minute, and what
// they quote of a request is cut short and escaped.
#pragma once
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zandrel::server {

// One line on standard error unless quiet.
void LogLine(bool quiet, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// A line about the client at addr: written unless that address has had its
// share of lines this minute. What was held back is told in one line per
// address once its minute is over (see LogHeldBack).
void LogLineAbout(bool quiet, uint32_t addr, const char* fmt, ...) __attribute__((format(printf, 3, 4)));

// Writes the summary of every address whose minute is over with lines held
// back. Cheap; the server calls it every pass.
void LogHeldBack(bool quiet);

// Client bytes as a log line may quote them: at most maxBytes of text, every
// control byte, non-ASCII byte and backslash escaped (\xNN, \\), and when cut,
// "..." and the whole length after it.
std::string QuoteForLog(std::string_view bytes, std::size_t maxBytes = 200);

// The local time as the log writes it, "YYYY-MM-DD HH:MM:SS".
std::string LogTimeStamp();

// Which lines about a source reach the log: the first linesPerWindow of each
// window (a minute by default) that starts with a source's first line; the
// rest are counted, and handed out once the window is over. At most
// maxSources entries are kept: past maxSources - 1 sources, every new one
// shares the last entry, key kOtherSources.
class LogThrottle {
 public:
  static constexpr uint32_t kOtherSources = 0xFFFFFFFF;

  explicit LogThrottle(uint32_t linesPerWindow = 5, uint32_t windowMs = 60000, std::size_t maxSources = 4096)
      : perWindow_(linesPerWindow), windowMs_(windowMs), maxSources_(maxSources) {}

  // True when a line about key may be written now.
  bool Admit(uint32_t key, uint32_t nowMs);
  // The sources whose window is over and had lines held back, with how many;
  // each is handed out once, and its entry goes.
  std::vector<std::pair<uint32_t, uint64_t>> TakeEnded(uint32_t nowMs);
  std::size_t sources() const { return sources_.size(); }

 private:
  struct Source {
    uint32_t start = 0;
    uint64_t lines = 0;
  };
  uint32_t perWindow_, windowMs_;
  std::size_t maxSources_;
  std::map<uint32_t, Source> sources_;
};

}  // namespace zandrel::server

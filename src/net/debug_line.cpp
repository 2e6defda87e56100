#include "net/debug_line.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/clock.h"

namespace zandrel::net {
namespace {

bool AskedByEnvironment() {
  const char* v = std::getenv("ZANDREL_DEBUG");
  return v && *v && std::strcmp(v, "0") != 0;
}

std::atomic<bool>& Enabled() {
  static std::atomic<bool> on{AskedByEnvironment()};
  return on;
}

}  // namespace

void SetDebugLines(bool on) { Enabled() = on; }

bool DebugLinesOn() { return Enabled(); }

void DebugLine(const char* fmt, ...) {
  if (!DebugLinesOn()) return;
  char line[512];
  va_list args;
  va_start(args, fmt);
  std::vsnprintf(line, sizeof line, fmt, args);
  va_end(args);
  // One write per line, so lines of two threads do not mix.
  std::fprintf(stderr, "%s\n", line);
}

void DebugIfSlow(const char* fmt, unsigned startTick) {
  unsigned elapsed = platform::TickCount() - startTick;
  if (elapsed > 300) DebugLine(fmt, static_cast<int>(elapsed));
}

}  // namespace zandrel::net

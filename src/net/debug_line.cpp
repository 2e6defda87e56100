#include "net/debug_line.h"

#include <cstdarg>
#include <cstdio>

#include "platform/clock.h"

namespace zandrel::net {

void DebugLine(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  std::vprintf(fmt, args);
  va_end(args);
  std::fflush(stdout);
}

void DebugIfSlow(const char* fmt, unsigned startTick) {
  unsigned elapsed = platform::TickCount() - startTick;
  if (elapsed > 300) DebugLine(fmt, static_cast<int>(elapsed));
}

}  // namespace zandrel::net

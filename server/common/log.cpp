#include "server/common/log.h"

#include <cstdarg>
#include <cstdio>

namespace zandrel::server {

void LogLine(bool quiet, const char* fmt, ...) {
  if (quiet) return;
  va_list args;
  va_start(args, fmt);
  std::vfprintf(stderr, fmt, args);
  va_end(args);
  std::fputc('\n', stderr);
}

}  // namespace zandrel::server

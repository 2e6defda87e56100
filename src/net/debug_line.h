// Short diagnostic lines of the engines on standard output.
#pragma once

namespace zandrel::net {

void DebugLine(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Writes fmt with the elapsed milliseconds when they exceed 300.
void DebugIfSlow(const char* fmt, unsigned startTick);

}  // namespace zandrel::net

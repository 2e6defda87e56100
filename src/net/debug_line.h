// Short diagnostic lines of the engines (errors, phases slower than 300 ms).
// They go to standard error, one line each, and only when asked for: by
// SetDebugLines (the programs' --verbose) or by ZANDREL_DEBUG=1 in the
// environment. Standard output is the console's progress stream and
// standard error the server's log, neither the place for them otherwise.
#pragma once

namespace zandrel::net {

void SetDebugLines(bool on);
bool DebugLinesOn();

// One line: fmt, then a line end.
void DebugLine(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Writes fmt with the elapsed milliseconds when they exceed 300.
void DebugIfSlow(const char* fmt, unsigned startTick);

}  // namespace zandrel::net

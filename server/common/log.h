// The server programs' log: one line on standard error per call.
#pragma once

namespace zandrel::server {

// One line on standard error unless quiet.
void LogLine(bool quiet, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

}  // namespace zandrel::server

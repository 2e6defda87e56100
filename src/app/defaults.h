// Compile-time defaults of the tool.
#pragma once
#include <string>

namespace zandrel {

// The report server's host name: UDP probes, the upload and the hint page.
extern std::string g_reportHost;
// The speed-test URL shown in the dialog at start.
extern const char* const kDefaultSpeedUrl;

}  // namespace zandrel

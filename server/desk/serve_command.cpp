// zandrel-desk serve: the web pages and the API for support staff, on the
// server's HTTP stack, until SIGTERM or SIGINT.
#include <charconv>
#include <cstdio>

#include "platform/files.h"
#include "server/common/log.h"
#include "server/desk/desk.h"
#include "server/desk/record_text.h"
#include "server/desk/web/desk_server.h"
#include "server/store/search_query.h"

namespace zandrel::desk {
namespace {

// "127.0.0.1:8080"
bool ParseListen(const std::string& text, uint32_t& addr, uint16_t& port) {
  std::size_t colon = text.rfind(':');
  if (colon == std::string::npos) return false;
  auto a = store::ParseIpv4(std::string_view(text).substr(0, colon));
  unsigned p = 0;
  const char* first = text.data() + colon + 1;
  const char* last = text.data() + text.size();
  auto r = std::from_chars(first, last, p);
  if (!a || r.ec != std::errc() || r.ptr != last || first == last || p == 0 || p > 65535) return false;
  addr = *a;
  port = static_cast<uint16_t>(p);
  return true;
}

}  // namespace

int ServeCommand(const DeskOptions& given, const Args& args) {
  DeskOptions options = given;
  uint32_t addr = 0x7f000001;
  uint16_t port = 8080;
  web::ServeOptions serve;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--secure-cookies") {
      serve.secureCookies = true;
      continue;
    }
    if (a == "--quiet") {
      serve.quiet = true;
      continue;
    }
    if (a != "--listen" && a != "--time-zone" && a != "--desk-db" && a != "--trusted-proxy") {
      return Complain(kExitUsage, "unknown serve option " + TerminalSafe(a, false));
    }
    if (i + 1 == args.size()) return Complain(kExitUsage, a + " needs a value");
    const std::string& value = args[++i];
    if (a == "--listen") {
      if (!ParseListen(value, addr, port)) return Complain(kExitUsage, "--listen takes ADDRESS:PORT (127.0.0.1:8080)");
    } else if (a == "--time-zone") {
      serve.timeZone = value;
    } else if (a == "--desk-db") {
      options.deskDb = value;
    } else {
      auto block = store::ParseIpv4Block(value);
      if (!block) return Complain(kExitUsage, "--trusted-proxy takes an address or CIDR block (127.0.0.1/32)");
      serve.trustedProxies.push_back(*block);
    }
  }
  serve.dataDir = options.dataDir;
  serve.indexPath = IndexPath(options);
  serve.database = options.database;
  std::string error;
  auto db = OpenDeskDb(options, error);
  if (!db) return Complain(kExitFailure, "cannot open the desk's database: " + error);
  server::HttpLimits limits = web::DeskLimits(serve.quiet);
  platform::InstallStopSignals();
  platform::RaiseOpenFileLimit();
  bool quiet = serve.quiet;
  web::DeskServer desk(std::move(serve), std::move(db), limits);
  if (!desk.Start(addr, port, error)) return Complain(kExitFailure, error);
  server::LogLine(quiet, "serving the desk on http://%s:%u/, reports in %s", DottedIpv4(addr).c_str(), desk.port(),
                  options.database.empty() ? options.dataDir.c_str() : "the PostgreSQL database");
  while (!platform::StopRequested()) desk.Poll();
  desk.Shutdown(3000);
  server::LogLine(quiet, "stopped");
  return kExitOk;
}

}  // namespace zandrel::desk

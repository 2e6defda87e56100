// zandrel-report-server: receives UDP probes and reports, serves the hint
// page and the speed-test file.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "net/socket.h"
#include "platform/files.h"
#include "report_server.h"

namespace {

const char kUsage[] =
    "usage: zandrel-report-server [options]\n"
    "  --data-dir DIR       where reports are stored (default ./reports)\n"
    "  --bind ADDR          local IPv4 address to listen on (default: all)\n"
    "  --http-port N        HTTP port for reports, the hint page and the speed file (default 5252)\n"
    "  --udp-port N         UDP port that answers probes (default 19549)\n"
    "  --hint-port N        second port for the hint page, 0 for none (default 80)\n"
    "  --speed-size BYTES   size of the speed-test file (default 33554432)\n"
    "  --speed-rate BYTES   limit the speed-test file to BYTES per second (default: no limit)\n"
    "  --max-body BYTES     largest report accepted (default 1048576, at most 1073741824)\n"
    "  --idle-seconds N     close connections idle this long (default 30)\n"
    "  --quiet              no log line per request\n"
    "  --help               this text\n"
    "  --version            print the version\n";

bool ParseNumber(const char* text, uint64_t max, uint64_t& out) {
  if (!text || !*text) return false;
  char* end = nullptr;
  errno = 0;
  unsigned long long v = std::strtoull(text, &end, 10);
  if (errno || *end || v > max || text[0] == '-') return false;
  out = v;
  return true;
}

int UsageError(const std::string& message) {
  std::fprintf(stderr, "zandrel-report-server: %s\n%s", message.c_str(), kUsage);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  zandrel::server::ServerOptions opt;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (a == "--version") {
      std::printf("zandrel-report-server %s\n", ZANDREL_VERSION);
      return 0;
    }
    if (a == "--quiet") {
      opt.quiet = true;
      continue;
    }
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    if (!value) return UsageError(a + " needs a value");
    uint64_t n = 0;
    ++i;
    if (a == "--data-dir") {
      opt.dataDir = value;
    } else if (a == "--bind") {
      if (!zandrel::net::ParseIpv4(value, opt.bindAddr)) return UsageError(std::string("not an IPv4 address: ") + value);
    } else if (a == "--http-port" || a == "--udp-port" || a == "--hint-port") {
      if (!ParseNumber(value, 65535, n)) return UsageError(a + " takes a port number");
      (a == "--http-port" ? opt.httpPort : a == "--udp-port" ? opt.udpPort : opt.hintPort) = static_cast<uint16_t>(n);
    } else if (a == "--speed-size" || a == "--speed-rate" || a == "--max-body") {
      uint64_t max = a == "--max-body" ? zandrel::server::kMaxBodyLimit : 1ull << 40;
      if (!ParseNumber(value, max, n)) return UsageError(a + " takes a byte count up to " + std::to_string(max));
      (a == "--speed-size" ? opt.speedSize : a == "--speed-rate" ? opt.speedRate : opt.maxBody) = n;
    } else if (a == "--idle-seconds") {
      if (!ParseNumber(value, 86400, n) || n == 0) return UsageError(a + " takes a number of seconds");
      opt.idleMs = static_cast<uint32_t>(n * 1000);
    } else {
      return UsageError("unknown option " + a);
    }
  }
  zandrel::platform::InstallStopSignals();
  zandrel::server::ReportServer server(opt);
  std::string error;
  if (!server.Start(error)) {
    std::fprintf(stderr, "zandrel-report-server: %s\n", error.c_str());
    return 1;
  }
  while (!zandrel::platform::StopRequested()) server.Poll();
  std::fprintf(stderr, "stopped; %llu reports stored\n", static_cast<unsigned long long>(server.stored()));
  return 0;
}

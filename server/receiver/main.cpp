// zandrel-report-server: receives UDP probes and reports, serves the hint
// page and the speed-test file.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "net/debug_line.h"
#include "net/socket.h"
#include "platform/files.h"
#include "server/receiver/report_server.h"

namespace {

const char kUsage[] =
    "usage: zandrel-report-server [options]\n"
    "  --data-dir DIR       where reports are stored (default ./reports)\n"
    "  --bind ADDR          local IPv4 address to listen on (default: all)\n"
    "  --http-port N        HTTP port for reports, the hint page and the speed file (default 5252)\n"
    "  --udp-port N         UDP port that answers probes (default 19549)\n"
    "  --hint-port N        second port for the hint page, 0 for none (default 80)\n"
    "  --speed-size BYTES   size of the generated speed-test file (default 2147483648)\n"
    "  --speed-rate BYTES   limit the speed-test file to BYTES per second (default: no limit)\n"
    "  --speed-budget BYTES speed-test bytes queued for all downloads together (default 33554432)\n"
    "  --max-body BYTES     largest report accepted (default 1048576, at most 1073741824)\n"
    "  --head-seconds N     a request head must arrive within N seconds (default 5)\n"
    "  --min-rate BYTES     after that, bodies and downloads must move BYTES per second (default 1024)\n"
    "  --max-per-address N  simultaneous connections from one address, 0 for no limit (default 64)\n"
    "  --reports-per-minute N  reports one address may send a minute, 0 for no limit (default 60)\n"
    "  --min-free BYTES     refuse reports (507) below this much free space (default 268435456)\n"
    "  --max-store BYTES    refuse reports (507) once stored reports take this much, 0 for no limit\n"
    "  --keep-days N        remove reports older than N days, hourly and at start (default: keep all)\n"
    "  --no-index           store reports without the searchable index\n"
    "  --trusted-proxy CIDR a load balancer whose PROXY header (v1 or v2) names the client on the\n"
    "                       HTTP and hint ports; a bare address is a /32; may be given more than once\n"
    "  --database URL       store reports in PostgreSQL, postgresql://USER@HOST[:PORT]/DB, instead of\n"
    "                       the data directory (or ZANDREL_DATABASE; the password from ~/.pgpass)\n"
    "  --quiet              no log lines\n"
    "  --verbose            also the network engines' diagnostic lines (or ZANDREL_DEBUG=1)\n"
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
  if (const char* url = std::getenv("ZANDREL_DATABASE")) opt.database = url;
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
    if (a == "--no-index") {
      opt.index = false;
      continue;
    }
    if (a == "--verbose") {
      zandrel::net::SetDebugLines(true);
      continue;
    }
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    if (!value) return UsageError(a + " needs a value");
    uint64_t n = 0;
    ++i;
    if (a == "--data-dir") {
      opt.dataDir = value;
    } else if (a == "--database") {
      opt.database = value;
    } else if (a == "--bind") {
      if (!zandrel::net::ParseIpv4(value, opt.bindAddr)) return UsageError(std::string("not an IPv4 address: ") + value);
    } else if (a == "--trusted-proxy") {
      zandrel::server::Ipv4Range range;
      if (!zandrel::server::ParseIpv4Range(value, range)) {
        return UsageError(std::string("not an IPv4 address or a.b.c.d/n block: ") + value);
      }
      opt.trustedProxies.push_back(range);
    } else if (a == "--http-port" || a == "--udp-port" || a == "--hint-port") {
      if (!ParseNumber(value, 65535, n)) return UsageError(a + " takes a port number");
      (a == "--http-port" ? opt.httpPort : a == "--udp-port" ? opt.udpPort : opt.hintPort) = static_cast<uint16_t>(n);
    } else if (a == "--speed-size" || a == "--speed-rate" || a == "--max-body" || a == "--speed-budget" ||
               a == "--min-rate" || a == "--min-free" || a == "--max-store") {
      uint64_t max = a == "--max-body" ? zandrel::server::kMaxBodyLimit : 1ull << 50;
      if (!ParseNumber(value, max, n)) return UsageError(a + " takes a byte count up to " + std::to_string(max));
      if ((a == "--speed-budget" || a == "--min-rate") && n == 0) return UsageError(a + " must be above 0");
      (a == "--speed-size"     ? opt.speedSize
       : a == "--speed-rate"   ? opt.speedRate
       : a == "--max-body"     ? opt.maxBody
       : a == "--speed-budget" ? opt.speedBudget
       : a == "--min-rate"     ? opt.minRate
       : a == "--min-free"     ? opt.minFreeBytes
                               : opt.maxStoreBytes) = n;
    } else if (a == "--head-seconds") {
      if (!ParseNumber(value, 3600, n) || n == 0) return UsageError(a + " takes a number of seconds from 1 to 3600");
      opt.headMs = static_cast<uint32_t>(n * 1000);
    } else if (a == "--keep-days") {
      if (!ParseNumber(value, 36500, n) || n == 0) return UsageError(a + " takes a number of days from 1 to 36500");
      opt.keepDays = static_cast<uint32_t>(n);
    } else if (a == "--max-per-address" || a == "--reports-per-minute") {
      if (!ParseNumber(value, 1000000, n)) return UsageError(a + " takes a count up to 1000000");
      (a == "--max-per-address" ? opt.maxPerAddress : opt.reportsPerMinute) = static_cast<uint32_t>(n);
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
  // Reports already whole are put in place and answered before the exit.
  server.Shutdown(5000);
  std::fprintf(stderr, "stopped; %llu reports stored\n", static_cast<unsigned long long>(server.stored()));
  return 0;
}

// The whole report server over real sockets: one connection's bytes sent in
// pieces cut at random points, to a server
// polled on its own thread. Checked against the in-process path
// (HandleInProcess) with the same bytes: the same status line, the same
// refusal text, and the same bytes stored. A request the in-process path
// leaves unanswered is followed by closing the sending side: the server must
// then answer nothing and store nothing. FUZZ_SERVER_LOG=1 in the
// environment shows the server's log.
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "fuzz_support.h"
#include "running_server.h"
#include "server/receiver/receiver.h"
#include "server/store/report_store.h"
#include "server_fuzz_support.h"
#include "sockets.h"

using namespace zandrel;
using namespace zandrel::fuzz;
namespace fs = std::filesystem;

namespace {

fs::path g_inProcessDir;
std::unique_ptr<testsupport::RunningServer> g_server;
uint64_t g_inputs = 0, g_resets = 0;

void Adjust(server::ServerOptions& opt) {
  opt.speedSize = 100000;
  opt.maxBody = 64 * 1024;
  opt.reportsPerMinute = 0;  // every report is admitted: only the request decides
  opt.maxPerAddress = 0;
  opt.minFreeBytes = 0;
  opt.maxStoreBytes = 0;
  opt.quiet = getenv("FUZZ_SERVER_LOG") == nullptr;
}

// The stored reports of a directory, taken out of it: the bytes of each.
// Temporaries are the store's own until its worker removes them, which may
// be after the answer.
std::vector<std::string> TakeFiles(const fs::path& dir) {
  std::vector<std::string> out;
  for (const auto& e : fs::directory_iterator(dir)) {
    if (e.path().filename().string()[0] == '.') continue;
    std::ifstream f(e.path(), std::ios::binary);
    out.emplace_back(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    fs::remove(e.path());
  }
  return out;
}

struct Received {
  std::string bytes;
  bool reset = false;  // the connection ended in an error rather than a close
};

// Reads until the server closes (or 20 s pass with nothing: a finding).
Received ReadAnswer(testsock::socket_t s) {
  Received r;
  char buf[65536];
  for (;;) {
    if (!testsock::WaitReadable(s, 20000)) {
      zandrel::server::ReportServer& srv = g_server->server();
      std::fprintf(stderr, "no answer in 20 s after %zu bytes; the server holds %zu connections, %zu reports storing\n",
                   r.bytes.size(), srv.connections(), srv.storing());
      FUZZ_CHECK(!"the server answers or closes");
    }
    long n = testsock::Recv(s, buf, sizeof buf);
    if (n == 0) return r;
    if (n < 0) {
      r.reset = true;
      return r;
    }
    r.bytes.append(buf, static_cast<size_t>(n));
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fs::path base = fs::exists("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
  g_inProcessDir = base / ("zandrel-fuzz-sockets-" + std::to_string(getpid()));
  fs::remove_all(g_inProcessDir);
  g_server = std::make_unique<testsupport::RunningServer>(Adjust);
  FUZZ_CHECK(g_server->started());
  std::atexit([] {
    std::fprintf(stderr, "fuzz_server_sockets: %llu inputs, %llu ended in a reset (not compared)\n",
                 static_cast<unsigned long long>(g_inputs), static_cast<unsigned long long>(g_resets));
  });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  SeededInput in;
  if (!SplitInput(data, size, in)) return 0;
  const std::string req = FillPlaceholders(std::string(in.payload), in.seed);
  if (req.empty()) return 0;
  ++g_inputs;

  // The in-process path, whole.
  server::ServerOptions opt = testsupport::TestServerOptions(g_inProcessDir.string());
  Adjust(opt);
  fs::create_directories(g_inProcessDir);
  std::string expected;
  std::vector<std::string> expectedFiles;
  {
    store::ReportStore store(opt.store());
    std::string error;
    FUZZ_CHECK(store.Open(error));
    expected = server::HandleInProcess(opt, store, {req}, 0x7f000001, false, 0);
    expectedFiles = TakeFiles(g_inProcessDir);
  }
  fs::remove_all(g_inProcessDir);

  // The server, in pieces.
  PieceCutter cut(in.seed);
  testsock::Socket s(testsock::Connect(g_server->port()));
  FUZZ_CHECK(s.get() != testsock::kNoSocket);
  bool sentAll = true;
  for (size_t at = 0; at < req.size() && sentAll;) {
    size_t k = cut.Next(req.size() - at);
    sentAll = testsock::SendAll(s.get(), std::string_view(req).substr(at, k));
    at += k;
    if (cut.Draw() & 1) std::this_thread::yield();  // often a pass between two pieces
  }
  // Unanswered in process: the client gives up, as a client would.
  if (expected.empty()) ::shutdown(s.get(), SHUT_WR);
  Received got = ReadAnswer(s.get());
  std::vector<std::string> files = TakeFiles(g_server->dir());

  if (got.reset || !sentAll) {
    // The server closed with request bytes still unread (those past an
    // answered request): the kernel may then have dropped the answer.
    ++g_resets;
    FUZZ_CHECK(StatusOf(got.bytes) == 0 || StatusOf(got.bytes) == StatusOf(expected));
    FUZZ_CHECK(files.size() <= expectedFiles.size());
    return 0;
  }
  FUZZ_CHECK(StatusOf(got.bytes) == StatusOf(expected));
  const size_t line = expected.find("\r\n");
  FUZZ_CHECK(got.bytes.substr(0, line) == expected.substr(0, line));
  // A refusal is the same answer, its reason included.
  if (StatusOf(expected) >= 400) FUZZ_CHECK(got.bytes == expected);
  FUZZ_CHECK(files == expectedFiles);
  return 0;
}

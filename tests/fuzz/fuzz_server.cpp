// The report server's request handling in process: one connection's bytes,
// whole and in pieces. A report may be stored only when its file_flag is the
// MD5 of its body, a 200 means it is stored whole, and nothing half-written
// stays behind.
#include <unistd.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "server/receiver/receiver.h"
#include "fuzz_support.h"
#include "server_fuzz_support.h"
#include "server/store/report_store.h"
#include "server/http/request_head.h"

using namespace zandrel;
using namespace zandrel::fuzz;
namespace fs = std::filesystem;

namespace {

fs::path g_dir;

struct Stored {
  std::string name, bytes;
};

std::vector<Stored> TakeStored() {
  std::vector<Stored> out;
  for (const auto& e : fs::directory_iterator(g_dir)) {
    std::ifstream f(e.path(), std::ios::binary);
    out.push_back({e.path().filename().string(), std::string(std::istreambuf_iterator<char>(f), {})});
    fs::remove(e.path());
  }
  return out;
}

server::ServerOptions Options() {
  server::ServerOptions opt;
  opt.dataDir = g_dir.string();
  opt.hintPort = 0;
  opt.speedSize = 100000;
  opt.maxBody = 64 * 1024;
  opt.reportsPerMinute = 0;  // every report is admitted: only the request decides
  opt.minFreeBytes = 0;
  opt.maxStoreBytes = 0;
  opt.quiet = true;
  return opt;
}

struct Outcome {
  std::string answer;
  std::vector<Stored> stored;
};

Outcome Run(const server::ServerOptions& opt, const std::vector<std::string>& pieces) {
  store::ReportStore store(opt.store());
  std::string error;
  FUZZ_CHECK(store.Open(error));
  Outcome o;
  o.answer = server::HandleInProcess(opt, store, pieces, 0x7f000001, false, 4096);
  o.stored = TakeStored();
  FUZZ_CHECK(store.stored() == o.stored.size());
  return o;
}

// Checks one outcome against the request: what is stored is the body, its
// digest is the file_flag, and a 200 to a report means exactly that.
void CheckOutcome(const Outcome& o, std::string_view req) {
  const int status = StatusOf(o.answer);
  FUZZ_CHECK(status != 0 || o.answer.empty());
  for (const Stored& s : o.stored) {
    // No temporaries survive the exchange; only whole reports are there.
    FUZZ_CHECK(s.name.compare(0, 7, "report-") == 0);
    FUZZ_CHECK(s.name.size() > 4 && s.name.compare(s.name.size() - 4, 4, ".txt") == 0);
  }
  FUZZ_CHECK(o.stored.size() <= 1);
  if (o.stored.empty()) return;
  FUZZ_CHECK(status == 200);
  size_t end = req.find("\r\n\r\n");
  FUZZ_CHECK(end != std::string_view::npos);
  std::string_view head = req.substr(0, end + 2);
  // The request line names the report path; a query after it is ignored.
  std::string_view line = head.substr(0, head.find("\r\n"));
  FUZZ_CHECK(line.compare(0, 14, "POST /test_log") == 0);
  FUZZ_CHECK(line.size() > 14 && (line[14] == ' ' || line[14] == '?'));
  const std::string& body = o.stored[0].bytes;
  // The stored bytes are the ones that followed the head, in order.
  FUZZ_CHECK(req.substr(end + 4, body.size()) == body);
  // The head names that digest in a file_flag field (any case for both).
  std::string want = "\r\nfile_flag:";
  std::string lowerHead = Lower(std::string(head));
  bool found = false;
  for (size_t at = lowerHead.find(want); at != std::string::npos && !found; at = lowerHead.find(want, at + 1)) {
    size_t eol = lowerHead.find("\r\n", at + 2);
    std::string value = lowerHead.substr(at + want.size(), eol - at - want.size());
    size_t b = value.find_first_not_of(" \t"), e = value.find_last_not_of(" \t");
    found = b != std::string::npos && value.substr(b, e - b + 1) == Md5Hex(body, false);
  }
  FUZZ_CHECK(found);
  FUZZ_CHECK(o.stored[0].name.find(Md5Hex(body, true)) != std::string::npos);
}

// The head parser sees ever longer prefixes: once it has decided, more bytes
// do not change the decision.
void CheckHeadPrefixes(std::string_view req, const std::vector<size_t>& cuts) {
  server::HeadState decided = server::HeadState::kIncomplete;
  size_t length = 0;
  std::vector<server::HeaderField> fields;
  for (size_t cut : cuts) {
    server::RequestHead head;
    server::HeadParse p = server::ParseRequestHead(req.substr(0, cut), head);
    if (decided != server::HeadState::kIncomplete) {
      FUZZ_CHECK(p.state == decided);
      if (decided == server::HeadState::kComplete) {
        FUZZ_CHECK(p.length == length);
        FUZZ_CHECK(head.fields.size() == fields.size());
        for (size_t i = 0; i < fields.size(); ++i) {
          FUZZ_CHECK(head.fields[i].name == fields[i].name && head.fields[i].value == fields[i].value);
        }
      }
      continue;
    }
    decided = p.state;
    if (p.state == server::HeadState::kComplete) {
      length = p.length;
      FUZZ_CHECK(length >= 4 && length <= cut && length <= server::kMaxHeadBytes);
      FUZZ_CHECK(req.substr(length - 4, 4) == "\r\n\r\n");
      fields = head.fields;
    }
    if (p.state == server::HeadState::kBad) FUZZ_CHECK(p.error != nullptr);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Stored reports are flushed to disk: keep them in memory where possible.
  fs::path base = fs::exists("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
  g_dir = base / ("zandrel-fuzz-server-" + std::to_string(getpid()));
  fs::remove_all(g_dir);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::SeededInput in;
  if (!fuzz::SplitInput(data, size, in)) return 0;
  const std::string req = FillPlaceholders(std::string(in.payload), in.seed);
  const server::ServerOptions opt = Options();

  fuzz::PieceCutter cut(in.seed);
  std::vector<std::string> pieces;
  std::vector<size_t> cuts;
  for (size_t at = 0; at < req.size();) {
    size_t k = cut.Next(req.size() - at);
    pieces.push_back(req.substr(at, k));
    at += k;
    cuts.push_back(at);
  }
  CheckHeadPrefixes(req, cuts);

  // The directory lives only while an input runs: the fuzzer may end the
  // process without running exit handlers.
  fs::create_directories(g_dir);
  Outcome split = Run(opt, pieces);
  CheckOutcome(split, req);
  Outcome whole = Run(opt, {req});
  CheckOutcome(whole, req);
  // However the bytes arrive, the answer is the same.
  FUZZ_CHECK(StatusOf(split.answer) == StatusOf(whole.answer));
  // A refusal reads the same too, its reason included.
  if (StatusOf(whole.answer) >= 400) FUZZ_CHECK(split.answer == whole.answer);
  FUZZ_CHECK(split.stored.size() == whole.stored.size());
  fs::remove_all(g_dir);
  return 0;
}

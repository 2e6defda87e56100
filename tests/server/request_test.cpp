// The report server's request handling without sockets: the head parser,
// ranges, routes, and whole exchanges against a store in a scratch directory.
#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "server/receiver/receiver.h"
#include "platform/md5.h"
#include "platform/store.h"
#include "server/store/report_file.h"
#include "server/store/report_id.h"
#include "server/store/report_store.h"
#include "server/http/request_head.h"
#include "server/receiver/routes.h"
#include "temp_dir.h"

using namespace zandrel;
using namespace zandrel::server;

namespace {

HeadState Parse(const std::string& text, RequestHead* out = nullptr) {
  RequestHead head;
  HeadState s = ParseRequestHead(text, head).state;
  if (out) *out = head;
  return s;
}

TEST(RequestHead, ParsesLineAndFields) {
  RequestHead h;
  std::string text = "POST /test_log?x=1 HTTP/1.0\r\nHost: a\r\ncontent-length:  12 \r\nfile_flag:\r\n\r\nBODY";
  HeadParse p = ParseRequestHead(text, h);
  ASSERT_EQ(p.state, HeadState::kComplete);
  EXPECT_EQ(p.length, text.size() - 4);
  EXPECT_EQ(h.method, "POST");
  EXPECT_EQ(h.target, "/test_log?x=1");
  EXPECT_EQ(h.path(), "/test_log");
  EXPECT_EQ(h.version, "HTTP/1.0");
  ASSERT_NE(h.Find("Content-Length"), nullptr);
  EXPECT_EQ(*h.Find("CONTENT-LENGTH"), "12");
  ASSERT_NE(h.Find("file_flag"), nullptr);
  EXPECT_EQ(*h.Find("file_flag"), "");
  EXPECT_EQ(h.Find("Range"), nullptr);
  // Identical duplicates of Content-Length are one length.
  EXPECT_EQ(Parse("POST / HTTP/1.1\r\nContent-Length: 5\r\nContent-Length: 5\r\n\r\n"), HeadState::kComplete);
}

TEST(RequestHead, WaitsForTheRestOfAPlausibleHead) {
  std::string full = "GET /Hint.html HTTP/1.1\r\nHost: x\r\n\r\n";
  for (size_t n = 0; n < full.size(); ++n) {
    EXPECT_EQ(Parse(full.substr(0, n)), HeadState::kIncomplete) << n;
  }
  EXPECT_EQ(Parse(full), HeadState::kComplete);
}

TEST(RequestHead, RefusesBadHeadsAsSoonAsTheyShow) {
  // None of these has its blank line yet: each is refused without waiting.
  const char* early[] = {
      "GET / HTTP/1.1\r\nHost: a\nX",        // bare LF
      "GET / HTTP/1.1\r\nHost: a\rX",        // bare CR
      "garbage\r\n",                         // not a request line
      "GET nopath HTTP/1.1\r\n",
      "GET / HTTP/1.1 extra\r\n",
      "GET / FTP/1.1\r\n",
      "G(T / HTTP/1.1\r\n",
  };
  for (const char* t : early) EXPECT_EQ(Parse(t), HeadState::kBad) << t;
  EXPECT_EQ(Parse(std::string("GET / HTTP/1.1\r\nHo\0st: a", 24)), HeadState::kBad);
  const char* complete[] = {
      "POST /test_log HTTP/1.1\r\nContent-Length: 5\r\ncontent-length: 3\r\n\r\n",
      "POST /test_log HTTP/1.1\r\nCONTENT-LENGTH: 5\r\nContent-Length: 05\r\n\r\n",
      "GET / HTTP/1.1\r\nHost : a\r\n\r\n",
      "GET / HTTP/1.1\r\nHost: a\r\n folded\r\n\r\n",
      "GET / HTTP/1.1\r\nno colon\r\n\r\n",
      "GET / HTTP/1.1\r\nX: a\x01b\r\n\r\n",
  };
  for (const char* t : complete) EXPECT_EQ(Parse(t), HeadState::kBad) << t;
}

TEST(RequestHead, HeadLimitIsExact) {
  std::string line = "GET / HTTP/1.1\r\nX: ";
  std::string fits = line + std::string(kMaxHeadBytes - line.size() - 4, 'a') + "\r\n\r\n";
  ASSERT_EQ(fits.size(), kMaxHeadBytes);
  EXPECT_EQ(Parse(fits), HeadState::kComplete);
  std::string over = line + std::string(kMaxHeadBytes - line.size() - 3, 'a') + "\r\n\r\n";
  EXPECT_EQ(Parse(over), HeadState::kBad);
  EXPECT_EQ(Parse(over.substr(0, kMaxHeadBytes - 1)), HeadState::kIncomplete);
}

TEST(SpeedRange, ResolvesSingleRangesAndIgnoresTheRest) {
  struct Case {
    const char* field;
    ByteRange::Kind kind;
    uint64_t first, last;
  } cases[] = {
      {"bytes=0-", ByteRange::kPart, 0, 999},
      {"bytes=100-199", ByteRange::kPart, 100, 199},
      {"BYTES=100-5000", ByteRange::kPart, 100, 999},
      {"bytes=-10", ByteRange::kPart, 990, 999},
      {"bytes=-5000", ByteRange::kPart, 0, 999},
      {"bytes=999-999", ByteRange::kPart, 999, 999},
      {"bytes=1000-", ByteRange::kUnsatisfiable, 0, 0},
      {"bytes=-0", ByteRange::kUnsatisfiable, 0, 0},
      {"bytes=5-4", ByteRange::kWhole, 0, 999},
      {"bytes=0-1,5-6", ByteRange::kWhole, 0, 999},
      {"items=0-5", ByteRange::kWhole, 0, 999},
      {"bytes=x-", ByteRange::kWhole, 0, 999},
      {"bytes=99999999999999999999-", ByteRange::kWhole, 0, 999},
  };
  for (const Case& c : cases) {
    std::string f = c.field;
    ByteRange r = ResolveRange(&f, 1000);
    EXPECT_EQ(r.kind, c.kind) << c.field;
    if (c.kind != ByteRange::kUnsatisfiable) {
      EXPECT_EQ(r.first, c.first) << c.field;
      EXPECT_EQ(r.last, c.last) << c.field;
    }
  }
  EXPECT_EQ(ResolveRange(nullptr, 1000).kind, ByteRange::kWhole);
}

TEST(Routes, MatchMethodPathAndListener) {
  auto route = [](const char* method, const char* target, bool hintOnly) {
    RequestHead h;
    h.method = method;
    h.target = target;
    return FindRoute(h, "/speed.bin", hintOnly);
  };
  EXPECT_EQ(route("POST", "/test_log", false), Route::kReport);
  EXPECT_EQ(route("GET", "/test_log", false), Route::kNotFound);
  EXPECT_EQ(route("GET", "/Hint.html?lang=zh", false), Route::kHintPage);
  EXPECT_EQ(route("GET", "/hint.html", false), Route::kNotFound);
  EXPECT_EQ(route("GET", "/speed.bin", false), Route::kSpeedFile);
  EXPECT_EQ(route("GET", "/Hint.html", true), Route::kHintPage);
  EXPECT_EQ(route("GET", "/speed.bin", true), Route::kNotFound);
  EXPECT_EQ(route("POST", "/test_log", true), Route::kNotFound);
}

// A store in a scratch directory, and requests run through it in process.
class InProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    opt_.dataDir = dir_.path();
    opt_.quiet = true;
    opt_.minFreeBytes = 0;
    opt_.speedSize = 5000;
  }
  void TearDown() override { store_.reset(); }

  store::ReportStore& Store() {
    if (!store_) {
      store_ = std::make_unique<store::ReportStore>(opt_.store());
      std::string error;
      EXPECT_TRUE(store_->Open(error)) << error;
    }
    return *store_;
  }
  std::string Run(const std::vector<std::string>& pieces, uint32_t peer = 0x7f000001) {
    return HandleInProcess(opt_, Store(), pieces, peer);
  }
  static std::string Post(const std::string& body, const std::string& flag) {
    return "POST /test_log HTTP/1.1\r\nContent-Length: " + std::to_string(body.size()) + "\r\nfile_flag: " + flag +
           "\r\n\r\n" + body;
  }
  static std::string Md5(const std::string& s) { return platform::md5_hex_upper(s.data(), s.size()); }
  // Every file in the directory, temporaries included.
  std::vector<platform::DirectoryEntry> Files() const {
    std::vector<platform::DirectoryEntry> out;
    platform::ListDirectory(opt_.dataDir, out);
    return out;
  }
  static std::string Status(const std::string& answer) { return answer.substr(0, 12); }

  testsupport::TempDir dir_{"zandrel-inproc"};
  ServerOptions opt_;
  std::unique_ptr<store::ReportStore> store_;
};

TEST_F(InProcess, StoresOnlyWithTheRightDigestWhateverThePieces) {
  std::string body = "report\r\n" + std::string(3000, 'r');
  std::string req = Post(body, Md5(body));
  std::vector<std::string> bytes;
  for (char ch : req) bytes.emplace_back(1, ch);
  std::string first = Run(bytes);
  EXPECT_EQ(Status(first), "HTTP/1.1 200");
  // Lower-case digest; trailing bytes past the length are not stored.
  std::string lower = Md5(body);
  for (char& ch : lower) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  EXPECT_EQ(Status(Run({Post(body, lower) + "TRAILING"})), "HTTP/1.1 200");
  EXPECT_EQ(Status(Run({Post(body, Md5(body + "x"))})), "HTTP/1.1 400");
  // Cut short: no answer, nothing kept.
  EXPECT_EQ(Run({req.substr(0, req.size() - 1)}), "");
  EXPECT_EQ(Status(Run({"POST /test_log HTTP/1.1\r\nContent-Length: 3\r\nCONTENT-LENGTH: 4\r\n\r\nabcd"})),
            "HTTP/1.1 400");
  EXPECT_EQ(Status(Run({"POST /test_log HTTP/1.1\r\nTransfer-Encoding: chunked\r\nContent-Length: 3\r\n\r\nabc"})),
            "HTTP/1.1 400");
  auto files = Files();
  ASSERT_EQ(files.size(), 2u);
  std::set<uint64_t> sequences;
  for (const auto& f : files) {
    EXPECT_NE(f.name[0], '.');
    EXPECT_EQ(f.size, body.size());
    auto name = store::ParseReportFileName(f.name);
    ASSERT_TRUE(name) << f.name;
    sequences.insert(name->sequence);
    EXPECT_EQ(name->sender, 0x7f000001u);
    // The answer names the report by the id its file carries.
    if (name->sequence == 1) {
      std::string id = store::ReportIdText(name->id);
      EXPECT_NE(first.find("\r\nX-Report-Id: " + id + "\r\n"), std::string::npos) << first;
      EXPECT_EQ(first.substr(first.size() - 10), id + "\n");
    }
  }
  // One sequence for stored reports, without gaps for temporaries.
  EXPECT_EQ(sequences, (std::set<uint64_t>{1, 2}));
  EXPECT_EQ(Store().stored(), 2u);
}

// A refused head is answered with the same reason whatever pieces its bytes
// came in: cut anywhere into two, and byte by byte.
TEST_F(InProcess, ARefusalsReasonDoesNotDependOnHowTheBytesArrive) {
  const std::string heads[] = {
      "G(T / HTTP/1.1\r\nHost: a\nX",                  // a bad request line, then a bare LF
      "GET nopath HTTP/1.1\r\nHo\0st: a\r\n\r\n",          // then a NUL byte
      "GET / HTTP/1.1\r\nno colon\r\nX: a\rb\r\n\r\n",      // a bad field, then a bare CR
      "GET / HTTP/1.1\r\nContent-Length: 1\r\nContent-Length: 2\r\n\0\r\n\r\n",
      "BAD\r\n" + std::string(kMaxHeadBytes, 'x'),        // a bad line, then far too long
      "GET / HTTP/1.1\r\nX: " + std::string(kMaxHeadBytes, 'x') + "\n",  // too long before the LF
  };
  for (const std::string& h : heads) {
    const std::string whole = Run({h});
    ASSERT_EQ(Status(whole), "HTTP/1.1 400") << h.substr(0, 40);
    for (size_t cut = 1; cut < h.size() && cut < 200; ++cut) {
      ASSERT_EQ(Run({h.substr(0, cut), h.substr(cut)}), whole) << h.substr(0, 40) << " cut at " << cut;
    }
    std::vector<std::string> bytes;
    for (char ch : h) bytes.emplace_back(1, ch);
    EXPECT_EQ(Run(bytes), whole) << h.substr(0, 40);
  }
}

TEST_F(InProcess, RateLimitIsPerAddress) {
  opt_.reportsPerMinute = 3;
  std::string body = "r";
  for (int i = 0; i < 3; ++i) EXPECT_EQ(Status(Run({Post(body, Md5(body))}, 0x0a000001)), "HTTP/1.1 200");
  std::string refused = Run({Post(body, Md5(body))}, 0x0a000001);
  EXPECT_EQ(Status(refused), "HTTP/1.1 429");
  size_t at = refused.find("Retry-After: ");
  ASSERT_NE(at, std::string::npos);
  int seconds = std::atoi(refused.c_str() + at + 13);
  EXPECT_GE(seconds, 1);
  EXPECT_LE(seconds, 20);
  EXPECT_EQ(Status(Run({Post(body, Md5(body))}, 0x0a000002)), "HTTP/1.1 200");
  EXPECT_EQ(Files().size(), 4u);
}

TEST_F(InProcess, RefusesWhenDiskLimitsAreReachedLeavingNothing) {
  // Reports are counted in the blocks they take: 8192 bytes for this body.
  opt_.maxStoreBytes = 3 * 4096;
  std::string body(5000, 'd');
  EXPECT_EQ(Status(Run({Post(body, Md5(body))})), "HTTP/1.1 200");
  // A second report would pass the total: refused before a byte is written.
  EXPECT_EQ(Status(Run({Post(body, Md5(body))})), "HTTP/1.1 507");
  EXPECT_EQ(Status(Run({Post("small", Md5("small"))})), "HTTP/1.1 200");
  ASSERT_EQ(Files().size(), 2u);
  // A fresh store counts what is already there, a block at least per file:
  // tiny reports cannot fill a disk the limit does not see.
  store_.reset();
  EXPECT_EQ(Status(Run({Post("x", Md5("x"))})), "HTTP/1.1 507");
  opt_.maxStoreBytes = 4 * 4096;
  store_.reset();
  EXPECT_EQ(Status(Run({Post("x", Md5("x"))})), "HTTP/1.1 200");
  EXPECT_EQ(Status(Run({Post("y", Md5("y"))})), "HTTP/1.1 507");
  // An empty body is no report.
  EXPECT_EQ(Status(Run({Post("", Md5(""))})), "HTTP/1.1 400");

  opt_.maxStoreBytes = 0;
  opt_.minFreeBytes = 1ull << 60;  // more than any disk has
  store_.reset();
  EXPECT_EQ(Status(Run({Post(body, Md5(body))})), "HTTP/1.1 507");
  EXPECT_EQ(Files().size(), 3u);
}

TEST_F(InProcess, LeftoverTemporariesAreRemovedOnOpen) {
  platform::PendingFile f;
  ASSERT_TRUE(f.Open(opt_.dataDir, ".upload-1.tmp"));
  ASSERT_TRUE(f.Write("partial", 7));
  std::string leftover = opt_.dataDir + "/.upload-9.tmp";
  std::ofstream(leftover, std::ios::binary) << "partial";
  f.Discard();
  ASSERT_EQ(Files().size(), 1u);
  Store();
  EXPECT_EQ(Files().size(), 0u);
}

TEST_F(InProcess, SpeedFileRanges) {
  std::string want;
  for (uint64_t i = 0; i < 5000; ++i) want += SpeedByte(i);
  auto body = [](const std::string& a) { return a.substr(a.find("\r\n\r\n") + 4); };
  std::string whole = Run({"GET /speedtest/zandrel-speed.bin HTTP/1.1\r\n\r\n"});
  EXPECT_EQ(Status(whole), "HTTP/1.1 200");
  EXPECT_NE(whole.find("Content-Length: 5000\r\n"), std::string::npos);
  EXPECT_TRUE(body(whole) == want);
  std::string part = Run({"GET /speedtest/zandrel-speed.bin HTTP/1.1\r\nRange: bytes=100-199\r\n\r\n"});
  EXPECT_EQ(Status(part), "HTTP/1.1 206");
  EXPECT_NE(part.find("Content-Range: bytes 100-199/5000\r\n"), std::string::npos);
  EXPECT_TRUE(body(part) == want.substr(100, 100));
  std::string tail = Run({"GET /speedtest/zandrel-speed.bin HTTP/1.1\r\nRange: bytes=-7\r\n\r\n"});
  EXPECT_TRUE(body(tail) == want.substr(4993));
  std::string beyond = Run({"GET /speedtest/zandrel-speed.bin HTTP/1.1\r\nRange: bytes=5000-\r\n\r\n"});
  EXPECT_EQ(Status(beyond), "HTTP/1.1 416");
  EXPECT_NE(beyond.find("Content-Range: bytes */5000\r\n"), std::string::npos);
}

}  // namespace

// The servers' log under hostile requests: what a line quotes, how many lines
// one address gets, and the time stamp.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "server/common/log.h"
#include "server/receiver/receiver.h"
#include "system.h"
#include "temp_dir.h"

using namespace zandrel;
using namespace zandrel::server;

namespace {

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  for (size_t at = 0; at < text.size();) {
    size_t eol = text.find('\n', at);
    if (eol == std::string::npos) eol = text.size();
    out.push_back(text.substr(at, eol - at));
    at = eol + 1;
  }
  return out;
}

TEST(ServerLog, QuotesAreBoundedAndEscaped) {
  EXPECT_EQ(QuoteForLog("/Hint.html?a=1"), "/Hint.html?a=1");
  EXPECT_EQ(QuoteForLog(std::string("/a\x01\x7f\xe4\xb8\\\n", 8)), "/a\\x01\\x7f\\xe4\\xb8\\\\\\x0a");
  std::string longTarget = "/" + std::string(10239, 'a');
  std::string q = QuoteForLog(longTarget);
  EXPECT_EQ(q, std::string(longTarget, 0, 200) + "... (10240 bytes)");
  // An escape is never cut in half.
  std::string bytes(300, '\xff');
  q = QuoteForLog(bytes);
  EXPECT_EQ(q.substr(0, 200 - 200 % 4), [] {
    std::string s;
    for (int i = 0; i < 50; ++i) s += "\\xff";
    return s;
  }());
  EXPECT_EQ(q.substr(200), "... (300 bytes)");
}

TEST(ServerLog, AFewLinesPerAddressAMinuteThenOneSummary) {
  LogThrottle t(3, 60000, 2);
  int written = 0;
  for (int i = 0; i < 1000; ++i) written += t.Admit(0x0A000001, 1000 + i);
  EXPECT_EQ(written, 3);
  // Another address has its own share.
  EXPECT_TRUE(t.Admit(0x0A000002, 2000));
  EXPECT_TRUE(t.TakeEnded(60999).empty());
  auto ended = t.TakeEnded(61000);
  ASSERT_EQ(ended.size(), 1u);
  EXPECT_EQ(ended[0], std::make_pair(uint32_t{0x0A000001}, uint64_t{997}));
  EXPECT_TRUE(t.TakeEnded(61000).empty());  // each summary once
  // The next minute starts afresh; an address without held-back lines ends silently.
  EXPECT_TRUE(t.Admit(0x0A000001, 61001));
  EXPECT_TRUE(t.TakeEnded(62000).empty());
  // Lines after the minute but before the summary count towards it.
  for (int i = 0; i < 10; ++i) t.Admit(0x0A000003, 70000);
  EXPECT_FALSE(t.Admit(0x0A000003, 130500));
  ended = t.TakeEnded(130500);
  ASSERT_EQ(ended.size(), 1u);
  EXPECT_EQ(ended[0].second, 8u);
}

TEST(ServerLog, AddressesBeyondTheTableShareOneEntry) {
  LogThrottle t(2, 60000, 4);
  int written = 0;
  for (uint32_t a = 1; a <= 1000; ++a) written += t.Admit(a, 0);
  EXPECT_LE(t.sources(), 4u);
  // Three told apart, one line each; the rest share the fourth entry and its two lines.
  EXPECT_EQ(written, 3 + 2);
}

// 5,000 bad requests from one address, each with a 10 KB target, leave a few
// short lines in the log, not 5,000 long ones.
TEST(ServerLog, BadRequestsDoNotFloodTheLog) {
  testsupport::TempDir dir("zandrel-log");
  ServerOptions opt;
  opt.dataDir = dir.path();
  opt.minFreeBytes = 0;
  opt.quiet = false;
  store::ReportStore store(opt.store());
  std::string error;
  ASSERT_TRUE(store.Open(error)) << error;
  const std::string target = "/" + std::string(10000, 'z') + "\x80";
  testing::internal::CaptureStderr();
  for (int i = 0; i < 5000; ++i) {
    std::string answer = HandleInProcess(opt, store, {"GET " + target + " HTTP/1.1\r\n\r\n"}, 0x0A0000FE);
    if (answer.compare(0, 12, "HTTP/1.1 404") != 0) break;
  }
  std::vector<std::string> lines = Lines(testing::internal::GetCapturedStderr());
  ASSERT_FALSE(lines.empty());
  EXPECT_LE(lines.size(), 10u);
  for (const std::string& line : lines) EXPECT_LE(line.size(), 400u) << line.substr(0, 100);
  EXPECT_NE(lines[0].find("GET /zzz"), std::string::npos) << lines[0].substr(0, 100);
}

TEST(ServerLog, LinesAreStampedUnlessJournaldStampsThem) {
  const char* journal = std::getenv("JOURNAL_STREAM");
  const std::string saved = journal ? journal : "";
  testsupport::SetEnvironment("JOURNAL_STREAM", nullptr);
  testing::internal::CaptureStderr();
  LogLine(false, "hello %d", 1);
  std::string plain = testing::internal::GetCapturedStderr();
  testsupport::SetEnvironment("JOURNAL_STREAM", "8:1234");
  testing::internal::CaptureStderr();
  LogLine(false, "hello %d", 2);
  std::string journaled = testing::internal::GetCapturedStderr();
  testsupport::SetEnvironment("JOURNAL_STREAM", journal ? saved.c_str() : nullptr);
  // "YYYY-MM-DD HH:MM:SS hello 1"
  ASSERT_EQ(plain.size(), 20u + 8u) << plain;
  EXPECT_EQ(plain.substr(4, 1) + plain.substr(7, 1) + plain.substr(10, 1) + plain.substr(13, 1), "-- :");
  EXPECT_EQ(plain.substr(19), " hello 1\n");
  EXPECT_EQ(journaled, "hello 2\n");
}

}  // namespace

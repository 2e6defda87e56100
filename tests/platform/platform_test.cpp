// The platform services as both systems provide them: the same results from
// OpenSSL or CNG, iconv or code page 936, POSIX or Windows files.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <string>

#include "platform/clock.h"
#include "platform/console.h"
#include "platform/files.h"
#include "platform/gbk.h"
#include "platform/md5.h"
#include "platform/thread.h"

namespace zandrel::platform {
namespace {

// "问题描述：画面卡顿" in GBK.
const char kProblemGbk[] = "\xCE\xCA\xCC\xE2\xC3\xE8\xCA\xF6\xA3\xBA\xBB\xAD\xC3\xE6\xBF\xA8\xB6\xD9";
const char kProblemUtf8[] = "问题描述：画面卡顿";

std::string TempDir() {
  // A folder of its own per test program run, under the system's temp area.
  static const std::string dir = [] {
#ifdef _WIN32
    const char* base = std::getenv("TEMP");
    std::string d = std::string(base ? base : ".") + "\\zandrel-platform-" + std::to_string(TickCount());
#else
    std::string d = "/tmp/zandrel-platform-" + std::to_string(TickCount());
#endif
    EXPECT_TRUE(MakeDirectories(d + "/sub/deeper"));
    return d;
  }();
  return dir;
}

TEST(Md5, RfcVectorsWholeAndInPieces) {
  EXPECT_EQ(md5_hex_upper("", 0), "D41D8CD98F00B204E9800998ECF8427E");
  EXPECT_EQ(md5_hex_upper("abc", 3), "900150983CD24FB0D6963F7D28E17F72");
  std::string mixed = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  EXPECT_EQ(md5_hex_upper(mixed.data(), mixed.size()), "D174AB98D277D9F5A5611C2C9F419D9F");
  // A megabyte in odd pieces gives the digest of the whole.
  std::string big(1 << 20, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 + 3);
  Md5 pieces;
  for (size_t at = 0; at < big.size();) {
    size_t n = std::min<size_t>(big.size() - at, 1 + at % 4093);
    pieces.update(big.data() + at, n);
    at += n;
  }
  std::string whole = md5_hex_upper(big.data(), big.size());
  EXPECT_EQ(whole.size(), 32u);
  EXPECT_EQ(pieces.hex_upper(), whole);
  // A finished digest is not finished twice.
  EXPECT_EQ(pieces.hex_upper(), "");
}

TEST(Gbk, ChineseTextBothWaysAndWhatGbkCannotHold) {
  EXPECT_EQ(Utf8ToGbk(kProblemUtf8), kProblemGbk);
  EXPECT_EQ(GbkToUtf8(kProblemGbk), kProblemUtf8);
  EXPECT_EQ(Utf8ToGbk(""), "");
  // Outside GBK: an emoji (a surrogate pair in UTF-16) and a Hangul syllable
  // each become one '?'; ASCII around them is untouched.
  EXPECT_EQ(Utf8ToGbk("a\xF0\x9F\x98\x80" "b\xEA\xB0\x80" "c"), "a?b?c");
  // A broken GBK double byte becomes U+FFFD and the text after it survives.
  std::string broken = std::string("x\x81\x20y") + kProblemGbk;
  std::string utf8 = GbkToUtf8(broken);
  EXPECT_EQ(utf8.substr(0, 1), "x");
  EXPECT_NE(utf8.find("\xEF\xBF\xBD"), std::string::npos);
  EXPECT_NE(utf8.find(kProblemUtf8), std::string::npos);
  // A lead byte followed by a byte that cannot be a trail byte: only the lead
  // byte is replaced; the line break and the space after it stay.
  EXPECT_EQ(GbkToUtf8("a\x81\r\nb\xFE c"), "a\xEF\xBF\xBD\r\nb\xEF\xBF\xBD c");
}

TEST(Files, WholeFilesAtomicReplaceAndUtf8Names) {
  std::string dir = TempDir();
  std::string name = std::string("报告-") + std::to_string(TickCount()) + ".txt";
  std::string body(70000, 'r');
  body[5] = '\0';  // binary safe
  ASSERT_TRUE(WriteFileAtomically(dir, name, body.data(), body.size()));
  std::string back;
  ASSERT_TRUE(ReadWholeFile(dir + "/" + name, back));
  EXPECT_EQ(back, body);
  // A second write replaces the first completely.
  ASSERT_TRUE(WriteFileAtomically(dir, name, "short", 5));
  ASSERT_TRUE(ReadWholeFile(dir + "/" + name, back));
  EXPECT_EQ(back, "short");
  // No temporary file is left behind under the final name's neighbour.
  EXPECT_FALSE(ReadWholeFile(dir + "/." + name + ".tmp", back));

  std::string plain = dir + "/sub/deeper/plain.bin";
  ASSERT_TRUE(WriteWholeFile(plain, "a\r\nb\n", 5));
  ASSERT_TRUE(ReadWholeFile(plain, back));
  EXPECT_EQ(back, "a\r\nb\n");  // bytes as given, no newline translation
  EXPECT_FALSE(WriteWholeFile(dir + "/missing/x.bin", "x", 1));
  EXPECT_FALSE(ReadWholeFile(dir + "/missing.bin", back));
  EXPECT_FALSE(WriteFileAtomically(dir + "/missing", "x", "x", 1));
}

TEST(Console, FileOutputIsTheUtf8Bytes) {
  std::string path = TempDir() + "/console-" + std::to_string(TickCount()) + ".txt";
  std::FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  WriteText(f, kProblemUtf8);
  WriteText(f, "|ok");
  std::fclose(f);
  std::string back;
  ASSERT_TRUE(ReadWholeFile(path, back));
  EXPECT_EQ(back, std::string(kProblemUtf8) + "|ok");
}

TEST(Console, ArgumentsAreTheProgramsOwn) {
  char prog[] = "zandrel", opt[] = "--console";
  char* argv[] = {prog, opt, nullptr};
  std::vector<std::string> args = CommandLineArguments(2, argv);
#ifdef _WIN32
  // The wide command line of this very process: its name first.
  ASSERT_FALSE(args.empty());
  EXPECT_NE(args[0].find("tests"), std::string::npos) << args[0];
#else
  EXPECT_EQ(args, (std::vector<std::string>{"zandrel", "--console"}));
#endif
}

TEST(Threads, RunWithAStackSizeAndJoin) {
  std::atomic<int> ran{0};
  {
    Thread t;
    ASSERT_TRUE(t.Start([&] { ran = 1; }, 256 * 1024));
    EXPECT_FALSE(t.Start([] {}, 0));  // one body per thread
    t.Join();
    EXPECT_FALSE(t.Joinable());
    EXPECT_EQ(ran.load(), 1);
    ASSERT_TRUE(t.Start([&] { ran = 2; }, 0));
  }  // joined on destruction
  EXPECT_EQ(ran.load(), 2);
}

TEST(Clock, SleepLastsAtLeastItsTime) {
  uint32_t t0 = TickCount();
  SleepMs(30);
  // Tick resolution on Windows is 10-16 ms; a sleep never ends early by more.
  EXPECT_GE(TickCount() - t0, 14u);
}

}  // namespace
}  // namespace zandrel::platform

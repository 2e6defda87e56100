#include "detect/module_inventory.h"
#include "detect/probes.h"

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

#include "base/texts.h"
#include "platform/gbk.h"

using namespace zandrel;

namespace {
std::vector<std::string> Collect(const std::function<void(const LineSink&)>& fn) {
  std::vector<std::string> lines;
  fn([&](const std::string& s) { lines.push_back(s); });
  return lines;
}
}  // namespace

TEST(Texts, AreGbkBytesOfTheirUtf8Spelling) {
  EXPECT_EQ(sizeof(texts::kTextUdpOk) - 1, 13u);
  EXPECT_EQ(sizeof(texts::kTextUdpFailed) - 1, 13u);
  EXPECT_EQ(std::string(texts::kTextUdpOk), platform::Utf8ToGbk("UDP检测成功！"));
  EXPECT_EQ(std::string(texts::kTextUploaded), platform::Utf8ToGbk("数据发送完成！"));
  EXPECT_EQ(std::string(texts::kFormatChannelLine), platform::Utf8ToGbk("频道ID：%s"));
  EXPECT_EQ(std::string(texts::kTextGettingCpu), platform::Utf8ToGbk("正在获取系统CPU占用率..."));
  EXPECT_EQ(std::string(texts::kTextUdpOk), "UDP\xBC\xEC\xB2\xE2\xB3\xC9\xB9\xA6\xA3\xA1");
  for (const char* banner : {texts::kBannerNetworkInfo, texts::kBannerClosing, texts::kBannerModuleStatus,
                             texts::kBannerNetworkCheck, texts::kBannerSpeedTest, texts::kBannerServiceCheck,
                             texts::kBannerChannelCheck}) {
    EXPECT_EQ(std::string(banner).size(), 74u) << platform::GbkToUtf8(banner);
  }
}

TEST(Gbk, RoundTripsAndReplacesWhatItCannotHold) {
  EXPECT_EQ(platform::GbkToUtf8(platform::Utf8ToGbk("问题 abc")), "问题 abc");
  EXPECT_EQ(platform::Utf8ToGbk("a😀b"), "a?b");
  EXPECT_EQ(platform::Utf8ToGbk("a\xFF" "b"), "a?b");
  EXPECT_EQ(platform::Utf8ToGbk(""), "");
}

TEST(Adapters, SixLinesPerAdapterInListOrder) {
  platform::AdapterInfo a;
  a.name = "eth0";
  a.description = "virtio_net";
  const uint8_t mac[] = {0x52, 0x54, 0x00, 0xAB, 0x0c, 0x01};
  std::copy(std::begin(mac), std::end(mac), a.address);
  a.ip = "10.1.2.3";
  a.mask = "255.255.255.0";
  a.gateway = "10.1.2.1";
  platform::AdapterInfo b;  // short hardware address, no IPv4, no gateway
  b.name = "wg0";
  b.description = "wg0";
  auto lines = Collect([&](const LineSink& sink) { FormatAdapters({a, b}, sink); });
  ASSERT_EQ(lines.size(), 12u);
  EXPECT_EQ(lines[0], "AdapterName : eth0\r\n");
  EXPECT_EQ(lines[1], "Adapter Desc: virtio_net\r\n");
  EXPECT_EQ(lines[2], "MAC Addr: \t52-54-00-ab-0c-01\r\n");
  EXPECT_EQ(lines[3], "IP Address: 10.1.2.3\r\n");
  EXPECT_EQ(lines[4], "IP Mask: 255.255.255.0\r\n");
  EXPECT_EQ(lines[5], "Gateway: 10.1.2.1\r\n");
  EXPECT_EQ(lines[6], "AdapterName : wg0\r\n");
  EXPECT_EQ(lines[8], "MAC Addr: \t00-00-00-00-00-00\r\n");
  EXPECT_EQ(lines[9], "IP Address: 0.0.0.0\r\n");
  EXPECT_EQ(lines[11], "Gateway: 0.0.0.0\r\n");
}

TEST(ModuleInventory, GroupsByDirectoryInByteOrderWithoutDuplicates) {
  ModuleInventory inv;
  inv.AddModule("C:\\A\\x.dll");
  inv.AddModule("C:\\A\\b.exe");
  inv.AddModule("C:\\B\\x.dll");
  inv.AddModule("C:\\A\\x.dll");
  auto lines = Collect([&](const LineSink& sink) { inv.PrintModuleInventory(sink); });
  std::vector<std::string> want = {"C:\\A\r\n", "                b.exe\r\n", "                x.dll\r\n",
                                   "C:\\B\r\n", "                x.dll\r\n"};
  EXPECT_EQ(lines, want);
}

TEST(ModuleInventory, ABudgetCutsTheInventoryWithALineThatSaysSo) {
  ModuleInventory inv;
  for (const char* path : {"C:\\A\\x.dll", "C:\\A\\b.exe", "C:\\B\\x.dll", "C:\\C\\y.dll", "C:\\C\\z.dll"}) {
    inv.AddModule(path);
  }
  auto join = [](const std::vector<std::string>& lines) {
    std::string all;
    for (const auto& l : lines) all += l;
    return all;
  };
  const std::string whole = join(Collect([&](const LineSink& sink) { inv.PrintModuleInventory(sink); }));
  auto within = [&](size_t budget, bool& cut) {
    return join(Collect([&](const LineSink& sink) { cut = inv.PrintModuleInventory(sink, budget); }));
  };
  bool cut = true;
  EXPECT_EQ(within(whole.size(), cut), whole);  // exactly enough: all of it, no cut line
  EXPECT_FALSE(cut);
  // One byte short: the last block goes, and the line says how many names were left out.
  const std::string cutLine2 = platform::Utf8ToGbk("（模块列表过长，在此截断：另有2个模块文件未列出）\r\n");
  std::string shorter = within(whole.size() - 1, cut);
  EXPECT_TRUE(cut);
  EXPECT_LE(shorter.size(), whole.size() - 1);
  EXPECT_EQ(shorter, "C:\\A\r\n                b.exe\r\n                x.dll\r\nC:\\B\r\n                x.dll\r\n" + cutLine2);
  // A directory never stands without its first name; a name can end a block early.
  const std::string cutLine4 = platform::Utf8ToGbk("（模块列表过长，在此截断：另有4个模块文件未列出）\r\n");
  EXPECT_EQ(within(std::string("C:\\A\r\n                b.exe\r\n").size() + cutLine4.size(), cut),
            "C:\\A\r\n                b.exe\r\n" + cutLine4);
  EXPECT_EQ(within(cutLine4.size() + 10, cut), platform::Utf8ToGbk("（模块列表过长，在此截断：另有5个模块文件未列出）\r\n"));
  EXPECT_EQ(within(3, cut), "");  // no room even for the cut line
  EXPECT_TRUE(cut);
}

TEST(ModuleInventory, CaseAndHighBytesOrderAsUnsignedAndStayDistinct) {
  ModuleInventory inv;
  inv.AddModule("C:\\Windows\\System32\\a.dll");
  inv.AddModule("C:\\WINDOWS\\system32\\a.dll");
  inv.AddModule("C:\\\xD6\xD0\\b.dll");  // a GBK directory sorts after ASCII
  inv.AddModule("plain.exe");             // no backslash: empty directory first
  auto lines = Collect([&](const LineSink& sink) { inv.PrintModuleInventory(sink); });
  std::vector<std::string> want = {"\r\n",
                                   "                plain.exe\r\n",
                                   "C:\\WINDOWS\\system32\r\n",
                                   "                a.dll\r\n",
                                   "C:\\Windows\\System32\r\n",
                                   "                a.dll\r\n",
                                   "C:\\\xD6\xD0\r\n",
                                   "                b.dll\r\n"};
  EXPECT_EQ(lines, want);
}

TEST(ModuleInventory, TrailByte5CIsNotASeparator) {
  // 0x95 0x5C is one double-byte character whose trail byte is a backslash.
  std::string dir = "C:\\d\x95\x5C";
  EXPECT_EQ(LastBackslashGbk(dir + "\\f.dll"), static_cast<int>(dir.size()));
  EXPECT_EQ(LastBackslashGbk("C:\\d\x95\x5C" "f.dll"), 2);
  EXPECT_EQ(LastBackslashGbk("nothing"), -1);
  EXPECT_EQ(LastBackslashGbk("\\root.dll"), 0);
  ModuleInventory inv;
  inv.AddModule("C:\\x\x95\x5C" "f.dll");
  inv.AddModule("\\root.dll");
  ASSERT_EQ(inv.Entries().size(), 2u);
  EXPECT_EQ(inv.Entries().begin()->first, "");  // index 0: empty directory
  EXPECT_EQ(inv.Entries().count("C:"), 1u);
  EXPECT_EQ(*inv.Entries().at("C:").begin(), "x\x95\x5C" "f.dll");
}

namespace {
// Scripted samples: each entry is one sample (time, idle) in 100-ns units.
struct Script {
  int32_t processors = 1;
  std::deque<std::pair<uint64_t, uint64_t>> samples;
  bool failBasic = false;
  int failTimeAt = -1, failIdleAt = -1;
  int taken = 0, sleeps = 0;
  CpuSampleSource Source() {
    return {[this](int32_t& n) {
              n = processors;
              return !failBasic;
            },
            [this](uint64_t& t) {
              if (taken == failTimeAt) return false;
              t = samples.front().first;
              return true;
            },
            [this](uint64_t& idle) {
              if (taken == failIdleAt) return false;
              idle = samples.front().second;
              samples.pop_front();
              ++taken;
              return true;
            },
            [this](uint32_t ms) {
              EXPECT_EQ(ms, 1000u);
              ++sleeps;
            }};
  }
};
constexpr uint64_t kSecond = 10000000;
}  // namespace

TEST(CpuLoad, UsesTheLastIntervalRoundedHalfUp) {
  Script s;
  // 50 % in the first intervals, 12.5 % busy in the last one.
  s.samples = {{kSecond, kSecond}, {2 * kSecond, kSecond + kSecond / 2}, {3 * kSecond, 2 * kSecond},
               {4 * kSecond, 2 * kSecond + kSecond * 7 / 8}};
  EXPECT_EQ(SampleCpuLoad(s.Source()), 13);
  EXPECT_EQ(s.sleeps, 4);
}

TEST(CpuLoad, DividesByProcessorCount) {
  Script s;
  s.processors = 4;  // one of four busy: idle grows by 3 s per second
  s.samples = {{kSecond, 10 * kSecond}, {2 * kSecond, 13 * kSecond}, {3 * kSecond, 16 * kSecond},
               {4 * kSecond, 19 * kSecond}};
  EXPECT_EQ(SampleCpuLoad(s.Source()), 25);
  Script many;
  many.processors = 192;  // one of 192 busy: well past what a signed byte holds
  many.samples = {{kSecond, 0}, {2 * kSecond, 191 * kSecond}, {3 * kSecond, 382 * kSecond},
                  {4 * kSecond, 573 * kSecond}};
  EXPECT_EQ(SampleCpuLoad(many.Source()), 1);
  Script idle;
  idle.samples = {{kSecond, 5}, {2 * kSecond, 5 + kSecond}, {3 * kSecond, 5 + 2 * kSecond},
                  {4 * kSecond, 5 + 3 * kSecond}};
  EXPECT_EQ(SampleCpuLoad(idle.Source()), 0);
  Script busy;
  busy.samples = {{kSecond, 7}, {2 * kSecond, 7}, {3 * kSecond, 7}, {4 * kSecond, 7}};
  EXPECT_EQ(SampleCpuLoad(busy.Source()), 100);
}

TEST(CpuLoad, AnyFailedQueryGivesZeroAtOnce) {
  Script basic;
  basic.failBasic = true;
  EXPECT_EQ(SampleCpuLoad(basic.Source()), 0);
  EXPECT_EQ(basic.sleeps, 0);
  for (int at : {0, 3}) {
    Script s;
    s.samples = {{kSecond, 0}, {2 * kSecond, 1}, {3 * kSecond, 2}, {4 * kSecond, 3}};
    s.failIdleAt = at;
    EXPECT_EQ(SampleCpuLoad(s.Source()), 0);
    EXPECT_EQ(s.sleeps, at);
  }
  Script t;
  t.samples = {{kSecond, kSecond}, {2 * kSecond, kSecond + 1}, {3 * kSecond, kSecond + 2}, {4 * kSecond, 3}};
  t.failTimeAt = 2;  // earlier intervals were computed, still 0
  EXPECT_EQ(SampleCpuLoad(t.Source()), 0);
}

TEST(CpuLoad, ClockThatDoesNotMoveGivesZeroNotGarbage) {
  Script s;
  s.samples = {{kSecond, 1}, {kSecond, 2}, {kSecond, 3}, {kSecond, 4}};
  EXPECT_EQ(SampleCpuLoad(s.Source()), 0);
}

TEST(FreeSpace, GigabytesOnlyAbove1024Megabytes) {
  auto utf8 = [](double mb) { return platform::GbkToUtf8(FormatFreeSpaceLine(mb)); };
  EXPECT_EQ(utf8(1024), "    C盘剩余空间为：1024.00MB\r\n");
  EXPECT_EQ(utf8(1025), "    C盘剩余空间为：1.00GB\r\n");
  EXPECT_EQ(utf8(1536), "    C盘剩余空间为：1.50GB\r\n");
  EXPECT_EQ(utf8(0.5), "    C盘剩余空间为：0.50MB\r\n");
  EXPECT_EQ(utf8(512), "    C盘剩余空间为：512.00MB\r\n");
}

#include "server/report/report_facts.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include "base/format.h"
#include "base/texts.h"
#include "detect/module_inventory.h"
#include "detect/probes.h"
#include "platform/files.h"
#include "platform/gbk.h"

using zandrel::report::Adapter;
using zandrel::report::ReadReport;
using zandrel::report::ReportFacts;
namespace texts = zandrel::texts;
using zandrel::platform::GbkToUtf8;
using zandrel::platform::Utf8ToGbk;

namespace {

std::string Sample(const std::string& name) {
  std::string bytes;
  EXPECT_TRUE(zandrel::platform::ReadWholeFile(std::string(ZANDREL_TEST_DATA) + "/" + name, bytes)) << name;
  return bytes;
}

bool HasModule(const ReportFacts& f, const std::string& suffix) {
  for (const auto& m : f.modules) {
    if (m.size() >= suffix.size() && m.compare(m.size() - suffix.size(), suffix.size(), suffix) == 0) return true;
  }
  return false;
}

// A report as the tool's own formatting code writes it, up to the free-space line.
std::string LocalPart(const std::string& problemUtf8) {
  std::string r = zandrel::StringPrintf(texts::kTextProblemLine, Utf8ToGbk(problemUtf8).c_str());
  auto sink = [&](const std::string& line) { r += line; };
  zandrel::platform::AdapterInfo a{};
  a.name = "{4D36E972-E325}";
  a.description = Utf8ToGbk("有线网卡");
  unsigned char mac[6] = {0x02, 0x5a, 0x64, 0x72, 0x65, 0x6c};
  std::copy(mac, mac + 6, a.address);
  a.ip = "192.168.1.20";
  a.mask = "255.255.255.0";
  a.gateway = "192.168.1.1";
  zandrel::platform::AdapterInfo b = a;
  b.name = "wlan0";
  b.gateway = "";
  zandrel::FormatAdapters({a, b}, sink);
  zandrel::ModuleInventory inv;
  inv.AddModule("nodir.exe");                        // the empty directory
  inv.AddModule("C:\\Windows\\System32\\ntdll.dll");
  inv.AddModule("C:\\\xB1\\\\x.dll");               // 0xB1 0x5C: one character, not a backslash
  inv.PrintModuleInventory(sink);
  r += zandrel::StringPrintf(texts::kFormatCpuLine, 37);
  r += zandrel::FormatFreeSpaceLine(1536);
  return r;
}

}  // namespace

TEST(ReportReader, ReportsOfTheRealTool) {
  ReportFacts ok = ReadReport(Sample("report-linux-ok.txt"));
  EXPECT_EQ(ok.parse_errors, 0u);
  EXPECT_EQ(ok.problem, "画面卡顿，黑屏 (sample)");
  // Both ends of the run's veth pair, the one without an address too.
  ASSERT_EQ(ok.adapters.size(), 2u);
  const Adapter& zs0 = ok.adapters[1];
  EXPECT_EQ(ok.adapters[0].ipv4, "0.0.0.0");
  EXPECT_EQ(zs0.name, "zs0");
  EXPECT_EQ(zs0.mac, "02-5a-64-72-65-6c");
  EXPECT_EQ(zs0.ipv4, "10.77.0.2");
  EXPECT_EQ(zs0.mask, "255.255.255.0");
  EXPECT_EQ(zs0.gateway, "10.77.0.1");
  EXPECT_TRUE(HasModule(ok, "\\zandrel")) << "the tool itself is inventoried";
  EXPECT_TRUE(HasModule(ok, "\\zandrel-report-server"));
  for (const auto& m : ok.modules) EXPECT_EQ(m.front(), '\\') << m;
  EXPECT_TRUE(ok.cpu_percent.has_value());
  ASSERT_TRUE(ok.free_bytes.has_value());
  EXPECT_GT(*ok.free_bytes, 0u);
  EXPECT_EQ(ok.udp_ok, true);
  ASSERT_TRUE(ok.speed_kbps.has_value());
  EXPECT_GT(*ok.speed_kbps, 0);
  EXPECT_EQ(ok.service_ok, true);
  EXPECT_EQ(ok.channels_ok, true);
  EXPECT_EQ(ok.channel_ids, (std::vector<std::string>{"20001", "20002"}));

  // Nothing answered: every check has failed, and failed is not absent.
  ReportFacts silent = ReadReport(Sample("report-linux-silent.txt"));
  EXPECT_EQ(silent.parse_errors, 0u);
  EXPECT_EQ(silent.problem, ok.problem);
  EXPECT_EQ(silent.udp_ok, false);
  EXPECT_EQ(silent.speed_kbps, 0);
  EXPECT_EQ(silent.service_ok, false);
  EXPECT_EQ(silent.channels_ok, false);
  EXPECT_TRUE(silent.channel_ids.empty());
  EXPECT_FALSE(silent.modules.empty());

  // The Windows build under wine64 (scripts/windows-console-e2e.sh, ZANDREL_E2E_KEEP).
  ReportFacts win = ReadReport(Sample("report-wine.txt"));
  EXPECT_EQ(win.parse_errors, 0u);
  EXPECT_EQ(win.problem, "画面卡顿");
  ASSERT_EQ(win.adapters.size(), 2u);
  EXPECT_EQ(win.adapters[1].description, "zv0");
  EXPECT_EQ(win.adapters[1].ipv4, "10.77.0.2");
  EXPECT_EQ(win.adapters[1].gateway, "10.77.0.1");
  bool kernel32 = false;
  for (const auto& m : win.modules) {
    std::string lower = m;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    kernel32 = kernel32 || lower == "c:\\windows\\system32\\kernel32.dll";
  }
  EXPECT_TRUE(kernel32);
  EXPECT_EQ(win.udp_ok, true);
  EXPECT_EQ(win.service_ok, true);
  EXPECT_EQ(win.channel_ids, (std::vector<std::string>{"20001", "20002"}));
}

TEST(ReportReader, EveryLineTheToolWrites) {
  std::string local = LocalPart("卡顿 ");
  ReportFacts f = ReadReport(local + texts::kTextUdpFailed +
                             zandrel::StringPrintf(texts::kFormatSpeedLine, 812) + texts::kTextServiceOk +
                             zandrel::StringPrintf(texts::kFormatChannelLine,
                                                   "<c id=\"7\"/>\r\n<c  id = '8' cid=\"9\" id=\"\"/>\r\n"));
  EXPECT_EQ(f.problem, "卡顿 ") << "the text as typed, trailing space included";
  ASSERT_EQ(f.adapters.size(), 2u);
  EXPECT_EQ(f.adapters[0].description, "有线网卡");
  EXPECT_EQ(f.adapters[1].name, "wlan0");
  EXPECT_EQ(f.adapters[1].gateway, "");
  // In the inventory's byte order: "", "C:\\Windows…", then "C:\\" 0xB1 0x5C.
  EXPECT_EQ(f.modules, (std::vector<std::string>{"\\nodir.exe", "C:\\Windows\\System32\\ntdll.dll",
                                                 "C:\\" + GbkToUtf8("\xB1\\") + "\\x.dll"}));
  EXPECT_EQ(f.cpu_percent, 37);
  EXPECT_EQ(f.free_bytes, 1536ull << 20);
  EXPECT_EQ(f.udp_ok, false);
  EXPECT_EQ(f.speed_kbps, 812);
  EXPECT_EQ(f.service_ok, true);
  EXPECT_EQ(f.channels_ok, true);
  EXPECT_EQ(f.channel_ids, (std::vector<std::string>{"7", "8"})) << "cid is not id; an empty id is no id";
  EXPECT_EQ(f.parse_errors, 1u) << "the empty id";

  // Service answered, channel list timed out: both texts on one line.
  f = ReadReport(local + texts::kTextUdpOk + zandrel::StringPrintf(texts::kFormatSpeedLine, 0) + texts::kTextServiceOk +
                 texts::kTextChannelTimeout + "\r\n");
  EXPECT_EQ(f.service_ok, true);
  EXPECT_EQ(f.channels_ok, false);
  EXPECT_EQ(f.parse_errors, 0u);

  // Free space in both units, exactly as the probe writes it.
  for (double mb : {512.0, 1024.0, 0.5, 1025.0, 250000.0}) {
    std::string report = zandrel::StringPrintf(texts::kTextProblemLine, "") + zandrel::FormatFreeSpaceLine(mb);
    uint64_t want = mb > 1024 ? static_cast<uint64_t>(std::stod(zandrel::StringPrintf("%.2f", mb / 1024)) * (1 << 30) + 0.5)
                              : static_cast<uint64_t>(mb * (1 << 20));
    EXPECT_EQ(ReadReport(report).free_bytes, want) << report;
  }

  // A run cancelled after the local probes: no network section, all absent.
  f = ReadReport(local);
  EXPECT_EQ(f.parse_errors, 0u);
  EXPECT_FALSE(f.udp_ok || f.speed_kbps || f.service_ok || f.channels_ok);
}

TEST(ReportReader, CutOffAnywhereKeepsOnlyWhatIsWhole) {
  const std::string full = Sample("report-linux-ok.txt");
  const ReportFacts all = ReadReport(full);
  ASSERT_FALSE(all.modules.empty());
  for (size_t cut = 0; cut <= full.size(); ++cut) {
    ReportFacts f = ReadReport(std::string_view(full).substr(0, cut));
    SCOPED_TRACE(cut);
    ASSERT_TRUE(!f.problem || f.problem == all.problem);
    ASSERT_LE(f.adapters.size(), all.adapters.size());
    for (size_t i = 0; i < f.adapters.size(); ++i) {
      const Adapter &a = f.adapters[i], &b = all.adapters[i];
      for (auto field : {&Adapter::name, &Adapter::description, &Adapter::mac, &Adapter::ipv4, &Adapter::mask,
                         &Adapter::gateway}) {
        ASSERT_TRUE((a.*field).empty() || a.*field == b.*field);
      }
    }
    ASSERT_LE(f.modules.size(), all.modules.size());
    ASSERT_TRUE(std::equal(f.modules.begin(), f.modules.end(), all.modules.begin()));
    ASSERT_TRUE(!f.cpu_percent || f.cpu_percent == all.cpu_percent);
    ASSERT_TRUE(!f.free_bytes || f.free_bytes == all.free_bytes);
    ASSERT_TRUE(!f.udp_ok || f.udp_ok == all.udp_ok);
    ASSERT_TRUE(!f.speed_kbps || f.speed_kbps == all.speed_kbps);
    ASSERT_TRUE(!f.service_ok || f.service_ok == all.service_ok);
    ASSERT_TRUE(!f.channels_ok || f.channels_ok == all.channels_ok);
    ASSERT_LE(f.channel_ids.size(), all.channel_ids.size());
    ASSERT_TRUE(std::equal(f.channel_ids.begin(), f.channel_ids.end(), all.channel_ids.begin()));
  }
}

TEST(ReportReader, HostileBodies) {
  // Not a report at all.
  ReportFacts f = ReadReport("GET / HTTP/1.1\r\nHost: x\r\n\r\n<html>\r\n");
  EXPECT_FALSE(f.problem || f.cpu_percent || f.free_bytes || f.udp_ok || f.channels_ok);
  EXPECT_TRUE(f.adapters.empty() && f.modules.empty());

  // One line of 1 MiB, without and with its line break.
  std::string big(1 << 20, '\xB0');
  std::string label = Utf8ToGbk("问题描述：");
  f = ReadReport(label + big);
  EXPECT_FALSE(f.problem.has_value()) << "a last line without its break may be cut short";
  EXPECT_EQ(f.parse_errors, 1u);
  f = ReadReport(label + big + "\r\n");
  ASSERT_TRUE(f.problem.has_value());
  EXPECT_EQ(f.problem->size(), (1u << 20) / 2 * 3) << "each pair one character, three bytes in UTF-8";

  // A NUL in the problem, invalid GBK in a module path.
  f = ReadReport(label + std::string("a\0b", 3) + "\r\n\xFF\\d\r\n                e\r\n");
  EXPECT_EQ(f.problem, "a\xEF\xBF\xBD" "b");
  EXPECT_EQ(f.modules, std::vector<std::string>{"\xEF\xBF\xBD\\d\\e"});
  EXPECT_EQ(f.parse_errors, 1u);

  // A thousand adapter blocks, then malformed ones.
  std::string blocks;
  for (int i = 0; i < 1000; ++i) {
    blocks += "AdapterName : a" + std::to_string(i) + "\r\nAdapter Desc: d\r\nMAC Addr: \t02-00-00-00-00-01\r\n"
              "IP Address: 10.0.0.1\r\nIP Mask: 255.0.0.0\r\nGateway: \r\n";
  }
  f = ReadReport(blocks + "IP Mask: 255.0.0.0\r\n"                                       // repeated
                 "AdapterName : x\r\nMAC Addr: \t02:00:00:00:00:01\r\nIP Address: 10.0.0.256\r\n"  // no desc, bad values
                 "AdapterName : y");                                                      // the last line unbroken
  ASSERT_EQ(f.adapters.size(), 1002u);
  EXPECT_EQ(f.adapters[999].name, "a999");
  EXPECT_EQ(f.adapters[1000].mac, "");
  EXPECT_EQ(f.adapters[1000].ipv4, "");
  EXPECT_EQ(f.adapters[1001].name, "");
  // repeated line, block x short, its MAC, its address, block y short and cut.
  EXPECT_EQ(f.parse_errors, 6u);

  // Malformed figures are counted and stay absent.
  std::string tail = zandrel::StringPrintf(texts::kFormatCpuLine, 5);
  tail.replace(tail.find('5'), 1, "99999999999");
  f = ReadReport(tail + Utf8ToGbk("    C盘剩余空间为：1.5TB\r\n下载速度为：-3K/s\r\nUDP检测成功！x\r\n"));
  EXPECT_FALSE(f.cpu_percent || f.free_bytes || f.speed_kbps);
  EXPECT_EQ(f.udp_ok, true);
  EXPECT_EQ(f.parse_errors, 4u);

  // Long directories under many short file lines: the paths kept stay
  // within a bound proportional to the body.
  std::string body = std::string(4000, 'D') + "\r\n";
  for (int i = 0; i < 50000; ++i) body += "                n\r\n";
  f = ReadReport(body);
  size_t total = 0;
  for (const auto& m : f.modules) total += m.size();
  EXPECT_LE(total, 4 * body.size() + (64 << 10));
  EXPECT_GT(f.modules.size(), 100u);
  EXPECT_GT(f.parse_errors, 0u);
}

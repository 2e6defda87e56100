// The live probes against what Windows reports through a second route: the
// adapter list of GetAdaptersAddresses beside GetAdaptersInfo's, the
// program's own path from GetModuleFileName beside the module snapshot, the
// processor count of GetSystemInfo and the free space of C:.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "detect/module_inventory.h"
#include "platform/adapters.h"
#include "platform/cpu.h"
#include "platform/disk.h"
#include "platform/gbk.h"
#include "platform/processes.h"

using namespace zandrel;

namespace {

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

std::string WideToGbk(const std::wstring& w) {
  int n = WideCharToMultiByte(CP_UTF8, 0, w.c_str(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.c_str(), static_cast<int>(w.size()), utf8.data(), n, nullptr, nullptr);
  return platform::Utf8ToGbk(utf8);
}

std::string Ipv4Text(const SOCKADDR* sa) {
  const auto* in = reinterpret_cast<const sockaddr_in*>(sa);
  const unsigned char* b = reinterpret_cast<const unsigned char*>(&in->sin_addr);
  return std::to_string(b[0]) + "." + std::to_string(b[1]) + "." + std::to_string(b[2]) + "." + std::to_string(b[3]);
}

std::string MaskText(unsigned prefix) {
  uint32_t m = prefix == 0 ? 0 : 0xFFFFFFFFu << (32 - prefix);
  return std::to_string(m >> 24) + "." + std::to_string((m >> 16) & 255) + "." + std::to_string((m >> 8) & 255) +
         "." + std::to_string(m & 255);
}

}  // namespace

TEST(LiveAdaptersWindows, MatchWhatGetAdaptersAddressesReports) {
  std::vector<platform::AdapterInfo> adapters;
  // No adapter at all reads as a failed list (nothing to report).
  const bool listed = platform::ListAdapters(adapters);
  ULONG size = 16 * 1024;
  std::unique_ptr<unsigned char[]> buffer;
  ULONG rc = ERROR_BUFFER_OVERFLOW;
  for (int i = 0; i < 4 && rc == ERROR_BUFFER_OVERFLOW; ++i) {
    buffer = std::make_unique<unsigned char[]>(size);
    rc = GetAdaptersAddresses(AF_INET, GAA_FLAG_INCLUDE_GATEWAYS | GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST |
                                            GAA_FLAG_SKIP_DNS_SERVER,
                              nullptr, reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.get()), &size);
  }
  ASSERT_TRUE(rc == NO_ERROR || rc == ERROR_NO_DATA) << rc;
  size_t compared = 0;
  for (auto* a = rc == NO_ERROR ? reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.get()) : nullptr; a; a = a->Next) {
    if (a->IfType == IF_TYPE_SOFTWARE_LOOPBACK) continue;
    SCOPED_TRACE(a->AdapterName);
    ASSERT_TRUE(listed) << "the second route has an adapter the probe could not list";
    auto it = std::find_if(adapters.begin(), adapters.end(),
                           [&](const platform::AdapterInfo& i) { return i.name == a->AdapterName; });
    ASSERT_NE(it, adapters.end()) << "an adapter of the second route is missing";
    ASSERT_LE(a->PhysicalAddressLength, sizeof it->address);
    EXPECT_EQ(std::memcmp(it->address, a->PhysicalAddress, a->PhysicalAddressLength), 0) << "hardware address";
    if (a->FirstUnicastAddress) {
      EXPECT_EQ(it->ip, Ipv4Text(a->FirstUnicastAddress->Address.lpSockaddr));
      EXPECT_EQ(it->mask, MaskText(a->FirstUnicastAddress->OnLinkPrefixLength));
    }
    if (a->FirstGatewayAddress) {
      EXPECT_EQ(it->gateway, Ipv4Text(a->FirstGatewayAddress->Address.lpSockaddr));
    }
    ++compared;
  }
  // Loopback is not an adapter of the report.
  EXPECT_EQ(compared, adapters.size());
  for (const auto& i : adapters) EXPECT_NE(i.ip, "127.0.0.1");
  std::printf("note: %zu adapters compared\n", compared);
}

TEST(LiveInventoryWindows, HoldsOurOwnProgramAndTheSystemLibraries) {
  std::vector<wchar_t> path(32768);
  DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
  ASSERT_GT(n, 0u);
  const std::string self = WideToGbk(std::wstring(path.data(), n));
  wchar_t sys[MAX_PATH];
  UINT sn = GetSystemDirectoryW(sys, MAX_PATH);
  ASSERT_GT(sn, 0u);
  const std::string systemDir = Lower(WideToGbk(std::wstring(sys, sn)));

  std::vector<std::string> modules;
  ASSERT_TRUE(platform::ListModules(GetCurrentProcessId(), modules));
  ASSERT_FALSE(modules.empty());
  EXPECT_EQ(Lower(modules.front()), Lower(self)) << "the program itself comes first";
  bool kernel = false;
  for (const std::string& m : modules) kernel |= Lower(m) == systemDir + "\\kernel32.dll";
  EXPECT_TRUE(kernel) << "kernel32.dll under " << systemDir;

  std::vector<uint32_t> pids;
  ASSERT_TRUE(platform::ListProcesses(pids));
  ASSERT_GE(pids.size(), 2u);
  EXPECT_EQ(pids[0], 0u);
  EXPECT_NE(std::find(pids.begin(), pids.end(), GetCurrentProcessId()), pids.end());

  ModuleInventory inv;
  std::vector<std::string> failures;
  inv.CollectProcessModules([&](const std::string& s) { failures.push_back(s); });
  EXPECT_TRUE(failures.empty());
  const size_t cut = self.rfind('\\');
  ASSERT_NE(cut, std::string::npos);
  auto dir = inv.Entries().find(self.substr(0, cut));
  ASSERT_NE(dir, inv.Entries().end()) << self;
  EXPECT_EQ(dir->second.count(self.substr(cut + 1)), 1u);
}

TEST(LiveMachineWindows, ProcessorCountAndFreeSpaceAsTheSystemGivesThem) {
  SYSTEM_INFO si;
  GetSystemInfo(&si);
  int32_t count = 0;
  ASSERT_TRUE(platform::QueryProcessorCount(count));
  EXPECT_EQ(static_cast<DWORD>(count), si.dwNumberOfProcessors);
  ASSERT_TRUE(platform::CpuTimesAvailable());
  uint64_t idle1 = 0, idle2 = 0, t1 = 0, t2 = 0;
  ASSERT_TRUE(platform::QueryIdleTime(idle1) && platform::QueryTimeOfDay(t1));
  Sleep(50);
  ASSERT_TRUE(platform::QueryIdleTime(idle2) && platform::QueryTimeOfDay(t2));
  EXPECT_GE(idle2, idle1);
  EXPECT_GT(t2, t1);

  uint64_t free = 0;
  ASSERT_TRUE(platform::QuerySystemVolumeFreeBytes(free));
  ULARGE_INTEGER avail{}, total{}, totalFree{};
  ASSERT_TRUE(GetDiskFreeSpaceExW(L"C:\\", &avail, &total, &totalFree));
  // Other programs write meanwhile: the two readings agree within 256 MB.
  const uint64_t other = totalFree.QuadPart;
  EXPECT_LT(free > other ? free - other : other - free, 256ull << 20);
}

// Probes against this machine's real facts.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <memory>
#include <sstream>
#include <string>

#include "detect/module_inventory.h"
#include "detect/probes.h"
#include "platform/adapters.h"
#include "platform/processes.h"
#include "command.h"
#include "temp_dir.h"
#include "wait.h"

using namespace zandrel;

namespace {
std::string RunCommand(const char* cmd) { return testsupport::RunCommand(cmd).out; }
}  // namespace

TEST(LiveInventory, ContainsTheExecutableOfAChildWeSpawned) {
  // Copy a program to a path of our own so that only the child maps it.
  testsupport::TempDir dir("zandrel-inv");
  std::string exe = dir / "probe-child";
  ASSERT_EQ(std::system(("cp /bin/sleep " + exe).c_str()), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    execl(exe.c_str(), "probe-child", "30", static_cast<char*>(nullptr));
    _exit(127);
  }
  std::string want = exe;
  for (char& c : want) c = c == '/' ? '\\' : c;
  // The child shows its own program once its exec is done.
  std::vector<std::string> modules;
  testsupport::WaitUntil([&] {
    modules.clear();
    return platform::ListModules(static_cast<uint32_t>(child), modules) && !modules.empty() && modules.front() == want;
  });
  ASSERT_FALSE(modules.empty());
  EXPECT_EQ(modules.front(), want);  // main executable first

  ModuleInventory inv;
  std::vector<std::string> failures;
  inv.CollectProcessModules([&](const std::string& s) { failures.push_back(s); });
  EXPECT_TRUE(failures.empty());
  std::string wantDir = want.substr(0, want.rfind('\\'));
  ASSERT_EQ(inv.Entries().count(wantDir), 1u);
  EXPECT_EQ(inv.Entries().at(wantDir).count("probe-child"), 1u);

  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
}

TEST(LiveInventory, ListsOnlyRealFilesNotMemfdOrDeletedMappings) {
  auto mapExec = [](int fd) {
    if (ftruncate(fd, 4096) != 0) return static_cast<void*>(MAP_FAILED);
    return mmap(nullptr, 4096, PROT_READ | PROT_EXEC, MAP_PRIVATE, fd, 0);
  };
  int mfd = static_cast<int>(syscall(SYS_memfd_create, "zandrel-probe", 0));
  ASSERT_GE(mfd, 0);
  void* memfdMap = mapExec(mfd);
  // A real file, mapped twice: one copy stays, the other is removed.
  char kept[] = "/tmp/zandrel-map-kept-XXXXXX";
  char gone[] = "/tmp/zandrel-map-gone-XXXXXX";
  int kfd = mkstemp(kept), gfd = mkstemp(gone);
  ASSERT_GE(kfd, 0);
  ASSERT_GE(gfd, 0);
  void* keptMap = mapExec(kfd);
  void* goneMap = mapExec(gfd);
  unlink(gone);
  if (memfdMap == MAP_FAILED || keptMap == MAP_FAILED || goneMap == MAP_FAILED) {
    unlink(kept);
    GTEST_SKIP() << "executable mappings of these files are not allowed here";
  }
  std::vector<std::string> modules;
  ASSERT_TRUE(platform::ListModules(static_cast<uint32_t>(getpid()), modules));
  auto listed = [&](const std::string& fragment) {
    for (const std::string& m : modules) {
      if (m.find(fragment) != std::string::npos) return true;
    }
    return false;
  };
  EXPECT_TRUE(listed(std::string(kept + 5)));  // the control: mappings are seen
  EXPECT_FALSE(listed(std::string(gone + 5)));
  EXPECT_FALSE(listed("memfd:"));
  EXPECT_FALSE(listed("(deleted)"));
  for (const std::string& m : modules) EXPECT_EQ(m[0], '\\') << m;
  munmap(memfdMap, 4096);
  munmap(keptMap, 4096);
  munmap(goneMap, 4096);
  for (int fd : {mfd, kfd, gfd}) close(fd);
  unlink(kept);
}

TEST(LiveInventory, ProcessListStartsWithTheIdleEntryAndHoldsUs) {
  std::vector<uint32_t> pids;
  ASSERT_TRUE(platform::ListProcesses(pids));
  ASSERT_GE(pids.size(), 2u);
  EXPECT_EQ(pids[0], 0u);
  EXPECT_NE(std::find(pids.begin(), pids.end(), static_cast<uint32_t>(getpid())), pids.end());
}

TEST(LiveAdapters, MatchWhatIpShowsForNonLoopbackAdapters) {
  // "ip -o -4 addr" lines: index name inet a.b.c.d/len ...; keep the first per name.
  std::map<std::string, std::string> firstIp;
  std::istringstream in(RunCommand("ip -o -4 addr show 2>/dev/null"));
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream f(line);
    std::string idx, name, family, cidr;
    f >> idx >> name >> family >> cidr;
    if (name == "lo" || family != "inet") continue;
    firstIp.try_emplace(name, cidr.substr(0, cidr.find('/')));
  }
  std::map<std::string, std::string> linkNames;
  std::istringstream links(RunCommand("ip -o link show 2>/dev/null"));
  while (std::getline(links, line)) {
    std::istringstream f(line);
    std::string idx, name;
    f >> idx >> name;
    name = name.substr(0, name.find_first_of(":@"));
    if (name != "lo") linkNames[name] = "";
  }
  if (linkNames.empty() && firstIp.empty()) GTEST_SKIP() << "ip(8) is not available";

  std::vector<platform::AdapterInfo> adapters;
  ASSERT_TRUE(platform::ListAdapters(adapters));
  std::map<std::string, std::string> seen;
  for (const auto& a : adapters) seen[a.name] = a.ip;
  EXPECT_EQ(seen.size(), linkNames.size());
  for (const auto& [name, unused] : linkNames) {
    ASSERT_EQ(seen.count(name), 1u) << name;
    auto ip = firstIp.find(name);
    EXPECT_EQ(seen[name], ip == firstIp.end() ? "0.0.0.0" : ip->second) << name;
  }
}

TEST(LiveDisk, FreeSpaceIsWithinOnePercentOfDf) {
  // df's size minus used is the volume's total free space (its "avail"
  // column is only the caller's share).
  std::string out = RunCommand("df -B1 --output=size,used / 2>/dev/null | tail -n 1");
  std::istringstream f(out);
  double size = 0, used = 0;
  f >> size >> used;
  if (size <= 0) GTEST_SKIP() << "df is not available";
  double dfMb = (size - used) / 1048576.0;
  double mb = QueryFreeSpaceMB();
  EXPECT_GT(mb, 0);
  EXPECT_NEAR(mb, dfMb, dfMb * 0.01 + 1);
}

// The local probes of a detection run: formatting the platform's facts into
// report lines, and the CPU and disk figures.
#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/adapters.h"

namespace zandrel {

using LineSink = std::function<void(const std::string&)>;

// Six lines per adapter, in list order.
void FormatAdapters(const std::vector<platform::AdapterInfo>& adapters, const LineSink& appendLine);
// Reads the platform's list and formats it; writes nothing when it cannot be read.
void ProbeAdapters(const LineSink& appendLine);

// Directory -> file names, both ordered by unsigned bytes.
class ModuleInventory {
 public:
  // Splits a GBK path at its last backslash (a 0x5C trail byte of a
  // double-byte character is not one) and files the name under its directory.
  void AddModule(const std::string& path);
  void CollectModulesOfProcess(uint32_t pid);
  // Walks every process but the first entry; failures go to logProgress.
  void CollectProcessModules(const LineSink& logProgress);
  void PrintModuleInventory(const LineSink& appendLine) const;
  // The same within budget bytes: when the whole inventory does not fit, it
  // stops early with a line that says how many file names were left out
  // (that line fits too, when the budget has room for anything at all).
  // True when it was cut.
  bool PrintModuleInventory(const LineSink& appendLine, size_t budget) const;

  const std::map<std::string, std::set<std::string>>& Entries() const { return entries_; }

 private:
  std::map<std::string, std::set<std::string>> entries_;
};

// Byte index of the last backslash of a GBK text, or -1.
int LastBackslashGbk(const std::string& text);

// The system information the CPU sampler needs, injectable for tests.
struct CpuSampleSource {
  std::function<bool(int32_t&)> processorCount;
  std::function<bool(uint64_t&)> timeOfDay;  // 100-ns units
  std::function<bool(uint64_t&)> idleTime;   // 100-ns units, all processors
  std::function<void(uint32_t)> sleepMs;
};
CpuSampleSource PlatformCpuSource();

// Load of the last of three one-second intervals, rounded; 0 on any failure.
int32_t SampleCpuLoad(const CpuSampleSource& source);

// Free space of the system volume in MB (1048576 bytes); 0 when it fails.
double QueryFreeSpaceMB();
// The report line for m free megabytes: GB above 1024 MB, else MB.
std::string FormatFreeSpaceLine(double megabytes);
// The most the CPU and free-space lines, which follow the inventory in the
// report, can take together.
size_t LocalResultsMaxBytes();

}  // namespace zandrel

#include "detect/probes.h"

#include <climits>
#include <cstdio>

#include "base/format.h"
#include "base/texts.h"
#include "platform/clock.h"
#include "platform/cpu.h"
#include "platform/disk.h"
#include "platform/processes.h"

namespace zandrel {
namespace {
// File names are printed under their directory, indented by 16 spaces.
const std::string kNameIndent(16, ' ');
}  // namespace

void FormatAdapters(const std::vector<platform::AdapterInfo>& adapters, const LineSink& appendLine) {
  for (const auto& a : adapters) {
    appendLine(StringPrintf("AdapterName : %s\r\n", a.name.c_str()));
    appendLine(StringPrintf("Adapter Desc: %s\r\n", a.description.c_str()));
    appendLine(StringPrintf("MAC Addr: \t%02x-%02x-%02x-%02x-%02x-%02x\r\n", a.address[0], a.address[1], a.address[2],
                      a.address[3], a.address[4], a.address[5]));
    appendLine(StringPrintf("IP Address: %s\r\n", a.ip.c_str()));
    appendLine(StringPrintf("IP Mask: %s\r\n", a.mask.c_str()));
    appendLine(StringPrintf("Gateway: %s\r\n", a.gateway.c_str()));
  }
}

void ProbeAdapters(const LineSink& appendLine) {
  std::vector<platform::AdapterInfo> adapters;
  if (!platform::ListAdapters(adapters)) return;
  FormatAdapters(adapters, appendLine);
}

int LastBackslashGbk(const std::string& text) {
  int last = -1;
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  size_t n = text.size();
  for (size_t i = 0; i < n; ++i) {
    if (p[i] >= 0x81 && p[i] <= 0xFE && i + 1 < n) {
      ++i;  // lead byte: the next byte belongs to the same character
    } else if (p[i] == '\\') {
      last = static_cast<int>(i);
    }
  }
  return last;
}

void ModuleInventory::AddModule(const std::string& path) {
  int p = LastBackslashGbk(path);
  std::string name = path.substr(static_cast<size_t>(p + 1));
  std::string dir = p > 0 ? path.substr(0, static_cast<size_t>(p)) : std::string();
  entries_[dir].insert(std::move(name));
}

void ModuleInventory::CollectModulesOfProcess(uint32_t pid) {
  std::vector<std::string> modules;
  if (!platform::ListModules(pid, modules)) return;
  for (const auto& m : modules) AddModule(m);
}

void ModuleInventory::CollectProcessModules(const LineSink& logProgress) {
  std::vector<uint32_t> pids;
  if (!platform::ListProcesses(pids)) {
    logProgress(texts::kTextProcessListFailed);
    return;
  }
  if (pids.empty()) {
    logProgress(texts::kTextNoProcess);
    return;
  }
  for (size_t i = 1; i < pids.size(); ++i) CollectModulesOfProcess(pids[i]);
}

void ModuleInventory::PrintModuleInventory(const LineSink& appendLine) const {
  for (const auto& [dir, names] : entries_) {
    appendLine(dir + "\r\n");
    for (const auto& name : names) appendLine(kNameIndent + name + "\r\n");
  }
}

bool ModuleInventory::PrintModuleInventory(const LineSink& appendLine, size_t budget) const {
  size_t whole = 0, names = 0;
  for (const auto& [dir, set] : entries_) {
    whole += dir.size() + 2;
    for (const auto& name : set) whole += kNameIndent.size() + name.size() + 2;
    names += set.size();
  }
  if (whole <= budget) {
    PrintModuleInventory(appendLine);
    return false;
  }
  // Every line printed leaves room for the line that ends the cut inventory.
  const size_t reserve = StringPrintf(texts::kFormatInventoryCut, static_cast<int>(names)).size();
  size_t used = 0, listed = 0;
  auto fits = [&](size_t more) { return used + more + reserve <= budget; };
  for (const auto& [dir, set] : entries_) {
    std::string dirLine = dir + "\r\n";
    // A directory line goes out only with its first name.
    if (set.empty() || !fits(dirLine.size() + kNameIndent.size() + set.begin()->size() + 2)) break;
    appendLine(dirLine);
    used += dirLine.size();
    bool full = false;
    for (const auto& name : set) {
      std::string line = kNameIndent + name + "\r\n";
      if (!fits(line.size())) {
        full = true;
        break;
      }
      appendLine(line);
      used += line.size();
      ++listed;
    }
    if (full) break;
  }
  std::string cut = StringPrintf(texts::kFormatInventoryCut, static_cast<int>(names - listed));
  if (used + cut.size() <= budget) appendLine(cut);
  return true;
}

CpuSampleSource PlatformCpuSource() {
  return {platform::QueryProcessorCount, platform::QueryTimeOfDay, platform::QueryIdleTime, platform::SleepMs};
}

namespace {
double ToDouble(uint64_t v) {
  return static_cast<double>(static_cast<uint32_t>(v >> 32)) * 4294967296.0 +
         static_cast<double>(static_cast<uint32_t>(v));
}
}  // namespace

int32_t SampleCpuLoad(const CpuSampleSource& source) {
  int32_t processors = 0;
  if (!source.processorCount(processors) || processors <= 0) return 0;
  double result = 0.0;
  uint64_t prevIdle = 0, prevTime = 0;
  for (int sample = 0; sample < 4; ++sample) {
    uint64_t now = 0, idle = 0;
    if (!source.timeOfDay(now)) return 0;
    if (!source.idleTime(idle)) return 0;
    if (prevIdle != 0) {
      double dIdle = ToDouble(idle) - ToDouble(prevIdle);
      double dTime = ToDouble(now) - ToDouble(prevTime);
      result = 100.0 - (dIdle / dTime) * 100.0 / processors + 0.5;
    }
    source.sleepMs(1000);
    prevIdle = idle;
    prevTime = now;
  }
  // Truncation toward zero; a result outside the int range (a clock that did
  // not move) must not reach the conversion.
  if (!(result > -2147483648.0 && result < 2147483648.0)) return 0;
  return static_cast<int32_t>(result);
}

double QueryFreeSpaceMB() {
  uint64_t bytes = 0;
  if (!platform::QuerySystemVolumeFreeBytes(bytes)) return 0.0;
  return static_cast<double>(bytes) * (1.0 / 1024) * (1.0 / 1024);
}

std::string FormatFreeSpaceLine(double megabytes) {
  if (megabytes / 1024 > 1) return StringPrintf(texts::kFormatDiskGB, megabytes / 1024);
  return StringPrintf(texts::kFormatDiskMB, megabytes);
}

size_t LocalResultsMaxBytes() {
  // The free space is at most 2^64 bytes, 2^44 MB; the widest load is INT_MIN.
  return StringPrintf(texts::kFormatCpuLine, INT_MIN).size() + FormatFreeSpaceLine(17592186044416.0).size();
}

}  // namespace zandrel

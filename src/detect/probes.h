// The local probes of a detection run: formatting the platform's facts into
// report lines, and the CPU and disk figures (the module inventory has a
// header of its own).
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "detect/line_sink.h"
#include "platform/adapters.h"

namespace zandrel {

// Six lines per adapter, in list order.
void FormatAdapters(const std::vector<platform::AdapterInfo>& adapters, const LineSink& appendLine);
// Reads the platform's list and formats it; writes nothing when it cannot be read.
void ProbeAdapters(const LineSink& appendLine);

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

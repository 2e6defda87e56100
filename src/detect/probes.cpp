#include "detect/probes.h"

#include <climits>
#include <cstdio>

#include "base/format.h"
#include "base/texts.h"
#include "platform/clock.h"
#include "platform/cpu.h"
#include "platform/disk.h"

namespace zandrel {
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

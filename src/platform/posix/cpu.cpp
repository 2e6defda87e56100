#include "platform/cpu.h"

#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>

namespace zandrel::platform {
namespace {

bool ReadIdleTicks(unsigned long long& ticks) {
  FILE* stat = std::fopen("/proc/stat", "re");
  if (!stat) return false;
  unsigned long long user = 0, nice = 0, system = 0, idle = 0, iowait = 0;
  int n = std::fscanf(stat, "cpu %llu %llu %llu %llu %llu", &user, &nice, &system, &idle, &iowait);
  std::fclose(stat);
  if (n < 4) return false;
  ticks = idle + (n >= 5 ? iowait : 0);  // time waiting for I/O is idle time too
  return true;
}

}  // namespace

bool CpuTimesAvailable() {
  unsigned long long ticks;
  return ReadIdleTicks(ticks);
}

bool QueryProcessorCount(int32_t& count) {
  // The processors whose idle time /proc/stat sums up: those online.
  long n = sysconf(_SC_NPROCESSORS_ONLN);
  if (n < 1 || n > INT32_MAX) return false;
  count = static_cast<int32_t>(n);
  return true;
}

bool QueryTimeOfDay(uint64_t& now100ns) {
  timespec ts{};
  if (clock_gettime(CLOCK_MONOTONIC, &ts) != 0) return false;
  now100ns = static_cast<uint64_t>(ts.tv_sec) * 10000000u + static_cast<uint64_t>(ts.tv_nsec) / 100u;
  return true;
}

bool QueryIdleTime(uint64_t& idle100ns) {
  unsigned long long ticks;
  if (!ReadIdleTicks(ticks)) return false;
  long hz = sysconf(_SC_CLK_TCK);
  if (hz <= 0) hz = 100;
  idle100ns = static_cast<uint64_t>(ticks) * (10000000u / static_cast<uint64_t>(hz));
  return true;
}

}  // namespace zandrel::platform

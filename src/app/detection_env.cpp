#include "app/detection_env.h"

#include "platform/clock.h"
#include "platform/cpu.h"

namespace zandrel {

DetectionEnv DetectionEnv::Platform() {
  DetectionEnv env;
  env.probeAdapters = ProbeAdapters;
  env.collectModules = [](ModuleInventory& inv, const LineSink& log) { inv.CollectProcessModules(log); };
  env.cpuAvailable = platform::CpuTimesAvailable();
  env.cpu = PlatformCpuSource();
  env.cpu.sleepMs = nullptr;
  env.freeSpaceMB = QueryFreeSpaceMB;
  env.tickCount = platform::TickCount;
  env.pauseMs = platform::SleepMs;
  return env;
}

}  // namespace zandrel

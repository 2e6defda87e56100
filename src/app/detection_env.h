// The local probes and clocks a detection run uses.
#pragma once
#include <cstdint>
#include <functional>

#include "detect/line_sink.h"
#include "detect/module_inventory.h"
#include "detect/probes.h"

namespace zandrel {

// The local probes and clocks a run uses; tests replace them.
struct DetectionEnv {
  std::function<void(const LineSink&)> probeAdapters;
  std::function<void(ModuleInventory&, const LineSink&)> collectModules;
  bool cpuAvailable = true;
  // A source without sleepMs sleeps through the dialog, so closing ends it early.
  CpuSampleSource cpu;
  std::function<double()> freeSpaceMB;
  std::function<uint32_t()> tickCount;
  std::function<void(uint32_t)> pauseMs;  // pauses of the UI thread between checks

  static DetectionEnv Platform();
};

}  // namespace zandrel

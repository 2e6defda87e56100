// Processor count, accumulated idle time and a wall clock for the CPU load.
#pragma once
#include <cstdint>

namespace zandrel::platform {

// Whether the idle-time source can be read at all on this machine.
bool CpuTimesAvailable();

bool QueryProcessorCount(int32_t& count);

// Wall clock in 100-ns units.
bool QueryTimeOfDay(uint64_t& now100ns);

// Idle time of all processors together, in 100-ns units.
bool QueryIdleTime(uint64_t& idle100ns);

}  // namespace zandrel::platform

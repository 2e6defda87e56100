// Millisecond tick count and sleeping.
#pragma once
#include <cstdint>

namespace zandrel::platform {

// The 32-bit millisecond counter; durations are unsigned differences of two
// readings, so they stay right across the wrap-around.
uint32_t TickCount();

void SleepMs(uint32_t ms);

}  // namespace zandrel::platform

#include "platform/clock.h"

#include <windows.h>

namespace zandrel::platform {

uint32_t TickCount() { return GetTickCount(); }

void SleepMs(uint32_t ms) { Sleep(ms); }

}  // namespace zandrel::platform

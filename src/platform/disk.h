// Free space of the volume that stands for the system drive.
#pragma once
#include <cstdint>

namespace zandrel::platform {

// Total free bytes of the system volume (not the caller's quota).
bool QuerySystemVolumeFreeBytes(uint64_t& freeBytes);

}  // namespace zandrel::platform

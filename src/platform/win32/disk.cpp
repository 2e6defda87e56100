#include "platform/disk.h"

#include <windows.h>

namespace zandrel::platform {

bool QuerySystemVolumeFreeBytes(uint64_t& freeBytes) {
  ULARGE_INTEGER callerFree{}, total{}, totalFree{};
  if (!GetDiskFreeSpaceExA("c:\\", &callerFree, &total, &totalFree)) return false;
  freeBytes = totalFree.QuadPart;
  return true;
}

}  // namespace zandrel::platform

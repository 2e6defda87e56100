#include "platform/disk.h"

#include <sys/statvfs.h>

namespace zandrel::platform {

bool QuerySystemVolumeFreeBytes(uint64_t& freeBytes) {
  struct statvfs st {};
  if (statvfs("/", &st) != 0) return false;
  freeBytes = static_cast<uint64_t>(st.f_bfree) * static_cast<uint64_t>(st.f_frsize);
  return true;
}

}  // namespace zandrel::platform

// Processor count, idle time and wall clock from NtQuerySystemInformation,
// looked up at run time in "ntdll".
#include "platform/cpu.h"

#include <windows.h>

#include <cstring>

namespace zandrel::platform {
namespace {

using QueryFn = LONG(WINAPI*)(ULONG infoClass, PVOID buffer, ULONG length, PULONG returned);

// The records of the information classes used, in the layout of the build's
// architecture (44, 32 and at least 312 bytes on 32-bit Windows).
struct BasicInformation {
  ULONG reserved;
  ULONG timerResolution;
  ULONG pageSize;
  ULONG physicalPages;
  ULONG lowestPhysicalPage;
  ULONG highestPhysicalPage;
  ULONG allocationGranularity;
  ULONG_PTR minimumUserAddress;
  ULONG_PTR maximumUserAddress;
  ULONG_PTR activeProcessorsMask;
  CCHAR numberOfProcessors;
};

struct TimeOfDayInformation {
  LARGE_INTEGER bootTime;
  LARGE_INTEGER currentTime;
  LARGE_INTEGER timeZoneBias;
  ULONG timeZoneId;
  ULONG reserved;
};

constexpr ULONG kClassBasic = 0;
constexpr ULONG kClassPerformance = 2;
constexpr ULONG kClassTimeOfDay = 3;
// The performance record grew over the Windows versions; the idle time is
// its first field in all of them. The buffer is large enough for any.
constexpr ULONG kPerformanceBufferSize = 1024;

QueryFn Entry() {
  static const QueryFn fn = [] {
    HMODULE ntdll = GetModuleHandleA("ntdll");
    return ntdll ? reinterpret_cast<QueryFn>(reinterpret_cast<void*>(GetProcAddress(ntdll, "NtQuerySystemInformation")))
                 : nullptr;
  }();
  return fn;
}

uint64_t ToU64(const LARGE_INTEGER& v) {
  return (static_cast<uint64_t>(static_cast<uint32_t>(v.HighPart)) << 32) | v.LowPart;
}

}  // namespace

bool CpuTimesAvailable() { return Entry() != nullptr; }

bool QueryProcessorCount(int32_t& count) {
  QueryFn query = Entry();
  BasicInformation info{};
  if (!query || query(kClassBasic, &info, sizeof info, nullptr) != 0) return false;
  // The field is a signed char; read it unsigned so up to 255 processors count.
  count = static_cast<uint8_t>(info.numberOfProcessors);
  return true;
}

bool QueryTimeOfDay(uint64_t& now100ns) {
  QueryFn query = Entry();
  TimeOfDayInformation info{};
  if (!query || query(kClassTimeOfDay, &info, sizeof info, nullptr) != 0) return false;
  now100ns = ToU64(info.currentTime);
  return true;
}

bool QueryIdleTime(uint64_t& idle100ns) {
  QueryFn query = Entry();
  alignas(8) unsigned char buffer[kPerformanceBufferSize] = {};
  if (!query || query(kClassPerformance, buffer, sizeof buffer, nullptr) != 0) return false;
  LARGE_INTEGER idle;
  std::memcpy(&idle, buffer, sizeof idle);
  idle100ns = ToU64(idle);
  return true;
}

}  // namespace zandrel::platform

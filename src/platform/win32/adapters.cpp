// The adapter list from the IP helper's GetAdaptersInfo.
#include "platform/adapters.h"

#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>

#include <cstring>
#include <memory>

#include "platform/win32/wide.h"

namespace zandrel::platform {

bool ListAdapters(std::vector<AdapterInfo>& out) {
  out.clear();
  // Room for one record first; when the list is longer the call reports the
  // size it needs and is made once more with a buffer of that size.
  ULONG size = sizeof(IP_ADAPTER_INFO);
  auto buffer = std::make_unique<unsigned char[]>(size);
  DWORD rc = GetAdaptersInfo(reinterpret_cast<IP_ADAPTER_INFO*>(buffer.get()), &size);
  if (rc == ERROR_BUFFER_OVERFLOW) {
    buffer = std::make_unique<unsigned char[]>(size);
    rc = GetAdaptersInfo(reinterpret_cast<IP_ADAPTER_INFO*>(buffer.get()), &size);
  }
  if (rc != NO_ERROR) return false;
  for (auto* a = reinterpret_cast<IP_ADAPTER_INFO*>(buffer.get()); a; a = a->Next) {
    AdapterInfo info;
    info.name = win32::AnsiToGbk(a->AdapterName);
    info.description = win32::AnsiToGbk(a->Description);
    // All eight bytes as the record holds them, whatever AddressLength says.
    static_assert(sizeof info.address == sizeof a->Address);
    std::memcpy(info.address, a->Address, sizeof info.address);
    info.ip = a->IpAddressList.IpAddress.String;
    info.mask = a->IpAddressList.IpMask.String;
    info.gateway = a->GatewayList.IpAddress.String;
    out.push_back(std::move(info));
  }
  return true;
}

}  // namespace zandrel::platform

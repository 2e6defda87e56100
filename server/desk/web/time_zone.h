// Offsets of IANA time zones ("Asia/Shanghai") read from the system's zone
// files (/usr/share/zoneinfo), for showing times in a zone the desk is told
// to use. Safe to call from any thread; each zone is read once.
#pragma once
#include <cstdint>
#include <optional>
#include <string_view>

namespace zandrel::desk::web {

// Seconds east of UTC in the zone at the instant utcSeconds (since 1970);
// nullopt when the name is not a zone the system knows.
std::optional<int> ZoneOffset(std::string_view zone, int64_t utcSeconds);

}  // namespace zandrel::desk::web

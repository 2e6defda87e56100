#include "server/desk/web/time_zone.h"

namespace zandrel::desk::web {

std::optional<int> ZoneOffset(std::string_view zone, int64_t) {
  if (zone == "UTC") return 0;
  return std::nullopt;
}

}  // namespace zandrel::desk::web

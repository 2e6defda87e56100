#include "app/defaults.h"

namespace zandrel {

std::string g_reportHost = ZANDREL_REPORT_HOST;
const char* const kDefaultSpeedUrl = ZANDREL_SPEED_URL;

}  // namespace zandrel

#include <string_view>

#include "server/desk/web/pages.h"

namespace zandrel::desk::web {
namespace embedded {
// In the file the build makes from static/ (embed_static.cmake).
extern const std::string_view k_desk_css;
extern const std::string_view k_desk_js;
}  // namespace embedded

const StaticFile* FindStatic(std::string_view name) {
  static const StaticFile kCss{"text/css; charset=utf-8", embedded::k_desk_css};
  static const StaticFile kJs{"text/javascript; charset=utf-8", embedded::k_desk_js};
  if (name == "desk.css") return &kCss;
  if (name == "desk.js") return &kJs;
  return nullptr;
}

}  // namespace zandrel::desk::web

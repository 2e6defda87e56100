#include "http/http_request.h"

namespace zandrel::http {

C_http_request::C_http_request(std::string u) : url(std::move(u)) {
  headers["Accept"] = "*/*";
  headers["Accept-Language"] = "zh-cn";
  headers["Accept-Encoding"] = "gzip, deflate";
  headers["User-Agent"] = "HTTP-TOOL";
  headers["Content-Length"] = "0";
  headers["Connection"] = "Close";
}

}  // namespace zandrel::http

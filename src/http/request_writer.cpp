#include "http/request_writer.h"

#include <cstring>
#include <string>

#include "http/url.h"

namespace zandrel::http {

int write_head(C_http_request& req, char* out, int size, uint64_t rangeStart) {
  std::string host;
  if (!parse_host_part(req.url, host)) return 0;
  if (!req.headers.count("Host")) req.headers["Host"] = host;
  if (rangeStart != 0) req.headers["Range"] = "bytes=" + std::to_string(rangeStart) + "-";
  // The path starts at the "/" after the host part.
  size_t scheme = req.url.find("http://");
  size_t start = scheme == std::string::npos ? 0 : scheme + 7;
  size_t slash = req.url.find('/', start);
  std::string path = slash == std::string::npos ? "/" : req.url.substr(slash);

  std::string head;
  head.reserve(512);
  head += req.method + " " + path + " " + req.version + "\r\n";
  for (const auto& [name, value] : req.headers) head += name + ": " + value + "\r\n";
  if (!req.cookies.empty()) {
    head += "Cookie: ";
    for (const auto& [name, value] : req.cookies) head += name + "=" + value + "; ";
    head += "\r\n";
  }
  head += "\r\n";
  if (head.size() > static_cast<size_t>(kHeadWorkArea)) return 0;
  if (size < 0 || head.size() > static_cast<size_t>(size)) return 0;
  std::memcpy(out, head.data(), head.size());
  if (head.size() < static_cast<size_t>(size)) out[head.size()] = '\0';
  return static_cast<int>(head.size());
}

int write_post(C_http_request& req, char* out, int size, const char* body, uint32_t bodyLen) {
  req.set_header("Content-Length", std::to_string(bodyLen));
  int head = write_head(req, out, size, 0);
  if (head == 0 || static_cast<uint64_t>(size - head) < bodyLen) return 0;
  if (bodyLen) std::memcpy(out + head, body, bodyLen);
  return head + static_cast<int>(bodyLen);
}

}  // namespace zandrel::http

// The request record: method, version, URL, cookies and headers.
#pragma once
#include <map>
#include <string>

namespace zandrel::http {

class C_http_request {
 public:
  explicit C_http_request(std::string url);
  void set_header(const std::string& name, const std::string& value) { headers[name] = value; }

  std::string method = "GET";
  std::string version = "HTTP/1.1";
  std::string url;
  std::map<std::string, std::string> cookies;  // byte-wise key order
  std::map<std::string, std::string> headers;  // byte-wise key order
};

}  // namespace zandrel::http

// The downloader's result interface, implemented by its owner.
#pragma once
#include <cstdint>

namespace zandrel::http {

class I_http_data_handler {
 public:
  virtual ~I_http_data_handler() = default;
  virtual void i_onHttpLength(uint64_t total) = 0;
  // No data and length 0 when a connection ended before the download was
  // complete (the download goes on at the next step).
  virtual void i_onHttpData(const char* data, int32_t len) = 0;
  virtual void i_onHttpFinished() = 0;
};

}  // namespace zandrel::http

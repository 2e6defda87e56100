// MD5 (RFC 1321) as 32 upper-case hexadecimal digits.
#pragma once
#include <cstddef>
#include <memory>
#include <string>

namespace zandrel::http {

std::string md5_hex_upper(const void* data, std::size_t len);

// Incremental form, for data that arrives in pieces.
class Md5 {
 public:
  Md5();
  ~Md5();
  Md5(const Md5&) = delete;
  Md5& operator=(const Md5&) = delete;
  void update(const void* data, std::size_t len);
  std::string hex_upper();  // finishes the digest

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace zandrel::http

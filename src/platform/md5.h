// MD5 (RFC 1321) from the operating system's cryptography library, written as
// 32 upper-case hexadecimal digits.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace zandrel::platform {

class Md5 {
 public:
  Md5();
  ~Md5();
  Md5(const Md5&) = delete;
  Md5& operator=(const Md5&) = delete;

  void update(const void* data, std::size_t len);
  // Finishes the digest. False when the library failed at any step.
  bool finish(std::array<uint8_t, 16>& digest);
  // Finishes the digest; empty when the library failed.
  std::string hex_upper();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

std::string md5_hex_upper(const void* data, std::size_t len);

}  // namespace zandrel::platform

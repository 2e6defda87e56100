// The parts of MD5 that do not depend on the operating system.
#include "platform/md5.h"

namespace zandrel::platform {

std::string Md5::hex_upper() {
  std::array<uint8_t, 16> digest{};
  if (!finish(digest)) return {};
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(32);
  for (uint8_t b : digest) {
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
  }
  return out;
}

std::string md5_hex_upper(const void* data, std::size_t len) {
  Md5 md5;
  md5.update(data, len);
  return md5.hex_upper();
}

}  // namespace zandrel::platform

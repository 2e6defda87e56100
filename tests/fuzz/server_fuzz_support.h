// What the report server's fuzz targets share: requests made well-formed
// more often by placeholders, and reading an answer's status.
#pragma once
#include <openssl/evp.h>

#include <cctype>
#include <cstdlib>
#include <string>
#include <string_view>

#include "fuzz_support.h"

namespace zandrel::fuzz {

inline std::string Md5Hex(std::string_view data, bool upper) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  FUZZ_CHECK(EVP_Digest(data.data(), data.size(), digest, &n, EVP_md5(), nullptr) == 1 && n == 16);
  static const char* hexUpper = "0123456789ABCDEF";
  static const char* hexLower = "0123456789abcdef";
  const char* hex = upper ? hexUpper : hexLower;
  std::string out;
  for (unsigned i = 0; i < n; ++i) {
    out += hex[digest[i] >> 4];
    out += hex[digest[i] & 15];
  }
  return out;
}

inline std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

inline void ReplaceAll(std::string& s, std::string_view from, const std::string& to) {
  for (size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size())) {
    s.replace(at, from.size(), to);
  }
}

// The fuzzer cannot compute digests or count bytes, so the request may carry
// placeholders: "@LEN@" becomes the number of bytes after the head and
// "@MD5@" the digest of that many of them (or of one byte fewer, by choice
// of the seed), making well-formed reports common.
inline std::string FillPlaceholders(std::string req, uint32_t seed) {
  size_t end = req.find("\r\n\r\n");
  if (end == std::string::npos) return req;
  std::string head = req.substr(0, end + 4);
  std::string body = req.substr(end + 4);
  ReplaceAll(head, "@LEN@", std::to_string(body.size()));
  std::string_view hashed(body);
  if ((seed & 3) == 3 && !hashed.empty()) hashed.remove_suffix(1);
  ReplaceAll(head, "@MD5@", Md5Hex(hashed, (seed & 4) != 0));
  return head + body;
}

inline int StatusOf(const std::string& answer) {
  if (answer.compare(0, 9, "HTTP/1.1 ") != 0 || answer.size() < 12) return 0;
  return std::atoi(answer.substr(9, 3).c_str());
}

}  // namespace zandrel::fuzz

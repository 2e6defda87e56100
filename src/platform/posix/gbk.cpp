#include "platform/gbk.h"

#include <iconv.h>

#include <cerrno>

namespace zandrel::platform {
namespace {

// One iconv conversion; an input sequence that cannot be converted is
// replaced and skipped (invalidLen bytes, or one byte when it is malformed).
std::string Convert(const char* to, const char* from, std::string_view in, std::string_view replacement,
                    bool fromUtf8) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::string(in);
  std::string out;
  out.reserve(in.size() * 2 + 4);
  char* src = const_cast<char*>(in.data());
  size_t srcLeft = in.size();
  char buf[1024];
  while (srcLeft > 0) {
    char* dst = buf;
    size_t dstLeft = sizeof buf;
    size_t r = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
    out.append(buf, static_cast<size_t>(dst - buf));
    if (r != static_cast<size_t>(-1)) continue;
    if (errno == E2BIG) continue;
    // EILSEQ (invalid or unrepresentable) or EINVAL (truncated sequence).
    size_t skip = 1;
    if (fromUtf8) {
      unsigned char c = static_cast<unsigned char>(*src);
      size_t want = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
      // Skip a whole character when it is well formed but unrepresentable.
      size_t n = 1;
      while (n < want && n < srcLeft && (static_cast<unsigned char>(src[n]) & 0xC0) == 0x80) ++n;
      skip = (n == want) ? want : 1;
    } else {
      // A lead byte takes the next byte with it only when that one can be a
      // trail byte; anything else (a line break, say) is read again.
      unsigned char c = static_cast<unsigned char>(*src);
      unsigned char t = srcLeft >= 2 ? static_cast<unsigned char>(src[1]) : 0;
      skip = (c >= 0x81 && c <= 0xFE && t >= 0x40 && t <= 0xFE && t != 0x7F) ? 2 : 1;
    }
    if (skip > srcLeft) skip = srcLeft;
    src += skip;
    srcLeft -= skip;
    out.append(replacement);
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
  }
  iconv_close(cd);
  return out;
}

}  // namespace

std::string Utf8ToGbk(std::string_view utf8) { return Convert("GBK", "UTF-8", utf8, "?", true); }

std::string GbkToUtf8(std::string_view gbk) { return Convert("UTF-8", "GBK", gbk, "\xEF\xBF\xBD", false); }

}  // namespace zandrel::platform

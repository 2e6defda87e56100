// GBK <-> UTF-8 at the edges: UTF-8 out is always valid, text that decodes
// without a replacement character comes back byte for byte, every ASCII byte
// that is not the second byte of a pair survives decoding, and whatever
// Utf8ToGbk writes decodes and encodes back to itself.
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "platform/gbk.h"
#include "utf8.h"

using zandrel::platform::GbkToUtf8;
using zandrel::platform::Utf8ToGbk;

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

bool IsLead(unsigned char c) { return c >= 0x81 && c <= 0xFE; }
bool IsTrail(unsigned char c) { return c >= 0x40 && c <= 0xFE && c != 0x7F; }

// The ASCII bytes of a GBK text that stand alone: neither the second byte of
// a lead/trail pair, in the order they appear.
std::string LoneAscii(std::string_view gbk) {
  std::string out;
  for (size_t i = 0; i < gbk.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(gbk[i]);
    if (IsLead(c) && i + 1 < gbk.size() && IsTrail(static_cast<unsigned char>(gbk[i + 1]))) {
      ++i;
    } else if (c < 0x80) {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::string Ascii(std::string_view utf8) {
  std::string out;
  for (char c : utf8) {
    if (static_cast<unsigned char>(c) < 0x80) out += c;
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);

  std::string utf8 = GbkToUtf8(bytes);
  FUZZ_CHECK(zandrel::fuzz::IsValidUtf8(utf8));
  FUZZ_CHECK(Ascii(utf8) == LoneAscii(bytes));
  if (utf8.find(kReplacement) == std::string::npos) FUZZ_CHECK(Utf8ToGbk(utf8) == bytes);

  // The same bytes read as UTF-8.
  std::string gbk = Utf8ToGbk(bytes);
  std::string back = GbkToUtf8(gbk);
  FUZZ_CHECK(zandrel::fuzz::IsValidUtf8(back));
  FUZZ_CHECK(back.find(kReplacement) == std::string::npos);
  FUZZ_CHECK(Utf8ToGbk(back) == gbk);
  if (zandrel::fuzz::IsValidUtf8(bytes) && gbk.find('?') == std::string::npos) FUZZ_CHECK(back == bytes);
  return 0;
}

// GBK <-> UTF-8/UTF-16 through the system's code page 936 tables.
#include "platform/gbk.h"

#include <windows.h>

#include "platform/win32/wide.h"

namespace zandrel::platform {
namespace win32 {
namespace {

// One conversion to UTF-16; false when flags ask to reject invalid input and
// the input has some.
bool ToWide(unsigned codePage, DWORD flags, std::string_view in, std::wstring& out) {
  out.clear();
  if (in.empty()) return true;
  int n = MultiByteToWideChar(codePage, flags, in.data(), static_cast<int>(in.size()), nullptr, 0);
  if (n <= 0) return false;
  out.resize(static_cast<size_t>(n));
  return MultiByteToWideChar(codePage, flags, in.data(), static_cast<int>(in.size()), out.data(), n) == n;
}

std::string FromWide(unsigned codePage, std::wstring_view in, bool replaceWithQuestionMark) {
  if (in.empty()) return {};
  DWORD flags = replaceWithQuestionMark ? WC_NO_BEST_FIT_CHARS : 0;
  const char* defaultChar = replaceWithQuestionMark ? "?" : nullptr;
  int n = WideCharToMultiByte(codePage, flags, in.data(), static_cast<int>(in.size()), nullptr, 0, defaultChar, nullptr);
  if (n <= 0) return {};
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(codePage, flags, in.data(), static_cast<int>(in.size()), out.data(), n, defaultChar, nullptr);
  return out;
}

}  // namespace

std::wstring Utf8ToWide(std::string_view utf8) {
  std::wstring out;
  ToWide(CP_UTF8, 0, utf8, out);  // without MB_ERR_INVALID_CHARS bad bytes become U+FFFD
  return out;
}

std::string WideToUtf8(std::wstring_view wide) { return FromWide(CP_UTF8, wide, false); }

std::wstring GbkToWide(std::string_view gbk) {
  std::wstring out;
  if (ToWide(kGbkCodePage, MB_ERR_INVALID_CHARS, gbk, out)) return out;
  // Some bytes are not GBK: convert one character at a time so that exactly
  // the bad ones are replaced.
  out.clear();
  std::wstring one;
  size_t i = 0;
  while (i < gbk.size()) {
    // A lead byte takes the next byte with it only when that one can be a
    // trail byte; anything else (a line break, say) is read again.
    unsigned char c = static_cast<unsigned char>(gbk[i]);
    unsigned char t = i + 1 < gbk.size() ? static_cast<unsigned char>(gbk[i + 1]) : 0;
    size_t len = (c >= 0x81 && c <= 0xFE && t >= 0x40 && t <= 0xFE && t != 0x7F) ? 2 : 1;
    if (c < 0x80) {
      out += static_cast<wchar_t>(c);
    } else if (ToWide(kGbkCodePage, MB_ERR_INVALID_CHARS, gbk.substr(i, len), one) && !one.empty()) {
      out += one;
    } else {
      out += L'\xFFFD';
    }
    i += len;
  }
  return out;
}

std::string WideToGbk(std::wstring_view wide) {
  // Code page 936 holds nothing outside the basic plane: a surrogate pair is
  // one character GBK cannot hold, so it becomes one '?'.
  std::wstring bmp;
  bmp.reserve(wide.size());
  for (size_t i = 0; i < wide.size(); ++i) {
    wchar_t c = wide[i];
    if (c >= 0xD800 && c <= 0xDFFF) {
      if (c <= 0xDBFF && i + 1 < wide.size() && wide[i + 1] >= 0xDC00 && wide[i + 1] <= 0xDFFF) ++i;
      bmp += L'?';
    } else {
      bmp += c;
    }
  }
  return FromWide(kGbkCodePage, bmp, true);
}

std::string AnsiToGbk(std::string_view ansi) {
  if (GetACP() == kGbkCodePage) return std::string(ansi);
  std::wstring wide;
  ToWide(CP_ACP, 0, ansi, wide);
  return WideToGbk(wide);
}

}  // namespace win32

std::string Utf8ToGbk(std::string_view utf8) { return win32::WideToGbk(win32::Utf8ToWide(utf8)); }

std::string GbkToUtf8(std::string_view gbk) { return win32::WideToUtf8(win32::GbkToWide(gbk)); }

}  // namespace zandrel::platform

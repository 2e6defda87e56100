#include "app/win32/text_edge.h"

namespace zandrel::win32 {
namespace {

constexpr UINT kGbk = 936;

std::wstring ToWide(UINT codePage, const std::string& text) {
  if (text.empty()) return {};
  int n = MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0) MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
  return wide;
}

std::string FromWide(UINT codePage, const std::wstring& wide) {
  if (wide.empty()) return {};
  // UTF-8 takes no default character; GBK puts '?' where it has none.
  const char* fallback = codePage == CP_UTF8 ? nullptr : "?";
  int n = WideCharToMultiByte(codePage, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, fallback, nullptr);
  std::string text(static_cast<size_t>(n > 0 ? n : 0), '\0');
  if (n > 0) {
    WideCharToMultiByte(codePage, 0, wide.data(), static_cast<int>(wide.size()), text.data(), n, fallback, nullptr);
  }
  return text;
}

}  // namespace

std::wstring WideFromGbk(const std::string& gbk) { return ToWide(kGbk, gbk); }
std::string GbkFromWide(const std::wstring& wide) { return FromWide(kGbk, wide); }
std::wstring WideFromUtf8(const std::string& utf8) { return ToWide(CP_UTF8, utf8); }
std::string Utf8FromWide(const std::wstring& wide) { return FromWide(CP_UTF8, wide); }

std::string WindowTextGbk(HWND window) {
  int n = GetWindowTextLengthW(window);
  std::wstring text(static_cast<size_t>(n) + 1, L'\0');
  n = GetWindowTextW(window, text.data(), n + 1);
  text.resize(static_cast<size_t>(n > 0 ? n : 0));
  return GbkFromWide(text);
}

void SetWindowTextGbk(HWND window, const std::string& gbk) { SetWindowTextW(window, WideFromGbk(gbk).c_str()); }

}  // namespace zandrel::win32

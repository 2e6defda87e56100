// UTF-16 at the edges of the Windows API: conversions shared by the Windows
// services. GBK is code page 936.
#pragma once
#include <string>
#include <string_view>

namespace zandrel::platform::win32 {

inline constexpr unsigned kGbkCodePage = 936;

std::wstring Utf8ToWide(std::string_view utf8);  // invalid bytes become U+FFFD
std::string WideToUtf8(std::wstring_view wide);
std::wstring GbkToWide(std::string_view gbk);    // invalid bytes become U+FFFD
std::string WideToGbk(std::wstring_view wide);   // what GBK cannot hold becomes '?'
// Text in the process's ANSI code page (the narrow API's results) to GBK.
std::string AnsiToGbk(std::string_view ansi);

}  // namespace zandrel::platform::win32

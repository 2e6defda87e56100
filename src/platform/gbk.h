// Conversion between the system's 8-bit text (GBK) and UTF-8 at the edges:
// front ends, paths and names read from the OS.
#pragma once
#include <string>
#include <string_view>

namespace zandrel::platform {

// Characters GBK cannot hold, and bytes that are not valid UTF-8, become '?'.
std::string Utf8ToGbk(std::string_view utf8);

// Bytes that are not valid GBK become U+FFFD.
std::string GbkToUtf8(std::string_view gbk);

}  // namespace zandrel::platform

// printf into a std::string: the one formatting helper shared by every layer.
#pragma once
#include <string>

namespace zandrel {

// Returns what printf would print for fmt and the arguments; empty when
// nothing is printed or the format cannot be applied.
std::string StringPrintf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

}  // namespace zandrel

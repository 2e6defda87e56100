#include "platform/console.h"

#include <unistd.h>

namespace zandrel::platform {

std::vector<std::string> CommandLineArguments(int argc, char** argv) { return {argv, argv + argc}; }

void UseParentConsole() {}

void WriteText(std::FILE* out, std::string_view utf8) {
  std::fwrite(utf8.data(), 1, utf8.size(), out);
  std::fflush(out);
}

bool IsTerminal(std::FILE* out) {
  int fd = fileno(out);
  return fd >= 0 && isatty(fd) == 1;
}

}  // namespace zandrel::platform

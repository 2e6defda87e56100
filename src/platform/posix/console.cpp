#include "platform/console.h"

#include <termios.h>
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

bool ReadSecretLine(const char* prompt, std::string& line) {
  line.clear();
  bool terminal = isatty(STDIN_FILENO) == 1;
  termios saved{};
  bool hidden = false;
  if (terminal) {
    std::fputs(prompt, stderr);
    std::fflush(stderr);
    if (tcgetattr(STDIN_FILENO, &saved) == 0) {
      termios quiet = saved;
      quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
      quiet.c_lflag |= ECHONL;
      hidden = tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) == 0;
    }
  }
  int c = 0;
  bool any = false;
  while ((c = std::fgetc(stdin)) != EOF) {
    any = true;
    if (c == '\n') break;
    line += static_cast<char>(c);
  }
  if (hidden) tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return any;
}

}  // namespace zandrel::platform

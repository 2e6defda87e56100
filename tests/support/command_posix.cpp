#include <sys/wait.h>

#include <cstdio>

#include "command.h"

namespace testsupport {

CommandResult RunCommand(const std::string& commandLine) {
  CommandResult r;
  FILE* p = popen(commandLine.c_str(), "r");
  if (!p) return r;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
  int status = pclose(p);
  r.exitCode = status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

}  // namespace testsupport

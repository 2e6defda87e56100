#include "command.h"

#include <cstdio>

#include "pipe.h"

namespace testsupport {

CommandResult RunCommand(const std::string& commandLine) {
  CommandResult r;
  FILE* p = OpenReadPipe(commandLine);
  if (!p) return r;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
  r.exitCode = ClosePipe(p);
  return r;
}

}  // namespace testsupport

#include <sys/wait.h>

#include "pipe.h"

namespace testsupport {

FILE* OpenReadPipe(const std::string& commandLine) { return popen(commandLine.c_str(), "r"); }

int ClosePipe(FILE* p) {
  int status = pclose(p);
  return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace testsupport

// Runs a shell command line and collects what it writes to standard output.
#pragma once
#include <string>

namespace testsupport {

struct CommandResult {
  int exitCode = -1;  // -1 when it could not run or did not exit normally
  std::string out;
};

CommandResult RunCommand(const std::string& commandLine);

}  // namespace testsupport

// The C library's pipe to a shell command, as each system names it.
#pragma once
#include <cstdio>
#include <string>

namespace testsupport {

// The command's standard output, read as bytes; null when it cannot start.
FILE* OpenReadPipe(const std::string& commandLine);
// Waits for the command; its exit code, or -1 when it did not exit normally.
int ClosePipe(FILE* p);

}  // namespace testsupport

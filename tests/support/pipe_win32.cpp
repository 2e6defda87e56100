#include "pipe.h"

namespace testsupport {

FILE* OpenReadPipe(const std::string& commandLine) { return _popen(commandLine.c_str(), "rb"); }

int ClosePipe(FILE* p) { return _pclose(p); }

}  // namespace testsupport

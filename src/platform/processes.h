// Running processes and the program files mapped into them.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace zandrel::platform {

// The first entry stands for the idle pseudo-process (id 0); the real
// processes follow in ascending id order. False when the list cannot be read.
bool ListProcesses(std::vector<uint32_t>& out);

// Full paths of the files mapped executable into a process, the main
// executable first, each once, converted to GBK with '\' as the separator.
// Only real files count: no memfd objects and nothing marked " (deleted)".
// False when the process has ended or cannot be read.
bool ListModules(uint32_t pid, std::vector<std::string>& out);

}  // namespace zandrel::platform

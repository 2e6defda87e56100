// Files, the descriptor limit and stop signals.
#pragma once
#include <cstddef>
#include <string>

namespace zandrel::platform {

bool MakeDirectories(const std::string& path);
// Paths are UTF-8 on every system.
bool ReadWholeFile(const std::string& path, std::string& out);
// Creates or truncates the file and writes all of data; false on any error.
bool WriteWholeFile(const std::string& path, const char* data, std::size_t len);
// Writes to a temporary file in dir, flushes it to disk, renames it to name
// and flushes the directory: the file is either complete or absent.
bool WriteFileAtomically(const std::string& dir, const std::string& name, const char* data, std::size_t len);
// Raises the soft limit of open descriptors to the hard limit.
void RaiseOpenFileLimit();

// SIGINT and SIGTERM set a flag instead of ending the process.
void InstallStopSignals();
bool StopRequested();
void ClearStopRequest();

}  // namespace zandrel::platform

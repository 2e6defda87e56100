// The file operations under PendingFile, one implementation per system
// (posix/store.cpp, win32/store.cpp); PendingFile itself is in store.cpp.
// Descriptors are the C runtime's on both systems.
#pragma once
#include <cstddef>
#include <string>

namespace zandrel::platform::store_io {

// name inside dir, joined with the system's separator.
std::string JoinPath(const std::string& dir, const std::string& name);
// Creates or truncates path for writing: a descriptor, or -1.
int CreateForWriting(const std::string& path);
// Writes some of data: how many bytes, or 0 or less when writing failed.
long WriteSome(int fd, const char* data, std::size_t len);
// Flushes the file to disk and closes it; false when either failed. The
// descriptor is closed in any case.
bool FlushAndClose(int fd);
void Close(int fd);
// Renames from to to, replacing a file of that name.
bool Replace(const std::string& from, const std::string& to);
// Flushes the directory's entries to disk where the system needs that for a
// rename to survive a crash.
void FlushDirectory(const std::string& dir);

}  // namespace zandrel::platform::store_io

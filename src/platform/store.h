// Files that are written in pieces and appear whole or not at all, and the
// figures a store needs about its directory.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zandrel::platform {

// A file written under a temporary name in dir and renamed into place by
// Commit. Until then, or if anything fails, the temporary is removed when the
// object goes away: a reader of dir never sees a partial file.
class PendingFile {
 public:
  PendingFile() = default;
  ~PendingFile();
  PendingFile(const PendingFile&) = delete;
  PendingFile& operator=(const PendingFile&) = delete;

  bool Open(const std::string& dir, const std::string& tempName);
  // False when the bytes could not all be written (the disk is full, say).
  bool Write(const char* data, std::size_t len);
  // Flushes the file to disk, renames it to name and, unless the caller
  // flushes it later for several files at once (FlushDirectory), flushes the
  // directory.
  bool Commit(const std::string& name, bool flushDirectory = true);
  void Discard();
  bool is_open() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
  std::string dir_, temp_;
};

struct DirectoryEntry {
  std::string name;
  uint64_t size = 0;
  bool regular = false;
};
// Makes the renames done in dir survive a crash.
void FlushDirectory(const std::string& dir);
bool ListDirectory(const std::string& dir, std::vector<DirectoryEntry>& out);
bool RemoveFile(const std::string& path);
// Bytes an unprivileged writer may still use on the volume that holds path.
bool QueryFreeBytes(const std::string& path, uint64_t& freeBytes);

}  // namespace zandrel::platform

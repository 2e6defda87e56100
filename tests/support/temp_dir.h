// A fresh directory under the system's temporary folder, removed with all
// it holds when the object goes.
#pragma once
#include <string>
#include <vector>

namespace testsupport {

class TempDir {
 public:
  explicit TempDir(const std::string& stem = "zandrel-test");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  // path() joined with a name.
  std::string operator/(const std::string& name) const;
  // The names of the files in it, sorted.
  std::vector<std::string> Names() const;
  // The contents of every file in it, in the order of Names().
  std::vector<std::string> Contents() const;

 private:
  std::string path_;
};

}  // namespace testsupport

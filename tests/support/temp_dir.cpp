#include "temp_dir.h"

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <system_error>

namespace fs = std::filesystem;

namespace testsupport {

TempDir::TempDir(const std::string& stem) {
  static std::atomic<unsigned> serial{0};
  std::random_device rd;
  const fs::path base = fs::temp_directory_path();
  for (int attempt = 0; attempt < 100; ++attempt) {
    fs::path p = base / (stem + "-" + std::to_string(rd()) + "-" + std::to_string(serial++));
    std::error_code ec;
    if (fs::create_directory(p, ec)) {
      path_ = p.string();
      return;
    }
  }
  throw std::runtime_error("no temporary directory could be made under " + base.string());
}

TempDir::~TempDir() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

std::string TempDir::operator/(const std::string& name) const { return (fs::path(path_) / name).string(); }

std::vector<std::string> TempDir::Names() const {
  std::vector<std::string> out;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(path_, ec)) out.push_back(e.path().filename().string());
  std::sort(out.begin(), out.end());
  return out;
}

std::vector<std::string> TempDir::Contents() const {
  std::vector<std::string> out;
  for (const std::string& name : Names()) {
    std::ifstream f(fs::path(path_) / name, std::ios::binary);
    out.emplace_back(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  }
  return out;
}

}  // namespace testsupport

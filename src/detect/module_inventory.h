// The inventory of the program files loaded by all running processes.
#pragma once
#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>

#include "detect/line_sink.h"

namespace zandrel {

// Directory -> file names, both ordered by unsigned bytes.
class ModuleInventory {
 public:
  // Splits a GBK path at its last backslash (a 0x5C trail byte of a
  // double-byte character is not one) and files the name under its directory.
  void AddModule(const std::string& path);
  void CollectModulesOfProcess(uint32_t pid);
  // Walks every process but the first entry; failures go to logProgress.
  void CollectProcessModules(const LineSink& logProgress);
  void PrintModuleInventory(const LineSink& appendLine) const;
  // The same within budget bytes: when the whole inventory does not fit, it
  // stops early with a line that says how many file names were left out
  // (that line fits too, when the budget has room for anything at all).
  // True when it was cut.
  bool PrintModuleInventory(const LineSink& appendLine, size_t budget) const;

  const std::map<std::string, std::set<std::string>>& Entries() const { return entries_; }

 private:
  std::map<std::string, std::set<std::string>> entries_;
};

// Byte index of the last backslash of a GBK text, or -1.
int LastBackslashGbk(const std::string& text);

}  // namespace zandrel

#include "detect/module_inventory.h"

#include <vector>

#include "base/format.h"
#include "base/texts.h"
#include "platform/processes.h"

namespace zandrel {
namespace {
// File names are printed under their directory, indented by 16 spaces.
const std::string kNameIndent(16, ' ');
}  // namespace

int LastBackslashGbk(const std::string& text) {
  int last = -1;
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  size_t n = text.size();
  for (size_t i = 0; i < n; ++i) {
    if (p[i] >= 0x81 && p[i] <= 0xFE && i + 1 < n) {
      ++i;  // lead byte: the next byte belongs to the same character
    } else if (p[i] == '\\') {
      last = static_cast<int>(i);
    }
  }
  return last;
}

void ModuleInventory::AddModule(const std::string& path) {
  int p = LastBackslashGbk(path);
  std::string name = path.substr(static_cast<size_t>(p + 1));
  std::string dir = p > 0 ? path.substr(0, static_cast<size_t>(p)) : std::string();
  entries_[dir].insert(std::move(name));
}

void ModuleInventory::CollectModulesOfProcess(uint32_t pid) {
  std::vector<std::string> modules;
  if (!platform::ListModules(pid, modules)) return;
  for (const auto& m : modules) AddModule(m);
}

void ModuleInventory::CollectProcessModules(const LineSink& logProgress) {
  std::vector<uint32_t> pids;
  if (!platform::ListProcesses(pids)) {
    logProgress(texts::kTextProcessListFailed);
    return;
  }
  if (pids.empty()) {
    logProgress(texts::kTextNoProcess);
    return;
  }
  for (size_t i = 1; i < pids.size(); ++i) CollectModulesOfProcess(pids[i]);
}

void ModuleInventory::PrintModuleInventory(const LineSink& appendLine) const {
  for (const auto& [dir, names] : entries_) {
    appendLine(dir + "\r\n");
    for (const auto& name : names) appendLine(kNameIndent + name + "\r\n");
  }
}

bool ModuleInventory::PrintModuleInventory(const LineSink& appendLine, size_t budget) const {
  size_t whole = 0, names = 0;
  for (const auto& [dir, set] : entries_) {
    whole += dir.size() + 2;
    for (const auto& name : set) whole += kNameIndent.size() + name.size() + 2;
    names += set.size();
  }
  if (whole <= budget) {
    PrintModuleInventory(appendLine);
    return false;
  }
  // Every line printed leaves room for the line that ends the cut inventory.
  const size_t reserve = StringPrintf(texts::kFormatInventoryCut, static_cast<int>(names)).size();
  size_t used = 0, listed = 0;
  auto fits = [&](size_t more) { return used + more + reserve <= budget; };
  for (const auto& [dir, set] : entries_) {
    std::string dirLine = dir + "\r\n";
    // A directory line goes out only with its first name.
    if (set.empty() || !fits(dirLine.size() + kNameIndent.size() + set.begin()->size() + 2)) break;
    appendLine(dirLine);
    used += dirLine.size();
    bool full = false;
    for (const auto& name : set) {
      std::string line = kNameIndent + name + "\r\n";
      if (!fits(line.size())) {
        full = true;
        break;
      }
      appendLine(line);
      used += line.size();
      ++listed;
    }
    if (full) break;
  }
  std::string cut = StringPrintf(texts::kFormatInventoryCut, static_cast<int>(names - listed));
  if (used + cut.size() <= budget) appendLine(cut);
  return true;
}

}  // namespace zandrel

// zandrel-desk reindex: brings the index in line with the body files, which
// are the record of truth: every report file without a row is read and
// added, every row whose file is gone is removed. Safe beside a running
// receiver: rows are added in short transactions (SQLite in WAL mode, so
// readers are never blocked) and the desk waits its turn for the write lock.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <unordered_set>

#include "platform/console.h"
#include "platform/store.h"
#include "server/desk/desk.h"
#include "server/store/report_file.h"
#include "server/store/report_index.h"
#include "server/store/report_record.h"

namespace zandrel::desk {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kAddBatch = 256;

// The progress line on standard error: redrawn in place on a terminal (at
// most ten times a second), a new line every five seconds otherwise.
class Progress {
 public:
  explicit Progress(std::size_t total) : total_(total), terminal_(platform::IsTerminal(stderr)) {}

  void Update(std::size_t done, bool last = false) {
    Clock::time_point now = Clock::now();
    auto every = terminal_ ? std::chrono::milliseconds(100) : std::chrono::milliseconds(5000);
    if (!last && now - shown_ < every) return;
    shown_ = now;
    double seconds = std::chrono::duration<double>(now - start_).count();
    char line[120];
    std::snprintf(line, sizeof line, "reindex: %zu/%zu files read (%.0f%%), %.0f files/s", done, total_,
                  total_ ? 100.0 * static_cast<double>(done) / static_cast<double>(total_) : 100.0,
                  seconds > 0 ? static_cast<double>(done) / seconds : 0.0);
    if (terminal_) {
      platform::WriteText(stderr, std::string("\r") + line + "\x1b[K" + (last ? "\n" : ""));
    } else {
      platform::WriteText(stderr, std::string(line) + "\n");
    }
  }

 private:
  std::size_t total_;
  bool terminal_;
  Clock::time_point start_ = Clock::now();
  Clock::time_point shown_ = start_;
};

}  // namespace

int ReindexCommand(const DeskOptions& options, const Args& args) {
  if (!args.empty()) return Complain(kExitUsage, "reindex takes no arguments, not " + args.front());
  std::error_code ec;
  if (!std::filesystem::is_directory(options.dataDir, ec)) {
    return Complain(kExitFailure, "no data directory " + options.dataDir);
  }
  Clock::time_point start = Clock::now();
  store::ReportIndex index;
  store::IndexOptions index_options;
  index_options.busy_timeout_ms = kDeskBusyTimeoutMs;
  if (auto s = index.Open(IndexPath(options), index_options); !s) return Complain(kExitFailure, s.message);

  // The rows first, then the files: a row is written after its file is in
  // place, so every row listed here has its file in the listing below unless
  // the file is really gone.
  std::vector<store::IndexedFile> rows;
  if (auto s = index.List(rows); !s) return Complain(kExitFailure, s.message);
  std::vector<platform::DirectoryEntry> entries;
  if (!platform::ListDirectory(options.dataDir, entries)) {
    return Complain(kExitFailure, "cannot list " + options.dataDir);
  }
  std::unordered_set<std::string> files;
  std::vector<std::string> names;  // report files, oldest first
  for (const platform::DirectoryEntry& e : entries) {
    if (!e.regular || !store::ParseReportFileName(e.name)) continue;
    files.insert(e.name);
    names.push_back(e.name);
  }
  std::sort(names.begin(), names.end());

  std::unordered_set<std::string> indexed;
  std::vector<std::string> gone;
  for (const store::IndexedFile& row : rows) {
    if (files.count(row.file)) {
      indexed.insert(row.file);
    } else {
      gone.push_back(row.id);
    }
  }
  std::vector<store::IndexedFile> removed;
  if (!gone.empty()) {
    if (auto s = index.Remove(gone, removed); !s) return Complain(kExitFailure, s.message);
  }

  std::vector<std::string> missing;
  for (const std::string& name : names) {
    if (!indexed.count(name)) missing.push_back(name);
  }
  Progress progress(missing.size());
  std::size_t added = 0, unreadable = 0;
  std::vector<store::ReportRecord> batch;
  for (std::size_t i = 0; i < missing.size(); ++i) {
    store::ReportRecord record;
    if (store::RecordFromFile(options.dataDir, missing[i], record)) {
      batch.push_back(std::move(record));
    } else {
      ++unreadable;  // removed since the listing, or not readable
    }
    if (batch.size() == kAddBatch || i + 1 == missing.size()) {
      if (auto s = index.Add(batch); !s) {
        progress.Update(i + 1 - batch.size(), true);
        return Complain(kExitFailure, s.message + " (the reports before were added; run reindex again)");
      }
      added += batch.size();
      batch.clear();
      progress.Update(i + 1, i + 1 == missing.size());
    }
  }
  index.Close();
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  char summary[200];
  std::snprintf(summary, sizeof summary,
                "reindex: %zu report files; %zu indexed already, %zu added, %zu unreadable; %zu rows without a file "
                "removed; %.1f s\n",
                names.size(), indexed.size(), added, unreadable, removed.size(), seconds);
  platform::WriteText(stdout, summary);
  return kExitOk;
}

}  // namespace zandrel::desk

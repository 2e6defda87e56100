#include "server/store/index_keeper.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>

#include "platform/store.h"
#include "server/common/log.h"
#include "server/store/report_file.h"
#include "server/store/report_id.h"
#include "server/store/report_index.h"
#include "server/store/report_record.h"

namespace zandrel::store {
namespace {

using server::LogLine;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kBatch = 200;
constexpr auto kRetentionEvery = std::chrono::hours(1);
constexpr auto kCatchUpAfterFailure = std::chrono::minutes(1);
constexpr int64_t kDayMs = 86400000;

int64_t NowUtcMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

class SqliteIndexKeeper final : public IndexKeeper {
 public:
  explicit SqliteIndexKeeper(IndexKeeperOptions options) : opt_(std::move(options)) {}
  ~SqliteIndexKeeper() override {
    {
      std::lock_guard<std::mutex> lock(mu_);
      stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
  }

  bool Open(std::string& why) {
    IndexStatus s = index_.Open(IndexPath(opt_.dataDir));
    if (!s) why = s.message;
    return s.ok;
  }

  std::vector<ReportRecord> Read(const std::vector<std::string>& names) override {
    std::vector<ReportRecord> records;
    records.reserve(names.size());
    for (const std::string& name : names) {
      ReportRecord r;
      if (RecordFromFile(opt_.dataDir, name, r)) records.push_back(std::move(r));
    }
    return records;
  }

  void Stored(const std::vector<ReportRecord>& records) override {
    IndexStatus s = index_.Add(records);
    if (s) return;
    std::lock_guard<std::mutex> lock(mu_);
    behind_ = true;
    auto now = Clock::now();
    if (now - lastFailureLog_ >= std::chrono::minutes(1)) {
      lastFailureLog_ = now;
      LogLine(opt_.quiet, "the report index could not be written (%s); the reports are stored and will be indexed later",
              s.message.c_str());
    }
  }

  bool Start() override {
    try {
      thread_ = std::thread([this] { Run(); });
    } catch (const std::system_error&) {
      return false;
    }
    return true;
  }

 private:
  void Run() {
    CatchUp();
    auto nextRetention = Clock::now();
    auto nextCatchUp = Clock::now() + kCatchUpAfterFailure;
    std::unique_lock<std::mutex> lock(mu_);
    while (!stopping_) {
      auto now = Clock::now();
      if (opt_.keepDays && now >= nextRetention) {
        nextRetention = now + kRetentionEvery;
        lock.unlock();
        Retain();
        lock.lock();
        continue;
      }
      if (behind_ && now >= nextCatchUp) {
        behind_ = false;
        nextCatchUp = now + kCatchUpAfterFailure;
        lock.unlock();
        CatchUp();
        lock.lock();
        continue;
      }
      auto until = now + kRetentionEvery;
      if (opt_.keepDays) until = std::min(until, nextRetention);
      if (behind_) until = std::min(until, nextCatchUp);
      wake_.wait_until(lock, until);
    }
  }

  bool Stopping() {
    std::lock_guard<std::mutex> lock(mu_);
    return stopping_;
  }

  // Every body file without a row gets one; every row without a file goes.
  void CatchUp() {
    std::vector<platform::DirectoryEntry> entries;
    std::vector<IndexedFile> indexed;
    if (!platform::ListDirectory(opt_.dataDir, entries)) return;
    IndexStatus s = index_.List(indexed);
    if (!s) {
      MarkBehind(s.message);
      return;
    }
    std::set<std::string> files, rows;
    for (const auto& e : entries) {
      if (e.regular && ParseReportFileName(e.name)) files.insert(e.name);
    }
    std::vector<std::string> gone;
    for (const IndexedFile& f : indexed) {
      rows.insert(f.file);
      if (!files.count(f.file)) gone.push_back(f.id);
    }
    if (!gone.empty()) {
      std::vector<IndexedFile> removed;
      index_.Remove(gone, removed);
    }
    std::vector<std::string> missing;
    for (const std::string& name : files) {
      if (!rows.count(name)) missing.push_back(name);
    }
    std::size_t added = 0;
    for (std::size_t i = 0; i < missing.size() && !Stopping(); i += kBatch) {
      std::vector<ReportRecord> records;
      for (std::size_t j = i; j < missing.size() && j < i + kBatch; ++j) {
        ReportRecord r;
        if (RecordFromFile(opt_.dataDir, missing[j], r)) records.push_back(std::move(r));
      }
      IndexStatus a = index_.Add(records);
      if (!a) {
        MarkBehind(a.message);
        return;
      }
      added += records.size();
    }
    if (added || !gone.empty()) {
      LogLine(opt_.quiet, "report index caught up: %zu reports added, %zu rows without a file removed", added,
              gone.size());
    }
  }

  // Reports older than keepDays go, their rows first: a body left without a
  // row by a crash here is indexed again and removed at the next pass.
  void Retain() {
    int64_t cutoff = NowUtcMs() - static_cast<int64_t>(opt_.keepDays) * kDayMs;
    std::vector<platform::DirectoryEntry> entries;
    if (!platform::ListDirectory(opt_.dataDir, entries)) return;
    std::vector<std::pair<std::string, uint64_t>> old;  // name, size
    std::vector<std::string> ids;
    for (const auto& e : entries) {
      auto f = e.regular ? ParseReportFileName(e.name) : std::nullopt;
      if (!f || f->received >= cutoff) continue;
      old.emplace_back(e.name, e.size);
      ids.push_back(ReportIdText(f->id));
    }
    std::vector<IndexedFile> removed;
    for (std::size_t i = 0; i < ids.size(); i += kBatch) {
      std::vector<std::string> part(ids.begin() + static_cast<std::ptrdiff_t>(i),
                                    ids.begin() + static_cast<std::ptrdiff_t>(std::min(ids.size(), i + kBatch)));
      IndexStatus s = index_.Remove(part, removed);
      if (!s) {
        MarkBehind(s.message);
        return;  // bodies stay until their rows can go
      }
    }
    for (const auto& [name, size] : old) {
      if (platform::RemoveFile(opt_.dataDir + "/" + name) && opt_.released) opt_.released(DiskBytes(size));
    }
    index_.RemoveReceivedBefore(cutoff, removed);
    if (!old.empty()) {
      LogLine(opt_.quiet, "retention: %zu reports older than %u days removed", old.size(), opt_.keepDays);
    }
  }

  void MarkBehind(const std::string& why) {
    std::lock_guard<std::mutex> lock(mu_);
    behind_ = true;
    auto now = Clock::now();
    if (now - lastFailureLog_ >= std::chrono::minutes(1)) {
      lastFailureLog_ = now;
      LogLine(opt_.quiet, "the report index is behind (%s); trying again in a minute", why.c_str());
    }
  }

  IndexKeeperOptions opt_;
  ReportIndex index_;  // its calls are serialized by the index itself
  std::mutex mu_;
  std::condition_variable wake_;
  bool stopping_ = false, behind_ = false;
  Clock::time_point lastFailureLog_{};
  std::thread thread_;
};

}  // namespace

std::unique_ptr<IndexKeeper> OpenIndexKeeper(const IndexKeeperOptions& options, std::string& why) {
  auto keeper = std::make_unique<SqliteIndexKeeper>(options);
  if (!keeper->Open(why)) return nullptr;
  return keeper;
}

}  // namespace zandrel::store

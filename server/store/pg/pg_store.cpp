#include "server/store/pg/pg_store.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <map>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/md5.h"
#include "server/common/log.h"
#include "server/report/report_facts.h"
#include "server/store/pg/pg_connection.h"
#include "server/store/pg/pg_rows.h"
#include "server/store/pg/pg_schema.h"
#include "server/store/report_id.h"

namespace zandrel::store::pg {

using server::LogLine;
using Clock = std::chrono::steady_clock;

namespace {

int64_t NowUtcMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

uint32_t MsSince(Clock::time_point t) {
  return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

bool SameHexIgnoringCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::toupper(static_cast<unsigned char>(a[i])) != std::toupper(static_cast<unsigned char>(b[i]))) return false;
  }
  return true;
}

constexpr auto kMaintainEvery = std::chrono::hours(1);
// How often the module counts stores append are folded into module_day.
constexpr auto kFoldEvery = std::chrono::seconds(5);
constexpr int kPositionTries = 8;
constexpr int kDaysAhead = 8;

// The partitions a store keeps ahead, and retention: run at start and hourly.
bool Maintain(Connection& conn, uint32_t keepDays, bool quiet, PgError& error) {
  int64_t now = NowUtcMs();
  if (!MakePartitions(conn, now - kDayMs, kDaysAhead + 1, error)) return false;
  if (keepDays == 0) return true;
  int dropped = 0;
  if (!DropPartitionsBefore(conn, now - int64_t{keepDays} * kDayMs, dropped, error)) return false;
  if (dropped) LogLine(quiet, "retention: %d day partitions older than %u days dropped", dropped, keepDays);
  return true;
}

}  // namespace

// A report on the writer's side.
struct Job {
  uint64_t job = 0;
  std::string body, md5;
  uint32_t sender = 0;
  int64_t received = 0;
  uint64_t id = 0;  // 0 until the writer gives it one; kept for every retry
  bool maybeStored = false;  // an insert of it was sent and its outcome lost
  bool looked = false;  // searched for among the reports already stored
  Clock::time_point queued;
};

struct Done {
  uint64_t job = 0;
  int status = 0;
  std::string id;
};

struct PgStore::Shared {
  PgStoreOptions opt;
  std::mutex mu;
  std::condition_variable wake, finished;
  std::deque<Job> queue;
  std::vector<Done> done;
  bool stopping = false, ended = false;
  std::atomic<uint64_t> queuedBytes{0};
  std::atomic<std::size_t> queuedJobs{0};
  std::atomic<bool> down{false};
  std::atomic<int64_t> busySince{0};  // steady ms of the batch under way, 0 when idle
  // The writer's own.
  Connection conn;
  uint64_t nextSeq = 0, blockEnd = 0;
  ModuleIdCache moduleIds;
  Clock::time_point lastDownLog{}, nextMaintain{}, nextFold{};

  static int64_t SteadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count();
  }

  bool Stopping() {
    std::lock_guard<std::mutex> lock(mu);
    return stopping;
  }

  void Finish(Job& job, int status) {
    Done d;
    d.job = job.job;
    d.status = status;
    if (status == 200) d.id = ReportIdText(job.id);
    queuedBytes -= job.body.size();
    --queuedJobs;
    std::lock_guard<std::mutex> lock(mu);
    done.push_back(std::move(d));
  }

  void MarkDown(const std::string& why) {
    bool was = down.exchange(true);
    auto now = Clock::now();
    if (!was || now - lastDownLog >= std::chrono::minutes(1)) {
      lastDownLog = now;
      LogLine(opt.quiet, "the database cannot be reached (%s); refusing reports with 503 until it can",
              why.c_str());
    }
  }

  bool Connect() {
    if (conn.connected()) return true;
    PgError error;
    if (!conn.Connect(opt.url, error, 2)) {
      MarkDown(error.message);
      return false;
    }
    // A database stuck, not gone, fails the statement instead of holding the writer.
    if (!conn.Exec("SET statement_timeout = '30s'", error)) {
      conn.Close();
      MarkDown(error.message);
      return false;
    }
    std::string message;
    if (!CheckSchema(conn, message)) {
      conn.Close();
      MarkDown(message);
      return false;
    }
    if (down.exchange(false)) LogLine(opt.quiet, "the database is back; storing reports again");
    return true;
  }

  // A report sent again, its answer lost with a receiver or a connection,
  // is the one stored: the same bytes stored within a day are answered with
  // the stored report's id instead of being stored twice. Jobs found are
  // finished and leave the batch.
  bool FindStored(std::vector<Job>& batch, PgError& error) {
    std::vector<std::string> digests;
    for (const Job& j : batch) {
      if (!j.looked) digests.push_back(j.md5);
    }
    if (digests.empty()) return true;
    std::string list = ArrayLiteral(digests);
    Result r = conn.Query(
        "SELECT md5, size, id FROM reports WHERE md5 = ANY($1::text[]) AND received > now() - interval '1 day'",
        {list.c_str()}, error);
    if (!r) return false;
    std::map<std::string, std::pair<uint64_t, uint64_t>> found;  // md5 -> (size, id)
    for (int i = 0; i < PQntuples(r.get()); ++i) {
      found[PQgetvalue(r.get(), i, 0)] = {std::stoull(PQgetvalue(r.get(), i, 1)), std::stoull(PQgetvalue(r.get(), i, 2))};
    }
    std::vector<Job> left;
    for (Job& j : batch) {
      auto it = j.looked ? found.end() : found.find(j.md5);
      j.looked = true;
      if (it != found.end() && it->second.first == j.body.size()) {
        j.id = it->second.second;
        Finish(j, 200);
      } else {
        left.push_back(std::move(j));
      }
    }
    batch = std::move(left);
    return true;
  }

  // Ids for the jobs that have none, from blocks of the shared sequence. The
  // same bytes twice in one batch get one id and one received time: the
  // insert keeps one row, and both are answered with its id.
  bool AssignIds(std::vector<Job>& batch, PgError& error) {
    std::map<std::string, const Job*> fresh;
    for (Job& j : batch) {
      if (j.id) continue;
      if (auto it = fresh.find(j.md5); it != fresh.end() && it->second->body == j.body) {
        j.id = it->second->id;
        j.received = it->second->received;
        continue;
      }
      if (nextSeq >= blockEnd) {
        Result r = conn.Query("SELECT nextval('report_seq')", {}, error);
        if (!r) return false;
        nextSeq = std::stoull(PQgetvalue(r.get(), 0, 0));
        blockEnd = nextSeq + static_cast<uint64_t>(kIdBlock);
      }
      j.id = ReportIdForSequence(nextSeq++);
      fresh.emplace(j.md5, &j);
    }
    return true;
  }

  // The ids of the paths' modules learnt, those new to the database added
  // (committed on their own: a module row no report names yet is harmless).
  bool LearnModules(const std::vector<std::vector<std::string>>& paths, PgError& error) {
    std::string unknown = moduleIds.Unknown(paths);
    if (unknown.empty()) return true;
    Result r = conn.Query("SELECT path, mid FROM zandrel_module_ids($1::text[])", {unknown.c_str()}, error);
    if (!r) return false;
    for (int i = 0; i < PQntuples(r.get()); ++i) {
      moduleIds.Learn(PQgetvalue(r.get(), i, 0), static_cast<int32_t>(std::stol(PQgetvalue(r.get(), i, 1))));
    }
    return true;
  }

  // One statement, one transaction: every row of the batch or none.
  bool Insert(std::vector<Job*>& jobs, PgError& error) {
    std::vector<report::ReportFacts> facts;
    std::vector<std::vector<std::string>> paths;
    facts.reserve(jobs.size());
    paths.reserve(jobs.size());
    for (Job* j : jobs) {
      facts.push_back(report::ReadReport(j->body));
      paths.push_back(ModulePaths(facts.back()));
    }
    // A batch that may be stored already is left to the database to
    // count: only the rows it inserts are counted there, where a retried
    // batch's counts could be added twice.
    bool withIds = std::none_of(jobs.begin(), jobs.end(), [](const Job* j) { return j->maybeStored; });
    if (withIds && !LearnModules(paths, error)) return false;
    std::vector<RowValues> rows;
    rows.reserve(jobs.size());
    std::vector<int32_t> mids;
    ModuleDayCounts days;
    std::unordered_set<uint64_t> counted;  // the same bytes twice in a batch are one row
    for (std::size_t i = 0; i < jobs.size(); ++i) {
      Job* j = jobs[i];
      // A path the database did not name: it looks the row's ids up itself.
      bool all = withIds && moduleIds.Ids(paths[i], mids);
      rows.push_back(MakeRow(j->id, j->received, j->sender, j->md5, j->body, facts[i], all ? &mids : nullptr));
      if (all && counted.insert(j->id).second) days.Add(j->received, mids);
    }
    std::array<std::string, 3> dayLists = days.Params();
    std::vector<const char*> values;
    std::vector<int> lengths, formats;
    for (const RowValues& row : rows) {
      for (const auto& v : row.text) {
        values.push_back(v ? v->c_str() : nullptr);
        lengths.push_back(0);
        formats.push_back(0);
      }
      values.push_back(row.body.data());
      lengths.push_back(static_cast<int>(row.body.size()));
      formats.push_back(1);
    }
    for (const std::string& list : dayLists) {
      values.push_back(list.c_str());
      lengths.push_back(0);
      formats.push_back(0);
    }
    std::string sql = InsertSql(jobs.size(), true);
    for (int attempt = 1;; ++attempt) {
      for (Job* j : jobs) j->maybeStored = true;
      if (conn.QueryBinary(sql, values, lengths, formats, error)) return true;
      if (error.connectionLost) return false;
      for (Job* j : jobs) j->maybeStored = false;  // the statement failed: its transaction is gone
      if (!PositionTaken(error) || attempt == kPositionTries) return false;
      // Reports of one millisecond stored by different statements can be
      // given the same position (the arrival counter modulo 64): the
      // counter jumps ahead by a random step, and the statement runs again.
      PgError e;
      if (!conn.Exec("SELECT setval('report_arrival', nextval('report_arrival') + 1 + floor(random() * 63)::bigint)",
                     e)) {
        error = e;
        return false;
      }
    }
  }

  static bool PositionTaken(const PgError& e) {
    return e.sqlstate == "23505" && e.message.find("report_search_rid_key") != std::string::npos;
  }

  static bool NoPartition(const PgError& e) {
    return e.sqlstate == "23514" && e.message.find("no partition") != std::string::npos;
  }

  // Writes the batch; every job in it is finished or put back in `left`.
  void Write(std::vector<Job>& batch) {
    busySince = SteadyMs();
    PgError error;
    if (!FindStored(batch, error) || !AssignIds(batch, error)) {
      if (error.connectionLost) {
        conn.Close();
        MarkDown(error.message);
      } else {
        // Nothing was written: the reports are not stored, and may be sent again.
        LogLine(opt.quiet, "cannot prepare %zu reports for storing (%s); answered 503", batch.size(),
                error.message.c_str());
        for (Job& j : batch) Finish(j, 503);
        batch.clear();
      }
      busySince = 0;
      return;
    }
    std::vector<Job*> all;
    for (Job& j : batch) all.push_back(&j);
    bool ok = batch.empty() || Insert(all, error);
    if (!ok && !error.connectionLost && NoPartition(error)) {
      // A day no partition was made for (a clock far ahead): made now.
      PgError e2;
      for (Job& j : batch) MakePartitions(conn, j.received, 1, e2);
      ok = Insert(all, error);
    }
    if (ok) {
      for (Job& j : batch) Finish(j, 200);
      batch.clear();
    } else if (error.connectionLost) {
      conn.Close();
      MarkDown(error.message);
    } else {
      // One report's row may be what failed: each alone, so that the rest
      // are stored.
      LogLine(opt.quiet, "storing %zu reports failed (%s%s%s); storing them one by one", batch.size(),
              error.sqlstate.c_str(), error.sqlstate.empty() ? "" : ": ", error.message.c_str());
      std::vector<Job> left;
      for (Job& j : batch) {
        std::vector<Job*> one{&j};
        PgError e;
        if (conn.connected() && Insert(one, e)) {
          Finish(j, 200);
        } else if (e.connectionLost || !conn.connected()) {
          left.push_back(std::move(j));
        } else {
          LogLine(opt.quiet, "report %s (%zu bytes) could not be stored: %s%s%s", ReportIdText(j.id).c_str(),
                  j.body.size(), e.sqlstate.c_str(), e.sqlstate.empty() ? "" : ": ", e.message.c_str());
          Finish(j, 507);
        }
      }
      batch = std::move(left);
      if (!batch.empty()) {
        conn.Close();
        MarkDown("the connection was lost");
      }
    }
    busySince = 0;
  }

  // Jobs that cannot wait longer for the database are answered 503: at
  // once when stopping; a job surely not stored after kHoldMs; one that may
  // be stored after kUnknownHoldMs.
  void GiveUp(std::vector<Job>& batch, bool stopping) {
    std::vector<Job> keep;
    for (Job& j : batch) {
      uint32_t age = MsSince(j.queued);
      if (stopping || age >= (j.maybeStored ? kUnknownHoldMs : kHoldMs)) {
        if (j.maybeStored) {
          LogLine(opt.quiet, "report %s answered 503, though the database may have stored it",
                  ReportIdText(j.id).c_str());
        }
        Finish(j, 503);
      } else {
        keep.push_back(std::move(j));
      }
    }
    batch = std::move(keep);
  }

  void Run() {
    std::vector<Job> batch;  // taken from the queue, not yet finished
    nextMaintain = Clock::now() + kMaintainEvery;
    for (;;) {
      bool stop = false;
      {
        std::unique_lock<std::mutex> lock(mu);
        if (batch.empty() && queue.empty() && !stopping) {
          auto wait = down ? std::chrono::milliseconds(kReconnectMs) : std::chrono::milliseconds(1000);
          wake.wait_for(lock, wait);
        }
        stop = stopping;
        uint64_t bytes = 0;
        for (const Job& j : batch) bytes += j.body.size();
        while (!queue.empty() && batch.size() < kBatchRows && bytes < kBatchBytes) {
          bytes += queue.front().body.size();
          batch.push_back(std::move(queue.front()));
          queue.pop_front();
        }
      }
      if (stop && batch.empty()) break;
      if (!Connect()) {
        GiveUp(batch, stop);
        if (stop) continue;
        std::unique_lock<std::mutex> lock(mu);
        wake.wait_for(lock, std::chrono::milliseconds(kReconnectMs), [&] { return stopping; });
        continue;
      }
      if (Clock::now() >= nextMaintain) {
        nextMaintain = Clock::now() + kMaintainEvery;
        PgError error;
        if (!Maintain(conn, opt.keepDays, opt.quiet, error)) {
          LogLine(opt.quiet, "partition upkeep failed: %s", error.message.c_str());
        }
      }
      if (Clock::now() >= nextFold) {
        nextFold = Clock::now() + kFoldEvery;
        PgError error;
        if (!conn.Exec("SELECT zandrel_fold_module_days()", error)) {
          LogLine(opt.quiet, "folding module counts failed: %s", error.message.c_str());
          if (error.connectionLost) conn.Close();
          continue;
        }
      }
      if (batch.empty()) continue;
      Write(batch);
      if (!batch.empty()) GiveUp(batch, stop);
    }
    std::lock_guard<std::mutex> lock(mu);
    ended = true;
    finished.notify_all();
  }
};

class PgStore::PgUpload final : public ReportIntake::Upload {
 public:
  PgUpload(PgStore& store, uint32_t peer, uint64_t length) : store_(store), peer_(peer), length_(length) {
    body_.reserve(static_cast<std::size_t>(length));
  }
  ~PgUpload() override { store_.buffered_ -= body_.size(); }
  bool Write(const char* data, std::size_t len) override {
    if (len > length_ - body_.size()) return false;
    if (store_.buffered_ + store_.shared_->queuedBytes + len > kQueueBytes) return false;
    md5_.update(data, len);
    body_.append(data, len);
    store_.buffered_ += len;
    return true;
  }
  uint64_t received() const override { return body_.size(); }
  bool Matches(const std::string& flag) override {
    if (body_.size() != length_) return false;
    digest_ = md5_.hex_upper();
    return !digest_.empty() && SameHexIgnoringCase(flag, digest_);
  }

 private:
  friend class PgStore;
  PgStore& store_;
  uint32_t peer_;
  uint64_t length_;
  std::string body_, digest_;
  platform::Md5 md5_;
};

PgStore::PgStore(PgStoreOptions options)
    : opt_(std::move(options)), rate_(opt_.reportsPerMinute, opt_.quiet), shared_(std::make_shared<Shared>()) {
  shared_->opt = opt_;
}

PgStore::~PgStore() {
  std::unique_lock<std::mutex> lock(shared_->mu);
  shared_->stopping = true;
  shared_->wake.notify_all();
  shared_->finished.wait_for(lock, std::chrono::milliseconds(stopWaitMs_), [&] { return shared_->ended; });
}

bool PgStore::Open(std::string& error) {
  Connection& conn = shared_->conn;
  PgError e;
  if (!conn.Connect(opt_.url, e, 5)) {
    error = "cannot connect to the database " + UrlForLog(opt_.url) + ": " + e.message;
    return false;
  }
  std::string message;
  if (!CheckSchema(conn, message)) {
    error = message;
    return false;
  }
  if (!conn.Exec("SET statement_timeout = '30s'", e) || !Maintain(conn, opt_.keepDays, opt_.quiet, e)) {
    error = "cannot make the day partitions: " + e.message;
    return false;
  }
  return true;
}

bool PgStore::Start() {
  try {
    std::thread([s = shared_] { s->Run(); }).detach();
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

bool PgStore::down() const { return shared_->down; }

Admission PgStore::Admit(uint32_t peer, uint64_t length, uint32_t nowMs) {
  (void)length;
  Admission a = rate_.Check(peer, nowMs);
  if (a.status != 200) return a;
  int64_t busy = shared_->busySince;
  bool stuck = busy && Shared::SteadyMs() - busy >= kStuckMs;
  if (shared_->down || stuck || shared_->queuedBytes + buffered_ >= kQueueBytes / 2 ||
      shared_->queuedJobs >= kQueueJobs / 2) {
    a.status = 503;
    a.retryAfter = kRetrySeconds;
  }
  return a;
}

std::unique_ptr<ReportIntake::Upload> PgStore::Begin(uint32_t peer, uint64_t length) {
  return std::make_unique<PgUpload>(*this, peer, length);
}

std::shared_ptr<const Storing> PgStore::Store(std::unique_ptr<Upload> upload, const std::string& peerText) {
  auto& u = static_cast<PgUpload&>(*upload);
  Job job;
  job.job = ++jobs_;
  job.sender = u.peer_;
  job.md5 = u.digest_;
  job.received = NowUtcMs();
  job.queued = Clock::now();
  buffered_ -= u.body_.size();
  job.body = std::move(u.body_);
  u.body_.clear();
  Pending& p = pending_[job.job];
  p.result = std::make_shared<Storing>();
  p.length = job.body.size();
  p.peerText = peerText;
  shared_->queuedBytes += job.body.size();
  ++shared_->queuedJobs;
  {
    std::lock_guard<std::mutex> lock(shared_->mu);
    shared_->queue.push_back(std::move(job));
  }
  shared_->wake.notify_one();
  return p.result;
}

void PgStore::Collect() {
  std::vector<Done> done;
  {
    std::lock_guard<std::mutex> lock(shared_->mu);
    done.swap(shared_->done);
  }
  for (Done& d : done) {
    auto it = pending_.find(d.job);
    if (it == pending_.end()) continue;
    Pending& p = it->second;
    p.result->id = d.id;
    p.result->status = d.status;
    if (d.status == 200) {
      ++stored_;
      LogLine(opt_.quiet, "stored %s (%llu bytes) from %s", d.id.c_str(), static_cast<unsigned long long>(p.length),
              p.peerText.c_str());
    } else {
      LogLine(opt_.quiet, "a report (%llu bytes) from %s was not stored: answered %d",
              static_cast<unsigned long long>(p.length), p.peerText.c_str(), d.status);
    }
    pending_.erase(it);
  }
}

}  // namespace zandrel::store::pg

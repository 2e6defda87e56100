#include "server/store/report_store.h"

#include <chrono>
#include <vector>

#include "platform/files.h"
#include "platform/store.h"
#include "server/common/log.h"
#include "server/store/report_file.h"
#include "server/store/report_id.h"

namespace zandrel::store {

using server::LogLine;

namespace {

bool IsTemporary(const std::string& name) {
  return name.size() > 5 && name[0] == '.' && name.compare(name.size() - 4, 4, ".tmp") == 0;
}

bool SameHexIgnoringCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i] >= 'a' && a[i] <= 'z' ? static_cast<char>(a[i] - 32) : a[i];
    char y = b[i] >= 'a' && b[i] <= 'z' ? static_cast<char>(b[i] - 32) : b[i];
    if (x != y) return false;
  }
  return true;
}

int64_t NowUtcMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

// Seconds a client is told to wait when the disk is behind.
constexpr uint32_t kDiskRetrySeconds = 5;

}  // namespace

ReportStore::ReportStore(const StoreOptions& opt)
    : opt_(opt), rate_(opt.reportsPerMinute, opt.quiet), worker_(std::make_unique<StoreWorker>(opt.dataDir)) {}

ReportStore::~ReportStore() {
  // Uploads still open are gone with their connections; what was handed
  // to Store is finished if the disk lets it within the wait.
  worker_->Stop(stopWaitMs_);
  Collect();
}

bool ReportStore::StartWorker(StoreWorker::AfterBatch afterBatch) {
  auto w = std::make_unique<StoreWorker>(opt_.dataDir, std::move(afterBatch));
  if (!w->Start()) return false;
  worker_ = std::move(w);
  return true;
}

bool ReportStore::Open(std::string& error) {
  if (!platform::MakeDirectories(opt_.dataDir)) {
    error = "cannot create the data directory " + opt_.dataDir;
    return false;
  }
  std::vector<platform::DirectoryEntry> entries;
  if (!platform::ListDirectory(opt_.dataDir, entries)) {
    error = "cannot read the data directory " + opt_.dataDir;
    return false;
  }
  storedBytes_ = 0;
  for (const auto& e : entries) {
    if (!e.regular) continue;
    if (IsTemporary(e.name)) {
      platform::RemoveFile(opt_.dataDir + "/" + e.name);
      continue;
    }
    storedBytes_ += DiskBytes(e.size);
    if (auto f = ParseReportFileName(e.name)) sequence_ = std::max(sequence_, f->sequence);
  }
  return true;
}

// New reports are turned away while the queue is half full, or while the
// disk has not finished one batch for kStuckMs: a client told to come back
// soon is better off than one left waiting for a disk that may not return.
bool ReportStore::DiskBehind() const {
  return worker_->queued_bytes() >= kQueueBytes / 2 || worker_->queued_jobs() >= kQueueJobs / 2 ||
         worker_->busy_ms() >= kStuckMs;
}

int ReportStore::CheckRoom(uint64_t length) {
  const char* why = nullptr;
  uint64_t freeBytes = 0;
  uint64_t need = reserved_ + committing_ + DiskBytes(length);
  if (opt_.maxStoreBytes && storedBytes_ + need > opt_.maxStoreBytes) {
    why = "the data directory has reached its size limit";
  } else if (platform::QueryFreeBytes(opt_.dataDir, freeBytes) &&
             freeBytes < opt_.minFreeBytes + worker_->queued_bytes() + DiskBytes(length)) {
    why = "free space is below the floor";
  }
  if (why && !refusingRoom_) {
    LogLine(opt_.quiet, "refusing reports with 507: %s", why);
  } else if (!why && refusingRoom_) {
    LogLine(opt_.quiet, "accepting reports again");
  }
  refusingRoom_ = why != nullptr;
  return why ? 507 : 200;
}

ReportStore::Admission ReportStore::Admit(uint32_t peer, uint64_t length, uint32_t nowMs) {
  Admission a = rate_.Check(peer, nowMs);
  if (a.status != 200) return a;
  if (DiskBehind()) {
    a.status = 503;
    a.retryAfter = kDiskRetrySeconds;
    return a;
  }
  a.status = CheckRoom(length);
  return a;
}

void ReportStore::Post(StoreWorker::Job job) { worker_->Post(std::move(job)); }

ReportStore::Upload::Upload(ReportStore& store, uint64_t job, uint32_t peer, uint64_t length)
    : store_(store), job_(job), peer_(peer), length_(length), file_(std::make_shared<PendingReport>()) {}

std::unique_ptr<ReportStore::Upload> ReportStore::Begin(uint32_t peer, uint64_t length) {
  uint64_t job = ++uploads_;
  std::unique_ptr<Upload> u(new Upload(*this, job, peer, length));
  StoreWorker::Job open;
  open.kind = StoreWorker::Kind::kOpen;
  open.upload = job;
  open.report = u->file_;
  open.text = ".upload-" + std::to_string(job) + ".tmp";
  Post(std::move(open));
  return u;
}

ReportStore::Upload::~Upload() {
  store_.reserved_ -= received_;
  if (handedOver_) return;
  store_.worker_->Cancel(job_);
  StoreWorker::Job discard;
  discard.kind = StoreWorker::Kind::kDiscard;
  discard.upload = job_;
  discard.report = std::move(file_);
  store_.Post(std::move(discard));
}

bool ReportStore::Upload::Write(const char* data, std::size_t len) {
  if (len > length_ - received_) return false;
  if (store_.worker_->queued_bytes() + len > kQueueBytes || store_.worker_->queued_jobs() >= kQueueJobs) return false;
  md5_.update(data, len);
  // What has arrived is reserved against the size limit, not what was
  // declared: a slow upload holds no room it has not filled.
  store_.reserved_ += len;
  received_ += len;
  StoreWorker::Job w;
  w.kind = StoreWorker::Kind::kWrite;
  w.upload = job_;
  w.report = file_;
  w.text.assign(data, len);
  store_.Post(std::move(w));
  return true;
}

bool ReportStore::Upload::Matches(const std::string& flag) {
  if (received_ != length_) return false;
  digest_ = md5_.hex_upper();
  return !digest_.empty() && SameHexIgnoringCase(flag, digest_);
}

std::shared_ptr<const ReportStore::Storing> ReportStore::Store(std::unique_ptr<Upload> upload,
                                                                const std::string& peerText) {
  ReportFileName f;
  f.received = NowUtcMs();
  f.sequence = ++sequence_;
  f.id = ReportIdForSequence(f.sequence);
  f.sender = upload->peer_;
  f.md5 = upload->digest_;
  uint64_t id = upload->job_;
  if (opt_.maxStoreBytes && storedBytes_ + committing_ + DiskBytes(upload->length_) > opt_.maxStoreBytes) {
    // Reports that arrived side by side may together overrun the limit
    // that each alone kept.
    auto refused = std::make_shared<Storing>();
    refused->status = 507;
    LogLine(opt_.quiet, "a report from %s was refused: the data directory has reached its size limit",
            peerText.c_str());
    return refused;
  }
  Job& job = storing_[id];
  job.name = ReportFileNameText(f);
  job.peerText = peerText;
  job.id = ReportIdText(f.id);
  job.length = upload->length_;
  job.result = std::make_shared<Storing>();
  job.result->id = job.id;
  committing_ += DiskBytes(job.length);
  upload->handedOver_ = true;
  StoreWorker::Job commit;
  commit.kind = StoreWorker::Kind::kCommit;
  commit.upload = id;
  commit.result = id;
  commit.report = upload->file_;
  commit.text = job.name;
  commit.run = beforeCommit_;
  std::shared_ptr<const Storing> result = job.result;
  upload.reset();  // gives back what it reserved; committing_ holds the room now
  Post(std::move(commit));
  Collect();  // without a thread, the report is settled already
  return result;
}

void ReportStore::Collect() {
  uint64_t gone = released_->exchange(0);
  storedBytes_ -= std::min(gone, storedBytes_);
  for (const StoreWorker::Done& d : worker_->TakeDone()) Settle(d.result, d.ok);
}

void ReportStore::Settle(uint64_t id, bool ok) {
  auto it = storing_.find(id);
  if (it == storing_.end()) return;
  Job& job = it->second;
  committing_ -= DiskBytes(job.length);
  job.result->status = ok ? 200 : 507;
  if (ok) {
    ++stored_;
    storedBytes_ += DiskBytes(job.length);
    LogLine(opt_.quiet, "stored %s (%llu bytes) from %s", job.name.c_str(), static_cast<unsigned long long>(job.length),
            job.peerText.c_str());
  } else {
    LogLine(opt_.quiet, "%s from %s could not be stored", job.name.c_str(), job.peerText.c_str());
  }
  storing_.erase(it);
}

}  // namespace zandrel::store

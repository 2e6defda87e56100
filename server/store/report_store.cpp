#include "server/store/report_store.h"

#include <cmath>
#include <cstdio>
#include <ctime>
#include <vector>

#include "platform/files.h"
#include "server/common/log.h"

namespace zandrel::store {

using server::LogLine;

namespace {

bool SameHexIgnoringCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i] >= 'a' && a[i] <= 'z' ? static_cast<char>(a[i] - 32) : a[i];
    char y = b[i] >= 'a' && b[i] <= 'z' ? static_cast<char>(b[i] - 32) : b[i];
    if (x != y) return false;
  }
  return true;
}

bool IsTemporary(const std::string& name) {
  return name.size() > 5 && name[0] == '.' && name.compare(name.size() - 4, 4, ".tmp") == 0;
}

std::string AddressText(uint32_t a) {
  return std::to_string(a >> 24) + "." + std::to_string((a >> 16) & 255) + "." + std::to_string((a >> 8) & 255) + "." +
         std::to_string(a & 255);
}

}  // namespace

ReportStore::ReportStore(const StoreOptions& opt) : opt_(opt) {}

ReportStore::~ReportStore() {
  if (!worker_) return;
  worker_->Stop();  // runs what is queued
  Collect();
}

bool ReportStore::StartWorker() {
  auto w = std::make_unique<StoreWorker>();
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
    } else {
      storedBytes_ += e.size;
    }
  }
  return true;
}

int ReportStore::CheckRoom(uint64_t length) {
  const char* why = nullptr;
  uint64_t freeBytes = 0;
  if (opt_.maxStoreBytes && storedBytes_ + reserved_ + length > opt_.maxStoreBytes) {
    why = "the data directory has reached its size limit";
  } else if (platform::QueryFreeBytes(opt_.dataDir, freeBytes) &&
             freeBytes < opt_.minFreeBytes + reserved_ + length) {
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

ReportStore::Admission ReportStore::CheckRate(uint32_t peer, uint32_t nowMs) {
  Admission a;
  if (opt_.reportsPerMinute == 0) return a;
  const double capacity = opt_.reportsPerMinute;
  const double perMs = capacity / 60000.0;
  if (buckets_.size() > 4096) {  // forget addresses whose allowance is whole again
    for (auto it = buckets_.begin(); it != buckets_.end();) {
      bool full = it->second.tokens + perMs * static_cast<uint32_t>(nowMs - it->second.at) >= capacity;
      it = full ? buckets_.erase(it) : std::next(it);
    }
  }
  auto [it, fresh] = buckets_.try_emplace(peer);
  Bucket& b = it->second;
  if (fresh) {
    b.tokens = capacity;
  } else {
    b.tokens = std::min(capacity, b.tokens + perMs * static_cast<uint32_t>(nowMs - b.at));
  }
  b.at = nowMs;
  if (b.tokens < 1.0) {
    a.status = 429;
    a.retryAfter = static_cast<uint32_t>(std::ceil((1.0 - b.tokens) / perMs / 1000.0));
    if (a.retryAfter == 0) a.retryAfter = 1;
    if (!b.refusing) {
      LogLine(opt_.quiet, "refusing reports from %s with 429: more than %u a minute", AddressText(peer).c_str(),
              opt_.reportsPerMinute);
    }
    b.refusing = true;
    return a;
  }
  b.tokens -= 1.0;
  b.refusing = false;
  return a;
}

ReportStore::Admission ReportStore::Admit(uint32_t peer, uint64_t length, uint32_t nowMs) {
  Admission a;
  a.status = CheckRoom(length);
  if (a.status != 200) return a;
  return CheckRate(peer, nowMs);
}

std::unique_ptr<ReportStore::Upload> ReportStore::Begin(uint64_t length) {
  reserved_ += length;  // given back when the upload goes
  std::unique_ptr<Upload> u(new Upload(*this, length));
  if (!u->file_.Open(opt_.dataDir, ".upload-" + std::to_string(++sequence_) + ".tmp")) return nullptr;
  return u;
}

ReportStore::Upload::~Upload() { store_.reserved_ -= length_; }

bool ReportStore::Upload::Write(const char* data, std::size_t len) {
  if (len > length_ - received_) return false;
  md5_.update(data, len);
  received_ += len;
  return file_.Write(data, len);
}

bool ReportStore::Upload::Matches(const std::string& flag) {
  if (received_ != length_ || !file_.is_open()) return false;
  digest_ = md5_.hex_upper();
  return !digest_.empty() && SameHexIgnoringCase(flag, digest_);
}

std::shared_ptr<const ReportStore::Storing> ReportStore::Store(std::unique_ptr<Upload> upload,
                                                                const std::string& peerText) {
  char stamp[32];
  std::time_t now = std::time(nullptr);
  std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", std::gmtime(&now));
  char name[128];
  std::snprintf(name, sizeof name, "report-%s-%06llu-%s.txt", stamp, static_cast<unsigned long long>(++sequence_),
                upload->digest_.c_str());
  uint64_t id = ++nextJob_;
  Job& job = storing_[id];
  job.upload = std::move(upload);
  job.name = name;
  job.peerText = peerText;
  job.result = std::make_shared<Storing>();
  // Only the worker touches the file until the job is settled; the job's
  // entry, and so the file, lives until then.
  platform::PendingFile* file = &job.upload->file_;
  std::function<bool()> work = [file, name = job.name, hook = beforeCommit_] {
    if (hook && !hook()) {
      file->Discard();
      return false;
    }
    return file->Commit(name);
  };
  std::shared_ptr<const Storing> result = job.result;
  if (worker_) {
    worker_->Post(id, std::move(work));
  } else {
    Settle(id, work());
  }
  return result;
}

void ReportStore::Collect() {
  if (!worker_) return;
  for (auto [id, ok] : worker_->TakeDone()) Settle(id, ok);
}

void ReportStore::Settle(uint64_t id, bool ok) {
  auto it = storing_.find(id);
  if (it == storing_.end()) return;
  Job& job = it->second;
  uint64_t length = job.upload->length_;
  job.result->status = ok ? 200 : 507;
  if (ok) {
    ++stored_;
    storedBytes_ += length;
    LogLine(opt_.quiet, "stored %s (%llu bytes) from %s", job.name.c_str(), static_cast<unsigned long long>(length),
            job.peerText.c_str());
  } else {
    LogLine(opt_.quiet, "%s from %s could not be stored", job.name.c_str(), job.peerText.c_str());
  }
  storing_.erase(it);  // gives back the upload's reservation
}

}  // namespace zandrel::store

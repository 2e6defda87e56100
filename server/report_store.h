// Where reports go: admission (per-address rate, free space, total size),
// bodies streamed to a temporary file while being hashed, and the rename
// that makes a report visible only once it is whole and its digest matches.
#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "http/md5.h"
#include "options.h"
#include "platform/store.h"

namespace zandrel::server {

class ReportStore {
 public:
  explicit ReportStore(const ServerOptions& opt);
  ReportStore(const ReportStore&) = delete;
  ReportStore& operator=(const ReportStore&) = delete;

  // Creates the directory, removes temporaries left by an earlier run and
  // counts what is stored.
  bool Open(std::string& error);

  struct Admission {
    int status = 200;  // 200, 429 (too many from this address) or 507 (no room)
    uint32_t retryAfter = 0;  // seconds, with 429
  };
  // Asked once a report's head is in; a 200 counts against the address.
  Admission Admit(uint32_t peer, uint64_t length, uint32_t nowMs);

  class Upload {
   public:
    ~Upload();
    Upload(const Upload&) = delete;
    Upload& operator=(const Upload&) = delete;
    // Hashes and writes the next piece; false if it could not be written.
    bool Write(const char* data, std::size_t len);
    uint64_t received() const { return received_; }
    // Once every byte is in: 200 when the digest matches flag and the report
    // is stored, 400 when it does not match, 507 when it could not be written.
    int Finish(const std::string& flag, const std::string& peerText);

   private:
    friend class ReportStore;
    Upload(ReportStore& store, uint64_t length) : store_(store), length_(length) {}
    ReportStore& store_;
    uint64_t length_, received_ = 0;
    http::Md5 md5_;
    platform::PendingFile file_;
  };
  // Starts a report admitted by Admit; null when no temporary file can be made.
  std::unique_ptr<Upload> Begin(uint64_t length);

  uint64_t stored() const { return stored_; }
  uint64_t stored_bytes() const { return storedBytes_; }

 private:
  struct Bucket {
    double tokens = 0;
    uint32_t at = 0;
    bool refusing = false;
  };
  int CheckRoom(uint64_t length);
  Admission CheckRate(uint32_t peer, uint32_t nowMs);

  const ServerOptions& opt_;
  std::map<uint32_t, Bucket> buckets_;
  uint64_t stored_ = 0, storedBytes_ = 0, reserved_ = 0, sequence_ = 0;
  bool refusingRoom_ = false;
};

}  // namespace zandrel::server

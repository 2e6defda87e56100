// What the receiver's routes talk to when a report arrives: admission, the
// body as it comes, and the answer once the report is stored. Two stores
// stand behind it: the embedded one (files, and the SQLite index where there
// is one) and the PostgreSQL store that several receivers share. Every call
// is made on the thread that owns the store; none waits for a disk or a
// database.
#pragma once
#include <cstdint>
#include <memory>
#include <string>

namespace zandrel::store {

class ReportStore;

struct Admission {
  // 200; 429 (too many from this address); 503 (the store is behind or
  // unreachable: try again soon); 507 (no room)
  int status = 200;
  uint32_t retryAfter = 0;  // seconds, with 429 and 503
};

// A whole report on its way into the store. status stays 0 until the store
// has settled it: 200 (stored for good, with its id), 503 (not stored, the
// store is unreachable: try again) or 507 (could not be stored).
struct Storing {
  int status = 0;
  std::string id;  // the report's id, as ReportIdText writes it
};

class ReportIntake {
 public:
  class Upload {
   public:
    virtual ~Upload() = default;
    // Takes the next piece; false when the store holds all it may.
    virtual bool Write(const char* data, std::size_t len) = 0;
    virtual uint64_t received() const = 0;
    // Every byte is in and their digest is flag (in either case). Asked once.
    virtual bool Matches(const std::string& flag) = 0;
  };

  virtual ~ReportIntake() = default;
  // Asked once a report's head is in.
  virtual Admission Admit(uint32_t peer, uint64_t length, uint32_t nowMs) = 0;
  // Starts a report admitted by Admit.
  virtual std::unique_ptr<Upload> Begin(uint32_t peer, uint64_t length) = 0;
  // Hands over a report from this store's Begin whose digest matched.
  virtual std::shared_ptr<const Storing> Store(std::unique_ptr<Upload> upload, const std::string& peerText) = 0;
  // Settles what the store has finished; once per pass of the loop.
  virtual void Collect() = 0;
  // Reports handed to Store and not yet settled.
  virtual std::size_t storing() const = 0;
  virtual uint64_t stored() const = 0;
};

// The embedded store behind the interface; the store outlives it.
std::unique_ptr<ReportIntake> EmbeddedIntake(ReportStore& store);

}  // namespace zandrel::store

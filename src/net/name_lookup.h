// Name lookups that never block the caller. A lookup of a name runs on a
// helper thread that shares its result with the NameLookup through jointly
// owned state, so dropping a NameLookup mid-lookup neither waits for the
// helper nor leaks it: the helper finishes alone and frees the state.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace zandrel::net {

class NameLookup {
 public:
  enum class Status { kIdle, kPending, kDone, kFailed };

  NameLookup() = default;
  ~NameLookup() = default;  // abandons an unfinished lookup
  NameLookup(const NameLookup&) = delete;
  NameLookup& operator=(const NameLookup&) = delete;

  // Starts looking up the IPv4 addresses of host, abandoning any earlier
  // lookup. A dotted-decimal address is answered at once, without a helper.
  void Start(const std::string& host);
  // The state now; never blocks.
  Status Poll();
  // Waits at most ms for a pending lookup to end; the state then.
  Status Wait(uint32_t ms);
  // Back to idle; an unfinished lookup is abandoned.
  void Reset();
  // The addresses in resolver order, once the status is kDone.
  const std::vector<uint32_t>& Addresses() const { return addrs_; }

 private:
  struct Shared;
  void Collect();

  Status status_ = Status::kIdle;
  std::vector<uint32_t> addrs_;
  std::shared_ptr<Shared> pending_;
};

// How many lookup helpers are running in this process (abandoned ones too).
int RunningLookupHelpers();

}  // namespace zandrel::net

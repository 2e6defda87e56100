// Name lookups that never block the caller. A NameLookup hands its names to
// one helper thread of its own, which it keeps for the next lookup (a client
// that tries a failing name again reuses it). The helper shares its results
// with the NameLookup through jointly owned state, so dropping a NameLookup
// mid-lookup neither waits for the helper nor leaks it: the helper finishes
// alone and frees the state. An idle helper also ends by itself after a
// while without work; the next lookup then starts a new one.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace zandrel::net {

class NameLookup {
 public:
  enum class Status { kIdle, kPending, kDone, kFailed };
  // How long a helper waits for its next name before it ends.
  static constexpr uint32_t kHelperIdleMs = 10000;

  NameLookup() = default;
  ~NameLookup();  // abandons an unfinished lookup and lets the helper go
  NameLookup(const NameLookup&) = delete;
  NameLookup& operator=(const NameLookup&) = delete;

  // Starts looking up the IPv4 addresses of host, abandoning any earlier
  // lookup. A dotted-decimal address is answered at once, without a helper.
  // An idle helper takes the name; one still busy with an abandoned lookup
  // is let go and a new one takes it.
  void Start(const std::string& host);
  // The state now; never blocks.
  Status Poll();
  // Waits at most ms for a pending lookup to end; the state then.
  Status Wait(uint32_t ms);
  // Back to idle; an unfinished lookup is abandoned. The helper is kept.
  void Reset();
  // The addresses in resolver order, once the status is kDone.
  const std::vector<uint32_t>& Addresses() const { return addrs_; }

 private:
  struct Helper;
  bool Hand(const std::string& host);
  void LetHelperGo();
  void Collect();

  Status status_ = Status::kIdle;
  std::vector<uint32_t> addrs_;
  std::shared_ptr<Helper> helper_;
  uint64_t job_ = 0;  // the helper's number for the pending lookup
};

// How many lookup helpers are running in this process (idle and abandoned
// ones too).
int RunningLookupHelpers();
// How many lookup helpers this process has started so far.
int StartedLookupHelpers();
// How many names this process has handed to lookup helpers so far.
int StartedLookups();

}  // namespace zandrel::net

// Reports per minute from one address: a token bucket per address, refilled
// at the rate, as deep as one minute's worth. Each admission leaves its time
// in a queue; a bucket whose last admission is older than a full refill is
// forgotten as its entry leaves the front: constant work per admission,
// however many addresses there are.
#pragma once
#include <cstdint>
#include <deque>
#include <unordered_map>

#include "server/store/report_intake.h"

namespace zandrel::store {

class AddressRate {
 public:
  AddressRate(uint32_t perMinute, bool quiet) : perMinute_(perMinute), quiet_(quiet) {}
  // 200, or 429 with the seconds until the address may send again.
  Admission Check(uint32_t peer, uint32_t nowMs);

 private:
  struct Bucket {
    double tokens = 0;
    uint32_t at = 0;
    bool refusing = false;
  };
  uint32_t perMinute_;
  bool quiet_;
  std::unordered_map<uint32_t, Bucket> buckets_;
  std::deque<std::pair<uint32_t, uint32_t>> touched_;  // (time, address) of each admission, oldest first
};

}  // namespace zandrel::store

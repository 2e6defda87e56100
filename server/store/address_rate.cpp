#include "server/store/address_rate.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "server/common/log.h"

namespace zandrel::store {
namespace {

using server::LogLine;

// A bucket untouched this long is whole again, whatever the rate.
constexpr uint32_t kBucketRefillMs = 60000;

std::string AddressText(uint32_t a) {
  return std::to_string(a >> 24) + "." + std::to_string((a >> 16) & 255) + "." + std::to_string((a >> 8) & 255) + "." +
         std::to_string(a & 255);
}

}  // namespace

Admission AddressRate::Check(uint32_t peer, uint32_t nowMs) {
  Admission a;
  if (perMinute_ == 0) return a;
  while (!touched_.empty() && nowMs - touched_.front().first >= kBucketRefillMs) {
    auto it = buckets_.find(touched_.front().second);
    if (it != buckets_.end() && it->second.at == touched_.front().first) buckets_.erase(it);
    touched_.pop_front();
  }
  const double capacity = perMinute_;
  const double perMs = capacity / 60000.0;
  auto [it, fresh] = buckets_.try_emplace(peer);
  Bucket& b = it->second;
  if (fresh) {
    b.tokens = capacity;
  } else {
    b.tokens = std::min(capacity, b.tokens + perMs * static_cast<uint32_t>(nowMs - b.at));
  }
  b.at = nowMs;
  touched_.emplace_back(nowMs, peer);
  if (b.tokens < 1.0) {
    a.status = 429;
    a.retryAfter = static_cast<uint32_t>(std::ceil((1.0 - b.tokens) / perMs / 1000.0));
    if (a.retryAfter == 0) a.retryAfter = 1;
    if (!b.refusing) {
      LogLine(quiet_, "refusing reports from %s with 429: more than %u a minute", AddressText(peer).c_str(),
              perMinute_);
    }
    b.refusing = true;
    return a;
  }
  b.tokens -= 1.0;
  b.refusing = false;
  return a;
}

}  // namespace zandrel::store

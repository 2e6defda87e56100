// Bounded waiting for something another thread or the kernel brings about.
#pragma once
#include <chrono>
#include <functional>
#include <thread>

namespace testsupport {

// Checks done() every millisecond until it holds or limitMs pass; returns
// its last answer.
inline bool WaitUntil(const std::function<bool()>& done, int limitMs = 5000) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= end) return done();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace testsupport

// Sliding-window byte counter of the download speed test.
#pragma once
#include <cstdint>
#include <deque>
#include <functional>

namespace zandrel {

class CSpeedMeter {
 public:
  struct Sample {
    uint32_t tick;
    int32_t bytes;
  };

  explicit CSpeedMeter(std::function<uint32_t()> tickCount) : tick_(std::move(tickCount)) {}

  // Records one chunk at the current millisecond tick.
  void AddBytes(int32_t count);
  // Drops the samples older than the window at tick now; one exactly
  // m_windowMs old stays.
  void Expire(uint32_t now);
  void Clear();

  int64_t m_totalBytes = 0;
  int32_t m_windowBytes = 0;
  uint32_t m_windowMs = 1000;
  std::deque<Sample> m_samples;

 private:
  std::function<uint32_t()> tick_;
};

}  // namespace zandrel

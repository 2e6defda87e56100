#include "checks/speed_meter.h"

namespace zandrel {
namespace {
// Window sums wrap rather than overflow.
int32_t Add(int32_t a, int32_t b) { return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b)); }
}  // namespace

void CSpeedMeter::AddBytes(int32_t count) {
  uint32_t now = tick_();
  Expire(now);
  m_samples.push_back({now, count});
  m_totalBytes += count;
  m_windowBytes = Add(m_windowBytes, count);
}

void CSpeedMeter::Expire(uint32_t now) {
  while (!m_samples.empty()) {
    const Sample& oldest = m_samples.front();
    if (now - oldest.tick <= m_windowMs) break;
    m_windowBytes = Add(m_windowBytes, -oldest.bytes);
    m_samples.pop_front();
  }
}

void CSpeedMeter::Clear() {
  m_totalBytes = 0;
  m_windowBytes = 0;
  m_samples.clear();
}

}  // namespace zandrel

// What the network checks need of the dialog that runs them.
#pragma once
#include <cstdint>
#include <string>

namespace zandrel {

// The calls come on the UI thread, or on the detection worker, which the
// dialog serves synchronously.
class ICheckHost {
 public:
  virtual ~ICheckHost() = default;
  virtual void LogProgress(std::string line) = 0;
  virtual void EnableStartButton(bool enable) = 0;
  virtual void EnableSendButton(bool enable) = 0;
  virtual void ArmTimer(int id, uint32_t periodMs) = 0;
  virtual void StopTimer(int id) = 0;
  virtual std::string ReadSpeedUrl() = 0;
  virtual void SetStatusText(const std::string& text) = 0;
  virtual void PauseMs(uint32_t ms) = 0;
  virtual uint32_t TickCount() = 0;
};

}  // namespace zandrel

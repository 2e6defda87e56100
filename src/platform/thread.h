// A joinable thread with a chosen stack size; joined on destruction.
#pragma once
#include <cstddef>
#include <functional>
#include <memory>

namespace zandrel::platform {

class Thread {
 public:
  Thread();
  ~Thread();
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  // False when the thread could not be created.
  bool Start(std::function<void()> body, std::size_t stackBytes);
  void Join();
  bool Joinable() const { return impl_ != nullptr; }

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace zandrel::platform

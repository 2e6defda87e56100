#include "platform/thread.h"

#include <windows.h>
#include <process.h>

namespace zandrel::platform {

struct Thread::Impl {
  HANDLE handle = nullptr;
  std::function<void()> body;
};

namespace {
unsigned __stdcall Trampoline(void* arg) {
  static_cast<std::function<void()>*>(arg)->operator()();
  return 0;
}
}  // namespace

Thread::Thread() = default;
Thread::~Thread() { Join(); }

bool Thread::Start(std::function<void()> body, std::size_t stackBytes) {
  if (impl_) return false;
  auto impl = std::make_unique<Impl>();
  impl->body = std::move(body);
  // The runtime library's thread start, so the C runtime is set up for it.
  uintptr_t h = _beginthreadex(nullptr, static_cast<unsigned>(stackBytes), Trampoline, &impl->body,
                               STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  if (h == 0) return false;
  impl->handle = reinterpret_cast<HANDLE>(h);
  impl_ = std::move(impl);
  return true;
}

void Thread::Join() {
  if (!impl_) return;
  WaitForSingleObject(impl_->handle, INFINITE);
  CloseHandle(impl_->handle);
  impl_.reset();
}

}  // namespace zandrel::platform

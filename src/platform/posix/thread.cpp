#include "platform/thread.h"

#include <pthread.h>

namespace zandrel::platform {

struct Thread::Impl {
  pthread_t handle{};
  std::function<void()> body;
};

namespace {
void* Trampoline(void* arg) {
  static_cast<std::function<void()>*>(arg)->operator()();
  return nullptr;
}
}  // namespace

Thread::Thread() = default;
Thread::~Thread() { Join(); }

bool Thread::Start(std::function<void()> body, std::size_t stackBytes) {
  if (impl_) return false;
  auto impl = std::make_unique<Impl>();
  impl->body = std::move(body);
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) return false;
  if (stackBytes) pthread_attr_setstacksize(&attr, stackBytes);
  int rc = pthread_create(&impl->handle, &attr, Trampoline, &impl->body);
  pthread_attr_destroy(&attr);
  if (rc != 0) return false;
  impl_ = std::move(impl);
  return true;
}

void Thread::Join() {
  if (!impl_) return;
  pthread_join(impl_->handle, nullptr);
  impl_.reset();
}

}  // namespace zandrel::platform

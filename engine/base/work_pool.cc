#include "base/work_pool.h"

#include <unistd.h>

#include <algorithm>
#include <new>
#include <thread>

#include "base/port.h"

namespace pallix {

WorkPool::WorkPool(size_t helpers) : helpers_(helpers), pid_(static_cast<int>(getpid())) {}

WorkPool& WorkPool::Shared() {
  // Never destroyed: a helper may still be waiting for jobs when the
  // process exits, and destroying the pool under it then would be a race.
  // It lives in static storage, not on the heap, so it is no leak either.
  alignas(WorkPool) static unsigned char storage[sizeof(WorkPool)];
  static WorkPool* const pool = [] {
    const size_t hardware = std::thread::hardware_concurrency();
    return new (storage) WorkPool(std::min(hardware > 1 ? hardware - 1 : 0, kMaxHelpers));
  }();
  return *pool;
}

size_t WorkPool::helpers() const { return static_cast<int>(getpid()) == pid_ ? helpers_ : 0; }

void WorkPool::Post(std::function<void()> job) {
  if (helpers() == 0) return;
  std::lock_guard lock(mu_);
  if (!started_) {
    // Started on first use, so that a process that never walks a large
    // collection never has them.
    for (size_t i = 0; i < helpers_; ++i) std::thread([this] { Run(); }).detach();
    started_ = true;
  }
  jobs_.push_back(std::move(job));
  ready_.notify_one();
}

void WorkPool::Run() {
  port::SetCurrentThreadName("pallix-helper");
  for (;;) {
    std::function<void()> job;
    {
      std::unique_lock lock(mu_);
      ready_.wait(lock, [&] { return !jobs_.empty(); });
      job = std::move(jobs_.front());
      jobs_.pop_front();
    }
    job();
  }
}

}  // namespace pallix

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

size_t WorkPool::FairShare(size_t helpers, size_t sharers) {
  return sharers == 0 ? helpers : (helpers + sharers - 1) / sharers;
}

WorkPool::Sharer::Sharer(WorkPool& pool)
    : pool_(pool), helpers_(FairShare(pool.helpers(), pool.sharers_.fetch_add(1, std::memory_order_relaxed) + 1)) {}

WorkPool::Sharer::~Sharer() { pool_.sharers_.fetch_sub(1, std::memory_order_relaxed); }

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

// One ForEach: the next index to take, and how many calls are running.
// Jobs hold it, and one may start after ForEach has returned: it then
// finds every index taken and calls nothing.
struct WorkPool::Range {
  std::mutex mu;
  std::condition_variable idle;
  const std::function<void(size_t)>* fn;
  size_t n;
  size_t next = 0;  // guarded by mu, as the rest below
  size_t busy = 0;
  std::exception_ptr thrown;
};

PALLIX_CATCHES_FORCED_UNWIND void WorkPool::WorkRange(Range& range) {
  for (;;) {
    size_t i;
    {
      std::lock_guard lock(range.mu);
      if (range.next >= range.n) return;
      i = range.next++;
      ++range.busy;
    }
    std::exception_ptr thrown;
    try {
      (*range.fn)(i);
    } catch (abi::__forced_unwind&) {
      // Only the caller's own thread can be ended so; it still waits for
      // the calls the helpers run on its frame before it goes.
      std::unique_lock lock(range.mu);
      range.next = range.n;
      --range.busy;
      range.idle.wait(lock, [&] { return range.busy == 0; });
      throw;
    } catch (...) {
      thrown = std::current_exception();
    }
    std::lock_guard lock(range.mu);
    if (thrown && !range.thrown) range.thrown = thrown;
    if (--range.busy == 0) range.idle.notify_all();
  }
}

void WorkPool::ForEach(size_t n, const std::function<void(size_t)>& fn) {
  auto range = std::make_shared<Range>();
  range->fn = &fn;
  range->n = n;
  const Sharer sharer(*this);
  const size_t jobs = std::min(sharer.helpers(), n > 0 ? n - 1 : 0);
  for (size_t j = 0; j < jobs; ++j) Post([range] { WorkRange(*range); });
  WorkRange(*range);
  std::unique_lock lock(range->mu);
  range->idle.wait(lock, [&] { return range->busy == 0; });
  if (range->thrown) std::rethrow_exception(range->thrown);
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

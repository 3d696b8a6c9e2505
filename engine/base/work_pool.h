// A few helper threads that a read shares its work with: a query walking a
// whole collection tests and scores its rows on them while it goes on
// reading the store. Used by the query layer's exact route.
//
// A job posted here may start late (the helpers are busy with other
// callers' jobs), so a caller never waits for a job to start: it works
// through what is left itself, and waits only for the work a started job
// has taken, which runs on to its end without taking any lock or waiting
// for anything. Such a wait can be part of no cycle of waits. A job that
// starts after its caller is done must find nothing left to take.
//
// Thread-safety: every member may be called from any thread.

#ifndef PALLIX_BASE_WORK_POOL_H_
#define PALLIX_BASE_WORK_POOL_H_

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>

namespace pallix {

class WorkPool {
 public:
  // The process's pool: one helper per hardware thread beyond the first,
  // at most kMaxHelpers, started on first use and kept for the life of the
  // process (they wait, idle, for jobs).
  static WorkPool& Shared();

  // How many helpers may run jobs: 0 in a process forked from the one that
  // made the pool (its helpers were not copied), where callers do all the
  // work themselves.
  size_t helpers() const;

  // Runs job once on a helper, when one is free. Does nothing when
  // helpers() is 0.
  void Post(std::function<void()> job);

  static constexpr size_t kMaxHelpers = 3;

 private:
  explicit WorkPool(size_t helpers);
  void Run();

  const size_t helpers_;
  const int pid_;  // the process that made the pool
  std::mutex mu_;
  std::condition_variable ready_;
  std::deque<std::function<void()>> jobs_;  // guarded by mu_
  bool started_ = false;                    // guarded by mu_
};

}  // namespace pallix

#endif  // PALLIX_BASE_WORK_POOL_H_

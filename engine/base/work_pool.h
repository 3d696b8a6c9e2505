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
#include <exception>
#include <functional>
#include <memory>
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

  // Calls fn(i) once for each i in [0, n), on the calling thread and on
  // the helpers that start in time (so on several threads at once), and
  // returns once every call has returned. Should calls throw, one of their
  // exceptions is thrown here, after every call has returned. fn must
  // take no lock and wait for nothing (see above).
  void ForEach(size_t n, const std::function<void(size_t)>& fn);

  static constexpr size_t kMaxHelpers = 5;

 private:
  struct Range;  // what ForEach's callers share

  explicit WorkPool(size_t helpers);
  void Run();
  static void WorkRange(Range& range);

  const size_t helpers_;
  const int pid_;  // the process that made the pool
  std::mutex mu_;
  std::condition_variable ready_;
  std::deque<std::function<void()>> jobs_;  // guarded by mu_
  bool started_ = false;                    // guarded by mu_
};

}  // namespace pallix

#endif  // PALLIX_BASE_WORK_POOL_H_

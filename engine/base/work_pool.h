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
// Callers at work at once split the helpers between them (Sharer): each
// asks for its fair share, not for every helper. Asking for all of them
// gains a caller little while others hold them (its jobs queue behind
// theirs, and start once the helpers are done with those), and each lane
// a walk adds costs it CPU time (the lane's setup, and a cost per row that
// grows with the lanes walking at once), so walks on fewer lanes each
// keep every helper busy on less CPU per walk.
//
// Thread-safety: every member may be called from any thread.

#ifndef PALLIX_BASE_WORK_POOL_H_
#define PALLIX_BASE_WORK_POOL_H_

#include <atomic>
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

  // Counts its caller among the pool's sharers (callers sharing work with
  // it: ForEach, a shared walk) while it lives; helpers() is what the
  // caller should ask for, its FairShare among the sharers counted when it
  // began. A count only: it takes no lock and waits for nothing.
  class Sharer {
   public:
    explicit Sharer(WorkPool& pool);
    ~Sharer();
    Sharer(const Sharer&) = delete;
    Sharer& operator=(const Sharer&) = delete;

    size_t helpers() const { return helpers_; }

   private:
    WorkPool& pool_;
    size_t helpers_;
  };

  // The helpers each of `sharers` callers at work at once asks for: an even
  // split of `helpers`, rounded up so that none is left without a job.
  static size_t FairShare(size_t helpers, size_t sharers);

  // The callers counted by a Sharer now.
  size_t sharers() const { return sharers_.load(std::memory_order_relaxed); }

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
  std::atomic<size_t> sharers_{0};
};

}  // namespace pallix

#endif  // PALLIX_BASE_WORK_POOL_H_

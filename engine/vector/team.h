// Team: a small pool of worker threads that lives for one call.
//
// Product-quantization training (vector/pq.h) forms a team, runs every
// k-means iteration of every subspace with it, and shuts it down before
// returning; besides it only the dump writer starts a thread (one, joined
// before the dump returns, that writes the file). The team's one
// service is a parallel map over the item indexes 0 .. n-1: the range is cut
// into workers + 1 contiguous chunks of equal size, the calling thread
// computes chunk 0 and worker i computes chunk i + 1, and the results come
// back in item order, identical to a sequential map.
//
// Workers are POSIX threads named "pallix-team-<i>" with a 2 MiB stack.
// Between jobs they spin briefly (the k-means assignment jobs are many and
// short) and then sleep on a condition variable in 50 ms slices, so a missed
// notification costs at most one slice, never a hang.
//
// Failures: an exception thrown by the mapped function (in the engine only
// InvariantError) on any member is carried back and rethrown from Map on the
// calling thread after every member has finished the job; the team stays
// usable. A worker thread that fails outside a job makes Join throw
// InvariantError. A thread ended by an unwind (pthread_exit, cancellation:
// abi::__forced_unwind) is never stopped by the team: a worker counts as
// failed and lets it go on; the calling thread first waits for the workers
// still running chunks that point into its frame.
//
// Thread-safety: a Team is driven by the one thread that formed it; only
// that thread may call Map, Join or destroy it. The mapped function runs on
// several threads at once and must only read shared data.

#ifndef PALLIX_VECTOR_TEAM_H_
#define PALLIX_VECTOR_TEAM_H_

#include <pthread.h>

#include <algorithm>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

#include "base/lock.h"

namespace pallix {

// The most members a team ever has in the engine (7 workers + the caller).
inline constexpr size_t kMaxTeamSize = 8;

// Number of online processors, or 0 when the system cannot tell.
size_t OnlineProcessors();

// The smallest map worth dispatching to w workers: max(32 * w + 32, 256).
// Smaller maps run on the calling thread alone.
inline size_t TeamMinItems(size_t workers) { return std::max<size_t>(32 * workers + 32, 256); }

struct TeamShared;  // vector/team.cc

// The result slots of one map: one optional result per item, each filled
// exactly once by the chunk that owns its index.
template <typename R>
class TeamSlots {
 public:
  explicit TeamSlots(size_t n) : slots_(n) {}

  // Stores the results of items [lo, lo + values.size()).
  void Fill(size_t lo, std::vector<R>& values) {
    std::lock_guard<std::mutex> lock(mu_);
    for (size_t i = 0; i < values.size(); ++i) slots_[lo + i] = std::move(values[i]);
  }

  // Takes every result out in item order. Throws InvariantError when a slot
  // was left empty (a chunk that never ran).
  std::vector<R> Take() {
    std::lock_guard<std::mutex> lock(mu_);
    std::vector<R> out;
    out.reserve(slots_.size());
    for (auto& slot : slots_) {
      PALLIX_INVARIANT(slot.has_value(), "every slot filled by its chunk");
      out.push_back(std::move(*slot));
    }
    return out;
  }

 private:
  std::mutex mu_;
  std::vector<std::optional<R>> slots_;
};

// Computes f(j) for j = lo .. hi-1 in order and stores the results into
// their slots. The results are gathered first and stored under the slots'
// lock once per chunk rather than once per item, so members do not contend
// on the lock item by item.
template <typename F, typename R>
void team_map_chunk(F& f, size_t lo, size_t hi, TeamSlots<R>& slots) {
  std::vector<R> values;
  values.reserve(hi - lo);
  for (size_t j = lo; j < hi; ++j) values.push_back(f(j));
  slots.Fill(lo, values);
}

class Team {
 public:
  // Forms a team of `size` members: size - 1 worker threads plus the calling
  // thread (size 0 counts as 1). Returns once every worker has started. When
  // the system refuses a thread the team keeps the workers it has: a map's
  // results do not depend on the number of workers.
  explicit Team(size_t size);
  // Shuts the team down and joins every worker (see Join).
  ~Team();
  Team(const Team&) = delete;
  Team& operator=(const Team&) = delete;

  // Worker threads (not counting the caller).
  size_t workers() const { return workers_; }
  // Maps smaller than this run on the calling thread alone.
  size_t min_items() const { return TeamMinItems(workers_); }

  // Returns f(0), ..., f(n-1) in item order. Runs on the calling thread
  // alone when the team has no workers or n < max(workers + 1, min_items());
  // otherwise chunk 0 runs here and chunk i + 1 on worker i. Rethrows the
  // first failure of any chunk once all chunks are done.
  template <typename F>
  auto Map(size_t n, F&& f) -> std::vector<std::invoke_result_t<F&, size_t>> {
    using R = std::invoke_result_t<F&, size_t>;
    if (workers_ == 0 || n < std::max(workers_ + 1, min_items())) {
      std::vector<R> out;
      out.reserve(n);
      for (size_t j = 0; j < n; ++j) out.push_back(f(j));
      return out;
    }
    TeamSlots<R> slots(n);
    Dispatch(n, [&f, &slots](size_t lo, size_t hi) { team_map_chunk(f, lo, hi, slots); });
    return slots.Take();
  }

  // Shuts the team down and joins every worker; idempotent. Throws
  // InvariantError when a worker thread failed outside a job.
  void Join();

 private:
  using Job = std::function<void(size_t, size_t)>;
  // Publishes job over [0, n) in workers + 1 chunks, runs chunk 0, waits for
  // the workers and rethrows the first failure.
  void Dispatch(size_t n, Job job);
  // Waits for every worker to finish the current job, then empties the
  // job slot.
  void FinishJob();
  void WaitForWorkers();
  void Shutdown();

  std::shared_ptr<TeamShared> shared_;
  std::vector<pthread_t> threads_;
  size_t workers_ = 0;
  bool joined_ = false;
};

// Forms a team of `size` members, runs body(team) on the calling thread and
// shuts the team down, joining every worker, before returning the body's
// result. The team is shut down and joined on the way out of an exception
// too; the exception then propagates.
template <typename Body>
auto team_run(size_t size, Body&& body) -> std::invoke_result_t<Body&, Team&> {
  Team team(size);
  if constexpr (std::is_void_v<std::invoke_result_t<Body&, Team&>>) {
    body(team);
    team.Join();
  } else {
    auto result = body(team);
    team.Join();
    return result;
  }
}

// The body of worker thread i: waits for jobs and runs chunk i + 1 of each
// until the team shuts down.
void team_worker_loop(const std::shared_ptr<TeamShared>& shared, size_t i);

}  // namespace pallix

#endif  // PALLIX_VECTOR_TEAM_H_

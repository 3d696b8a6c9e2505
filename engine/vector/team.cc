#include "vector/team.h"

#include <limits.h>
#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <string>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

#include "base/port.h"

namespace pallix {
namespace {

constexpr size_t kWorkerStackBytes = size_t{2} << 20;
constexpr size_t kMinStackBytes = size_t{16} << 10;
// Generation checks a worker makes before it sleeps, and done checks the
// caller makes before it sleeps. k-means publishes many short jobs back to
// back; spinning this long bridges the gap between them without a sleep.
constexpr int kWorkerSpins = 30000;
constexpr int kCallerSpins = 200000;
constexpr auto kWaitSlice = std::chrono::milliseconds(50);

inline void SpinHint() {
#if defined(__x86_64__) || defined(__i386__)
  _mm_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

}  // namespace

// State shared by the caller and every worker. The job slot holds a job only
// while it runs; an empty slot seen after a generation change means
// shutdown.
struct TeamShared {
  std::mutex job_mu;
  std::shared_ptr<const std::function<void(size_t, size_t)>> job;  // guarded by job_mu
  size_t items = 0;                                                 // guarded by job_mu
  size_t chunks = 0;                                                // guarded by job_mu

  std::mutex wake_mu;
  std::condition_variable wake_cv;
  std::mutex done_mu;
  std::condition_variable done_cv;

  std::atomic<uint64_t> generation{0};
  std::atomic<uint64_t> done{0};
  std::atomic<uint64_t> alive{0};
  // Workers whose thread failed outside a job; they never finish a job
  // again, so the caller stops waiting for them.
  std::atomic<uint64_t> dead{0};
  std::atomic<bool> waiting{false};
  std::atomic<bool> failed{false};

  std::mutex payload_mu;
  std::exception_ptr payload;  // guarded by payload_mu: the first failure
};

namespace {

struct WorkerStart {
  std::shared_ptr<TeamShared> shared;
  size_t index;
};

void MarkDead(TeamShared& s) {
  s.dead.fetch_add(1, std::memory_order_acq_rel);
  std::lock_guard<std::mutex> lock(s.done_mu);
  s.done_cv.notify_all();
}

PALLIX_CATCHES_FORCED_UNWIND void* WorkerMain(void* arg) {
  std::unique_ptr<WorkerStart> start(static_cast<WorkerStart*>(arg));
  std::string name = "pallix-team-" + std::to_string(start->index);
  port::SetCurrentThreadName(name);
  try {
    team_worker_loop(start->shared, start->index);
  } catch (abi::__forced_unwind&) {
    // The thread is being ended (pthread_exit or cancellation): the unwind
    // must go on, but the caller must not wait for this worker either.
    MarkDead(*start->shared);
    throw;
  } catch (...) {
    // Nothing outside a job is expected to throw; if something does, the
    // caller must not wait for this worker forever, and Join reports it.
    MarkDead(*start->shared);
  }
  return nullptr;
}

// Blocks until the generation differs from `seen`: spins first, then sleeps
// on the wake condition in 50 ms slices. The publisher raises the generation
// under wake_mu, and the check below is made under wake_mu, so a broadcast
// cannot fall between the check and the wait; the timeout is a second guard.
void AwaitGeneration(TeamShared& s, uint64_t seen) {
  for (int i = 0; i < kWorkerSpins; ++i) {
    if (s.generation.load(std::memory_order_acquire) != seen) return;
    SpinHint();
  }
  std::unique_lock<std::mutex> lock(s.wake_mu);
  while (s.generation.load(std::memory_order_acquire) == seen) s.wake_cv.wait_for(lock, kWaitSlice);
}

void RecordFailure(TeamShared& s) {
  s.failed.store(true, std::memory_order_release);
  std::lock_guard<std::mutex> lock(s.payload_mu);
  if (!s.payload) s.payload = std::current_exception();
}

}  // namespace

size_t OnlineProcessors() {
  long n = sysconf(_SC_NPROCESSORS_ONLN);
  return n > 0 ? static_cast<size_t>(n) : 0;
}

PALLIX_CATCHES_FORCED_UNWIND void team_worker_loop(const std::shared_ptr<TeamShared>& shared, size_t i) {
  TeamShared& s = *shared;
  // The generation is read before this worker counts itself alive: the
  // caller publishes the first job as soon as every worker is alive, and a
  // worker that read the generation after that publication would wait for
  // the next one and never run its chunk, leaving the caller waiting.
  uint64_t seen = s.generation.load(std::memory_order_acquire);
  s.alive.fetch_add(1, std::memory_order_release);
  for (;;) {
    AwaitGeneration(s, seen);
    seen = s.generation.load(std::memory_order_acquire);
    std::shared_ptr<const std::function<void(size_t, size_t)>> job;
    size_t items, chunks;
    {
      std::lock_guard<std::mutex> lock(s.job_mu);
      if (!s.job) return;  // shutdown
      job = s.job;
      items = s.items;
      chunks = s.chunks;
    }
    size_t c = items / chunks + (items % chunks != 0);
    size_t lo = (i + 1) * c;
    size_t hi = std::min(items, lo + c);
    if (lo < hi) {
      try {
        (*job)(lo, hi);
      } catch (abi::__forced_unwind&) {
        throw;  // the thread is being ended; WorkerMain reports it dead
      } catch (...) {
        RecordFailure(s);
      }
    }
    job.reset();
    // An empty chunk still counts as done: the caller waits for every worker.
    uint64_t finished = s.done.fetch_add(1, std::memory_order_acq_rel) + 1;
    if (s.waiting.load(std::memory_order_acquire) || finished == chunks - 1) {
      std::lock_guard<std::mutex> lock(s.done_mu);
      s.done_cv.notify_all();
    }
  }
}

Team::Team(size_t size) : shared_(std::make_shared<TeamShared>()) {
  size_t wanted = size > 0 ? size - 1 : 0;
  pthread_attr_t attr;
  bool have_attr = pthread_attr_init(&attr) == 0;
  if (have_attr) pthread_attr_setstacksize(&attr, std::max({kWorkerStackBytes, kMinStackBytes, static_cast<size_t>(PTHREAD_STACK_MIN)}));
  threads_.reserve(wanted);
  for (size_t i = 0; i < wanted; ++i) {
    auto start = std::make_unique<WorkerStart>(WorkerStart{shared_, i});
    pthread_t thread;
    if (pthread_create(&thread, have_attr ? &attr : nullptr, WorkerMain, start.get()) != 0) break;
    start.release();  // owned by the thread now
    threads_.push_back(thread);
  }
  if (have_attr) pthread_attr_destroy(&attr);
  workers_ = threads_.size();
  while (shared_->alive.load(std::memory_order_acquire) < workers_) sched_yield();
}

Team::~Team() {
  if (!joined_) Shutdown();
}

void Team::Shutdown() {
  joined_ = true;
  {
    std::lock_guard<std::mutex> lock(shared_->job_mu);
    shared_->job.reset();
  }
  {
    std::lock_guard<std::mutex> lock(shared_->wake_mu);
    shared_->generation.fetch_add(1, std::memory_order_acq_rel);
    shared_->wake_cv.notify_all();
  }
  for (pthread_t thread : threads_) pthread_join(thread, nullptr);
}

void Team::Join() {
  if (joined_) return;
  Shutdown();
  PALLIX_INVARIANT(shared_->dead.load(std::memory_order_acquire) == 0, "pallix team: a worker thread failed");
}

PALLIX_CATCHES_FORCED_UNWIND void Team::Dispatch(size_t n, Job job) {
  TeamShared& s = *shared_;
  auto shared_job = std::make_shared<const Job>(std::move(job));
  s.done.store(0, std::memory_order_release);
  s.failed.store(false, std::memory_order_release);
  {
    // A payload left over from a job whose caller chunk failed as well.
    std::lock_guard<std::mutex> lock(s.payload_mu);
    s.payload = nullptr;
  }
  {
    std::lock_guard<std::mutex> lock(s.job_mu);
    s.job = shared_job;
    s.items = n;
    s.chunks = workers_ + 1;
  }
  {
    std::lock_guard<std::mutex> lock(s.wake_mu);
    s.generation.fetch_add(1, std::memory_order_acq_rel);
    s.wake_cv.notify_all();
  }
  // Chunk 0 on this thread. Even when it fails, the workers still hold
  // references into this call's frame, so they are waited for first.
  std::exception_ptr own_failure;
  size_t c = n / (workers_ + 1) + (n % (workers_ + 1) != 0);
  try {
    (*shared_job)(0, std::min(n, c));
  } catch (abi::__forced_unwind&) {
    // This thread is being ended: the unwind goes on, but only once no
    // worker can still reach into this frame.
    FinishJob();
    throw;
  } catch (...) {
    own_failure = std::current_exception();
  }
  FinishJob();
  if (own_failure) std::rethrow_exception(own_failure);
  if (s.failed.load(std::memory_order_acquire)) {
    std::exception_ptr payload;
    {
      std::lock_guard<std::mutex> lock(s.payload_mu);
      payload = std::exchange(s.payload, nullptr);
    }
    if (payload) std::rethrow_exception(payload);
    throw InvariantError("pallix team: a dispatched job panicked without a payload");
  }
}

void Team::FinishJob() {
  WaitForWorkers();
  std::lock_guard<std::mutex> lock(shared_->job_mu);
  shared_->job.reset();
}

void Team::WaitForWorkers() {
  TeamShared& s = *shared_;
  auto finished = [&] {
    return s.done.load(std::memory_order_acquire) + s.dead.load(std::memory_order_acquire) >= workers_;
  };
  for (int i = 0; i < kCallerSpins; ++i) {
    if (finished()) return;
    SpinHint();
  }
  // The last worker to finish always broadcasts under done_mu, and every
  // worker does once waiting is set, so checking under done_mu cannot miss
  // the final broadcast; the timed wait is a second guard.
  s.waiting.store(true, std::memory_order_release);
  {
    std::unique_lock<std::mutex> lock(s.done_mu);
    while (!finished()) s.done_cv.wait_for(lock, kWaitSlice);
  }
  s.waiting.store(false, std::memory_order_release);
}

}  // namespace pallix

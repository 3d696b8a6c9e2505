// The handle locks of Db, Collection and Query ("db lock", "collection
// lock", "query lock") and the shared live-handle count.
//
// A handle lock is a plain mutex that also records its owner thread:
//   - a call from the thread that already holds it (a scan_each or update
//     callback calling back into its own handle, even through len()) fails
//     at once with PallixError code 12 instead of waiting forever;
//   - a call from another thread first tries the lock and, only when it is
//     held, waits for it with the interpreter lock released, so the holder
//     (whose callback needs the interpreter lock) can finish;
//   - a call from a thread that holds the store's writer turn (inside an
//     update callback) fails with PallixError code 12 ("<name> is held by
//     a thread waiting for this thread's write") once the holder waits for
//     that turn, instead of both waiting forever (storage/store.h);
//   - a holder stopped by a C++ exception (a broken invariant) poisons the
//     lock; every later acquisition raises the panic exception naming it.
//     A thread ended at interpreter exit (the unwind described in error.h)
//     releases the lock it holds or waits for, without poisoning it.
//
// Also here: WithoutGil, which runs engine work with the interpreter lock
// released while the handle lock stays held, and the store's wait hooks.
//
// Thread-safety: Acquire and Release are called with the interpreter lock
// held; the state they guard is only touched while the lock is held.

#ifndef PALLIX_BINDING_HANDLE_H_
#define PALLIX_BINDING_HANDLE_H_

#include <atomic>
#include <cstddef>
#include <exception>
#include <mutex>
#include <optional>
#include <thread>
#include <type_traits>
#include <utility>

#include "base/port.h"
#include "binding/py.h"

namespace pallix::py {

// One per opened database, shared by the Db and every derived handle.
// Starts at 1 (the Db); +1 per Collection and Query; -1 when one of them is
// closed, executed (a Query) or collected. Db.compact() needs exactly 1.
struct LiveHandleCount {
  std::atomic<size_t> value{1};
};

class HandleLock {
 public:
  // `name` is the lock's name ("collection lock"); `busy` the message of a
  // re-entrant call (code 12).
  HandleLock(const char* name, const char* busy) noexcept : name_(name), busy_(busy) {}
  HandleLock(const HandleLock&) = delete;
  HandleLock& operator=(const HandleLock&) = delete;

  // Takes the lock. False with a Python exception set: PallixError code 12
  // for a re-entrant call, the panic exception when the lock is poisoned.
  bool Acquire();
  void Release();
  void Poison() { poisoned_.store(true, std::memory_order_release); }
  bool poisoned() const { return poisoned_.load(std::memory_order_acquire); }
  // For members that never take the lock (__repr__): raises the panic and
  // returns false when the lock is poisoned.
  bool CheckNotPoisoned() const;
  const char* name() const { return name_; }

 private:
  std::timed_mutex mu_;
  std::atomic<std::thread::id> owner_{};
  std::atomic<bool> poisoned_{false};
  const char* name_;
  const char* busy_;
};

// Holds a HandleLock for a scope; a C++ exception leaving the scope
// poisons it. Test with operator bool after construction.
class HandleGuard {
 public:
  explicit HandleGuard(HandleLock& lock) : lock_(lock), held_(lock.Acquire()), exceptions_(std::uncaught_exceptions()) {}
  ~HandleGuard() {
    if (!held_) return;
    if (std::uncaught_exceptions() > exceptions_) lock_.Poison();
    lock_.Release();
  }
  HandleGuard(const HandleGuard&) = delete;
  HandleGuard& operator=(const HandleGuard&) = delete;

  explicit operator bool() const { return held_; }

 private:
  HandleLock& lock_;
  bool held_;
  int exceptions_;
};

// Runs body() holding `lock` and returns its result, the lock released
// again; nullopt when the lock could not be taken (a Python error is set).
template <class F>
auto UnderLock(HandleLock& lock, F&& body) -> std::optional<decltype(body())> {
  HandleGuard guard(lock);
  if (!guard) return std::nullopt;
  return body();
}

// Installs the store's blocking-wait hooks, so that a thread waiting for
// the single writer releases the interpreter lock meanwhile (unless
// WithoutGil already has).
void InstallWaitHooks();

// True on a thread inside WithoutGil's fn (outside any WithGil inside it).
inline thread_local bool t_without_gil = false;
// The thread state WithoutGil gave up, for WithGil to take back.
inline thread_local PyThreadState* t_released_state = nullptr;

// Runs fn() between leave() and enter(), which switch the interpreter lock
// and this thread's flags: an exception from fn is held until enter() has
// run and then passed on (a forced unwind, which ends the thread, goes
// straight through).
template <class F, class Leave, class Enter>
PALLIX_CATCHES_FORCED_UNWIND auto SwitchedAround(F&& fn, Leave leave, Enter enter) -> decltype(fn()) {
  using R = decltype(fn());
  static_assert(!std::is_void_v<R>);
  std::optional<R> result;
  std::exception_ptr failure;
  leave();
  try {
    result.emplace(fn());
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
    failure = std::current_exception();
  }
  enter();
  if (failure) std::rethrow_exception(failure);
  return std::move(*result);
}

// Runs fn() with the interpreter lock released and returns its result, so
// that other Python threads run meanwhile. For engine work that touches no
// Python object: the writes (whose commit waits for the disk) and long
// reads whose rows are converted afterwards. A method calls it under its
// handle lock: the handle stays held throughout, so another thread using
// it waits, and nothing a single thread sees changes. The calling frames
// should own no Python reference (a Ref) that nothing else holds: when the
// interpreter is exiting, taking its lock back ends the thread by an
// unwind (error.h), which would drop that reference without the lock. An
// exception from fn is passed on with the interpreter lock taken back.
// The lock is taken back in enter() rather than in a destructor: at
// interpreter exit that call ends the thread by an unwind, which must not
// start inside a noexcept destructor.
template <class F>
auto WithoutGil(F&& fn) -> decltype(fn()) {
  PyThreadState* state = nullptr;
  return SwitchedAround(
      std::forward<F>(fn),
      [&] {
        state = PyEval_SaveThread();
        t_released_state = state;
        t_without_gil = true;
      },
      [&] {
        t_without_gil = false;
        PyEval_RestoreThread(state);
      });
}

// Runs fn() holding the interpreter lock: inside WithoutGil's fn (an
// engine call that calls back into Python, such as update's callback) the
// lock is taken back for fn and given up again afterwards; elsewhere fn()
// just runs. fn must leave no Python reference behind in the calling
// frames, as for WithoutGil. An exception from fn is passed on with the
// interpreter lock given up again.
template <class F>
auto WithGil(F&& fn) -> decltype(fn()) {
  if (!t_without_gil) return fn();
  return SwitchedAround(
      std::forward<F>(fn),
      [] {
        t_without_gil = false;
        PyEval_RestoreThread(t_released_state);
      },
      [] {
        t_released_state = PyEval_SaveThread();
        t_without_gil = true;
      });
}

// The interpreter lock given up partway through a call: Around(fn) runs
// fn() holding it; fn calls Release() once what is left of its work
// touches no Python object (a write about to commit) and may wait for the
// disk; the lock is taken back when fn returns or throws, as in
// WithoutGil. A call that runs a Python callback before such a write
// switches the lock once this way, where WithoutGil around the whole call
// and WithGil around the callback would switch it twice.
class GilReleasedLater {
 public:
  template <class F>
  auto Around(F&& fn) -> decltype(fn()) {
    return SwitchedAround(std::forward<F>(fn), [] {}, [this] { Enter(); });
  }
  // At most once; only with the interpreter lock held and outside
  // WithoutGil.
  void Release() {
    if (state_ != nullptr) return;
    state_ = PyEval_SaveThread();
    t_released_state = state_;
    t_without_gil = true;
  }

 private:
  void Enter() {
    if (state_ == nullptr) return;
    t_without_gil = false;
    PyEval_RestoreThread(std::exchange(state_, nullptr));
  }
  PyThreadState* state_ = nullptr;
};

// WithoutGil(fn) when `release`, else fn() with the interpreter lock kept.
// Giving the lock up is worth it only for long work: taking it back waits
// behind any thread busy in Python until that thread's switch interval
// (5 ms by default) runs out, so a short call repeated in a loop beside
// such a thread would be slowed to a few hundred calls a second.
template <class F>
auto MaybeWithoutGil(bool release, F&& fn) -> decltype(fn()) {
  if (!release) return fn();
  return WithoutGil(std::forward<F>(fn));
}

}  // namespace pallix::py

#endif  // PALLIX_BINDING_HANDLE_H_

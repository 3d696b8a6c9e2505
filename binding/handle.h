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
//   - a wait that would close a cycle of waits (the holder waits, maybe
//     through other threads, for a writer turn or lock this thread holds:
//     inside an update callback) fails with PallixError code 12 ("<name>
//     is held by a thread waiting for this thread's write") instead of
//     both waiting forever (storage/store.h);
//   - a holder stopped by a C++ exception (a broken invariant) poisons the
//     lock; every later acquisition raises the panic exception naming it.
//     A thread ended at interpreter exit (the unwind described in error.h)
//     releases the lock it holds or waits for, without poisoning it.
//
// No write waits for a writer turn while it holds a handle lock: an update
// callback holds its store's turn and may wait for any handle lock, so a
// writer that held one while it waited for that turn would make the
// callback's call fail under plain contention. Of the two ways out (take
// the turn before the handle lock, or let go of the handle lock while
// waiting for the turn) writes take the second, which keeps the order in
// which engine calls take "index resume lock" and the turn: a write lets
// go of its handle lock when it has to wait (for the turn, or for "index
// resume lock") and goes on without it (LetGoWhileWaiting), and so does a
// read that resumes a pending index build, whose batches are writes
// (delete_where, the geo and phrase searches); update, which
// must hold its lock while its callback runs, lets go of it while it waits
// for the turn and takes it back before the callback (TakeTurnKeepingLock).
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
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>

#include "base/port.h"
#include "binding/error.h"
#include "binding/py.h"
#include "storage/store.h"

namespace pallix {
class Engine;
}  // namespace pallix

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
  // Takes the lock back after this thread let go of it, waiting without
  // the interpreter lock (which it holds when called). With may_give_way
  // the wait is one that gives way (storage/store.h): kGaveWay, without
  // the lock, once its holder waits through other threads for this one.
  // Throws InvariantError(name) when the lock is poisoned.
  Store::LockWait Retake(bool may_give_way);
  // Whether this thread holds the lock.
  bool HeldHere() const { return owner_.load(std::memory_order_acquire) == std::this_thread::get_id(); }
  void Poison() { poisoned_.store(true, std::memory_order_release); }
  bool poisoned() const { return poisoned_.load(std::memory_order_acquire); }
  // For members that never take the lock (__repr__): raises the panic and
  // returns false when the lock is poisoned.
  bool CheckNotPoisoned() const;
  const char* name() const { return name_; }
  // The message of a wait refused because it would close a cycle.
  std::string CycleMessage() const;

 private:
  // Takes mu_ into `held` (the owner not yet recorded), waiting without
  // the interpreter lock when it is busy.
  Store::LockWait TakeMutex(std::unique_lock<std::timed_mutex>& held, bool may_give_way);

  std::timed_mutex mu_;
  std::atomic<std::thread::id> owner_{};
  std::atomic<bool> poisoned_{false};
  const char* name_;
  const char* busy_;
};

// Holds a HandleLock for a scope; a C++ exception leaving the scope
// poisons it. Test with operator bool after construction. The scope may
// let go of the lock on the way (LetGoWhileWaiting); then it neither
// releases nor poisons it.
class HandleGuard {
 public:
  explicit HandleGuard(HandleLock& lock) : lock_(lock), held_(lock.Acquire()), exceptions_(std::uncaught_exceptions()) {}
  ~HandleGuard() {
    if (!held_ || !lock_.HeldHere()) return;
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
// a writer turn or "index resume lock" releases the interpreter lock
// meanwhile (unless WithoutGil already has) and lets go of the handle lock
// of its write (LetGoWhileWaiting).
void InstallWaitHooks();

// The handle lock that the write running on this thread lets go of at its
// first wait in the engine (null: none).
inline thread_local HandleLock* t_let_go = nullptr;

// For a write's engine call, made while it holds `lock`: when the call has
// to wait (for a writer turn, or for "index resume lock"), the lock is let
// go of for good before the wait, and the call goes on without it, so that
// no write waits while it holds a handle lock. Until then the lock is
// held throughout, as for any method. The caller keeps its own reference
// to the engine: once the lock is let go, the handle may be closed. Null
// shields an outer write's lock (an update's, held across its callback).
class LetGoWhileWaiting {
 public:
  explicit LetGoWhileWaiting(HandleLock* lock) : previous_(std::exchange(t_let_go, lock)) {}
  ~LetGoWhileWaiting() { t_let_go = previous_; }
  LetGoWhileWaiting(const LetGoWhileWaiting&) = delete;
  LetGoWhileWaiting& operator=(const LetGoWhileWaiting&) = delete;

 private:
  HandleLock* previous_;
};

// The writer turn of `store` for a call that holds `lock` and must keep
// holding it with the turn (update: its callback runs under both). The
// turn is never waited for while the lock is held: when it is busy, the
// lock is let go of, the turn waited for, and the lock taken back; when
// the lock's holder then waits, through other threads, for this very turn
// (a scan_each callback writing to the store), the turn is given back and
// the lock waited for first. Errors: code 12 when a wait would close a
// cycle ("writer turn is held by ...", "<lock> is held by ..."); the lock
// is then not held. Call with the interpreter lock held. The turn is
// `engine`'s store's; `engine` names the handle's own reference, which a
// close may drop while the lock is let go: before it is, `kept` takes a
// reference of the call's own, which must outlive the turn.
BResult<Store::WriterTurn> TakeTurnKeepingLock(HandleLock& lock, const std::shared_ptr<Engine>& engine,
                                               std::shared_ptr<Engine>& kept);

// True on a thread inside WithoutGil's fn, or after GilReleasedLater let go.
inline thread_local bool t_without_gil = false;

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
        t_without_gil = true;
      },
      [&] {
        t_without_gil = false;
        PyEval_RestoreThread(state);
      });
}

// The interpreter lock given up partway through a call: Around(fn) runs
// fn() holding it; fn calls Release() once what is left of its work
// touches no Python object (a write about to commit) and may wait for the
// disk; the lock is taken back when fn returns or throws, as in
// WithoutGil. A call that runs a Python callback before such a write
// switches the lock once this way, where WithoutGil around the whole call
// and taking the lock back around the callback would switch it twice.
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

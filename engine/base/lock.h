// Broken invariants and the engine's named registry locks.
//
// InvariantError is the one exception the engine throws: it marks a state
// of memory that correct code can never reach (a worker's result slot left
// empty, a value longer than 4 GiB being encoded). Bytes read from a file
// never raise it: whatever they hold, damage there is an error value. The
// binding turns it into its private panic exception. Nothing else in the
// engine throws.
//
// NamedMutex is a plain, non-recursive mutex with a name ("index lock",
// "fts lock", ...) that records its holder thread, so that a thread about
// to wait for it can tell who it would wait for (storage/store.h,
// LockWithoutTurnCycle). A holder that unwinds by an exception poisons it; every
// later acquisition then throws InvariantError carrying the lock's name, so
// a registry left half-updated is never read again. A thread ended by an
// unwind (abi::__forced_unwind: pthread_exit, which an embedding
// interpreter calls on threads that touch it during its exit) releases the
// mutex too; it is not counted by std::uncaught_exceptions and so does not
// poison, unless a handler on the way rethrew it, which then only matters
// to a process that is exiting.
//
// Thread-safety: NamedMutex is for use from many threads; InvariantError is
// a plain value.

#ifndef PALLIX_BASE_LOCK_H_
#define PALLIX_BASE_LOCK_H_

#include <atomic>
#include <chrono>
#include <exception>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

namespace pallix {

class InvariantError : public std::runtime_error {
 public:
  explicit InvariantError(const std::string& what) : std::runtime_error(what) {}
};

// Throws InvariantError(message) when cond is false.
#define PALLIX_INVARIANT(cond, message)                         \
  do {                                                          \
    if (!(cond)) [[unlikely]] throw ::pallix::InvariantError(message); \
  } while (0)

class NamedMutex {
 public:
  explicit NamedMutex(const char* name) : name_(name) {}
  NamedMutex(const NamedMutex&) = delete;
  NamedMutex& operator=(const NamedMutex&) = delete;

  const char* name() const { return name_; }
  bool poisoned() const { return poisoned_.load(std::memory_order_acquire); }

  // Scoped holder. Throws InvariantError(name) when the lock is poisoned.
  class Guard {
   public:
    explicit Guard(NamedMutex& mu) : mu_(mu), exceptions_(std::uncaught_exceptions()) {
      mu_.mu_.lock();
      mu_.Took();
    }
    ~Guard() {
      if (std::uncaught_exceptions() > exceptions_) mu_.poisoned_.store(true, std::memory_order_release);
      mu_.Unlock();
    }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;

   private:
    NamedMutex& mu_;
    int exceptions_;
  };

  // Tries to take the lock without waiting. Returns false when it is held.
  // Throws InvariantError(name) when it is poisoned.
  bool TryLock() {
    if (!mu_.try_lock()) return false;
    Took();
    return true;
  }
  // As TryLock, waiting up to `wait` for the lock to come free.
  bool TryLockFor(std::chrono::nanoseconds wait) {
#if defined(__SANITIZE_THREAD__)
    // try_lock_for waits in pthread_mutex_clocklock, which GCC 12's
    // ThreadSanitizer does not intercept: it would not see this thread take
    // the lock, and would report its unlock and every access the lock
    // guards. A system_clock deadline waits in pthread_mutex_timedlock,
    // which it does see; the release build keeps the steady clock, which a
    // change of the wall clock cannot stretch.
    if (!mu_.try_lock_until(std::chrono::system_clock::now() + wait)) return false;
#else
    if (!mu_.try_lock_for(wait)) return false;
#endif
    Took();
    return true;
  }
  void Unlock() {
    owner_.store(std::thread::id(), std::memory_order_release);
    mu_.unlock();
  }
  // The thread that holds the lock; empty while it is free (and for a
  // moment after a thread takes it, before it records itself).
  const std::atomic<std::thread::id>& owner() const { return owner_; }
  // For tests and for holders that detect a half-done update themselves.
  void Poison() { poisoned_.store(true, std::memory_order_release); }

 private:
  // Called with mu_ just taken.
  void Took() {
    if (poisoned()) {
      mu_.unlock();
      throw InvariantError(name_);
    }
    owner_.store(std::this_thread::get_id(), std::memory_order_release);
  }

  const char* name_;
  std::timed_mutex mu_;
  std::atomic<std::thread::id> owner_{};
  std::atomic<bool> poisoned_{false};
};

}  // namespace pallix

#endif  // PALLIX_BASE_LOCK_H_

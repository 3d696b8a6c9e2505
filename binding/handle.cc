#include "binding/handle.h"

#include "binding/error.h"
#include "db/engine.h"
#include "storage/store.h"

namespace pallix::py {

std::string HandleLock::CycleMessage() const {
  return std::string(name_) + " is held by a thread waiting for this thread's write";
}

Store::LockWait HandleLock::TakeMutex(std::unique_lock<std::timed_mutex>& held, bool may_give_way) {
  held = std::unique_lock<std::timed_mutex>(mu_, std::try_to_lock);
  if (held) return Store::LockWait::kTaken;
  // Another thread holds it, maybe running a Python callback that needs
  // the interpreter lock to finish: wait without it. A wait that would
  // close a cycle of waits is given up (storage/store.h). Taking the
  // interpreter lock back ends this thread when the interpreter is exiting
  // (an unwind, see error.h); `held` then gives the lock up, so the thread
  // that finalizes never waits for a thread that is gone.
  PyThreadState* state = PyEval_SaveThread();
  Store::LockWait waited = Store::WaitForLock(
      owner_, [&](std::chrono::nanoseconds wait) { return mu_.try_lock_for(wait); }, may_give_way);
  if (waited == Store::LockWait::kTaken) held = std::unique_lock<std::timed_mutex>(mu_, std::adopt_lock);
  PyEval_RestoreThread(state);
  return waited;
}

bool HandleLock::Acquire() {
  const std::thread::id self = std::this_thread::get_id();
  if (owner_.load(std::memory_order_acquire) == self) {
    // Only this thread ever stores its own id, so this is a re-entry.
    RaiseError(BindingError{busy_, kInvalidArgumentCode});
    return false;
  }
  std::unique_lock<std::timed_mutex> held;
  if (TakeMutex(held, false) != Store::LockWait::kTaken) {
    RaiseError(BindingError{CycleMessage(), kInvalidArgumentCode});
    return false;
  }
  if (poisoned()) {
    held.unlock();
    RaisePanic(name_);
    return false;
  }
  held.release();
  owner_.store(self, std::memory_order_release);
  return true;
}

Store::LockWait HandleLock::Retake(bool may_give_way) {
  std::unique_lock<std::timed_mutex> held;
  Store::LockWait waited = TakeMutex(held, may_give_way);
  if (waited != Store::LockWait::kTaken) return waited;
  if (poisoned()) {
    held.unlock();
    throw InvariantError(name_);
  }
  held.release();
  owner_.store(std::this_thread::get_id(), std::memory_order_release);
  return waited;
}

void HandleLock::Release() {
  owner_.store(std::thread::id(), std::memory_order_release);
  mu_.unlock();
}

bool HandleLock::CheckNotPoisoned() const {
  if (!poisoned()) return true;
  RaisePanic(name_);
  return false;
}

BResult<Store::WriterTurn> TakeTurnKeepingLock(HandleLock& lock, const std::shared_ptr<Engine>& engine,
                                               std::shared_ptr<Engine>& kept) {
  // The waits below are this call's own; an outer write's lock stays held.
  LetGoWhileWaiting none(nullptr);
  Store& store = engine->store();
  for (;;) {
    if (std::optional<Store::WriterTurn> turn = store.TryTakeWriterTurn()) return std::move(*turn);
    if (!kept) kept = engine;  // `engine` may go with the lock
    lock.Release();
    Result<Store::WriterTurn> waited = store.TakeWriterTurn();  // without the interpreter lock (the wait hooks)
    if (!waited) return std::unexpected(FromEngineError(waited.error()));
    if (lock.Retake(true) == Store::LockWait::kTaken) return std::move(*waited);
    // The lock's holder waits for this turn: give it back, wait for the
    // lock without it, and try the turn again.
    { Store::WriterTurn given_back = std::move(*waited); }
    if (lock.Retake(false) != Store::LockWait::kTaken) return Invalid(lock.CycleMessage());
  }
}

namespace {

// A thread that Python knows has a thread state holds the interpreter lock
// during an engine call, unless the call runs inside WithoutGil, which has
// released it already. Worker threads of the engine have no thread state
// and are left alone. The handle lock of the write that waits is let go of
// first, for good (LetGoWhileWaiting).
void* ReleaseInterpreter() {
  if (HandleLock* lock = std::exchange(t_let_go, nullptr); lock != nullptr) lock->Release();
  if (t_without_gil || PyGILState_GetThisThreadState() == nullptr) return nullptr;
  return PyEval_SaveThread();
}

void RestoreInterpreter(void* token) {
  if (token != nullptr) PyEval_RestoreThread(static_cast<PyThreadState*>(token));
}

}  // namespace

void InstallWaitHooks() { SetBlockingWaitHooks(BlockingWaitHooks{ReleaseInterpreter, RestoreInterpreter}); }

}  // namespace pallix::py

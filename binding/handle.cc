#include "binding/handle.h"

#include "binding/error.h"
#include "storage/store.h"

namespace pallix::py {

bool HandleLock::Acquire() {
  const std::thread::id self = std::this_thread::get_id();
  if (owner_.load(std::memory_order_acquire) == self) {
    // Only this thread ever stores its own id, so this is a re-entry.
    RaiseError(BindingError{busy_, kInvalidArgumentCode});
    return false;
  }
  std::unique_lock<std::timed_mutex> held(mu_, std::try_to_lock);
  bool refused = false;
  if (!held) {
    // Another thread holds it, maybe running a Python callback that needs
    // the interpreter lock to finish: wait without it. When this thread
    // holds the store's writer turn (an update callback) and the holder
    // waits for that turn, neither could go on: the wait is given up
    // (storage/store.h). Taking the interpreter lock back ends this thread
    // when the interpreter is exiting (an unwind, see error.h); `held` then
    // gives the lock up, so the thread that finalizes never waits for a
    // thread that is gone.
    PyThreadState* state = PyEval_SaveThread();
    if (Store::WaitForLock(owner_, [&](std::chrono::nanoseconds wait) { return mu_.try_lock_for(wait); })) {
      held = std::unique_lock<std::timed_mutex>(mu_, std::adopt_lock);
    } else {
      refused = true;
    }
    PyEval_RestoreThread(state);
  }
  if (refused) {
    RaiseError(BindingError{std::string(name_) + " is held by a thread waiting for this thread's write",
                            kInvalidArgumentCode});
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

void HandleLock::Release() {
  owner_.store(std::thread::id(), std::memory_order_release);
  mu_.unlock();
}

bool HandleLock::CheckNotPoisoned() const {
  if (!poisoned()) return true;
  RaisePanic(name_);
  return false;
}

namespace {

// A thread that Python knows has a thread state holds the interpreter lock
// during an engine call, unless the call runs inside WithoutGil, which has
// released it already. Worker threads of the engine have no thread state
// and are left alone.
void* ReleaseInterpreter() {
  if (t_without_gil || PyGILState_GetThisThreadState() == nullptr) return nullptr;
  return PyEval_SaveThread();
}

void RestoreInterpreter(void* token) {
  if (token != nullptr) PyEval_RestoreThread(static_cast<PyThreadState*>(token));
}

}  // namespace

void InstallWaitHooks() { SetBlockingWaitHooks(BlockingWaitHooks{ReleaseInterpreter, RestoreInterpreter}); }

}  // namespace pallix::py

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
  if (!mu_.try_lock()) {
    // Another thread holds it, maybe running a Python callback that needs
    // the interpreter lock to finish: wait without it.
    Py_BEGIN_ALLOW_THREADS
    mu_.lock();
    Py_END_ALLOW_THREADS
  }
  if (poisoned()) {
    mu_.unlock();
    RaisePanic(name_);
    return false;
  }
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

// A thread that Python knows has a thread state; engine calls on such a
// thread are always made by the binding with the interpreter lock held
// (the binding never releases it around an engine call). Worker threads of
// the engine have no thread state and are left alone.
void* ReleaseInterpreter() {
  if (PyGILState_GetThisThreadState() == nullptr) return nullptr;
  return PyEval_SaveThread();
}

void RestoreInterpreter(void* token) {
  if (token != nullptr) PyEval_RestoreThread(static_cast<PyThreadState*>(token));
}

}  // namespace

void InstallWaitHooks() { SetBlockingWaitHooks(BlockingWaitHooks{ReleaseInterpreter, RestoreInterpreter}); }

}  // namespace pallix::py

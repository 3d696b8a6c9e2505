// The state of a Collection handle and the frame its methods share.
//
// A Collection holds, under "collection lock", its engine reference and
// the live-handle count reference while open, nothing once closed. Its
// name is fixed for the handle's life, so __repr__ reads it without the
// lock; `open` mirrors the state for the same reason.
//
// Thread-safety: state is touched only under `lock`.

#ifndef PALLIX_BINDING_COLLECTION_H_
#define PALLIX_BINDING_COLLECTION_H_

#include <atomic>
#include <optional>
#include <string>

#include "binding/error.h"
#include "binding/types.h"

namespace pallix::py {

struct CollectionHandle {
  CollectionHandle(std::string n, EngineRefs refs) noexcept : name(std::move(n)), state(std::move(refs)) {}
  // Garbage collection releases the handle as close() does.
  ~CollectionHandle();

  // Marks the handle closed and lowers the live-handle count; returns the
  // references (dropped by the caller, after the lock). Idempotent.
  std::optional<EngineRefs> Close();

  HandleLock lock{"collection lock",
                  "collection handle is busy: a callback must not call back into the handle it runs under"};
  const std::string name;
  std::optional<EngineRefs> state;  // guarded by lock; empty when closed
  std::atomic<bool> open{true};
};

// The common frame under the lock: a closed handle fails with "collection
// handle is closed"; otherwise body(name, engine) runs, still under the
// lock, and its BResult is returned. nullopt when the lock could not be
// taken (a Python error is set). Raise the error only after this returns.
template <class F>
auto WithOpen(PyObject* self, F&& body) {
  CollectionHandle& h = Unbox<CollectionHandle>(self);
  using R = decltype(body(h.name, *h.state->engine));
  return UnderLock(h.lock, [&]() -> R {
    if (!h.state) return Invalid(kCollectionClosed);
    return body(h.name, *h.state->engine);
  });
}

}  // namespace pallix::py

#endif  // PALLIX_BINDING_COLLECTION_H_

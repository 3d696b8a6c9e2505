// The state of a Collection handle, the frame its methods share, and the
// methods that live outside collection.cc.
//
// A Collection holds, under "collection lock", its engine reference and
// the live-handle count reference while open, nothing once closed. Its
// name is fixed for the handle's life, so __repr__ reads it without the
// lock; `open` mirrors the state for the same reason.
//
// The methods are split by area: collection.cc (life, reads, the walk and
// the type with its one method table), collection_write.cc (document
// writes and expiry), collection_batch.cc (batch and conditional writes),
// collection_graph.cc (edges), collection_declare.cc (indexes and schema),
// collection_geo.cc (geo searches), collection_phrase.cc (phrase search).
// Each method
// reads: extract arguments (TypeError/OverflowError), WithOpen (lock, closed check, conversion and engine call under the
// lock), then Finish (raise or build the result, after the lock).
//
// Thread-safety: state is touched only under `lock`.

#ifndef PALLIX_BINDING_COLLECTION_H_
#define PALLIX_BINDING_COLLECTION_H_

#include <atomic>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

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

// WithOpen for a write, or for a read that may resume an index build
// (whose batches are writes): the engine call lets go of the lock if it
// has to wait (LetGoWhileWaiting, handle.h), so body gets an engine
// reference of the call's own, and must not touch the handle's state after
// its engine call has begun.
template <class F>
auto WithOpenWrite(PyObject* self, F&& body) {
  CollectionHandle& h = Unbox<CollectionHandle>(self);
  using R = decltype(body(h.name, *h.state->engine));
  return UnderLock(h.lock, [&]() -> R {
    if (!h.state) return Invalid(kCollectionClosed);
    std::shared_ptr<Engine> engine = h.state->engine;
    LetGoWhileWaiting let_go(&h.lock);
    return body(h.name, *engine);
  });
}

// When the engine work of a method runs without the interpreter lock
// (MaybeWithoutGil, handle.h): a write when its commit waits for a disk
// sync (a file database; an in-memory commit is quick), a read when it
// may return at least kLongRead rows.
inline constexpr uint64_t kLongRead = 1024;

// Runs the engine write fn(), without the interpreter lock on a file
// database.
template <class F>
auto EngineWrite(Engine& engine, F&& fn) -> decltype(fn()) {
  return MaybeWithoutGil(!engine.store().in_memory(), std::forward<F>(fn));
}

// Ends a method once WithOpen has returned `r`: null when the lock was
// not taken (the error is set), the error raised as PallixError, or else
// convert(value) (convert() for BResult<void>), which builds the result.
template <class T, class F>
PyObject* Finish(std::optional<BResult<T>> r, F&& convert) {
  if (!r) return nullptr;
  if (!*r) return RaiseError(r->error());
  if constexpr (std::is_void_v<T>) {
    return convert();
  } else {
    return convert(std::move(**r));
  }
}

inline PyObject* FinishNone(std::optional<BResult<void>> r) {
  return Finish(std::move(r), [] { Py_RETURN_NONE; });
}
inline PyObject* FinishBool(std::optional<BResult<bool>> r) {
  return Finish(std::move(r), [](bool b) { return NewBool(b).release(); });
}

// Method bodies defined outside collection.cc, which places them in the
// type's method table (vectorcall convention, METH_FASTCALL | METH_KEYWORDS).

// collection_write.cc
PyObject* CollectionInsert(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* CollectionInsertAuto(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* CollectionUpdate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* CollectionPatch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* CollectionDelete(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* CollectionInsertWithTtl(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* CollectionSetTtl(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* CollectionGetTtl(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* CollectionPurgeExpired(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// collection_batch.cc
PyObject* CollectionInsertMany(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* CollectionDeleteBatch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* CollectionDeleteWhere(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* CollectionCompareAndSet(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
// collection_declare.cc
PyObject* CollectionCreateScalarIndex(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* CollectionCreateCompoundIndex(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* CollectionCreateGeoIndex(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* CollectionCreateTextIndex(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* CollectionCreateTextIndexOndisk(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                          PyObject* kwnames);
PyObject* CollectionCreateVectorIndex(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* CollectionCreateVectorIndexQuantized(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                               PyObject* kwnames);
PyObject* CollectionCreateVectorIndexOndisk(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                            PyObject* kwnames);
PyObject* CollectionCreateVectorIndexOndiskQuantized(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                                     PyObject* kwnames);
PyObject* CollectionCreateVectorIndexPq(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* CollectionCreateVectorIndexOndiskPq(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                              PyObject* kwnames);
PyObject* CollectionSetSchema(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* CollectionSchema(PyObject* self);

// collection_geo.cc
PyObject* CollectionGeoWithinRadius(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* CollectionGeoWithinBbox(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* CollectionGeoNearest(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// collection_phrase.cc
PyObject* CollectionPhraseSearch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// collection_graph.cc
PyObject* CollectionLink(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* CollectionLinkWeighted(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* CollectionUnlink(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* CollectionNeighbors(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* CollectionInNeighbors(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* CollectionNeighborsWeighted(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* CollectionTraverse(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace pallix::py

#endif  // PALLIX_BINDING_COLLECTION_H_

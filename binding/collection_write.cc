// The write side of a Collection: insert, insert_auto, update, patch,
// delete, and the expiry methods insert_with_ttl, set_ttl, get_ttl and
// purge_expired.
//
// Each is a frame around one engine entry (write/write.h, db/ttl.h):
// arguments extracted before the lock; under the lock the closed check,
// the key and then the documents converted, the engine call; after the
// lock the result built or the error raised. The engine checks the
// collection name on every write. On a file database the engine call runs
// with the interpreter lock released: its commit waits for the disk sync,
// and other Python threads go on meanwhile.
//
// A write that has to wait in the engine (for the store's writer turn)
// lets go of the handle lock for the rest of its call (LetGoWhileWaiting,
// handle.h): no write waits while it holds a handle lock.
//
// update runs its Python callback under the lock: a callback that calls
// back into the same handle is refused at once by the handle lock (code
// 12) instead of waiting forever, and another thread using the handle
// waits with the interpreter lock released, so the callback can finish.
// While the callback runs, this thread holds the store's writer turn
// (storage/store.h): other threads' writes wait, with the interpreter lock
// released and their handle locks let go, and the callback's own writes
// through other handles go on. A callback's write that would wait for a
// thread that waits for this one (another update's callback writing back
// into this database) fails at once with code 12.

#include <functional>

#include "binding/collection.h"
#include "binding/value.h"
#include "db/ttl.h"
#include "write/write.h"

namespace pallix::py {

namespace {

// An int result for Python; null with the error set.
PyObject* NewInt(int64_t v) { return PyLong_FromLongLong(v); }
PyObject* NewUInt(uint64_t v) { return PyLong_FromUnsignedLongLong(v); }

// The update callback's argument: the stored document as a Python object,
// or None when there is none. One that cannot become a Python object is
// code 12 "invalid argument: <type>: <text>".
BResult<Ref> CurrentDocument(const std::optional<std::string>& stored) {
  if (!stored) return None();
  ASSIGN_OR_RETURN(Ref doc, DocumentToPy(*stored));
  if (!doc) return std::unexpected(BindingError(EngineError::InvalidArgument(TakePyErrText())));
  return doc;
}

// update's call: the document update(key, f) is to store (nullopt: delete
// the key), given the stored row. Any object is accepted as f; a failing
// call (a non-callable f included) is reported, never re-raised, with no
// "invalid argument: " prefix, unlike the walk's callback message. Every
// Python object of the call is gone once this returns, before the write
// (which may run without the interpreter lock).
BResult<std::optional<Value>> Updated(const std::optional<std::string>& stored, PyObject* f) {
  ASSIGN_OR_RETURN(Ref current, CurrentDocument(stored));
  Ref result = CallPositional(f, current.get());
  if (!result) return Invalid("update callback failed: " + TakePyErrText());
  if (result.get() == Py_None) return std::optional<Value>();
  ASSIGN_OR_RETURN(Value doc, ValueFromPy(result.get()));
  return std::optional<Value>(std::move(doc));
}

}  // namespace

PyObject* CollectionInsert(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PALLIX_PARAMS(kParams, "Collection.insert", 2, "key", "doc");
  PyObject* a[2];
  if (!MatchArgs(kParams, args, nargs, kwnames, a)) return nullptr;
  return FinishNone(WithOpenWrite(self, [&](const std::string& name, Engine& engine) -> BResult<void> {
    ASSIGN_OR_RETURN(std::string key, KeyFromPy(a[0]));
    ASSIGN_OR_RETURN(Value doc, ValueFromPy(a[1]));
    RETURN_IF_ERROR(EngineWrite(engine, [&] { return pallix::insert(engine, name, key, doc); }));
    return {};
  }));
}

PyObject* CollectionInsertAuto(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PALLIX_PARAMS(kParams, "Collection.insert_auto", 1, "doc");
  PyObject* a[1];
  if (!MatchArgs(kParams, args, nargs, kwnames, a)) return nullptr;
  auto key = WithOpenWrite(self, [&](const std::string& name, Engine& engine) -> BResult<std::string> {
    ASSIGN_OR_RETURN(Value doc, ValueFromPy(a[0]));
    return EngineWrite(engine, [&] { return pallix::insert_auto(engine, name, doc); });
  });
  // Generated keys are ASCII digits: always a str.
  return Finish(std::move(key), [](const std::string& k) { return NewStr(k).release(); });
}

// update(key, f): the engine's update, whose read, call and write are one
// step against other threads' writes; f runs under the handle lock with the
// interpreter lock. The writer turn is taken first, without waiting for
// it under the handle lock (TakeTurnKeepingLock): a callback of another
// thread may be waiting for this handle while it holds the turn. The
// engine is then called holding the interpreter lock, and on a file
// database gives it up once f has returned, for the write, whose commit
// waits for the disk (one switch per update rather than one around the
// whole update and another back for f). The callback's own failure is kept
// here, and the engine is only told to stop.
PyObject* CollectionUpdate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PALLIX_PARAMS(kParams, "Collection.update", 2, "key", "f");
  PyObject* a[2];
  if (!MatchArgs(kParams, args, nargs, kwnames, a)) return nullptr;
  CollectionHandle& h = Unbox<CollectionHandle>(self);
  return FinishNone(WithOpen(self, [&](const std::string& name, Engine&) -> BResult<void> {
    ASSIGN_OR_RETURN(std::string key, KeyFromPy(a[0]));
    // Declared before the turn, which it must outlive: set when the lock
    // was let go meanwhile.
    std::shared_ptr<Engine> kept;
    ASSIGN_OR_RETURN(Store::WriterTurn turn, TakeTurnKeepingLock(h.lock, h.state->engine, kept));
    if (!h.state) return Invalid(kCollectionClosed);  // closed while the lock was let go
    Engine& engine = kept ? *kept : *h.state->engine;
    LetGoWhileWaiting keep_lock(nullptr);  // held across the callback, whatever it waits for
    std::optional<BindingError> failed;
    GilReleasedLater gil;
    auto call = [&](const std::optional<std::string>& stored) -> Result<std::optional<Value>> {
      BResult<std::optional<Value>> next = Updated(stored, a[1]);
      if (!engine.store().in_memory()) gil.Release();
      if (next) return std::move(*next);
      failed = std::move(next.error());
      return Fail(EngineError::InvalidArgument("update callback failed"));
    };
    // By reference: the engine's std::function then holds no copy on the heap.
    Status done = gil.Around([&] { return pallix::update(engine, name, key, std::ref(call)); });
    if (failed) return std::unexpected(std::move(*failed));
    RETURN_IF_ERROR(done);
    return {};
  }));
}

PyObject* CollectionPatch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PALLIX_PARAMS(kParams, "Collection.patch", 2, "key", "patch");
  PyObject* a[2];
  if (!MatchArgs(kParams, args, nargs, kwnames, a)) return nullptr;
  return FinishNone(WithOpenWrite(self, [&](const std::string& name, Engine& engine) -> BResult<void> {
    ASSIGN_OR_RETURN(std::string key, KeyFromPy(a[0]));
    ASSIGN_OR_RETURN(Value patch, ValueFromPy(a[1]));
    return EngineWrite(engine, [&]() -> BResult<void> { return pallix::patch(engine, name, key, patch); });
  }));
}

PyObject* CollectionDelete(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PALLIX_PARAMS(kParams, "Collection.delete", 1, "key");
  PyObject* a[1];
  if (!MatchArgs(kParams, args, nargs, kwnames, a)) return nullptr;
  return FinishBool(WithOpenWrite(self, [&](const std::string& name, Engine& engine) -> BResult<bool> {
    ASSIGN_OR_RETURN(std::string key, KeyFromPy(a[0]));
    return EngineWrite(engine, [&]() -> BResult<bool> {
      ASSIGN_OR_RETURN(bool existed, pallix::delete_document(engine, name, key));
      return existed;
    });
  }));
}

// ------------------------------------------------------------ expiry

PyObject* CollectionInsertWithTtl(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PALLIX_PARAMS(kParams, "Collection.insert_with_ttl", 3, "key", "doc", "expires_at");
  PyObject* a[3];
  int64_t expires_at;
  if (!MatchArgs(kParams, args, nargs, kwnames, a) || !ArgI64(kParams, 2, a[2], &expires_at)) return nullptr;
  return FinishNone(WithOpenWrite(self, [&](const std::string& name, Engine& engine) -> BResult<void> {
    ASSIGN_OR_RETURN(std::string key, KeyFromPy(a[0]));
    ASSIGN_OR_RETURN(Value doc, ValueFromPy(a[1]));
    RETURN_IF_ERROR(EngineWrite(engine, [&] { return pallix::insert_with_ttl(engine, name, key, doc, expires_at); }));
    return {};
  }));
}

PyObject* CollectionSetTtl(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PALLIX_PARAMS(kParams, "Collection.set_ttl", 2, "key", "expires_at");
  PyObject* a[2];
  int64_t expires_at;
  if (!MatchArgs(kParams, args, nargs, kwnames, a) || !ArgI64(kParams, 1, a[1], &expires_at)) return nullptr;
  return FinishNone(WithOpenWrite(self, [&](const std::string& name, Engine& engine) -> BResult<void> {
    ASSIGN_OR_RETURN(std::string key, KeyFromPy(a[0]));
    return EngineWrite(engine, [&]() -> BResult<void> { return pallix::set_ttl(engine, name, key, expires_at); });
  }));
}

PyObject* CollectionGetTtl(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PALLIX_PARAMS(kParams, "Collection.get_ttl", 1, "key");
  PyObject* a[1];
  if (!MatchArgs(kParams, args, nargs, kwnames, a)) return nullptr;
  auto ttl = WithOpen(self, [&](const std::string& name, Engine& engine) -> BResult<std::optional<int64_t>> {
    ASSIGN_OR_RETURN(std::string key, KeyFromPy(a[0]));
    return pallix::get_ttl(engine, name, key);
  });
  return Finish(std::move(ttl), [](std::optional<int64_t> t) { return t ? NewInt(*t) : Py_NewRef(Py_None); });
}

// The purge holds the lock from the first candidate to the last commit,
// unless it has to wait for the writer turn on the way (then, as every
// write, it goes on without it).
PyObject* CollectionPurgeExpired(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PALLIX_PARAMS(kParams, "Collection.purge_expired", 1, "now");
  PyObject* a[1];
  int64_t now;
  if (!MatchArgs(kParams, args, nargs, kwnames, a) || !ArgI64(kParams, 0, a[0], &now)) return nullptr;
  auto removed = WithOpenWrite(self, [&](const std::string& name, Engine& engine) -> BResult<uint64_t> {
    return EngineWrite(engine, [&]() -> BResult<uint64_t> { return pallix::purge_expired(engine, name, now); });
  });
  return Finish(std::move(removed), NewUInt);
}

}  // namespace pallix::py

// The batch and conditional writes of a Collection: insert_many (one
// transaction, all or nothing), delete_batch (one transaction per key),
// delete_where (one transaction for the evaluation and every delete),
// compare_and_set (one transaction).
//
// Sequences are taken apart before the lock (TypeError there); keys and
// documents are converted under it; the engine work runs without the
// interpreter lock on a file database, as every write does.

#include "binding/collection.h"
#include "binding/value.h"
#include "query/delete_where.h"
#include "write/write.h"

namespace pallix::py {

namespace {

// Every item of the snapshot list must be a 2-tuple; TypeError otherwise.
bool CheckPairs(const Params& p, PyObject* list) {
  for (Py_ssize_t i = 0; i < PyList_Size(list); ++i) {
    PyObject* item = PyList_GetItem(list, i);
    if (!PyTuple_Check(item)) {
      RaiseArgType(p, 0, item, "tuple");
      return false;
    }
    if (PyTuple_Size(item) != 2) {
      PyErr_Format(PyExc_TypeError, "%s() argument '%s': expected tuple of length 2, but got tuple of length %zd",
                   p.name, p.names[0], PyTuple_Size(item));
      return false;
    }
  }
  return true;
}

BResult<std::vector<std::pair<std::string, Value>>> ConvertPairs(PyObject* list) {
  std::vector<std::pair<std::string, Value>> pairs;
  pairs.reserve(static_cast<size_t>(PyList_Size(list)));
  for (Py_ssize_t i = 0; i < PyList_Size(list); ++i) {
    PyObject* item = PyList_GetItem(list, i);
    ASSIGN_OR_RETURN(std::string key, KeyFromPy(PyTuple_GetItem(item, 0)));
    ASSIGN_OR_RETURN(Value doc, ValueFromPy(PyTuple_GetItem(item, 1)));
    pairs.emplace_back(std::move(key), std::move(doc));
  }
  return pairs;
}

PyObject* FinishCount(std::optional<BResult<uint64_t>> r) {
  return Finish(std::move(r), [](uint64_t n) { return PyLong_FromUnsignedLongLong(n); });
}

}  // namespace

PyObject* CollectionInsertMany(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PALLIX_PARAMS(kParams, "Collection.insert_many", 1, "entries");
  PyObject* a[1];
  Ref list;
  if (!MatchArgs(kParams, args, nargs, kwnames, a) || !ArgSequence(kParams, 0, a[0], &list) ||
      !CheckPairs(kParams, list.get()))
    return nullptr;
  return FinishNone(WithOpenWrite(self, [&](const std::string& name, Engine& engine) -> BResult<void> {
    ASSIGN_OR_RETURN(auto pairs, ConvertPairs(list.get()));
    RETURN_IF_ERROR(EngineWrite(engine, [&] { return pallix::put_many(engine, name, pairs); }));
    return {};
  }));
}

PyObject* CollectionDeleteBatch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PALLIX_PARAMS(kParams, "Collection.delete_batch", 1, "keys");
  PyObject* a[1];
  Ref list;
  if (!MatchArgs(kParams, args, nargs, kwnames, a) || !ArgSequence(kParams, 0, a[0], &list)) return nullptr;
  return FinishCount(WithOpenWrite(self, [&](const std::string& name, Engine& engine) -> BResult<uint64_t> {
    std::vector<std::string> keys;
    for (Py_ssize_t i = 0; i < PyList_Size(list.get()); ++i) {
      ASSIGN_OR_RETURN(std::string key, KeyFromPy(PyList_GetItem(list.get(), i)));
      keys.push_back(std::move(key));
    }
    return EngineWrite(engine, [&] { return pallix::delete_batch(engine, name, keys); });
  }));
}

PyObject* CollectionDeleteWhere(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PALLIX_PARAMS(kParams, "Collection.delete_where", 1, "pred");
  PyObject* a[1];
  if (!MatchArgs(kParams, args, nargs, kwnames, a)) return nullptr;
  const Predicate* pred = PredicateOf(a[0]);
  if (pred == nullptr) {
    RaiseArgType(kParams, 0, a[0], "Predicate");
    return nullptr;
  }
  return FinishCount(WithOpen(self, [&](const std::string& name, Engine&) -> BResult<uint64_t> {
    // A reference of the call's own: the lock is let go if the call waits.
    std::shared_ptr<Engine> engine = Unbox<CollectionHandle>(self).state->engine;
    LetGoWhileWaiting let_go(&Unbox<CollectionHandle>(self).lock);
    return WithoutGil([&] { return pallix::delete_where(engine, name, *pred); });
  }));
}

PyObject* CollectionCompareAndSet(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PALLIX_PARAMS(kParams, "Collection.compare_and_set", 3, "key", "expected", "replacement");
  PyObject* a[3];
  if (!MatchArgs(kParams, args, nargs, kwnames, a)) return nullptr;
  return FinishBool(WithOpenWrite(self, [&](const std::string& name, Engine& engine) -> BResult<bool> {
    ASSIGN_OR_RETURN(std::string key, KeyFromPy(a[0]));
    std::optional<Value> expected, replacement;
    if (a[1] != Py_None) {
      ASSIGN_OR_RETURN(expected, ValueFromPy(a[1]));
    }
    if (a[2] != Py_None) {
      ASSIGN_OR_RETURN(replacement, ValueFromPy(a[2]));
    }
    return EngineWrite(engine, [&]() -> BResult<bool> {
      ASSIGN_OR_RETURN(bool applied, pallix::compare_and_set(engine, name, key, expected, replacement));
      return applied;
    });
  }));
}

}  // namespace pallix::py

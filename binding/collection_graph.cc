// The graph methods of a Collection: link, link_weighted, unlink,
// neighbors, in_neighbors, neighbors_weighted and traverse.
//
// Frames around db/edges.h: relation, weight and hops are extracted
// before the lock (TypeError/OverflowError); under it the closed check, the
// node keys converted (from or start first, then to) and the engine call;
// the result lists are built after it. The engine checks the collection
// name, the relation's UTF-8 and the key and relation lengths on the
// writes only. The writes on a file database run with the interpreter lock
// released.

#include "binding/collection.h"
#include "binding/value.h"
#include "db/edges.h"

namespace pallix::py {

namespace {

using Keys = std::vector<std::string>;
using WeightedKeys = std::vector<std::pair<std::string, double>>;

PyObject* FinishKeys(std::optional<BResult<Keys>> r) {
  return Finish(std::move(r), [](const Keys& keys) { return KeysToPyList(keys).release(); });
}

// A list of (key, weight) tuples; null with the error set.
PyObject* WeightedToPy(const WeightedKeys& edges) {
  Ref list = Ref::Steal(PyList_New(static_cast<Py_ssize_t>(edges.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < edges.size(); ++i) {
    Ref key = KeyToPy(edges[i].first);
    Ref weight = Ref::Steal(PyFloat_FromDouble(edges[i].second));
    if (!key || !weight) return nullptr;
    PyObject* pair = PyTuple_Pack(2, key.get(), weight.get());
    if (pair == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), pair);
  }
  return list.release();
}

// link and link_weighted: a plain edge when weight is null.
PyObject* Link(PyObject* self, PyObject* from, const std::string& relation, PyObject* to, const double* weight) {
  return FinishNone(WithOpenWrite(self, [&](const std::string& name, Engine& engine) -> BResult<void> {
    ASSIGN_OR_RETURN(std::string f, KeyFromPy(from));
    ASSIGN_OR_RETURN(std::string t, KeyFromPy(to));
    return EngineWrite(engine, [&]() -> BResult<void> {
      if (weight == nullptr) return pallix::link(engine, name, f, relation, t);
      return pallix::link_weighted(engine, name, f, relation, t, *weight);
    });
  }));
}

// The parameters (node, relation) of the three neighbour reads.
bool NodeAndRelation(const Params& p, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** node,
                     std::string* relation) {
  PyObject* a[2];
  if (!MatchArgs(p, args, nargs, kwnames, a) || !ArgStr(p, 1, a[1], relation)) return false;
  *node = a[0];
  return true;
}

}  // namespace

PyObject* CollectionLink(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PALLIX_PARAMS(kParams, "Collection.link", 3, "from", "relation", "to");
  PyObject* a[3];
  std::string relation;
  if (!MatchArgs(kParams, args, nargs, kwnames, a) || !ArgStr(kParams, 1, a[1], &relation)) return nullptr;
  return Link(self, a[0], relation, a[2], nullptr);
}

PyObject* CollectionLinkWeighted(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PALLIX_PARAMS(kParams, "Collection.link_weighted", 4, "from", "relation", "to", "weight");
  PyObject* a[4];
  std::string relation;
  double weight;
  if (!MatchArgs(kParams, args, nargs, kwnames, a) || !ArgStr(kParams, 1, a[1], &relation) ||
      !ArgF64(kParams, 3, a[3], &weight))
    return nullptr;
  return Link(self, a[0], relation, a[2], &weight);
}

PyObject* CollectionUnlink(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PALLIX_PARAMS(kParams, "Collection.unlink", 3, "from", "relation", "to");
  PyObject* a[3];
  std::string relation;
  if (!MatchArgs(kParams, args, nargs, kwnames, a) || !ArgStr(kParams, 1, a[1], &relation)) return nullptr;
  return FinishBool(WithOpenWrite(self, [&](const std::string& name, Engine& engine) -> BResult<bool> {
    ASSIGN_OR_RETURN(std::string from, KeyFromPy(a[0]));
    ASSIGN_OR_RETURN(std::string to, KeyFromPy(a[2]));
    // (bool: libstdc++ 12 cannot convert expected<bool, E> implicitly.)
    return EngineWrite(engine, [&]() -> BResult<bool> {
      ASSIGN_OR_RETURN(bool existed, pallix::unlink(engine, name, from, relation, to));
      return existed;
    });
  }));
}

PyObject* CollectionNeighbors(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PALLIX_PARAMS(kParams, "Collection.neighbors", 2, "from", "relation");
  PyObject* node;
  std::string relation;
  if (!NodeAndRelation(kParams, args, nargs, kwnames, &node, &relation)) return nullptr;
  return FinishKeys(WithOpen(self, [&](const std::string& name, Engine& engine) -> BResult<Keys> {
    ASSIGN_OR_RETURN(std::string from, KeyFromPy(node));
    return pallix::neighbors(engine, name, from, relation);
  }));
}

PyObject* CollectionInNeighbors(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PALLIX_PARAMS(kParams, "Collection.in_neighbors", 2, "to", "relation");
  PyObject* node;
  std::string relation;
  if (!NodeAndRelation(kParams, args, nargs, kwnames, &node, &relation)) return nullptr;
  return FinishKeys(WithOpen(self, [&](const std::string& name, Engine& engine) -> BResult<Keys> {
    ASSIGN_OR_RETURN(std::string to, KeyFromPy(node));
    return pallix::in_neighbors(engine, name, to, relation);
  }));
}

PyObject* CollectionNeighborsWeighted(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PALLIX_PARAMS(kParams, "Collection.neighbors_weighted", 2, "from", "relation");
  PyObject* node;
  std::string relation;
  if (!NodeAndRelation(kParams, args, nargs, kwnames, &node, &relation)) return nullptr;
  auto edges = WithOpen(self, [&](const std::string& name, Engine& engine) -> BResult<WeightedKeys> {
    ASSIGN_OR_RETURN(std::string from, KeyFromPy(node));
    return pallix::neighbors_weighted(engine, name, from, relation);
  });
  return Finish(std::move(edges), WeightedToPy);
}

PyObject* CollectionTraverse(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PALLIX_PARAMS(kParams, "Collection.traverse", 3, "start", "relation", "hops");
  PyObject* a[3];
  std::string relation;
  uint64_t hops;
  if (!MatchArgs(kParams, args, nargs, kwnames, a) || !ArgStr(kParams, 1, a[1], &relation) ||
      !ArgU64(kParams, 2, a[2], &hops))
    return nullptr;
  return FinishKeys(WithOpen(self, [&](const std::string& name, Engine& engine) -> BResult<Keys> {
    ASSIGN_OR_RETURN(std::string start, KeyFromPy(a[0]));
    return pallix::traverse(engine, name, start, relation, hops);
  }));
}

}  // namespace pallix::py

// The Query handle: its one-shot builder state under "query lock", and the
// terminal methods (run, count and the aggregates) that take the state out
// once and hand the engine's QuerySpec to the query engine.
//
// query_builder.cc holds the type, the setters and close/__exit__;
// query_run.cc the terminal methods.
//
// Thread-safety: the state is touched only under the handle's lock; the
// engine work of a terminal method runs under no handle lock.

#ifndef PALLIX_BINDING_QUERY_HANDLE_H_
#define PALLIX_BINDING_QUERY_HANDLE_H_

#include <optional>
#include <string>
#include <utility>

#include "binding/error.h"
#include "binding/types.h"
#include "query/query_spec.h"

namespace pallix::py {


// The builder: the engine's description under construction (its engine
// and collection fields stay empty until the state is taken) plus the
// references the handle holds.
struct QueryState {
  std::string collection;
  EngineRefs refs;
  QuerySpec spec;
};

struct QueryHandle {
  QueryHandle(std::string collection, EngineRefs refs) noexcept
      : state(QueryState{std::move(collection), std::move(refs), QuerySpec{}}) {}
  ~QueryHandle() { Take(); }

  // Takes the state out, lowering the live-handle count; nullopt when it
  // was already taken.
  std::optional<QueryState> Take() {
    std::optional<QueryState> taken = std::exchange(state, std::nullopt);
    if (taken) taken->refs.count->value.fetch_sub(1);
    return taken;
  }

  HandleLock lock{"query lock", "query handle is busy: a callback must not call back into the handle it runs under"};
  std::optional<QueryState> state;  // guarded by lock
};

inline QueryHandle& Q(PyObject* self) { return Unbox<QueryHandle>(self); }

// Takes the builder out under the lock and completes its description;
// nullopt with a Python error set when the lock could not be taken, the
// "already executed" error when the state was taken before.
std::optional<BResult<QueryState>> TakeQueryBuilder(PyObject* self);

// Terminal methods (query_run.cc).
PyObject* QueryRun(PyObject* self);
PyObject* QueryCount(PyObject* self);
PyObject* QuerySum(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* QueryAvg(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* QueryMin(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* QueryMax(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* QueryCountDistinct(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* QueryGroupCount(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* QueryGroupSum(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* QueryGroupAvg(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace pallix::py

#endif  // PALLIX_BINDING_QUERY_HANDLE_H_

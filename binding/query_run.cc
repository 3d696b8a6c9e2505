// The terminal methods of Query: run, count and the aggregates. Each takes
// the builder out of the handle (the query is spent from then on, whatever
// follows), hands the description to the query engine with the
// interpreter lock released (the engine work touches no Python object and
// may walk a whole collection), and converts the result afterwards.

#include <map>

#include "binding/query_handle.h"
#include "binding/value.h"
#include "query/aggregate.h"
#include "query/executor.h"

namespace pallix::py {

namespace {

// Takes the builder and runs engine(spec) without the interpreter lock;
// then convert(result) builds the Python object.
template <class Engine, class Convert>
PyObject* Terminal(PyObject* self, Engine&& engine, Convert&& convert) {
  std::optional<BResult<QueryState>> taken = TakeQueryBuilder(self);
  if (!taken) return nullptr;
  if (!*taken) return RaiseError(taken->error());
  QueryState state = std::move(**taken);
  auto result = WithoutGil([&] { return engine(std::move(state.spec)); });
  if (!result) return RaiseError(FromEngineError(result.error()));
  return convert(std::move(*result));
}

PyObject* NewU64(uint64_t v) { return PyLong_FromUnsignedLongLong(v); }

PyObject* OptionalFloat(const std::optional<double>& v) {
  if (!v) Py_RETURN_NONE;
  return PyFloat_FromDouble(*v);
}

template <class V, class ToPy>
PyObject* MapToDict(const std::map<std::string, V>& groups, ToPy to_py) {
  Ref dict = Ref::Steal(PyDict_New());
  if (!dict) return nullptr;
  for (const auto& [key, value] : groups) {
    Ref k = NewStr(key);
    Ref v = Ref::Steal(to_py(value));
    if (!k || !v || PyDict_SetItem(dict.get(), k.get(), v.get()) < 0) return nullptr;
  }
  return dict.release();
}

PyObject* RowsToList(std::vector<QueryRow> rows) {
  Ref list = Ref::Steal(PyList_New(0));
  if (!list) return nullptr;
  for (QueryRow& r : rows) {
    Ref key = KeyToPy(r.key);
    if (!key) return nullptr;
    Ref doc = ValueToPy(r.document);
    if (!doc) return nullptr;
    Ref row = Ref::Steal(NewRow(std::move(key), r.score, std::move(doc)));
    if (!row || PyList_Append(list.get(), row.get()) < 0) return nullptr;
  }
  return list.release();
}

// A one-field aggregate: extracts `field`, then runs engine(spec, field).
template <class Engine, class Convert>
PyObject* FieldAggregate(const Params& p, PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                         Engine&& engine, Convert&& convert) {
  PyObject* a[1];
  std::string field;
  if (!MatchArgs(p, args, nargs, kwnames, a) || !ArgStr(p, 0, a[0], &field)) return nullptr;
  return Terminal(
      self, [&](QuerySpec spec) { return engine(spec, field); }, convert);
}

// A grouped aggregate over (group_field, value_field).
template <class Engine>
PyObject* PairAggregate(const Params& p, PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                        Engine&& engine) {
  PyObject* a[2];
  std::string group, value;
  if (!MatchArgs(p, args, nargs, kwnames, a) || !ArgStr(p, 0, a[0], &group) || !ArgStr(p, 1, a[1], &value))
    return nullptr;
  return Terminal(
      self, [&](QuerySpec spec) { return engine(spec, group, value); },
      [](std::map<std::string, double> m) { return MapToDict(m, [](double x) { return PyFloat_FromDouble(x); }); });
}

PyObject* MinMax(const Params& p, PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                 std::partial_ordering wanted) {
  return FieldAggregate(
      p, self, args, nargs, kwnames, [&](const QuerySpec& s, const std::string& f) { return run_min_max(s, f, wanted); },
      [](std::optional<Value> best) -> PyObject* {
        if (!best) Py_RETURN_NONE;
        return ValueToPy(*best).release();
      });
}

}  // namespace

PyObject* QueryRun(PyObject* self) {
  return Terminal(self, [](QuerySpec spec) { return run_query_entry(std::move(spec)); }, RowsToList);
}

PyObject* QueryCount(PyObject* self) {
  return Terminal(self, [](QuerySpec spec) { return run_count(spec); }, NewU64);
}

PyObject* QuerySum(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PALLIX_PARAMS(kParams, "Query.sum", 1, "field");
  return FieldAggregate(
      kParams, self, args, nargs, kwnames, [](const QuerySpec& s, const std::string& f) { return run_sum(s, f); },
      [](double x) { return PyFloat_FromDouble(x); });
}

PyObject* QueryAvg(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PALLIX_PARAMS(kParams, "Query.avg", 1, "field");
  return FieldAggregate(
      kParams, self, args, nargs, kwnames, [](const QuerySpec& s, const std::string& f) { return run_avg(s, f); },
      OptionalFloat);
}

PyObject* QueryMin(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PALLIX_PARAMS(kParams, "Query.min", 1, "field");
  return MinMax(kParams, self, args, nargs, kwnames, std::partial_ordering::less);
}

PyObject* QueryMax(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PALLIX_PARAMS(kParams, "Query.max", 1, "field");
  return MinMax(kParams, self, args, nargs, kwnames, std::partial_ordering::greater);
}

PyObject* QueryCountDistinct(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PALLIX_PARAMS(kParams, "Query.count_distinct", 1, "field");
  return FieldAggregate(
      kParams, self, args, nargs, kwnames,
      [](const QuerySpec& s, const std::string& f) { return run_count_distinct(s, f); }, NewU64);
}

PyObject* QueryGroupCount(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PALLIX_PARAMS(kParams, "Query.group_count", 1, "field");
  return FieldAggregate(
      kParams, self, args, nargs, kwnames,
      [](const QuerySpec& s, const std::string& f) { return run_group_count(s, f); },
      [](std::map<std::string, uint64_t> m) { return MapToDict(m, NewU64); });
}

PyObject* QueryGroupSum(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PALLIX_PARAMS(kParams, "Query.group_sum", 2, "group_field", "value_field");
  return PairAggregate(kParams, self, args, nargs, kwnames,
                       [](const QuerySpec& s, const std::string& g, const std::string& v) { return run_group_sum(s, g, v); });
}

PyObject* QueryGroupAvg(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PALLIX_PARAMS(kParams, "Query.group_avg", 2, "group_field", "value_field");
  return PairAggregate(kParams, self, args, nargs, kwnames,
                       [](const QuerySpec& s, const std::string& g, const std::string& v) { return run_group_avg(s, g, v); });
}

}  // namespace pallix::py

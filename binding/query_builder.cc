// The Query class: Collection.query()'s one-shot fluent builder. Each
// setter extracts its arguments (TypeError / OverflowError before any
// lock), then, under "query lock", fails on a taken state or records its
// setting and returns the same Query. Nothing is validated here that the
// engine validates when the query runs (fusion constant, lambda).

#include <cmath>

#include "binding/query_handle.h"
#include "binding/value.h"

namespace pallix::py {

namespace {

// Runs change(spec) under the lock on an open state; returns self.
template <class F>
PyObject* Set(PyObject* self, F&& change) {
  auto r = UnderLock(Q(self).lock, [&]() -> BResult<void> {
    if (!Q(self).state) return Invalid(kQueryTaken);
    return change(Q(self).state->spec);
  });
  if (!r) return nullptr;
  if (!*r) return RaiseError(r->error());
  return Py_NewRef(self);
}

PyObject* QueryLimit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PALLIX_PARAMS(kParams, "Query.limit", 1, "n");
  PyObject* a[1];
  uint64_t n;
  if (!MatchArgs(kParams, args, nargs, kwnames, a) || !ArgU64(kParams, 0, a[0], &n)) return nullptr;
  return Set(self, [&](QuerySpec& s) -> BResult<void> { s.limit = n; return {}; });
}

PyObject* QueryOffset(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PALLIX_PARAMS(kParams, "Query.offset", 1, "n");
  PyObject* a[1];
  uint64_t n;
  if (!MatchArgs(kParams, args, nargs, kwnames, a) || !ArgU64(kParams, 0, a[0], &n)) return nullptr;
  return Set(self, [&](QuerySpec& s) -> BResult<void> { s.offset = n; return {}; });
}

PyObject* QueryFilter(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PALLIX_PARAMS(kParams, "Query.filter", 1, "pred");
  PyObject* a[1];
  if (!MatchArgs(kParams, args, nargs, kwnames, a)) return nullptr;
  const Predicate* pred = PredicateOf(a[0]);
  if (pred == nullptr) {
    RaiseArgType(kParams, 0, a[0], "Predicate");
    return nullptr;
  }
  Predicate copy = *pred;  // shares the tree's nodes
  return Set(self, [&](QuerySpec& s) -> BResult<void> { s.filters.push_back(std::move(copy)); return {}; });
}

PyObject* QueryVector(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PALLIX_PARAMS(kParams, "Query.vector", 3, "field", "query", "k", "metric");
  PyObject* a[4];
  std::string field, metric = "cosine";
  uint64_t k;
  if (!MatchArgs(kParams, args, nargs, kwnames, a) || !ArgStr(kParams, 0, a[0], &field) ||
      !ArgU64(kParams, 2, a[2], &k) || (a[3] != nullptr && !ArgStr(kParams, 3, a[3], &metric)))
    return nullptr;
  return Set(self, [&](QuerySpec& s) -> BResult<void> {
    ASSIGN_OR_RETURN(Value v, ValueFromPy(a[1]));
    if (!v.is_vector()) return Invalid("query.vector wants an array('f') (float32 vector)");
    ASSIGN_OR_RETURN(Metric m, ParseMetric(metric));
    s.sources.push_back(VectorSource{std::move(field), v.as_vector(), k, m});
    return {};
  });
}

PyObject* QueryText(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PALLIX_PARAMS(kParams, "Query.text", 3, "field", "query", "k");
  PyObject* a[3];
  std::string field, query;
  uint64_t k;
  if (!MatchArgs(kParams, args, nargs, kwnames, a) || !ArgStr(kParams, 0, a[0], &field) ||
      !ArgStr(kParams, 1, a[1], &query) || !ArgU64(kParams, 2, a[2], &k))
    return nullptr;
  return Set(self, [&](QuerySpec& s) -> BResult<void> {
    s.sources.push_back(TextSource{std::move(field), std::move(query), k});
    return {};
  });
}

// A number narrowed to float32 (round to nearest; beyond range: infinity).
float NarrowF32(double x) {
  if (std::isnan(x) || std::isinf(x)) return static_cast<float>(x);
  constexpr double kMax = 3.4028235677973366e38;  // first double rounding past FLT_MAX
  if (x >= kMax) return INFINITY;
  if (x <= -kMax) return -INFINITY;
  return static_cast<float>(x);
}

PyObject* QueryFuseRrf(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PALLIX_PARAMS(kParams, "Query.fuse_rrf", 1, "k");
  PyObject* a[1];
  double k;
  if (!MatchArgs(kParams, args, nargs, kwnames, a) || !ArgF64(kParams, 0, a[0], &k)) return nullptr;
  return Set(self, [&](QuerySpec& s) -> BResult<void> { s.rrf_k = NarrowF32(k); return {}; });
}

PyObject* QueryRerankMmr(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PALLIX_PARAMS(kParams, "Query.rerank_mmr", 1, "lambda");
  PyObject* a[1];
  double lambda;
  if (!MatchArgs(kParams, args, nargs, kwnames, a) || !ArgF64(kParams, 0, a[0], &lambda)) return nullptr;
  return Set(self, [&](QuerySpec& s) -> BResult<void> { s.mmr_lambda = NarrowF32(lambda); return {}; });
}

PyObject* QueryApprox(PyObject* self) {
  return Set(self, [&](QuerySpec& s) -> BResult<void> { s.approx = true; return {}; });
}

PyObject* QueryOrderBy(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PALLIX_PARAMS(kParams, "Query.order_by", 1, "field", "descending");
  PyObject* a[2];
  std::string field;
  bool descending = false;
  if (!MatchArgs(kParams, args, nargs, kwnames, a) || !ArgStr(kParams, 0, a[0], &field) ||
      (a[1] != nullptr && !ArgBool(kParams, 1, a[1], &descending)))
    return nullptr;
  return Set(self, [&](QuerySpec& s) -> BResult<void> {
    s.order_by = OrderBy{std::move(field), descending};
    return {};
  });
}

PyObject* QuerySelect(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PALLIX_PARAMS(kParams, "Query.select", 1, "fields");
  PyObject* a[1];
  Ref list;
  if (!MatchArgs(kParams, args, nargs, kwnames, a) || !ArgSequence(kParams, 0, a[0], &list)) return nullptr;
  std::vector<std::string> fields;
  for (Py_ssize_t i = 0; i < PyList_Size(list.get()); ++i) {
    std::string f;
    if (!ArgStr(kParams, 0, PyList_GetItem(list.get(), i), &f)) return nullptr;
    fields.push_back(std::move(f));
  }
  return Set(self, [&](QuerySpec& s) -> BResult<void> { s.select = std::move(fields); return {}; });
}

PyObject* CloseQuery(PyObject* self) {
  auto taken = UnderLock(Q(self).lock, [&] { return Q(self).Take(); });
  if (!taken) return nullptr;
  Py_RETURN_NONE;  // the references go with `taken`, after the lock
}

PyObject* QueryExit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PALLIX_PARAMS(kParams, "Query.__exit__", 3, "_exc_type", "_exc_value", "_traceback");
  PyObject* a[3];
  if (!MatchArgs(kParams, args, nargs, kwnames, a)) return nullptr;
  return CloseQuery(self);
}

constexpr int kFlags = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef kQueryMethods[] = {
    {"__enter__", ReturnSelf, METH_NOARGS, kEnterDoc},
    {"__exit__", PALLIX_CFUNC(Fast<QueryExit>), kFlags,
     "__exit__($self, _exc_type, _exc_value, _traceback)\n--\n\nRelease the query at the end of a `with` block."},
    {"filter", PALLIX_CFUNC(Fast<QueryFilter>), kFlags,
     "filter($self, pred)\n--\n\nKeep documents matching `pred` (every filter must hold)."},
    {"vector", PALLIX_CFUNC(Fast<QueryVector>), kFlags,
     "vector($self, field, query, k, metric='cosine')\n--\n\nAdd a vector source: the `k` nearest by `metric`\n"
     "(cosine|dot|l2) to the array('f') `query`."},
    {"text", PALLIX_CFUNC(Fast<QueryText>), kFlags,
     "text($self, field, query, k)\n--\n\nAdd a text source: the `k` best BM25 matches of `query`."},
    {"fuse_rrf", PALLIX_CFUNC(Fast<QueryFuseRrf>), kFlags,
     "fuse_rrf($self, k)\n--\n\nThe Reciprocal Rank Fusion constant (default 60; must be > 0)."},
    {"rerank_mmr", PALLIX_CFUNC(Fast<QueryRerankMmr>), kFlags,
     "rerank_mmr($self, lambda)\n--\n\nRe-rank by Maximal Marginal Relevance (lambda in [0, 1])."},
    {"approx", PALLIX_CFUNC(NoArgs<QueryApprox>), METH_NOARGS,
     "approx($self)\n--\n\nLet a single source take its candidates from its index, filtering after."},
    {"limit", PALLIX_CFUNC(Fast<QueryLimit>), kFlags, "limit($self, n)\n--\n\nAt most `n` result rows (0: none)."},
    {"offset", PALLIX_CFUNC(Fast<QueryOffset>), kFlags, "offset($self, n)\n--\n\nSkip the first `n` result rows."},
    {"order_by", PALLIX_CFUNC(Fast<QueryOrderBy>), kFlags,
     "order_by($self, field, descending=False)\n--\n\nOrder the result by a document field."},
    {"select", PALLIX_CFUNC(Fast<QuerySelect>), kFlags,
     "select($self, fields)\n--\n\nReturn only the listed (dotted) fields of each document."},
    {"run", PALLIX_CFUNC(NoArgs<QueryRun>), METH_NOARGS, "run($self)\n--\n\nRun the query: a list of `Row`."},
    {"count", PALLIX_CFUNC(NoArgs<QueryCount>), METH_NOARGS,
     "count($self)\n--\n\nThe number of documents matching every filter."},
    {"count_distinct", PALLIX_CFUNC(Fast<QueryCountDistinct>), kFlags,
     "count_distinct($self, field)\n--\n\nNumber of distinct group keys of `field`."},
    {"sum", PALLIX_CFUNC(Fast<QuerySum>), kFlags, "sum($self, field)\n--\n\nSum of the numeric values of `field`."},
    {"avg", PALLIX_CFUNC(Fast<QueryAvg>), kFlags,
     "avg($self, field)\n--\n\nMean of the numeric values of `field` (None when there are none)."},
    {"min", PALLIX_CFUNC(Fast<QueryMin>), kFlags, "min($self, field)\n--\n\nLeast orderable value of `field`."},
    {"max", PALLIX_CFUNC(Fast<QueryMax>), kFlags, "max($self, field)\n--\n\nGreatest orderable value of `field`."},
    {"group_count", PALLIX_CFUNC(Fast<QueryGroupCount>), kFlags,
     "group_count($self, field)\n--\n\nDocuments per group key of `field`, keys ascending."},
    {"group_sum", PALLIX_CFUNC(Fast<QueryGroupSum>), kFlags,
     "group_sum($self, group_field, value_field)\n--\n\nSum of `value_field` per group key of `group_field`."},
    {"group_avg", PALLIX_CFUNC(Fast<QueryGroupAvg>), kFlags,
     "group_avg($self, group_field, value_field)\n--\n\nMean of `value_field` per group key of `group_field`."},
    {"close", PALLIX_CFUNC(NoArgs<CloseQuery>), METH_NOARGS,
     "close($self)\n--\n\nRelease the query without running it (idempotent); also runs on GC."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kQuerySlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(DeallocBoxed<QueryHandle>)},
    {Py_tp_methods, kQueryMethods},
    {0, nullptr},
};

PyType_Spec kQuerySpec = {"builtins.Query", sizeof(Boxed<QueryHandle>), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, kQuerySlots};

PyTypeObject* g_query_type = nullptr;

}  // namespace

PyTypeObject* QueryType() { return TypeOnce(&g_query_type, &kQuerySpec); }

PyObject* NewQuery(std::string collection, EngineRefs refs) {
  PyTypeObject* type = QueryType();
  // Kept apart from `refs`, which the new handle takes over.
  std::shared_ptr<LiveHandleCount> count = refs.count;
  PyObject* obj = type != nullptr ? NewBoxed<QueryHandle>(type, std::move(collection), std::move(refs)) : nullptr;
  if (obj == nullptr) count->value.fetch_sub(1);  // never constructed: give the count back
  return obj;
}

std::optional<BResult<QueryState>> TakeQueryBuilder(PyObject* self) {
  return UnderLock(Q(self).lock, [&]() -> BResult<QueryState> {
    std::optional<QueryState> taken = Q(self).Take();
    if (!taken) return Invalid(kQueryTaken);
    taken->spec.engine = taken->refs.engine;
    taken->spec.collection = taken->collection;
    return std::move(*taken);
  });
}

}  // namespace pallix::py

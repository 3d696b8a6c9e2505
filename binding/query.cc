// The predicate classes Predicate and FieldRef, and the module functions
// field, and_, or_ and not_ that build predicate trees.
//
// A Predicate holds one immutable tree (query/predicate.h); every consumer
// takes a copy, which shares the tree's nodes instead of duplicating them,
// so one Predicate may be reused in any number of trees and queries, and
// growing a filter one or_ at a time costs one node per call.
// and_/or_ fold left: and_(a, b, c) is And(And(a, b), c).

#include "binding/error.h"
#include "binding/types.h"
#include "binding/value.h"

namespace pallix::py {

namespace {

// ------------------------------------------------------------ Predicate

PyType_Slot kPredicateSlots[] = {
    {Py_tp_doc, const_cast<char*>("An opaque predicate handle (built by `field()…` / `and_` / `or_` /\n"
                                  "`not_`). Pass to `Query.filter()` or `Collection.delete_where()`.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(DeallocBoxed<Predicate>)},
    {0, nullptr},
};

PyType_Spec kPredicateSpec = {"builtins.Predicate", sizeof(Boxed<Predicate>), 0,
                              Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, kPredicateSlots};

// ------------------------------------------------------------ FieldRef

const std::string& Path(PyObject* self) { return Unbox<std::string>(self); }

// A Predicate from a built tree, or the conversion error raised.
PyObject* Built(BResult<Predicate> tree) {
  if (!tree) return RaiseError(tree.error());
  return NewPredicate(std::move(*tree));
}

PyObject* Compare(const Params& p, CompareOp op, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                  PyObject* kwnames) {
  PyObject* a[1];
  if (!MatchArgs(p, args, nargs, kwnames, a)) return nullptr;
  BResult<Value> value = ValueFromPy(a[0]);
  if (!value) return RaiseError(value.error());
  return NewPredicate(Predicate::Compare(Path(self), op, std::move(*value)));
}

#define PALLIX_COMPARE(fn, pyname, op)                                                             \
  PyObject* fn(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {       \
    PALLIX_PARAMS(kParams, "FieldRef." pyname, 1, "value");                                        \
    return Compare(kParams, op, self, args, nargs, kwnames);                                       \
  }
PALLIX_COMPARE(FieldEq, "eq", CompareOp::kEq)
PALLIX_COMPARE(FieldNe, "ne", CompareOp::kNe)
PALLIX_COMPARE(FieldLt, "lt", CompareOp::kLt)
PALLIX_COMPARE(FieldLe, "le", CompareOp::kLe)
PALLIX_COMPARE(FieldGt, "gt", CompareOp::kGt)
PALLIX_COMPARE(FieldGe, "ge", CompareOp::kGe)
#undef PALLIX_COMPARE

PyObject* FieldExists(PyObject* self) { return NewPredicate(Predicate::Exists(Path(self))); }

PyObject* FieldIn(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PALLIX_PARAMS(kParams, "FieldRef.in_", 1, "values");
  PyObject* a[1];
  Ref list;
  if (!MatchArgs(kParams, args, nargs, kwnames, a) || !ArgSequence(kParams, 0, a[0], &list)) return nullptr;
  return Built([&]() -> BResult<Predicate> {
    std::vector<Value> values;
    // The snapshot list holds every element strongly; nobody else sees it.
    for (Py_ssize_t i = 0; i < PyList_Size(list.get()); ++i) {
      ASSIGN_OR_RETURN(Value v, ValueFromPy(PyList_GetItem(list.get(), i)));
      values.push_back(std::move(v));
    }
    return Predicate::In(Path(self), std::move(values));
  }());
}

PyObject* FieldBetween(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PALLIX_PARAMS(kParams, "FieldRef.between", 2, "low", "high");
  PyObject* a[2];
  if (!MatchArgs(kParams, args, nargs, kwnames, a)) return nullptr;
  return Built([&]() -> BResult<Predicate> {
    ASSIGN_OR_RETURN(Value low, ValueFromPy(a[0]));
    ASSIGN_OR_RETURN(Value high, ValueFromPy(a[1]));
    return Predicate::Between(Path(self), std::move(low), std::move(high));
  }());
}

PyObject* FieldStartsWith(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PALLIX_PARAMS(kParams, "FieldRef.starts_with", 1, "prefix");
  PyObject* a[1];
  std::string prefix;
  if (!MatchArgs(kParams, args, nargs, kwnames, a) || !ArgStr(kParams, 0, a[0], &prefix)) return nullptr;
  return NewPredicate(Predicate::StartsWith(Path(self), std::move(prefix)));
}

PyObject* FieldContains(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PALLIX_PARAMS(kParams, "FieldRef.contains", 1, "substring");
  PyObject* a[1];
  std::string substring;
  if (!MatchArgs(kParams, args, nargs, kwnames, a) || !ArgStr(kParams, 0, a[0], &substring)) return nullptr;
  return NewPredicate(Predicate::Contains(Path(self), std::move(substring)));
}

PyObject* FieldWithinKm(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PALLIX_PARAMS(kParams, "FieldRef.within_km", 3, "lat", "lon", "radius_km");
  PyObject* a[3];
  double lat, lon, radius;
  if (!MatchArgs(kParams, args, nargs, kwnames, a) || !ArgF64(kParams, 0, a[0], &lat) ||
      !ArgF64(kParams, 1, a[1], &lon) || !ArgF64(kParams, 2, a[2], &radius))
    return nullptr;
  return NewPredicate(Predicate::WithinKm(Path(self), lat, lon, radius));
}

constexpr int kMethodFlags = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef kFieldRefMethods[] = {
    {"eq", PALLIX_CFUNC(Fast<FieldEq>), kMethodFlags, "eq($self, value)\n--\n\nThe field equals `value`."},
    {"ne", PALLIX_CFUNC(Fast<FieldNe>), kMethodFlags,
     "ne($self, value)\n--\n\nThe field is present and differs from `value`."},
    {"lt", PALLIX_CFUNC(Fast<FieldLt>), kMethodFlags, "lt($self, value)\n--\n\nThe field is less than `value`."},
    {"le", PALLIX_CFUNC(Fast<FieldLe>), kMethodFlags,
     "le($self, value)\n--\n\nThe field is less than or equal to `value`."},
    {"gt", PALLIX_CFUNC(Fast<FieldGt>), kMethodFlags, "gt($self, value)\n--\n\nThe field is greater than `value`."},
    {"ge", PALLIX_CFUNC(Fast<FieldGe>), kMethodFlags,
     "ge($self, value)\n--\n\nThe field is greater than or equal to `value`."},
    {"exists", PALLIX_CFUNC(NoArgs<FieldExists>), METH_NOARGS,
     "exists($self)\n--\n\nThe field is present (a stored `None` counts)."},
    {"in_", PALLIX_CFUNC(Fast<FieldIn>), kMethodFlags,
     "in_($self, values)\n--\n\nThe field equals one of `values` (a sequence, not a `str`)."},
    {"between", PALLIX_CFUNC(Fast<FieldBetween>), kMethodFlags,
     "between($self, low, high)\n--\n\nThe field lies in `[low, high]`, both ends included."},
    {"starts_with", PALLIX_CFUNC(Fast<FieldStartsWith>), kMethodFlags,
     "starts_with($self, prefix)\n--\n\nThe field is text beginning with `prefix`."},
    {"contains", PALLIX_CFUNC(Fast<FieldContains>), kMethodFlags,
     "contains($self, substring)\n--\n\nThe field is text containing `substring`."},
    {"within_km", PALLIX_CFUNC(Fast<FieldWithinKm>), kMethodFlags,
     "within_km($self, lat, lon, radius_km)\n--\n\nThe field is a point within `radius_km` kilometres of\n"
     "(`lat`, `lon`)."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kFieldRefSlots[] = {
    {Py_tp_doc, const_cast<char*>("A field-path predicate builder: `field(\"a.b\")` names the dotted path\n"
                                  "`a.b`, and each method returns a `Predicate` over it.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(DeallocBoxed<std::string>)},
    {Py_tp_methods, kFieldRefMethods},
    {0, nullptr},
};

PyType_Spec kFieldRefSpec = {"builtins.FieldRef", sizeof(Boxed<std::string>), 0,
                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, kFieldRefSlots};

// ------------------------------------------------------------ functions

PyObject* Field(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PALLIX_PARAMS(kParams, "field", 1, "path");
  PyObject* a[1];
  std::string path;
  if (!MatchArgs(kParams, args, nargs, kwnames, a) || !ArgStr(kParams, 0, a[0], &path)) return nullptr;
  PyTypeObject* type = FieldRefType();
  return type != nullptr ? NewBoxed<std::string>(type, std::move(path)) : nullptr;
}

// and_ / or_: the left fold of copies of every argument's tree (each copy
// shares the argument's nodes: constant time per argument).
PyObject* Fold(const char* fname, bool is_and, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (!NoKeywords(fname, kwnames)) return nullptr;
  static constexpr const char* kNames[] = {"preds"};
  const Params p = {fname, kNames, 1, 0};
  for (Py_ssize_t i = 0; i < nargs; ++i) {
    if (PredicateOf(args[i]) == nullptr) {
      RaiseArgType(p, 0, args[i], "Predicate");
      return nullptr;
    }
  }
  if (nargs == 0) return RaiseError(BindingError(std::string(fname) + "() need at least one predicate", kInvalidArgumentCode));
  Predicate acc = *PredicateOf(args[0]);
  for (Py_ssize_t i = 1; i < nargs; ++i) {
    Predicate next = *PredicateOf(args[i]);
    acc = is_and ? Predicate::And(std::move(acc), std::move(next)) : Predicate::Or(std::move(acc), std::move(next));
  }
  return NewPredicate(std::move(acc));
}

PyObject* And(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return Fold("and_", true, args, nargs, kwnames);
}

PyObject* Or(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return Fold("or_", false, args, nargs, kwnames);
}

PyObject* Not(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PALLIX_PARAMS(kParams, "not_", 1, "pred");
  PyObject* a[1];
  if (!MatchArgs(kParams, args, nargs, kwnames, a)) return nullptr;
  const Predicate* inner = PredicateOf(a[0]);
  if (inner == nullptr) {
    RaiseArgType(kParams, 0, a[0], "Predicate");
    return nullptr;
  }
  return NewPredicate(Predicate::Not(*inner));
}

PyMethodDef kFunctions[kPredicateFunctionCount] = {
    {"field", PALLIX_CFUNC(Fast<Field>), kMethodFlags,
     "field(path)\n--\n\nA `FieldRef` over the dotted field `path` (kept as given)."},
    {"and_", PALLIX_CFUNC(Fast<And>), kMethodFlags,
     "and_(*preds)\n--\n\nAll of `preds` hold (evaluated left to right, stopping early)."},
    {"or_", PALLIX_CFUNC(Fast<Or>), kMethodFlags,
     "or_(*preds)\n--\n\nAny of `preds` holds (evaluated left to right, stopping early)."},
    {"not_", PALLIX_CFUNC(Fast<Not>), kMethodFlags, "not_(pred)\n--\n\n`pred` does not hold."},
};

PyTypeObject* g_predicate_type = nullptr;
PyTypeObject* g_field_ref_type = nullptr;

}  // namespace

PyTypeObject* PredicateType() { return TypeOnce(&g_predicate_type, &kPredicateSpec); }
PyTypeObject* FieldRefType() { return TypeOnce(&g_field_ref_type, &kFieldRefSpec); }
PyMethodDef* PredicateFunctions() { return kFunctions; }

PyObject* NewPredicate(Predicate tree) {
  PyTypeObject* type = PredicateType();
  return type != nullptr ? NewBoxed<Predicate>(type, std::move(tree)) : nullptr;
}

const Predicate* PredicateOf(PyObject* obj) {
  if (g_predicate_type == nullptr || Py_TYPE(obj) != g_predicate_type) return nullptr;
  return &Unbox<Predicate>(obj);
}

}  // namespace pallix::py

#include "binding/py.h"

#include <cstring>

namespace pallix::py {

namespace {

std::string Plural(int n, const char* word) { return std::to_string(n) + " " + word + (n == 1 ? "" : "s"); }

bool TooMany(const Params& p, Py_ssize_t nargs) {
  if (p.count == 0) {
    PyErr_Format(PyExc_TypeError, "%s() takes no arguments (%zd given)", p.name, nargs);
  } else {
    PyErr_Format(PyExc_TypeError, "%s() takes at most %s (%zd given)", p.name, Plural(p.count, "argument").c_str(),
                 nargs);
  }
  return false;
}

// Places one keyword argument; false with TypeError set.
bool PlaceKeyword(const Params& p, PyObject* kw, PyObject* value, PyObject** out) {
  std::string_view name;
  if (!PyUnicode_Check(kw) || !Utf8View(kw, &name)) {
    if (!PyErr_Occurred()) PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", p.name);
    return false;
  }
  for (int i = 0; i < p.count; ++i) {
    if (name == p.names[i]) {
      if (out[i] != nullptr) {
        PyErr_Format(PyExc_TypeError, "argument for %s() given by name ('%s') and position (%d)", p.name,
                     p.names[i], i + 1);
        return false;
      }
      out[i] = value;
      return true;
    }
  }
  PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", p.name, kw);
  return false;
}

bool CheckRequired(const Params& p, PyObject** out) {
  for (int i = 0; i < p.required; ++i) {
    if (out[i] == nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %d)", p.name, p.names[i], i + 1);
      return false;
    }
  }
  return true;
}

// The int behind o (o itself or its __index__), as a new reference; raises
// TypeError naming the parameter when o is not integral.
Ref IndexOf(const Params& p, int index, PyObject* o) {
  if (PyLong_Check(o)) return Ref::Borrow(o);
  if (PyFloat_Check(o) || PyUnicode_Check(o) || PyBytes_Check(o)) {
    RaiseArgType(p, index, o, "int");
    return Ref();
  }
  Ref r = Ref::Steal(PyNumber_Index(o));
  if (!r && PyErr_ExceptionMatches(PyExc_TypeError)) {
    PyErr_Clear();
    RaiseArgType(p, index, o, "int");
  }
  return r;
}

// A NumPy boolean scalar ("numpy.bool_", or "numpy.bool" in NumPy 2).
bool IsNumpyBool(PyObject* o) {
  PyTypeObject* type = Py_TYPE(o);
  std::string name = TypeName(type);
  if (name.empty()) {
    PyErr_Clear();
    return false;
  }
  if (name != "bool_" && name != "bool") return false;
  Ref module = Ref::Steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
  std::string_view m;
  bool ok = module && PyUnicode_Check(module.get()) && Utf8View(module.get(), &m) && m == "numpy";
  if (!ok) PyErr_Clear();
  return ok;
}

// collections.abc.Sequence, looked up once per process.
PyObject* g_sequence_abc = nullptr;

// Whether o is a collections.abc.Sequence: lists and tuples at once, any
// other object by isinstance (so a class that only defines __getitem__ is
// not one, while a registered or derived Sequence is). -1 with an error set.
int IsSequence(PyObject* o) {
  if (PyList_Check(o) || PyTuple_Check(o)) return 1;
  if (g_sequence_abc == nullptr) {
    Ref module = Ref::Steal(PyImport_ImportModule("collections.abc"));
    if (!module) return -1;
    g_sequence_abc = PyObject_GetAttrString(module.get(), "Sequence");
    if (g_sequence_abc == nullptr) return -1;
  }
  return PyObject_IsInstance(o, g_sequence_abc);
}

}  // namespace

bool MatchArgs(const Params& p, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
  for (int i = 0; i < p.count; ++i) out[i] = nullptr;
  if (nargs > p.count) return TooMany(p, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
  Py_ssize_t nkw = kwnames ? PyTuple_Size(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    if (!PlaceKeyword(p, PyTuple_GetItem(kwnames, k), args[nargs + k], out)) return false;
  }
  return CheckRequired(p, out);
}

bool MatchTupleArgs(const Params& p, PyObject* args, PyObject* kwargs, PyObject** out) {
  for (int i = 0; i < p.count; ++i) out[i] = nullptr;
  Py_ssize_t nargs = PyTuple_Size(args);
  if (nargs < 0) return false;
  if (nargs > p.count) return TooMany(p, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = PyTuple_GetItem(args, i);
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!PlaceKeyword(p, key, value, out)) return false;
    }
  }
  return CheckRequired(p, out);
}

bool NoKeywords(const char* fname, PyObject* kwnames) {
  if (kwnames == nullptr || PyTuple_Size(kwnames) == 0) return true;
  PyErr_Format(PyExc_TypeError, "%s() takes no keyword arguments", fname);
  return false;
}

void RaiseArgType(const Params& p, int index, PyObject* o, const char* what) {
  std::string tname = TypeName(Py_TYPE(o));
  if (tname.empty()) {
    PyErr_Clear();
    tname = "object";
  }
  PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be %s, not %s", p.name, p.names[index], what,
               tname.c_str());
}

bool ArgStr(const Params& p, int index, PyObject* o, std::string* out) {
  if (!PyUnicode_Check(o)) {
    RaiseArgType(p, index, o, "str");
    return false;
  }
  return Utf8Of(o, out);
}

bool ArgU64(const Params& p, int index, PyObject* o, uint64_t* out) {
  Ref i = IndexOf(p, index, o);
  if (!i) return false;
  unsigned long long v = PyLong_AsUnsignedLongLong(i.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  *out = v;
  return true;
}

bool ArgI64(const Params& p, int index, PyObject* o, int64_t* out) {
  Ref i = IndexOf(p, index, o);
  if (!i) return false;
  long long v = PyLong_AsLongLong(i.get());
  if (v == -1 && PyErr_Occurred()) return false;
  *out = v;
  return true;
}

bool ArgF64(const Params& p, int index, PyObject* o, double* out) {
  if (PyFloat_Check(o)) {
    *out = PyFloat_AsDouble(o);
    return true;
  }
  if (PyUnicode_Check(o) || PyBytes_Check(o) || PyByteArray_Check(o)) {
    RaiseArgType(p, index, o, "float");
    return false;
  }
  double v = PyFloat_AsDouble(o);  // __float__, then __index__
  if (v == -1.0 && PyErr_Occurred()) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Clear();
      RaiseArgType(p, index, o, "float");
    }
    return false;
  }
  *out = v;
  return true;
}

bool ArgBool(const Params& p, int index, PyObject* o, bool* out) {
  if (PyBool_Check(o)) {
    *out = (o == Py_True);
    return true;
  }
  if (IsNumpyBool(o)) {
    int truth = PyObject_IsTrue(o);
    if (truth < 0) return false;
    *out = truth != 0;
    return true;
  }
  RaiseArgType(p, index, o, "bool");
  return false;
}

bool ArgSequence(const Params& p, int index, PyObject* o, Ref* out) {
  if (PyUnicode_Check(o)) {
    RaiseArgType(p, index, o, "a sequence other than str");
    return false;
  }
  int is_sequence = IsSequence(o);
  if (is_sequence < 0) return false;
  if (!is_sequence) {
    RaiseArgType(p, index, o, "a sequence");
    return false;
  }
  Ref list = Ref::Steal(PySequence_List(o));
  if (!list) return false;
  *out = std::move(list);
  return true;
}

std::string TypeName(PyTypeObject* type) {
  Ref name = Ref::Steal(PyType_GetName(type));
  std::string s;
  if (!name || !Utf8Of(name.get(), &s)) return {};
  return s;
}

std::string TypeQualName(PyTypeObject* type) {
  Ref name = Ref::Steal(PyType_GetQualName(type));
  std::string s;
  if (!name || !PyUnicode_Check(name.get()) || !Utf8Of(name.get(), &s)) {
    PyErr_Clear();
    return "object";
  }
  return s;
}

bool Utf8View(PyObject* str, std::string_view* out) {
  Py_ssize_t len = 0;
  const char* data = PyUnicode_AsUTF8AndSize(str, &len);
  if (data == nullptr) return false;
  *out = std::string_view(data, static_cast<size_t>(len));
  return true;
}

int AddToModule(PyObject* module, const char* name, Ref value) {
  if (!value) return -1;
  Ref all = Ref::Steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    all = Ref::Steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return -1;
  }
  Ref pyname = Ref::Steal(PyUnicode_FromString(name));
  if (!pyname || PyList_Append(all.get(), pyname.get()) < 0) return -1;
  return PyObject_SetAttrString(module, name, value.get());
}

PyTypeObject* TypeOnce(PyTypeObject** slot, PyType_Spec* spec) {
  if (*slot == nullptr) *slot = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(spec));
  return *slot;
}

}  // namespace pallix::py

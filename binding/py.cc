#include "binding/py.h"

#include <cstring>

namespace pallix::py {

namespace {

std::string Plural(int n, const char* word) { return std::to_string(n) + " " + word + (n == 1 ? "" : "s"); }

}  // namespace

bool MatchArgs(const Params& p, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
  for (int i = 0; i < p.count; ++i) out[i] = nullptr;
  if (nargs > p.count) {
    if (p.count == 0) {
      PyErr_Format(PyExc_TypeError, "%s() takes no arguments (%zd given)", p.name, nargs);
    } else {
      PyErr_Format(PyExc_TypeError, "%s() takes at most %s (%zd given)", p.name,
                   Plural(p.count, "argument").c_str(), nargs);
    }
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
  Py_ssize_t nkw = kwnames ? PyTuple_Size(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* kw = PyTuple_GetItem(kwnames, k);  // borrowed
    Py_ssize_t len = 0;
    const char* kwname = PyUnicode_AsUTF8AndSize(kw, &len);
    if (kwname == nullptr) return false;
    int found = -1;
    for (int i = 0; i < p.count; ++i) {
      if (std::strlen(p.names[i]) == static_cast<size_t>(len) && std::memcmp(p.names[i], kwname, len) == 0) {
        found = i;
        break;
      }
    }
    if (found < 0) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%s'", p.name, kwname);
      return false;
    }
    if (out[found] != nullptr) {
      PyErr_Format(PyExc_TypeError, "argument for %s() given by name ('%s') and position (%d)", p.name, kwname,
                   found + 1);
      return false;
    }
    out[found] = args[nargs + k];
  }
  for (int i = 0; i < p.required; ++i) {
    if (out[i] == nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %d)", p.name, p.names[i], i + 1);
      return false;
    }
  }
  return true;
}

void RaiseArgType(const Params& p, int index, PyObject* o, const char* what) {
  std::string tname = TypeName(o);
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

namespace {

// The int behind o (o itself or its __index__), as a new reference; raises
// TypeError naming the parameter when o is not integral.
Ref IndexOf(const Params& p, int index, PyObject* o) {
  if (PyLong_Check(o)) return Ref::Borrow(o);
  if (PyFloat_Check(o) || PyUnicode_Check(o) || PyBytes_Check(o)) {
    RaiseArgType(p, index, o, "int");
    return Ref();
  }
  Ref r = Ref::Steal(PyNumber_Index(o));
  if (!r) {
    PyErr_Clear();
    RaiseArgType(p, index, o, "int");
  }
  return r;
}

}  // namespace

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

bool ArgU32(const Params& p, int index, PyObject* o, uint32_t* out) {
  uint64_t v;
  if (!ArgU64(p, index, o, &v)) return false;
  if (v > UINT32_MAX) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return false;
  }
  *out = static_cast<uint32_t>(v);
  return true;
}

bool ArgUsize(const Params& p, int index, PyObject* o, size_t* out) {
  uint64_t v;
  if (!ArgU64(p, index, o, &v)) return false;
  *out = static_cast<size_t>(v);
  return true;
}

bool ArgF64(const Params& p, int index, PyObject* o, double* out) {
  if (PyFloat_Check(o)) {
    *out = PyFloat_AsDouble(o);
    return true;
  }
  if (PyUnicode_Check(o) || PyBytes_Check(o)) {
    RaiseArgType(p, index, o, "float");
    return false;
  }
  double v = PyFloat_AsDouble(o);
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
  if (!PyBool_Check(o)) {
    RaiseArgType(p, index, o, "bool");
    return false;
  }
  *out = (o == Py_True);
  return true;
}

bool ArgSequence(const Params& p, int index, PyObject* o, Ref* out) {
  if (PyUnicode_Check(o)) {
    PyErr_Format(PyExc_TypeError, "%s() argument '%s': Can't extract `str` to `Vec`", p.name, p.names[index]);
    return false;
  }
  if (!PySequence_Check(o)) {
    RaiseArgType(p, index, o, "a sequence");
    return false;
  }
  Ref list = Ref::Steal(PySequence_List(o));
  if (!list) return false;
  *out = std::move(list);
  return true;
}

std::string TypeName(PyObject* o) {
  Ref name = Ref::Steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(o)), "__name__"));
  if (!name) return {};
  std::string s;
  if (!PyUnicode_Check(name.get()) || !Utf8Of(name.get(), &s)) return {};
  return s;
}

std::string TypeQualName(PyObject* o) {
  Ref name = Ref::Steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(o)), "__qualname__"));
  std::string s;
  if (!name || !PyUnicode_Check(name.get()) || !Utf8Of(name.get(), &s)) {
    PyErr_Clear();
    return "object";
  }
  return s;
}

bool StrOf(PyObject* o, std::string* out) {
  Ref s = Ref::Steal(PyObject_Str(o));
  if (!s || !Utf8Of(s.get(), out)) {
    PyErr_Clear();
    return false;
  }
  return true;
}

bool Utf8Of(PyObject* str, std::string* out) {
  Py_ssize_t len = 0;
  const char* data = PyUnicode_AsUTF8AndSize(str, &len);
  if (data == nullptr) return false;
  out->assign(data, static_cast<size_t>(len));
  return true;
}

int AddToModule(PyObject* module, const char* name, Ref value) {
  if (!value) return -1;
  Ref all = Ref::Steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    PyErr_Clear();
    all = Ref::Steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return -1;
  }
  Ref pyname = Ref::Steal(PyUnicode_FromString(name));
  if (!pyname || PyList_Append(all.get(), pyname.get()) < 0) return -1;
  return PyObject_SetAttrString(module, name, value.get());
}

}  // namespace pallix::py

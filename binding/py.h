// The binding's small helpers on the CPython limited API: an owning
// reference, the argument matcher and typed converters every method uses,
// instance allocation for heap types holding a C++ payload, and the
// docstring convention that gives inspect.signature its answer.
//
// A method reads as: parse arguments (TypeError/OverflowError, before any
// lock), lock the handle, call the engine, unlock, convert or raise.
//
// Docstrings start with the text signature in the interpreter's convention:
//   "name($self, a, b=None)\n--\n\n<text>"
// ($cls for class methods, no $ for module functions); the interpreter
// splits that into __text_signature__ and __doc__.
//
// Thread-safety: everything here requires the interpreter lock.

#ifndef PALLIX_BINDING_PY_H_
#define PALLIX_BINDING_PY_H_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <new>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

namespace pallix::py {

// An owned (strong) reference. Null means "no object" (usually: an error
// is set). Every reference the binding owns lives in one of these.
class Ref {
 public:
  Ref() = default;
  // Takes over a new reference (may be null).
  static Ref Steal(PyObject* o) { return Ref(o); }
  // Takes a new strong reference to a borrowed object.
  static Ref Borrow(PyObject* o) {
    Py_XINCREF(o);
    return Ref(o);
  }
  Ref(const Ref& other) : p_(other.p_) { Py_XINCREF(p_); }
  Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  Ref& operator=(Ref other) noexcept {
    std::swap(p_, other.p_);
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }

  PyObject* get() const { return p_; }
  // Gives up ownership: the caller now owns the reference.
  PyObject* release() { return std::exchange(p_, nullptr); }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  explicit Ref(PyObject* p) : p_(p) {}
  PyObject* p_ = nullptr;
};

// ----------------------------------------------------------------- arguments

// The parameters of one method, for the argument matcher. `name` is the
// method's qualified name as shown in TypeError texts ("Db.collection").
struct Params {
  const char* name;
  const char* const* names;  // parameter names, in order
  int count;                 // number of parameters
  int required;              // the first `required` have no default
};

// Matches vectorcall arguments (METH_FASTCALL | METH_KEYWORDS) to `p`,
// writing borrowed references to out[0..count) (null for an omitted
// optional parameter). Raises TypeError as the interpreter does for missing,
// surplus, unknown or repeated arguments. Returns false with the error set.
bool MatchArgs(const Params& p, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out);
// The same for a tp_new call: a positional tuple and an optional dict.
bool MatchTupleArgs(const Params& p, PyObject* args, PyObject* kwargs, PyObject** out);
// For *args functions: refuses keyword arguments. False with TypeError set.
bool NoKeywords(const char* fname, PyObject* kwnames);

// Typed extraction of one matched argument. Each raises TypeError naming the
// method and the parameter for a value of the wrong type, OverflowError for
// an int out of range, and returns false with the error set.
bool ArgStr(const Params& p, int index, PyObject* o, std::string* out);
bool ArgU64(const Params& p, int index, PyObject* o, uint64_t* out);
bool ArgI64(const Params& p, int index, PyObject* o, int64_t* out);
// A float, an int, or anything with __float__ or __index__; str and bytes
// are refused.
bool ArgF64(const Params& p, int index, PyObject* o, double* out);
// A bool, or a NumPy boolean scalar; 0 and 1 are refused.
bool ArgBool(const Params& p, int index, PyObject* o, bool* out);
// A sequence parameter: a list, a tuple or another collections.abc.Sequence;
// a str (or str subclass, which is never split into characters), a set, a
// dict, an iterator or an object that merely defines __getitem__ is refused. Returns a new list snapshot holding strong
// references, so a later type check that runs user code cannot free an
// element under us.
bool ArgSequence(const Params& p, int index, PyObject* o, Ref* out);

// Raises TypeError "<method>() argument '<param>' must be <what>, not <type>".
void RaiseArgType(const Params& p, int index, PyObject* o, const char* what);

// Declares the Params of a method: PALLIX_PARAMS(kParams, "Db.collection",
// 1, "name") for one required parameter.
#define PALLIX_PARAMS(var, fname, required, ...)                                        \
  static constexpr const char* var##_names[] = {__VA_ARGS__};                           \
  static constexpr ::pallix::py::Params var = {fname, var##_names,                      \
                                               static_cast<int>(std::size(var##_names)), \
                                               required}

// A method table entry's function pointer from any C function signature.
#define PALLIX_CFUNC(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn))

// ----------------------------------------------------------------- objects

// The type's qualified name ("ValueError", "f.<locals>.E"), as used in
// converted error texts. Never fails (falls back to "object").
std::string TypeQualName(PyTypeObject* type);
// The type's __name__ ("set"), or empty with an error set.
std::string TypeName(PyTypeObject* type);

// UTF-8 bytes of a str (or subclass), as a view valid while the str lives.
// False with the error set (a lone surrogate: UnicodeEncodeError).
bool Utf8View(PyObject* str, std::string_view* out);
inline bool Utf8Of(PyObject* str, std::string* out) {
  std::string_view v;
  if (!Utf8View(str, &v)) return false;
  out->assign(v);
  return true;
}

// New str from UTF-8 bytes (strict).
inline Ref NewStr(std::string_view s) {
  return Ref::Steal(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}
inline Ref NewBytes(std::string_view s) {
  return Ref::Steal(PyBytes_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}
inline Ref NewBool(bool b) { return Ref::Borrow(b ? Py_True : Py_False); }
inline Ref None() { return Ref::Borrow(Py_None); }

// Calls fn(a) or fn(a, b): positional arguments only, no keywords. A new
// reference, or null with the callee's exception set.
inline Ref CallPositional(PyObject* fn, PyObject* a, PyObject* b = nullptr) {
  return Ref::Steal(PyObject_CallFunctionObjArgs(fn, a, b, nullptr));
}

// Appends `name` to module.__all__ (creating it) and sets the attribute.
// Returns -1 with an error set on failure (also when `value` is null).
int AddToModule(PyObject* module, const char* name, Ref value);

// A heap type whose instances are the object header followed by one C++
// value. The value is constructed after allocation and destroyed in the
// type's dealloc; it must not throw while being constructed.
template <class T>
struct Boxed {
  PyObject_HEAD
  T value;
};

template <class T>
T& Unbox(PyObject* o) {
  return reinterpret_cast<Boxed<T>*>(o)->value;
}

// A new instance of `type` holding T(args...). Null with an error set.
template <class T, class... A>
PyObject* NewBoxed(PyTypeObject* type, A&&... args) {
  static_assert(std::is_nothrow_constructible_v<T, A&&...>);
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* o = alloc(type, 0);
  if (o == nullptr) return nullptr;
  new (&Unbox<T>(o)) T(std::forward<A>(args)...);
  return o;
}

// The tp_dealloc of a Boxed<T> heap type (GC-aware).
template <class T>
void DeallocBoxed(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  if (PyType_GetFlags(type) & Py_TPFLAGS_HAVE_GC) PyObject_GC_UnTrack(self);
  Unbox<T>(self).~T();
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

// Pauses the cyclic garbage collector while the binding builds a large
// result (scan, page) out of fresh objects; its earlier state comes back at
// the end of the scope. No Python code runs meanwhile, so nothing can
// observe the pause; without it the collector would walk the growing
// result again and again (several times the cost of building it).
class GcPause {
 public:
  GcPause() : was_enabled_(PyGC_Disable()) {}
  ~GcPause() {
    if (was_enabled_) PyGC_Enable();
  }
  GcPause(const GcPause&) = delete;
  GcPause& operator=(const GcPause&) = delete;

 private:
  int was_enabled_;
};

// Creates a heap type from `spec` once per process and keeps it for good.
// Returns a borrowed reference, or null with an error set.
PyTypeObject* TypeOnce(PyTypeObject** slot, PyType_Spec* spec);

}  // namespace pallix::py

#endif  // PALLIX_BINDING_PY_H_

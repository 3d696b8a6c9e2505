// The binding's small helpers on the CPython limited API: an owning
// reference, the argument parser and converters every method uses, and the
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
#include <string>
#include <string_view>
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
// method's name as shown in TypeError texts ("collection").
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

// Typed extraction of one matched argument. Each raises TypeError naming the
// method and the parameter for a value of the wrong type, OverflowError for
// an int out of range, and returns false with the error set.
bool ArgStr(const Params& p, int index, PyObject* o, std::string* out);
bool ArgU64(const Params& p, int index, PyObject* o, uint64_t* out);
bool ArgI64(const Params& p, int index, PyObject* o, int64_t* out);
bool ArgU32(const Params& p, int index, PyObject* o, uint32_t* out);
bool ArgUsize(const Params& p, int index, PyObject* o, size_t* out);
// A float, an int, or anything with __float__ or __index__; str is refused.
bool ArgF64(const Params& p, int index, PyObject* o, double* out);
// bool only (the interpreter's strict rule for flag parameters).
bool ArgBool(const Params& p, int index, PyObject* o, bool* out);
// A sequence parameter: list, tuple or other non-str sequence; str, bytes
// and str subclasses are refused. Returns a new list snapshot (strong refs).
bool ArgSequence(const Params& p, int index, PyObject* o, Ref* out);

// Raises TypeError "<method>() argument '<param>' must be <what>, not <type>".
void RaiseArgType(const Params& p, int index, PyObject* o, const char* what);

// Declares the Params of a method: PALLIX_PARAMS(kCollectionParams,
// "collection", 1, "name") for one required parameter.
#define PALLIX_PARAMS(var, fname, required, ...)                                     \
  static constexpr const char* var##_names[] = {__VA_ARGS__};                        \
  static constexpr ::pallix::py::Params var = {fname, var##_names,                   \
                                               static_cast<int>(std::size(var##_names)), \
                                               required}

// ----------------------------------------------------------------- objects

// Qualified type name of an object ("module.Name" or "Name" for builtins),
// as used in converted error texts. Never fails (falls back to "object").
std::string TypeQualName(PyObject* o);
// The type's __name__, or empty with an error set.
std::string TypeName(PyObject* o);

// str(o) as UTF-8, or nullopt-like false with the error cleared.
bool StrOf(PyObject* o, std::string* out);

// UTF-8 bytes of a str (or subclass). False with the error set on failure.
bool Utf8Of(PyObject* str, std::string* out);

// New str from UTF-8 bytes (strict).
inline Ref NewStr(std::string_view s) {
  return Ref::Steal(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}
inline Ref NewBytes(std::string_view s) {
  return Ref::Steal(PyBytes_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}

// Appends `name` to module.__all__ (creating it) and sets the attribute.
// Steals `value`. Returns -1 with an error set on failure.
int AddToModule(PyObject* module, const char* name, Ref value);

}  // namespace pallix::py

#endif  // PALLIX_BINDING_PY_H_

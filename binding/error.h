// Errors at the Python boundary: the binding's error value, the exception
// class PallixError, the frozen ErrorCode table, the private panic
// exception, and the wrappers that make every method a boundary where C++
// exceptions stop.
//
// A method body returns its result or a BindingError; the method raises the
// error as PallixError (code, message) only after its handle lock is
// released. Broken invariants (pallix::InvariantError thrown by the engine)
// and poisoned handle locks surface as the panic exception, which derives
// from BaseException so that `except Exception` does not swallow it.
//
// Thread-safety: requires the interpreter lock.

#ifndef PALLIX_BINDING_ERROR_H_
#define PALLIX_BINDING_ERROR_H_

#include <cstdint>
#include <expected>
#include <string>

#include "base/error.h"
#include "binding/py.h"

namespace pallix::py {

// Codes of the ErrorCode table: 1..18 are the engine's kinds, 19 is ours.
inline constexpr uint32_t kInvalidArgumentCode = 12;
inline constexpr uint32_t kBusyCode = 19;

// The messages of closed and taken handles.
inline constexpr const char* kDbClosed = "database handle is closed";
inline constexpr const char* kCollectionClosed = "collection handle is closed";
inline constexpr const char* kQueryTaken = "query was already executed or closed";

struct BindingError {
  BindingError(std::string m, uint32_t c) : message(std::move(m)), code(c) {}
  // An engine error converts implicitly (its code and display text), so
  // ASSIGN_OR_RETURN passes engine failures through binding bodies.
  BindingError(const EngineError& e) : message(e.Message()), code(e.code()) {}

  std::string message;
  uint32_t code;
};

template <class T>
using BResult = std::expected<T, BindingError>;

// A binding-side validation failure: code 12, the text as given.
inline std::unexpected<BindingError> Invalid(std::string message) {
  return std::unexpected(BindingError{std::move(message), kInvalidArgumentCode});
}

// Engine error to binding error: the kind's code and display text.
inline BindingError FromEngineError(const EngineError& e) { return BindingError(e); }

// The text of the Python exception being raised, consumed (cleared):
// "<qualified type name>: <str(exc)>", or ": <exception str() failed>"
// after the name when str() itself raises.
std::string TakePyErrText();
// Python exception to binding error: that text with code 12.
inline BindingError ErrorFromPyErr() { return BindingError{TakePyErrText(), kInvalidArgumentCode}; }

// Raises `e` as PallixError(message) with `code` and `message` attributes.
// Always returns null (for `return RaiseError(e);`).
PyObject* RaiseError(const BindingError& e);

// The exception class PallixError and the ErrorCode class, each created
// once per process. Borrowed references; null with an error set.
PyObject* PallixErrorType();
PyTypeObject* ErrorCodeType();

// Raises the private panic exception with `message`. When even that
// fails, the process ends ("uncaught panic at ffi boundary").
void RaisePanic(const char* message);
// Turns the C++ exception being handled (inside a catch block) into a
// Python exception: InvariantError and anything unknown become the panic,
// std::bad_alloc becomes MemoryError.
void RaiseCurrentException() noexcept;

// Boundary wrappers: each calls the method body F and stops any C++
// exception there. Use them for every function placed in a method table
// or a type slot.
template <auto F>
PyObject* Fast(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  try {
    return F(self, args, nargs, kwnames);
  } catch (...) {
    RaiseCurrentException();
    return nullptr;
  }
}

template <auto F>
PyObject* NoArgs(PyObject* self, PyObject*) noexcept {
  try {
    return F(self);
  } catch (...) {
    RaiseCurrentException();
    return nullptr;
  }
}

template <auto F>
PyObject* Getter(PyObject* self, void*) noexcept {
  try {
    return F(self);
  } catch (...) {
    RaiseCurrentException();
    return nullptr;
  }
}

template <auto F>
PyObject* Unary(PyObject* self) noexcept {
  try {
    return F(self);
  } catch (...) {
    RaiseCurrentException();
    return nullptr;
  }
}

template <auto F>
Py_ssize_t Length(PyObject* self) noexcept {
  try {
    return F(self);
  } catch (...) {
    RaiseCurrentException();
    return -1;
  }
}

template <auto F>
PyObject* NewFunc(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  try {
    return F(type, args, kwargs);
  } catch (...) {
    RaiseCurrentException();
    return nullptr;
  }
}

// __enter__, shared by Db, Collection and Query: the object itself.
PyObject* ReturnSelf(PyObject* self, PyObject*);
inline constexpr const char* kEnterDoc = "__enter__($self)\n--\n\nReturn the handle itself (for `with`).";

}  // namespace pallix::py

#endif  // PALLIX_BINDING_ERROR_H_

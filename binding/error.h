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
#include <type_traits>

#include "base/error.h"
#include "base/port.h"
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
// std::bad_alloc becomes MemoryError. Not noexcept: raising touches the
// interpreter, which may end this thread at interpreter exit (see below),
// and that unwind must be able to leave here.
void RaiseCurrentException();

// What a boundary returns once it has raised: null for an object, -1 for
// a length.
template <class R>
R Raised() {
  if constexpr (std::is_pointer_v<R>) {
    return nullptr;
  } else {
    return -1;
  }
}

// The boundary around a method body F, for a method-table entry or a type
// slot of C type Slot: the one place where C++ exceptions stop. F takes
// either the slot's parameters or only the first one (a METH_NOARGS
// method's unused argument and a getter's closure are dropped).
//
// A daemon thread that takes the interpreter lock back while the
// interpreter is exiting is ended there by an unwind (abi::__forced_unwind,
// see base/port.h), from inside a method as often as not: a callback, a
// wait for a handle lock or for the writer, WithoutGil. The unwind must
// reach the thread's start, so it is rethrown here, and no frame it can
// cross is noexcept (leaving one calls std::terminate). The RAII holders
// it passes release what they hold (handle locks, the writer slot, read
// transactions); a handle lock is not poisoned by it unless an inner
// boundary rethrew it first (a callback's call into another handle), which
// then only matters to a process that is exiting.
template <auto F, class Slot>
struct Boundary;

template <auto F, class R, class First, class... Rest>
struct Boundary<F, R (*)(First, Rest...)> {
  PALLIX_CATCHES_FORCED_UNWIND static R Call(First first, Rest... rest) {
    try {
      if constexpr (std::is_invocable_v<decltype(F), First, Rest...>) {
        return F(first, rest...);
      } else {
        return F(first);
      }
    } catch (abi::__forced_unwind&) {
      throw;
    } catch (...) {
      RaiseCurrentException();
      return Raised<R>();
    }
  }
};

// The boundaries by slot type. Use one for every function placed in a
// method table or a type slot.
using FastSlot = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
template <auto F>
inline constexpr auto Fast = &Boundary<F, FastSlot>::Call;  // METH_FASTCALL | METH_KEYWORDS
template <auto F>
inline constexpr auto NoArgs = &Boundary<F, PyCFunction>::Call;  // METH_NOARGS
template <auto F>
inline constexpr auto Getter = &Boundary<F, getter>::Call;
template <auto F>
inline constexpr auto Unary = &Boundary<F, unaryfunc>::Call;  // tp_repr
template <auto F>
inline constexpr auto Length = &Boundary<F, lenfunc>::Call;  // mp_length
template <auto F>
inline constexpr auto NewFunc = &Boundary<F, newfunc>::Call;  // tp_new

// __enter__, shared by Db, Collection and Query: the object itself.
PyObject* ReturnSelf(PyObject* self, PyObject*);
inline constexpr const char* kEnterDoc = "__enter__($self)\n--\n\nReturn the handle itself (for `with`).";

}  // namespace pallix::py

#endif  // PALLIX_BINDING_ERROR_H_

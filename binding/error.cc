#include "binding/error.h"

#include <cstring>
#include <new>

#include "base/lock.h"

namespace pallix::py {

namespace {

constexpr const char* kPallixErrorDoc =
    "pallix engine error: carries the C-ABI error `code` (see ErrorCode) and the engine `message`.";

constexpr const char* kPanicDoc =
    "An internal invariant of the engine broke, or a handle lock was poisoned by an earlier\n"
    "failure. Not an `Exception`: it is not meant to be caught and retried.";

PyObject* g_pallix_error = nullptr;
PyObject* g_panic = nullptr;
PyTypeObject* g_error_code = nullptr;

// The ErrorCode table, in code order. Frozen: never renumber or reuse.
constexpr const char* kCodeNames[] = {
    "DATABASE",      "TRANSACTION",    "TABLE",          "STORAGE",     "COMMIT",
    "SET_DURABILITY", "COMPACTION",    "DECODE",         "CORRUPT_INDEX", "RESERVED_COLLECTION",
    "INVALID_NAME",  "INVALID_ARGUMENT", "INCOMPATIBLE_FORMAT", "EMPTY_INDEX_TRAINING", "SCHEMA_VIOLATION",
    "INVALID_DUMP",  "BACKUP_TARGET_EXISTS", "IO",       "BUSY",
};
static_assert(std::size(kCodeNames) == kBusyCode);

PyType_Slot kErrorCodeSlots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "The frozen table of C-ABI error codes carried by `PallixError.code`.\n\n"
                    "The table is frozen: codes are never renumbered, reused or reordered.")},
    {0, nullptr},
};

PyType_Spec kErrorCodeSpec = {
    "builtins.ErrorCode", 0, 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, kErrorCodeSlots,
};

PyObject* PanicType() {
  if (g_panic == nullptr)
    g_panic = PyErr_NewExceptionWithDoc("pallix.PanicException", kPanicDoc, PyExc_BaseException, nullptr);
  return g_panic;
}

}  // namespace

std::string TakePyErrText() {
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  Ref t = Ref::Steal(type), v = Ref::Steal(value), trace = Ref::Steal(tb);
  std::string text = t ? TypeQualName(reinterpret_cast<PyTypeObject*>(t.get())) : "object";
  text += ": ";
  Ref s = Ref::Steal(v ? PyObject_Str(v.get()) : nullptr);
  std::string body;
  if (s && Utf8Of(s.get(), &body)) {
    text += body;
  } else {
    PyErr_Clear();
    text += "<exception str() failed>";
  }
  return text;
}

PyObject* PallixErrorType() {
  if (g_pallix_error == nullptr) {
    g_pallix_error = PyErr_NewExceptionWithDoc("pallix.PallixError", kPallixErrorDoc, PyExc_Exception, nullptr);
    if (g_pallix_error == nullptr) {
      PyErr_Clear();
      PyErr_SetString(PyExc_RuntimeError, "Failed to initialize new exception type.");
    }
  }
  return g_pallix_error;
}

PyTypeObject* ErrorCodeType() {
  if (g_error_code != nullptr) return g_error_code;
  Ref type = Ref::Steal(PyType_FromSpec(&kErrorCodeSpec));
  if (!type) return nullptr;
  for (uint32_t code = 1; code <= kBusyCode; ++code) {
    Ref value = Ref::Steal(PyLong_FromUnsignedLong(code));
    if (!value || PyObject_SetAttrString(type.get(), kCodeNames[code - 1], value.get()) < 0) return nullptr;
  }
  g_error_code = reinterpret_cast<PyTypeObject*>(type.release());
  return g_error_code;
}

PyObject* RaiseError(const BindingError& e) {
  PyObject* type = PallixErrorType();
  if (type == nullptr) return nullptr;
  Ref message = NewStr(e.message);
  if (!message) return nullptr;
  Ref exc = Ref::Steal(PyObject_CallFunctionObjArgs(type, message.get(), nullptr));
  if (!exc) return nullptr;
  // Failures to set the attributes are discarded: the exception still goes.
  Ref code = Ref::Steal(PyLong_FromUnsignedLong(e.code));
  if (!code || PyObject_SetAttrString(exc.get(), "code", code.get()) < 0) PyErr_Clear();
  if (PyObject_SetAttrString(exc.get(), "message", message.get()) < 0) PyErr_Clear();
  PyErr_SetObject(type, exc.get());
  return nullptr;
}

void RaisePanic(const char* message) {
  PyObject* type = PanicType();
  Ref text = Ref::Steal(type != nullptr ? PyUnicode_DecodeUTF8(message, std::strlen(message), "replace") : nullptr);
  if (!text) Py_FatalError("uncaught panic at ffi boundary");
  PyErr_SetObject(type, text.get());
}

PALLIX_CATCHES_FORCED_UNWIND void RaiseCurrentException() {
  try {
    throw;
  } catch (abi::__forced_unwind&) {
    throw;  // a thread being ended; the boundaries pass it on before this
  } catch (const InvariantError& e) {
    RaisePanic(e.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    RaisePanic(e.what());
  } catch (...) {
    RaisePanic("unknown C++ exception");
  }
}

PyObject* ReturnSelf(PyObject* self, PyObject*) { return Py_NewRef(self); }

}  // namespace pallix::py

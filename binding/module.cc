// The extension module pallix._native: its definition and its single
// execution step, which adds every class and function in a fixed order and
// appends each name to __all__. Nothing else happens at import: no file is
// opened and no thread is started.

#include "binding/error.h"
#include "binding/handle.h"
#include "binding/types.h"

namespace pallix::py {
namespace {

// The generation of the binding's interface.
constexpr long kFfiVersion = 1;

PyObject* FfiVersion(PyObject*, PyObject*) { return PyLong_FromLong(kFfiVersion); }

PyMethodDef kFfiVersionDef = {"ffi_version", FfiVersion, METH_NOARGS,
                              "ffi_version()\n--\n\nThe generation of the binding's interface (1)."};

int AddType(PyObject* module, const char* name, PyTypeObject* type) {
  return AddToModule(module, name, Ref::Borrow(reinterpret_cast<PyObject*>(type)));
}

// A built-in function bound to the module (its __self__ and __module__).
int AddFunction(PyObject* module, PyMethodDef* def) {
  Ref name = Ref::Steal(PyModule_GetNameObject(module));
  if (!name) return -1;
  return AddToModule(module, def->ml_name, Ref::Steal(PyCFunction_NewEx(def, module, name.get())));
}

int ExecModule(PyObject* module) {
  if (!PyModule_Check(module)) {
    PyErr_SetString(PyExc_TypeError, "expected a module object");
    return -1;
  }
  // A thread waiting for the single writer gives up the interpreter lock.
  InstallWaitHooks();
  if (AddType(module, "Db", DbType()) < 0 || AddType(module, "Collection", CollectionType()) < 0 ||
      AddType(module, "Query", QueryType()) < 0 ||
      AddToModule(module, "PallixError", Ref::Borrow(PallixErrorType())) < 0 ||
      AddType(module, "ErrorCode", ErrorCodeType()) < 0 || AddType(module, "Predicate", PredicateType()) < 0 ||
      AddType(module, "FieldRef", FieldRefType()) < 0 || AddType(module, "SchemaField", SchemaFieldType()) < 0 ||
      AddType(module, "Row", RowType()) < 0 || AddType(module, "Page", PageType()) < 0 ||
      AddType(module, "GeoHit", GeoHitType()) < 0)
    return -1;
  if (AddFunction(module, &kFfiVersionDef) < 0) return -1;
  PyMethodDef* functions = PredicateFunctions();
  for (int i = 0; i < kPredicateFunctionCount; ++i) {
    if (AddFunction(module, &functions[i]) < 0) return -1;
  }
  return 0;
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(ExecModule)},
    {0, nullptr},
};

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT,
    "_native",  // m_name
    "",         // m_doc: empty (so __doc__ is "", not None)
    0,          // m_size: no per-module state
    nullptr,    // m_methods: functions are added by the execution step
    kSlots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace pallix::py

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__native() {
  return PyModuleDef_Init(&pallix::py::kModuleDef);
}

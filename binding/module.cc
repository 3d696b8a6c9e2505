// The extension module pallix._native: its definition and its single
// execution step, which adds every class and function in a fixed order and
// appends each name to __all__. Nothing else happens at import.

#include "binding/py.h"

namespace pallix::py {
namespace {

// The generation of the binding's interface.
constexpr long kFfiVersion = 1;

PyObject* FfiVersion(PyObject*, PyObject*) { return PyLong_FromLong(kFfiVersion); }

PyMethodDef kFfiVersionDef = {"ffi_version", FfiVersion, METH_NOARGS,
                              "ffi_version()\n--\n\nThe generation of the binding's interface (1)."};

int AddFunction(PyObject* module, PyMethodDef* def) {
  return AddToModule(module, def->ml_name, Ref::Steal(PyCFunction_NewEx(def, nullptr, nullptr)));
}

int ExecModule(PyObject* module) {
  if (!PyModule_Check(module)) {
    PyErr_SetString(PyExc_TypeError, "expected a module object");
    return -1;
  }
  if (AddFunction(module, &kFfiVersionDef) < 0) return -1;
  return 0;
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(ExecModule)},
    {0, nullptr},
};

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT,
    "_native",  // m_name
    nullptr,    // m_doc: empty
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

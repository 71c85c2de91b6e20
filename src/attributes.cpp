// src/attributes.cpp: the version probe and the per-call module lookup.
#include "attributes.h"

#include "process_state.h"

namespace korvane {

Ref AttributeProbe::first_found(PyObject* obj) noexcept {
  for (PyObject* name : names_) {
    PyObject* value =
        PyObject_CallFunctionObjArgs(g_state.getattr, obj, name, g_state.absent, nullptr);
    if (!value) {
      PyErr_Clear();
      continue;
    }
    if (value != g_state.absent) return Ref::steal(value);
    Py_DECREF(value);
  }
  return Ref();
}

PyResult<Ref> ModuleLookup::get() {
  if (known_) {
    PyObject* modules = PyImport_GetModuleDict();  // borrowed
    if (modules && PyDict_Check(modules)) {
      PyObject* found = PyDict_GetItemWithError(modules, name_);  // borrowed
      if (found == known_.get()) return Ref::borrow(found);
      if (!found && PyErr_Occurred()) return PyError::fetch();
    }
  }
  Ref module = Ref::steal(PyImport_GetModule(name_));
  if (!module) {
    if (PyErr_Occurred()) return PyError::fetch();
    module = Ref::steal(PyImport_Import(name_));
    if (!module) return PyError::fetch();
  }
  known_ = Ref::borrow(module.get());
  return module;
}

}  // namespace korvane

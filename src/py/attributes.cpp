// src/py/attributes.cpp: the version probe and the per-call module lookup.
#include "py/attributes.h"

#include "py/process_state.h"
#include "py/stock.h"

namespace korvane {

namespace {
using FastFunction = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t);
using FastKeywordsFunction = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
}  // namespace

Ref new_tuple(PyObject* const* items, Py_ssize_t count) noexcept {
  Ref tuple = Ref::steal(PyTuple_New(count));
  if (!tuple) return tuple;
  for (Py_ssize_t i = 0; i < count; ++i)
    PyTuple_SetItem(tuple.get(), i, Ref::borrow(items[i]).release());
  return tuple;
}

Ref call_function(PyObject* fn, PyObject* const* args, Py_ssize_t count) noexcept {
  if (PyCFunction_Check(fn)) {
    const int shape = PyCFunction_GetFlags(fn) & (METH_VARARGS | METH_KEYWORDS | METH_NOARGS |
                                                  METH_O | METH_FASTCALL | METH_METHOD);
    Ref result;
    bool called = true;
    if (shape == METH_FASTCALL) {
      auto f = reinterpret_cast<FastFunction>(reinterpret_cast<void (*)()>(PyCFunction_GetFunction(fn)));
      result = Ref::steal(f(PyCFunction_GetSelf(fn), args, count));
    } else if (shape == (METH_FASTCALL | METH_KEYWORDS)) {
      auto f = reinterpret_cast<FastKeywordsFunction>(
          reinterpret_cast<void (*)()>(PyCFunction_GetFunction(fn)));
      result = Ref::steal(f(PyCFunction_GetSelf(fn), args, count, nullptr));
    } else {
      called = false;
    }
    if (called) {
      if (!result && !PyErr_Occurred())
        PyErr_SetString(PyExc_SystemError, "a builtin returned NULL without setting an error");
      return result;
    }
  }
  Ref tuple = new_tuple(args, count);
  if (!tuple) return tuple;
  return Ref::steal(PyObject_Call(fn, tuple.get(), nullptr));
}

Ref call_with_keywords(PyObject* fn, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) noexcept {
  Ref positional = new_tuple(args, nargs);
  if (!positional) return positional;
  Ref keywords;
  if (kwnames) {
    keywords = Ref::steal(PyDict_New());
    if (!keywords) return keywords;
    for (Py_ssize_t i = 0; i < PyTuple_Size(kwnames); ++i)
      if (PyDict_SetItem(keywords.get(), PyTuple_GetItem(kwnames, i), args[nargs + i]) < 0)
        return Ref();
  }
  return Ref::steal(PyObject_Call(fn, positional.get(), keywords.get()));
}

Ref call_module_function(PyObject* module, PyObject* name, PyObject* const* args,
                         Py_ssize_t nargs, PyObject* kwnames) noexcept {
  PyObject* globals = PyModule_GetDict(module);  // borrowed
  PyObject* found = globals ? PyDict_GetItemWithError(globals, name) : nullptr;  // borrowed
  if (!found) {
    if (!PyErr_Occurred()) {
      Ref module_name = Ref::steal(PyModule_GetNameObject(module));
      if (module_name) PyErr_Format(PyExc_AttributeError, "%U has no %U", module_name.get(), name);
    }
    return Ref();
  }
  Ref fn = Ref::borrow(found);
  if (!kwnames) return call_function(fn.get(), args, nargs);
  return call_with_keywords(fn.get(), args, nargs, kwnames);
}

PyObject* bind_to_module(PyMethodDef* def, PyObject* module, const char* binder) noexcept {
  if (!PyModule_Check(module)) {
    PyErr_Format(PyExc_TypeError, "%s() expects a module", binder);
    return nullptr;
  }
  Ref name = Ref::steal(PyModule_GetNameObject(module));
  if (!name) return nullptr;
  return PyCMethod_New(def, module, name.get(), nullptr);
}

Ref module_attribute(PyObject* module, PyObject* name) noexcept {
  if (Py_IS_TYPE(module, &PyModule_Type)) {
    PyObject* globals = PyModule_GetDict(module);  // borrowed
    PyObject* found = globals ? PyDict_GetItemWithError(globals, name) : nullptr;  // borrowed
    if (found) return Ref::borrow(found);
    if (PyErr_Occurred()) return Ref();
  }
  return Ref::steal(PyObject_GetAttr(module, name));
}

bool drop_ordinary_error() noexcept {
  if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
  PyErr_Clear();
  return true;
}

PyResult<Ref> AttributeProbe::first_found(PyObject* obj) noexcept {
  if (never_has_either(obj, names_[0], names_[1])) return Ref();
  for (PyObject* name : names_) {
    PyObject* const args[] = {obj, name, g_state.absent};
    Ref value = call_function(g_state.getattr, args, 3);
    if (!value) {
      if (!drop_ordinary_error()) return PyError::fetch();
      continue;
    }
    if (value.get() != g_state.absent) return value;
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
  // None in sys.modules blocks the import: the import system says so.
  if (!module || module.get() == Py_None) {
    if (!module && PyErr_Occurred()) return PyError::fetch();
    module = Ref::steal(PyImport_Import(name_));
    if (!module) return PyError::fetch();
  }
  known_ = Ref::borrow(module.get());
  return module;
}

}  // namespace korvane

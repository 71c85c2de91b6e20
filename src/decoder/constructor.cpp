// src/decoder/constructor.cpp: the constructors make_class gives for stored
// fields that are not exactly a class's init fields.
//
// Such a constructor takes any keywords and acts on a plan kept per set of
// keyword names (korvane._reconstruct's _ClassInfo makes the plans): call
// the class with the keywords as they are, give the Unfinished stand-in, or
// run a function of the keywords. The decoder calls it once per instance and
// twice for a migrated one, so it is compiled; it does what the Python
// version did, in the same order: look the names up, make the plan when
// there is none, act on it.
#include "decoder/constructor.h"

#include "py/attributes.h"
#include "py/cfunction.h"
#include "py/process_state.h"
#include "py/ref.h"

namespace korvane {

namespace {

// self: (name, plans, make_plan, cls, direct, unfinished_type).
enum Slot : Py_ssize_t { kName, kPlans, kMakePlan, kClass, kDirect, kUnfinished, kSlots };

// The keyword names in call order, as a tuple.
Ref names_of(PyObject* kwargs) {
  const Py_ssize_t count = kwargs ? PyDict_Size(kwargs) : 0;
  Ref names = Ref::steal(PyTuple_New(count));
  if (!names || !kwargs) return names;
  PyObject *key, *value;
  Py_ssize_t pos = 0, i = 0;
  while (i < count && PyDict_Next(kwargs, &pos, &key, &value))
    PyTuple_SetItem(names.get(), i++, Ref::borrow(key).release());
  return names;
}

PyObject* construct(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  if (PyTuple_Size(args) != 0) {
    PyErr_Format(PyExc_TypeError, "%U() takes 0 positional arguments but %zd were given",
                 PyTuple_GetItem(self, kName), PyTuple_Size(args));
    return nullptr;
  }
  Ref names = names_of(kwargs);
  if (!names) return nullptr;
  Ref plan;
  if (PyObject* found = PyDict_GetItemWithError(PyTuple_GetItem(self, kPlans), names.get()))
    plan = Ref::borrow(found);
  else if (PyErr_Occurred())
    return nullptr;
  if (!plan || plan.get() == Py_None) {
    PyObject* const plan_args[] = {names.get()};
    plan = call_function(PyTuple_GetItem(self, kMakePlan), plan_args, 1);
    if (!plan) return nullptr;
  }
  if (plan.get() == PyTuple_GetItem(self, kDirect))
    return PyObject_Call(PyTuple_GetItem(self, kClass), g_state.empty_tuple, kwargs);
  if (reinterpret_cast<PyObject*>(Py_TYPE(plan.get())) == PyTuple_GetItem(self, kUnfinished))
    return plan.release();
  // A plan function gets a dict of its own, as a **kwargs parameter would.
  Ref own = Ref::steal(kwargs ? PyDict_Copy(kwargs) : PyDict_New());
  if (!own) return nullptr;
  PyObject* const plan_args[] = {own.get()};
  return call_function(plan.get(), plan_args, 1).release();
}

PyMethodDef kConstruct = {"construct", KV_CFUNCTION(construct), METH_VARARGS | METH_KEYWORDS,
                          "construct(**fields)\n--\n\n"
                          "Build an instance from stored or migrated fields."};

}  // namespace

PyObject* op_bind_constructor(PyObject*, PyObject* args) noexcept {
  if (!PyTuple_Check(args) || PyTuple_Size(args) != kSlots ||
      !PyUnicode_Check(PyTuple_GetItem(args, kName)) ||
      !PyDict_Check(PyTuple_GetItem(args, kPlans)) ||
      !PyType_Check(PyTuple_GetItem(args, kUnfinished))) {
    PyErr_SetString(PyExc_TypeError,
                    "_bind_constructor(name, plans, make_plan, cls, direct, unfinished_type)");
    return nullptr;
  }
  return PyCMethod_New(&kConstruct, args, nullptr, nullptr);
}

}  // namespace korvane

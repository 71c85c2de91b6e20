// src/attributes.cpp: the class facts behind AttributeProbe.
#include "attributes.h"

#include "process_state.h"

namespace korvane {

namespace {

// Is `name` a key of any class dict on the MRO of `type`?
PyResult<bool> in_mro(PyTypeObject* type, PyObject* name) {
  Ref mro = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__mro__"));
  if (!mro) return PyError::fetch();
  if (!PyTuple_Check(mro.get())) return true;  // unusual: let getattr decide
  for (Py_ssize_t i = 0; i < PyTuple_Size(mro.get()); ++i) {
    Ref dict = Ref::steal(PyObject_GetAttrString(PyTuple_GetItem(mro.get(), i), "__dict__"));
    if (!dict) return PyError::fetch();
    const int found = PySequence_Contains(dict.get(), name);
    if (found < 0) return PyError::fetch();
    if (found) return true;
  }
  return false;
}

}  // namespace

PyResult<const AttributeProbe::ClassFacts*> AttributeProbe::facts(PyTypeObject* type) {
  for (const ClassFacts& f : classes_)
    if (f.type.get() == reinterpret_cast<PyObject*>(type)) return &f;
  ClassFacts f{Ref::borrow(reinterpret_cast<PyObject*>(type)), false, true};
  const bool generic = PyType_GetSlot(type, Py_tp_getattro) ==
                       reinterpret_cast<void*>(&PyObject_GenericGetAttr);
  if (generic) {
    KV_ASSIGN_OR_RETURN(bool first, in_mro(type, names_[0]));
    KV_ASSIGN_OR_RETURN(bool second, in_mro(type, names_[1]));
    Ref offset = Ref::steal(
        PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__dictoffset__"));
    if (!offset) return PyError::fetch();
    const long dict_offset = PyLong_AsLong(offset.get());
    if (dict_offset == -1 && PyErr_Occurred()) return PyError::fetch();
    f.plain = !first && !second;
    f.has_dict = dict_offset != 0;
  }
  classes_.push_back(std::move(f));
  return &classes_.back();
}

PyResult<Ref> AttributeProbe::get(PyObject* obj, int i) {
  KV_ASSIGN_OR_RETURN(const ClassFacts* f, facts(Py_TYPE(obj)));
  if (f->plain) {
    if (!f->has_dict) return Ref();
    Ref dict = Ref::steal(PyObject_GetAttr(obj, g_state.str_dict));
    if (!dict) return PyError::fetch();
    if (!PyDict_Check(dict.get())) {
      // Not the usual instance dict: ask getattr.
    } else {
      PyObject* value = PyDict_GetItemWithError(dict.get(), names_[i]);
      if (value) return Ref::borrow(value);
      if (PyErr_Occurred()) return PyError::fetch();
      return Ref();
    }
  }
  Ref value = Ref::steal(PyObject_GetAttr(obj, names_[i]));
  if (value) return value;
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return PyError::fetch();
  PyErr_Clear();
  return Ref();
}

}  // namespace korvane

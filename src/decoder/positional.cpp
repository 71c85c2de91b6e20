// src/decoder/positional.cpp: the bound positional constructors.
#include "decoder/positional.h"

#include <array>

namespace korvane::decoder {

namespace {

struct Positional {
  PyObject* cls = nullptr;       // held for the life of the process
  PyObject* positional = nullptr;  // a tuple of str
  PyObject* keywords = nullptr;    // a tuple of str
};

std::array<Positional, 8> g_bound{};
size_t g_bound_count = 0;

bool all_exact_str(PyObject* tuple) {
  for (Py_ssize_t i = 0; i < PyTuple_Size(tuple); ++i)
    if (!PyUnicode_CheckExact(PyTuple_GetItem(tuple, i))) return false;
  return true;
}

// Is `name` exactly the str `expected`?
bool same_name(PyObject* name, PyObject* expected) {
  return name == expected ||
         (PyUnicode_CheckExact(name) && PyUnicode_Compare(name, expected) == 0);
}

bool matches(const Positional& bound, std::span<const Ref> names) {
  const Py_ssize_t np = PyTuple_Size(bound.positional);
  const Py_ssize_t nk = PyTuple_Size(bound.keywords);
  if (static_cast<Py_ssize_t>(names.size()) != np + nk) return false;
  for (Py_ssize_t i = 0; i < np; ++i)
    if (!same_name(names[static_cast<size_t>(i)].get(), PyTuple_GetItem(bound.positional, i)))
      return false;
  for (Py_ssize_t i = 0; i < nk; ++i)
    if (!same_name(names[static_cast<size_t>(np + i)].get(), PyTuple_GetItem(bound.keywords, i)))
      return false;
  PyErr_Clear();  // a failed comparison only means: no match
  return true;
}

}  // namespace

PyObject* op_bind_positional(PyObject*, PyObject* args) noexcept {
  PyObject *cls, *positional, *keywords;
  if (!PyArg_ParseTuple(args, "OO!O!:_bind_positional", &cls, &PyTuple_Type, &positional,
                        &PyTuple_Type, &keywords))
    return nullptr;
  const bool fixed = PyType_Check(cls) && Py_TYPE(cls) == &PyType_Type &&
                     (PyType_GetFlags(reinterpret_cast<PyTypeObject*>(cls)) &
                      Py_TPFLAGS_IMMUTABLETYPE);
  if (!fixed || !all_exact_str(positional) || !all_exact_str(keywords)) {
    PyErr_SetString(PyExc_TypeError,
                    "_bind_positional() expects an immutable class and two tuples of str");
    return nullptr;
  }
  for (size_t i = 0; i < g_bound_count; ++i)
    if (g_bound[i].cls == cls) Py_RETURN_NONE;
  if (g_bound_count == g_bound.size()) Py_RETURN_NONE;  // the rest keep the keyword call
  g_bound[g_bound_count++] = Positional{Ref::borrow(cls).release(),
                                        Ref::borrow(positional).release(),
                                        Ref::borrow(keywords).release()};
  Py_RETURN_NONE;
}

PyResult<Ref> call_positionally(PyObject* cls, std::span<const Ref> names,
                                const std::vector<Ref>& values) {
  const Positional* bound = nullptr;
  for (size_t i = 0; i < g_bound_count && !bound; ++i)
    if (g_bound[i].cls == cls) bound = &g_bound[i];
  if (!bound || names.size() != values.size() || !matches(*bound, names))
    return Ref();
  const Py_ssize_t np = PyTuple_Size(bound->positional);
  Ref args = Ref::steal(PyTuple_New(np));
  if (!args) return PyError::fetch();
  for (Py_ssize_t i = 0; i < np; ++i)
    PyTuple_SetItem(args.get(), i, Ref::borrow(values[static_cast<size_t>(i)].get()).release());
  Ref kwargs;
  if (PyTuple_Size(bound->keywords) > 0) {
    kwargs = Ref::steal(PyDict_New());
    if (!kwargs) return PyError::fetch();
    for (Py_ssize_t i = 0; i < PyTuple_Size(bound->keywords); ++i)
      if (PyDict_SetItem(kwargs.get(), PyTuple_GetItem(bound->keywords, i),
                         values[static_cast<size_t>(np + i)].get()) < 0)
        return PyError::fetch();
  }
  Ref result = Ref::steal(PyObject_Call(cls, args.get(), kwargs.get()));
  if (!result) return PyError::fetch();
  return result;
}

}  // namespace korvane::decoder

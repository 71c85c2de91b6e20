// src/decoder/make_class.cpp: make_class answered from the cache of recent classes.
//
// The decoder calls make_class once per dataclass instance it loads, almost
// always with a name and field list it asked for before. A Python function
// costs a frame and its argument binding per call; this front answers those
// repeats from the same dict the Python side keeps, and hands everything
// else to the Python implementation unchanged.
#include "decoder/make_class.h"

#include "py/attributes.h"
#include "py/cfunction.h"
#include "py/convert.h"
#include "py/process_state.h"
#include "py/ref.h"

namespace korvane {

namespace {

// Is every item of `fields` an exact str? Only then does comparing it with
// the stored list run no Python code of the caller's.
bool exact_str_items(PyObject* fields) {
  for (Py_ssize_t i = 0, n = PyList_Size(fields); i < n; ++i)
    if (!PyUnicode_CheckExact(PyList_GetItem(fields, i))) return false;
  return true;
}

// The request's field names: the caller's exact list of exact strs, or the
// decoder's strs, whose list is made only when something must see one.
struct ListFields {
  PyObject* list;
  size_t size() const { return static_cast<size_t>(PyList_Size(list)); }
  PyObject* at(size_t i) const { return PyList_GetItem(list, static_cast<Py_ssize_t>(i)); }
  Ref as_list() const { return Ref::borrow(list); }
};

struct SpanFields {
  std::span<const Ref> strs;
  size_t size() const { return strs.size(); }
  PyObject* at(size_t i) const { return strs[i].get(); }
  Ref as_list() const { return new_list(strs); }
};

// `stored == list(fields)`: 1, 0, or -1 with an error set. An exact list of
// exact strs compares without running code, item by item as the list
// comparison would; anything else is compared with the list itself.
template <class Fields>
int same_fields(PyObject* stored, const Fields& fields) {
  if (PyList_CheckExact(stored)) {
    if (static_cast<size_t>(PyList_Size(stored)) != fields.size()) return 0;
    bool plain = true;
    for (size_t i = 0; i < fields.size() && plain; ++i) {
      PyObject* item = PyList_GetItem(stored, static_cast<Py_ssize_t>(i));  // borrowed
      if (item == fields.at(i)) continue;
      plain = PyUnicode_CheckExact(item);
      if (plain && PyUnicode_Compare(item, fields.at(i)) != 0) return 0;
    }
    if (plain) return 1;
  }
  Ref list = fields.as_list();
  if (!list) return -1;
  return PyObject_RichCompareBool(stored, list.get(), Py_EQ);
}

// The cached constructor for (name, fields) (a new reference), or an empty
// Ref: with an error set when a lookup or comparison failed. Everything it
// reads is held strongly, since the dict lookup and the comparison may run
// code (keys or stored items of str subclasses) that empties the cache.
template <class Fields>
Ref recent_constructor(PyObject* recent_dict, PyObject* name, const Fields& fields) {
  Ref recent = Ref::borrow(recent_dict);
  PyObject* found = PyDict_GetItemWithError(recent.get(), name);  // borrowed
  if (!found || !PyTuple_Check(found) || PyTuple_Size(found) != 2) return Ref();
  Ref entry = Ref::borrow(found);
  Ref stored = Ref::borrow(PyTuple_GetItem(entry.get(), 0));
  Ref made = Ref::borrow(PyTuple_GetItem(entry.get(), 1));
  const int same = same_fields(stored.get(), fields);
  if (same <= 0) return Ref();
  return made;
}

// The module's `_recent` dict (borrowed), or nullptr, with an error set when
// the lookup failed.
PyObject* recent_dict(PyObject* globals) {
  PyObject* recent = PyDict_GetItemWithError(globals, g_state.str_recent);  // borrowed
  return recent && PyDict_Check(recent) ? recent : nullptr;
}

// self is the module korvane._reconstruct, whose globals hold the cache
// (`_recent`) and the Python implementation (`_make_class`).
PyObject* cached_make_class(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) noexcept {
  PyObject* globals = PyModule_GetDict(self);  // borrowed
  if (!globals) return nullptr;
  if (nargs == 2 && !kwnames && PyUnicode_CheckExact(args[0]) && PyList_CheckExact(args[1]) &&
      exact_str_items(args[1])) {
    if (PyObject* recent = recent_dict(globals)) {
      if (Ref made = recent_constructor(recent, args[0], ListFields{args[1]})) return made.release();
    }
    if (PyErr_Occurred()) return nullptr;
  }
  return call_module_function(self, g_state.str_make_class_impl, args, nargs, kwnames).release();
}

PyMethodDef kMakeClass = {
    "make_class", KV_CFUNCTION(cached_make_class), METH_FASTCALL | METH_KEYWORDS,
    "make_class(name, field_names)\n--\n\n"
    "Return a keyword-only constructor for class ``name`` with these stored fields.\n\n"
    "It is the registered class itself when the stored fields are exactly its\n"
    "init fields (and no migration may need other keywords); otherwise a small\n"
    "cached function that builds an instance of that class.  Unknown names give\n"
    "a synthesised plain dataclass."};

}  // namespace

PyObject* op_bind_make_class(PyObject*, PyObject* module) noexcept {
  return bind_to_module(&kMakeClass, module, "_bind_make_class");
}

bool is_make_class_front(PyObject* fn) noexcept {
  return PyCFunction_Check(fn) &&
         PyCFunction_GetFunction(fn) == kMakeClass.ml_meth;
}

PyResult<Ref> ask_make_class_front(PyObject* fn, PyObject* name, std::span<const Ref> fields,
                                   Ref& list) {
  Ref self = Ref::borrow(PyCFunction_GetSelf(fn));
  PyObject* globals = PyModule_GetDict(self.get());  // borrowed
  if (!globals) return PyError::fetch();
  if (PyObject* recent = recent_dict(globals)) {
    if (Ref made = recent_constructor(recent, name, SpanFields{fields})) return made;
  }
  if (PyErr_Occurred()) return PyError::fetch();
  list = SpanFields{fields}.as_list();
  if (!list) return PyError::fetch();
  PyObject* const args[] = {name, list.get()};
  return check(
      call_module_function(self.get(), g_state.str_make_class_impl, args, 2, nullptr).release());
}

}  // namespace korvane

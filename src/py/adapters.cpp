// src/py/adapters.cpp: finds and runs the adapter of an object for the capture.
//
// The registry lives in Python (korvane/_adapters.py): `_exact` maps each
// adapted class to its entry, `_inherited` the classes adapted together with
// their subclasses. An entry is the pair (encode, name), name None for a
// one-way adapter. Nothing here is cached between calls, so registering or
// removing an adapter needs no invalidation on this side.
#include "py/adapters.h"

#include <string>

#include "py/convert.h"
#include "py/process_state.h"

namespace korvane {

namespace {

// The globals of the registry module (borrowed from sys.modules), or null
// when it was not imported: only an import can register an adapter. Read
// straight from the module dicts: PyImport_GetModule would also ask the
// module's __spec__ whether it is still initialising, an attribute lookup
// that fails (and costs an exception) for every object adapted.
PyResult<Ref> registry() {
  PyObject* modules = PyImport_GetModuleDict();  // borrowed
  PyObject* module = modules ? PyDict_GetItemWithError(modules, g_state.str_adapters) : nullptr;
  if (!module) {
    if (PyErr_Occurred()) return PyError::fetch();
    return Ref();
  }
  if (!PyModule_Check(module)) return Ref();
  return Ref::borrow(PyModule_GetDict(module));  // never fails for a module
}

// The value of `key` in `table`, held; empty when there is none.
PyResult<Ref> lookup(PyObject* table, PyObject* key) {
  PyObject* found = PyDict_GetItemWithError(table, key);  // borrowed
  if (found) return Ref::borrow(found);
  if (PyErr_Occurred()) return PyError::fetch();
  return Ref();
}

// A table of the registry: a dict, or null while the module is still being
// imported (then nothing can be registered yet).
PyResult<PyObject*> table(PyObject* globals, PyObject* name) {
  PyObject* found = PyDict_GetItemWithError(globals, name);  // borrowed
  if (!found && PyErr_Occurred()) return PyError::fetch();
  return found && PyDict_Check(found) ? found : nullptr;
}

PyResult<Ref> find_entry(PyObject* globals, PyObject* type) {
  KV_ASSIGN_OR_RETURN(PyObject* exact, table(globals, g_state.str_exact));
  if (!exact) return Ref();
  Ref held = Ref::borrow(exact);  // a type's __eq__ may replace the table
  KV_ASSIGN_OR_RETURN(Ref entry, lookup(exact, type));
  if (entry) return entry;
  KV_ASSIGN_OR_RETURN(PyObject* inherited, table(globals, g_state.str_inherited));
  if (!inherited || PyDict_Size(inherited) == 0) return Ref();
  Ref held_inherited = Ref::borrow(inherited);
  Ref mro = Ref::steal(PyObject_GetAttr(type, g_state.str_mro));
  if (!mro) return PyError::fetch();
  if (!PyTuple_Check(mro.get())) return Ref();
  for (Py_ssize_t i = 1; i < PyTuple_Size(mro.get()); ++i) {
    KV_ASSIGN_OR_RETURN(entry, lookup(inherited, PyTuple_GetItem(mro.get(), i)));
    if (entry) return entry;
  }
  return Ref();
}

Ref type_name_of(PyObject* obj) { return Ref::steal(PyType_GetName(Py_TYPE(obj))); }

// "cannot encode {type}: {what}" as a TypeError whose cause is `cause`.
PyError failure(std::string_view type_name, PyObject* what, PyObject* cause) {
  if (!what) return PyError::fetch();
  Ref message = Ref::steal(PyUnicode_FromFormat("cannot encode %s: %U",
                                                std::string(type_name).c_str(), what));
  if (!message) return PyError::fetch();
  Ref exc = Ref::steal(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
  if (!exc) return PyError::fetch();
  PyException_SetCause(exc.get(), Ref::borrow(cause).release());
  PyErr_SetObject(PyExc_TypeError, exc.get());
  return PyError::fetch();
}

PyError plain_failure(std::string_view type_name, const std::string& what) {
  return type_error("cannot encode " + std::string(type_name) + ": " + what);
}

}  // namespace

PyResult<std::optional<Adapted>> run_adapter(PyObject* obj, std::string_view type_name) {
  KV_ASSIGN_OR_RETURN(Ref globals, registry());
  if (!globals) return std::optional<Adapted>();
  KV_ASSIGN_OR_RETURN(Ref entry,
                      find_entry(globals.get(), reinterpret_cast<PyObject*>(Py_TYPE(obj))));
  if (!entry) return std::optional<Adapted>();
  if (!PyTuple_Check(entry.get()) || PyTuple_Size(entry.get()) != 2)
    return plain_failure(type_name, "its adapter entry is not an (encode, name) pair");
  PyObject* encode = PyTuple_GetItem(entry.get(), 0);  // borrowed: the entry holds both
  PyObject* name = PyTuple_GetItem(entry.get(), 1);
  Ref value = Ref::steal(PyObject_CallFunctionObjArgs(encode, obj, nullptr));
  if (!value) {
    PyError error = PyError::fetch();
    Ref exc = error.exception();
    // KeyboardInterrupt, SystemExit and their kind are not the adapter's fault.
    if (!PyErr_GivenExceptionMatches(exc.get(), PyExc_Exception)) return error;
    Ref kind = type_name_of(exc.get());
    Ref text = Ref::steal(PyObject_Str(exc.get()));
    if (!kind || !text) return PyError::fetch();
    Ref what = Ref::steal(PyUnicode_GetLength(text.get()) > 0
                              ? PyUnicode_FromFormat("its adapter raised %U: %U", kind.get(), text.get())
                              : PyUnicode_FromFormat("its adapter raised %U", kind.get()));
    return failure(type_name, what.get(), exc.get());
  }
  if (name == Py_None) {
    if (value.get() == obj) return plain_failure(type_name, "its adapter returned the object itself");
    if (Py_TYPE(value.get()) == Py_TYPE(obj))
      return plain_failure(type_name, "its adapter returned another " + std::string(type_name) +
                                          ", which it would be asked to encode again");
    return std::optional<Adapted>(Adapted{std::move(value), Ref()});
  }
  if (!PyUnicode_Check(name)) return plain_failure(type_name, "its adapter has no str name");
  if (!PyDict_Check(value.get())) {
    Ref kind = type_name_of(value.get());
    if (!kind) return PyError::fetch();
    KV_ASSIGN_OR_RETURN(std::string_view text, utf8_view(kind.get()));
    return plain_failure(type_name, "its adapter must return a dict of field values, not " +
                                        std::string(text));
  }
  return std::optional<Adapted>(Adapted{std::move(value), Ref::borrow(name)});
}

PyResult<Ok> check_record_fields(std::string_view type_name, PyObject* keys) {
  KV_ASSIGN_OR_RETURN(Ref globals, registry());
  if (!globals) return Ok();
  PyObject* found = PyDict_GetItemWithError(globals.get(), g_state.str_check_fields);  // borrowed
  if (!found) {
    if (!PyErr_Occurred())
      PyErr_SetString(PyExc_AttributeError, "korvane._adapters has no _check_fields");
    return PyError::fetch();
  }
  Ref check = Ref::borrow(found);
  Ref name = Ref::steal(PyUnicode_FromStringAndSize(type_name.data(),
                                                    static_cast<Py_ssize_t>(type_name.size())));
  if (!name) return PyError::fetch();
  Ref result = Ref::steal(PyObject_CallFunctionObjArgs(check.get(), name.get(), keys, nullptr));
  if (!result) return PyError::fetch();
  return Ok();
}

namespace {

PyObject* read_attributes(PyObject* names, PyObject* obj) noexcept {
  Ref fields = Ref::steal(PyDict_New());
  if (!fields) return nullptr;
  for (Py_ssize_t i = 0; i < PyTuple_Size(names); ++i) {
    PyObject* name = PyTuple_GetItem(names, i);  // borrowed: the tuple is held by the function
    Ref value = Ref::steal(PyObject_GetAttr(obj, name));
    if (!value || PyDict_SetItem(fields.get(), name, value.get()) < 0) return nullptr;
  }
  return fields.release();
}

PyObject* read_text(PyObject* name, PyObject* obj) noexcept {
  Ref text = Ref::steal(PyObject_Str(obj));
  if (!text) return nullptr;
  Ref fields = Ref::steal(PyDict_New());
  if (!fields || PyDict_SetItem(fields.get(), name, text.get()) < 0) return nullptr;
  return fields.release();
}

PyMethodDef kAttributeRecord = {"attribute_record", read_attributes, METH_O,
                                "attribute_record(obj, /)\n--\n\n"
                                "The dict of the named attributes of obj."};
PyMethodDef kTextRecord = {"text_record", read_text, METH_O,
                           "text_record(obj, /)\n--\n\nThe dict {name: str(obj)}."};

bool all_str(PyObject* names) {
  for (Py_ssize_t i = 0; i < PyTuple_Size(names); ++i)
    if (!PyUnicode_CheckExact(PyTuple_GetItem(names, i))) return false;
  return true;
}

}  // namespace

PyObject* op_attribute_record(PyObject*, PyObject* names) noexcept {
  if (!PyTuple_CheckExact(names) || !all_str(names)) {
    PyErr_SetString(PyExc_TypeError, "_attribute_record() expects a tuple of str");
    return nullptr;
  }
  return PyCMethod_New(&kAttributeRecord, names, nullptr, nullptr);
}

PyObject* op_text_record(PyObject*, PyObject* name) noexcept {
  if (!PyUnicode_CheckExact(name)) {
    PyErr_SetString(PyExc_TypeError, "_text_record() expects a str");
    return nullptr;
  }
  return PyCMethod_New(&kTextRecord, name, nullptr, nullptr);
}

PyError adapted_value_error(std::string_view type_name, PyError error) {
  Ref exc = error.exception();
  if (!PyErr_GivenExceptionMatches(exc.get(), PyExc_TypeError)) return error;
  Ref text = Ref::steal(PyObject_Str(exc.get()));
  if (!text) return PyError::fetch();
  Ref what = Ref::steal(
      PyUnicode_FromFormat("what its adapter returned cannot be encoded (%U)", text.get()));
  return failure(type_name, what.get(), exc.get());
}

}  // namespace korvane

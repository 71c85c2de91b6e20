// src/py/adapters.h: the adapters registered in korvane._adapters, run where the
// capture meets an object that it cannot write by itself.
#pragma once

#include <Python.h>

#include <optional>
#include <string_view>

#include "py/py_result.h"

namespace korvane {

// What an adapter made of an object.
struct Adapted {
  Ref value;  // a record: the dict of its fields; one-way: what stands in for the object
  Ref name;   // a record: its registered name (a str); one-way: empty
};

// Runs the adapter for `obj`: that of its exact type, else that of the
// nearest base in its MRO registered for subclasses. No adapter (or no
// registry imported, so none was ever registered) gives an empty optional.
// `type_name` is the name the capture dispatched on, for the messages.
PyResult<std::optional<Adapted>> run_adapter(PyObject* obj, std::string_view type_name);

// Has the registry check the field names of a record (a tuple of str), the
// first time a document writes a record of that name.
PyResult<Ok> check_record_fields(std::string_view type_name, PyObject* keys);

// A failure to capture what the adapter of `type_name` returned: a TypeError
// becomes one that names the adapted type (the original as its cause);
// anything else passes unchanged.
PyError adapted_value_error(std::string_view type_name, PyError error);

// _attribute_record(names, /): an encode function for adapt(), compiled:
// called with an object it returns {name: getattr(obj, name) for name in
// names}, reading the attributes in that order.
PyObject* op_attribute_record(PyObject* self, PyObject* names) noexcept;

// _text_record(name, /): an encode function giving {name: str(obj)}.
PyObject* op_text_record(PyObject* self, PyObject* name) noexcept;

}  // namespace korvane

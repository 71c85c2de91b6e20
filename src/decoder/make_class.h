// src/decoder/make_class.h: the front of make_class that answers repeated requests
// without running Python code.
#pragma once

#include <Python.h>

#include <span>

#include "py/py_result.h"

namespace korvane {

// _bind_make_class(module): the `make_class` function of korvane._reconstruct.
// A call (name, field_names) with an exact str and an exact list of exact
// strs, where the module's `_recent[name]` is a pair (stored list,
// constructor) whose list is equal, returns that constructor; every other call goes to the module's
// `_make_class` with the same arguments.
PyObject* op_bind_make_class(PyObject* self, PyObject* module) noexcept;

// Is `fn` such a front (bound to whichever module)?
bool is_make_class_front(PyObject* fn) noexcept;

// What the front `fn` answers to (name, list(fields)), for an exact str
// `name` and exact strs `fields`, with the list made only when the module's
// `_make_class` is to be called with it; then `list` holds it, as the call
// left it.
PyResult<Ref> ask_make_class_front(PyObject* fn, PyObject* name, std::span<const Ref> fields,
                                   Ref& list);

}  // namespace korvane

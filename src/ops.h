// src/ops.h: the four entry operations of the module.
#pragma once

#include <Python.h>

namespace korvane {

PyObject* op_version(PyObject* self, PyObject* unused) noexcept;
PyObject* op_dumps(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames) noexcept;
PyObject* op_loads(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames) noexcept;
PyObject* op_dump(PyObject* self, PyObject* args, PyObject* kwargs) noexcept;
PyObject* op_load(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                  PyObject* kwnames) noexcept;

}  // namespace korvane

// src/stream.h: the helpers behind korvane.iter_load.
#pragma once

#include <Python.h>

namespace korvane {

// _extent(): a fresh DocumentExtent, owned by a capsule.
PyObject* op_new_extent(PyObject* self, PyObject* unused) noexcept;
// _document_end(extent, buffer, /): the document's length when it is
// complete in `buffer`, minus the count of bytes still missing at least, or 0
// when its length is unknowable and the reader must report the fault.
PyObject* op_document_end(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept;

}  // namespace korvane

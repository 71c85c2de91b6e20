// src/graph/traversal.h: the capture walk from Python objects to a document.
#pragma once

#include <Python.h>

#include "py/py_result.h"

namespace korvane::graph {

// Captures the graph under `obj` and lays it out as a new `bytes` document.
PyResult<Ref> encode(PyObject* obj);

}  // namespace korvane::graph

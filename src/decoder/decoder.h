// src/decoder/decoder.h: rebuilds Python objects from a document.
#pragma once

#include <Python.h>

#include "py/py_result.h"

namespace korvane::decoder {

// Parses `data` (a bytes object), checks dataclass names against
// `allowlist` (a set, or null for none) and rebuilds object 0.
PyResult<Ref> decode(PyObject* data, PyObject* allowlist);

}  // namespace korvane::decoder

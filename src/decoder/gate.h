// src/decoder/gate.h: the allowlist gate, run before anything is built.
#pragma once

#include <Python.h>

#include "format/reader.h"
#include "py/py_result.h"

namespace korvane::decoder {

// Checks the class name of every Dataclass entry, reachable or not, against
// `allowlist` (a set).
PyResult<Ok> check_allowlist(const format::ParsedDocument& doc, PyObject* allowlist);

}  // namespace korvane::decoder

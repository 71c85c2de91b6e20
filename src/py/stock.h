// src/py/stock.h: answers of the standard library given without calling it,
// where the call is shown to run no code and to give that answer.
#pragma once

#include <Python.h>

#include "py/py_result.h"

namespace korvane {

// Records `dataclasses.is_dataclass` as korvane found it when imported: the
// function, its code, the `_FIELDS` name of its globals and the builtins it
// calls. Refuses (no shortcut is ever taken) a function that is not the one
// the dataclasses module's own file defines.
PyResult<Ok> bind_stock_dataclasses(PyObject* module);

// _bind_stock(dataclasses_module): the Python face of the above; None.
PyObject* op_bind_stock(PyObject* self, PyObject* module) noexcept;

// True when `fn(obj)` is known to answer False without running any code:
// `fn` is the recorded is_dataclass with its code, globals and builtins as
// they were, and obj's type is one shown once per process to be unable ever
// to hold `__dataclass_fields__` (see is_plain_immutable). False means
// only: call it.
bool known_not_dataclass(PyObject* fn, PyObject* obj);

// True when getattr(obj, first) and getattr(obj, second) are known to find
// nothing without running any code: obj's type is immutable, its lookup the
// generic one, its instances have no dict, and no dict of its MRO holds
// either name; shown once per process for each type and pair of interned
// names. False means only: look them up.
bool never_has_either(PyObject* obj, PyObject* first, PyObject* second);

}  // namespace korvane

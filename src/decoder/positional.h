// src/decoder/positional.h: constructors of the standard library that take
// their stored fields as positional arguments.
#pragma once

#include <Python.h>

#include <span>
#include <vector>

#include "py/py_result.h"

namespace korvane::decoder {

// _bind_positional(cls, positional, keywords, /): records that cls(**fields)
// with exactly these field names, in this order, gives what cls(*positional
// values, **keyword values) gives. korvane.types binds the datetime, date,
// time, timedelta and Decimal classes, whose argument parsing takes each
// parameter by position or by name alike. Only an immutable type with the
// metatype `type` is accepted: its constructor cannot be replaced.
PyObject* op_bind_positional(PyObject* self, PyObject* args) noexcept;

// cls(**dict(zip(names, values))) called with positional arguments when cls
// and the names are bound as above; an empty Ref and no error set when they
// are not (then the caller makes the keyword call itself).
PyResult<Ref> call_positionally(PyObject* cls, std::span<const Ref> names,
                                const std::vector<Ref>& values);

}  // namespace korvane::decoder

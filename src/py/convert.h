// src/py/convert.h: the conversions shared by the binder, the capture and the
// reconstruction.
#pragma once

#include <Python.h>

#include <cstdint>
#include <span>
#include <string_view>

#include "py/py_result.h"

namespace korvane {

// "'{type}' object cannot be converted to '{target}'" as a TypeError.
PyError conversion_error(PyObject* obj, const char* target);

// Unsigned 32-bit through the interpreter's index conversion.
PyResult<uint32_t> index_to_u32(PyObject* obj);

// The UTF-8 text of a str, valid while the str lives; the interpreter's
// error (a lone surrogate, say) when it has none.
PyResult<std::string_view> utf8_view(PyObject* str);

// A new list of the objects `items`; empty, with the error set, when it
// cannot be made.
Ref new_list(std::span<const Ref> items);

}  // namespace korvane

// src/binding.h: table-driven binding of call arguments and their conversions.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>

#include "py/convert.h"
#include "py/py_result.h"

namespace korvane {

inline constexpr int kMaxParameters = 4;

// One descriptor per function: positional parameters (all required here),
// then keyword-only ones (all optional here).
struct Signature {
  const char* name;
  const char* positional[kMaxParameters];
  int positional_count;
  int required_count;
  const char* keyword_only[kMaxParameters];
  int keyword_only_count;
  bool collects_keywords;  // extra keywords go to a dict instead of failing
};

// One slot per parameter, positional first; null means not passed.
struct BoundArguments {
  PyObject* slots[kMaxParameters] = {};
  Ref extra;  // the collected keywords, when the signature collects them
};

// Vectorcall convention: argument array, count, tuple of keyword names.
PyResult<BoundArguments> bind_fastcall(const Signature& sig, PyObject* const* args,
                                       Py_ssize_t nargs, PyObject* kwnames);
// Tuple-plus-dict convention.
PyResult<BoundArguments> bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs);

// Conversions of the parameters. A TypeError of exactly that type raised
// while converting parameter `p` comes back as "argument 'p': ...".
PyResult<uint8_t> convert_protocol(PyObject* obj);
PyResult<std::optional<uint32_t>> convert_schema_version(PyObject* obj);
PyResult<Ok> check_bytes_argument(const char* parameter, PyObject* obj);
PyResult<Ok> check_set_argument(const char* parameter, PyObject* obj);

}  // namespace korvane

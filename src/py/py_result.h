// src/py/py_result.h: results of the module edge, whose errors may be Python exceptions.
#pragma once

#include <Python.h>

#include <memory>

#include "core/result.h"
#include "py/ref.h"

namespace korvane {

// A pending error: a core Error (raised lazily, by kind) or an exception the
// interpreter already raised and that was fetched off the thread state.
class PyError {
 public:
  PyError(Error e);  // implicit: core errors pass up unchanged
  PyError() = default;
  PyError(PyError&&) noexcept = default;
  PyError& operator=(PyError&&) noexcept = default;

  // After a failed API call. SystemError when the call set no exception.
  static PyError fetch();
  // A fresh exception of `type` carrying `message`.
  static PyError make(PyObject* type, const char* message);

  // True when this is a fetched exception of exactly `type`.
  bool is_exactly(PyObject* type) const noexcept;
  // The fetched exception, normalised (new reference).
  Ref exception();

  // The one place that sets the thread's error indicator.
  void raise() &&;

 private:
  struct Fetched {
    Ref type, value, traceback;
  };
  std::unique_ptr<Error> core_;
  std::unique_ptr<Fetched> fetched_;
};

template <class T>
using PyResult = Result<T, PyError>;

// Turns a null (or -1) API result into a fetched PyError.
inline PyResult<Ref> check(PyObject* p) {
  if (!p) return PyError::fetch();
  return Ref::steal(p);
}

}  // namespace korvane

// src/binding.cpp: one binder for every function, and the argument conversions.
#include "binding.h"

#include <string>
#include <string_view>
#include <vector>

namespace korvane {

namespace {

// A keyword name that is not valid UTF-8 matches no parameter.
std::string_view utf8_of(PyObject* str) {
  auto text = utf8_view(str);
  return text ? *text : std::string_view();
}

PyError positional_overflow(const Signature& sig, Py_ssize_t given) {
  PyErr_Format(PyExc_TypeError, "%s() takes %d positional arguments but %zd %s given", sig.name,
               sig.positional_count, given, given == 1 ? "was" : "were");
  return PyError::fetch();
}

// Places one keyword argument; `extra` collects unknown names when allowed.
PyResult<Ok> place_keyword(const Signature& sig, BoundArguments& bound, PyObject* key,
                           PyObject* value) {
  const std::string_view name = PyUnicode_Check(key) ? utf8_of(key) : std::string_view();
  int slot = -1;
  if (!name.empty()) {
    for (int i = 0; i < sig.keyword_only_count && slot < 0; ++i)
      if (name == sig.keyword_only[i]) slot = sig.positional_count + i;
    for (int i = 0; i < sig.positional_count && slot < 0; ++i)
      if (name == sig.positional[i]) slot = i;
  }
  if (slot < 0) {
    if (sig.collects_keywords) {
      if (!bound.extra) {
        bound.extra = Ref::steal(PyDict_New());
        if (!bound.extra) return PyError::fetch();
      }
      if (PyDict_SetItem(bound.extra.get(), key, value) < 0) return PyError::fetch();
      return Ok();
    }
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", sig.name, key);
    return PyError::fetch();
  }
  if (bound.slots[slot]) {
    PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%S'", sig.name, key);
    return PyError::fetch();
  }
  bound.slots[slot] = value;
  return Ok();
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'".
std::string quoted_list(const std::vector<const char*>& names) {
  std::string out;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() > 2) out += ",";
      out += i + 1 == names.size() ? " and " : " ";
    }
    out += "'";
    out += names[i];
    out += "'";
  }
  return out;
}

PyResult<Ok> check_missing(const Signature& sig, const BoundArguments& bound, Py_ssize_t nargs) {
  if (nargs >= sig.required_count) return Ok();
  std::vector<const char*> missing;
  for (int i = 0; i < sig.required_count; ++i)
    if (!bound.slots[i]) missing.push_back(sig.positional[i]);
  if (missing.empty()) return Ok();
  std::string message = std::string(sig.name) + "() missing " + std::to_string(missing.size()) +
                        " required positional " + (missing.size() == 1 ? "argument" : "arguments") +
                        ": " + quoted_list(missing);
  return PyError::make(PyExc_TypeError, message.c_str());
}

// Replaces an exact TypeError by "argument 'p': {message}", keeping its cause.
PyError with_argument_name(const char* parameter, PyError error) {
  if (!error.is_exactly(PyExc_TypeError)) return error;
  Ref old = error.exception();
  Ref text = Ref::steal(PyObject_Str(old.get()));
  if (!text) return PyError::fetch();
  Ref message = Ref::steal(PyUnicode_FromFormat("argument '%s': %U", parameter, text.get()));
  if (!message) return PyError::fetch();
  Ref replacement = Ref::steal(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
  if (!replacement) return PyError::fetch();
  if (PyObject* cause = PyException_GetCause(old.get()))  // new reference, stolen below
    PyException_SetCause(replacement.get(), cause);
  PyErr_SetObject(PyExc_TypeError, replacement.get());
  return PyError::fetch();
}

}  // namespace

PyResult<BoundArguments> bind_fastcall(const Signature& sig, PyObject* const* args,
                                       Py_ssize_t nargs, PyObject* kwnames) {
  if (nargs > sig.positional_count) return positional_overflow(sig, nargs);
  BoundArguments bound;
  for (Py_ssize_t i = 0; i < nargs; ++i) bound.slots[i] = args[i];
  const Py_ssize_t nkw = kwnames ? PyTuple_Size(kwnames) : 0;
  for (Py_ssize_t i = 0; i < nkw; ++i)
    KV_TRY(place_keyword(sig, bound, PyTuple_GetItem(kwnames, i), args[nargs + i]));
  KV_TRY(check_missing(sig, bound, nargs));
  return bound;
}

PyResult<BoundArguments> bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs) {
  const Py_ssize_t nargs = PyTuple_Size(args);
  if (nargs > sig.positional_count) return positional_overflow(sig, nargs);
  BoundArguments bound;
  for (Py_ssize_t i = 0; i < nargs; ++i) bound.slots[i] = PyTuple_GetItem(args, i);
  if (kwargs) {
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(kwargs, &pos, &key, &value))
      KV_TRY(place_keyword(sig, bound, key, value));
  }
  KV_TRY(check_missing(sig, bound, nargs));
  return bound;
}

PyResult<uint8_t> convert_protocol(PyObject* obj) {
  const long v = PyLong_AsLong(obj);
  if (v == -1 && PyErr_Occurred()) return with_argument_name("protocol", PyError::fetch());
  if (v < 0 || v > 255)
    return PyError::make(PyExc_OverflowError, "out of range integral type conversion attempted");
  return static_cast<uint8_t>(v);
}

PyResult<std::optional<uint32_t>> convert_schema_version(PyObject* obj) {
  if (obj == Py_None) return std::optional<uint32_t>();
  auto v = index_to_u32(obj);
  if (!v) return with_argument_name("schema_version", std::move(v).error());
  return std::optional<uint32_t>(*v);
}

PyResult<Ok> check_bytes_argument(const char* parameter, PyObject* obj) {
  if (PyBytes_Check(obj)) return Ok();
  return with_argument_name(parameter, conversion_error(obj, "PyBytes"));
}

PyResult<Ok> check_set_argument(const char* parameter, PyObject* obj) {
  if (PySet_Check(obj)) return Ok();
  return with_argument_name(parameter, conversion_error(obj, "PySet"));
}

}  // namespace korvane

// src/ops.cpp: dumps, dump, loads and load: bind, convert, run, raise.
#include "ops.h"

#include <exception>
#include <new>

#include "py/attributes.h"
#include "binding.h"
#include "decoder/decoder.h"
#include "graph/traversal.h"
#include "py/process_state.h"

namespace korvane {

namespace {

constexpr Signature kDumps{"dumps", {"obj"}, 1, 1, {"protocol", "schema_version", "hmac_key"}, 3,
                           false};
constexpr Signature kLoads{"loads", {"data"}, 1, 1, {"allowlist"}, 1, false};
constexpr Signature kDump{"dump", {"obj", "file"}, 2, 2, {}, 0, true};
constexpr Signature kLoad{"load", {"file"}, 1, 1, {"allowlist"}, 1, false};

// The one place where results become a return value or a raised exception.
template <class F>
PyObject* boundary(F&& body) noexcept {
  try {
    PyResult<Ref> result = body();
    if (result) return std::move(result).value().release();
    std::move(result).error().raise();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(g_state.panic_exception, e.what());
  } catch (...) {
    PyErr_SetString(g_state.panic_exception, "unknown internal failure");
  }
  return nullptr;
}

PyResult<Ok> check_allowlist_argument(PyObject* allowlist) {
  if (allowlist && allowlist != Py_None) return check_set_argument("allowlist", allowlist);
  return Ok();
}

PyObject* allowlist_or_null(PyObject* allowlist) {
  return allowlist == Py_None ? nullptr : allowlist;
}

}  // namespace

PyObject* op_version(PyObject*, PyObject*) noexcept {
  return PyUnicode_FromString("1.1.0");
}

PyObject* op_dumps(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames) noexcept {
  return boundary([&]() -> PyResult<Ref> {
    KV_ASSIGN_OR_RETURN(BoundArguments bound, bind_fastcall(kDumps, args, nargs, kwnames));
    // The keywords are checked but change nothing in the output.
    if (PyObject* protocol = bound.slots[1]) KV_TRY(convert_protocol(protocol));
    if (PyObject* version = bound.slots[2]) KV_TRY(convert_schema_version(version));
    if (PyObject* key = bound.slots[3]; key && key != Py_None)
      KV_TRY(check_bytes_argument("hmac_key", key));
    return graph::encode(bound.slots[0]);
  });
}

PyObject* op_dump(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
  return boundary([&]() -> PyResult<Ref> {
    KV_ASSIGN_OR_RETURN(BoundArguments bound, bind_tuple(kDump, args, kwargs));
    // Encoding comes first: when it fails, the file is untouched.
    KV_ASSIGN_OR_RETURN(Ref image, graph::encode(bound.slots[0]));
    Ref write = Ref::steal(PyObject_GetAttr(bound.slots[1], g_state.str_write));
    if (!write) return PyError::fetch();
    const Py_ssize_t size = PyBytes_Size(image.get());
    Ref call_args = Ref::steal(PyTuple_New(1));
    if (!call_args) return PyError::fetch();
    PyTuple_SetItem(call_args.get(), 0, image.release());
    Ref written = Ref::steal(PyObject_Call(write.get(), call_args.get(), nullptr));
    if (!written) return PyError::fetch();
    // `write` is called once. A count below the size (a raw or non-blocking
    // file) means the rest is lost: that is an error, not a success. Other
    // results (None from most writers) are taken as the whole document.
    if (PyLong_Check(written.get())) {
      const long long count = PyLong_AsLongLong(written.get());
      if (count == -1 && PyErr_Occurred()) {
        if (!drop_ordinary_error()) return PyError::fetch();
      } else if (count >= 0 && count < size) {
        PyErr_Format(PyExc_OSError,
                     "dump: file.write() took %lld of the %zd bytes of the document; the rest "
                     "was not written (use a buffered, blocking file)",
                     count, size);
        return PyError::fetch();
      }
    }
    return Ref::borrow(Py_None);
  });
}

PyObject* op_loads(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames) noexcept {
  return boundary([&]() -> PyResult<Ref> {
    KV_ASSIGN_OR_RETURN(BoundArguments bound, bind_fastcall(kLoads, args, nargs, kwnames));
    KV_TRY(check_bytes_argument("data", bound.slots[0]));
    KV_TRY(check_allowlist_argument(bound.slots[1]));
    return decoder::decode(bound.slots[0], allowlist_or_null(bound.slots[1]));
  });
}

PyObject* op_load(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                  PyObject* kwnames) noexcept {
  return boundary([&]() -> PyResult<Ref> {
    KV_ASSIGN_OR_RETURN(BoundArguments bound, bind_fastcall(kLoad, args, nargs, kwnames));
    KV_TRY(check_allowlist_argument(bound.slots[1]));
    Ref read = Ref::steal(PyObject_GetAttr(bound.slots[0], g_state.str_read));
    if (!read) return PyError::fetch();
    Ref data = Ref::steal(PyObject_CallNoArgs(read.get()));
    if (!data) return PyError::fetch();
    if (!PyBytes_Check(data.get())) return type_error("file.read() did not return bytes");
    return decoder::decode(data.get(), allowlist_or_null(bound.slots[1]));
  });
}

}  // namespace korvane

// src/graph/traversal.cpp: walks a Python object graph depth first into an
// ObjectGraph and TypeRegistry, then hands both to the writer: scalars,
// containers and the dispatch on types.
#include "graph/traversal.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "py/convert.h"
#include "core/buffer.h"
#include "format/writer.h"
#include "graph/capture.h"

namespace korvane::graph {

namespace detail {

using format::kMaxLength;

PyError length_error(Py_ssize_t n, const char* what) {
  if (n < 0) return PyError::fetch();
  return overflow_error(std::string(what) + " of " + std::to_string(n) +
                        " items is too long to encode (at most 4294967295)");
}

namespace {

// ---- scalars -------------------------------------------------------------

PyResult<uint32_t> capture_int(CaptureState& s, PyObject* obj) {
  int overflow = 0;
  long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
  if (overflow) {
    KV_ASSIGN_OR_RETURN(std::optional<uint32_t> adapted, capture_big_int(s, obj));
    if (adapted) return *adapted;
    v = PyLong_AsLongLong(obj);  // raises the interpreter's OverflowError
    return PyError::fetch();
  }
  if (v == -1 && PyErr_Occurred()) return PyError::fetch();
  const uint32_t n = s.graph.push_int(v);
  remember(s, obj, n);
  return n;
}

PyResult<uint32_t> capture_float(CaptureState& s, PyObject* obj) {
  const double v = PyFloat_AsDouble(obj);
  if (v == -1.0 && PyErr_Occurred()) return PyError::fetch();
  const uint32_t n = s.graph.push_float(v);
  remember(s, obj, n);
  return n;
}

PyResult<uint32_t> capture_str(CaptureState& s, PyObject* obj) {
  KV_ASSIGN_OR_RETURN(std::string_view text, utf8_view(obj));
  if (text.size() > kMaxLength)
    return overflow_error("str value of " + std::to_string(text.size()) +
                          " bytes is too long to encode (at most 4294967295)");
  const uint32_t n = s.graph.push_str(s.graph.strings.intern(text));
  remember(s, obj, n);
  return n;
}

PyResult<uint32_t> capture_exact_bytes(CaptureState& s, PyObject* obj) {
  char* data;
  Py_ssize_t size;
  if (PyBytes_AsStringAndSize(obj, &data, &size) < 0) return PyError::fetch();
  const bool borrow = static_cast<size_t>(size) >= kBorrowBytesFrom;
  KV_ASSIGN_OR_RETURN(uint32_t n, s.graph.push_bytes({reinterpret_cast<uint8_t*>(data),
                                                      static_cast<size_t>(size)},
                                                     borrow));
  if (borrow) s.kept.push_back(Ref::borrow(obj));
  remember(s, obj, n);
  return n;
}

// A look-alike named "bytes": read by iteration, each item a byte value.
PyResult<uint32_t> capture_bytes_like(CaptureState& s, PyObject* obj) {
  if (PyUnicode_Check(obj)) return type_error("Can't extract `str` to `Vec`");
  if (!PySequence_Check(obj)) return conversion_error(obj, "Sequence");
  Ref it = Ref::steal(PyObject_GetIter(obj));
  if (!it) return PyError::fetch();
  std::vector<uint8_t> data;
  while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
    const long v = PyLong_AsLong(item.get());
    if (v == -1 && PyErr_Occurred()) return PyError::fetch();
    if (v < 0 || v > 255)
      return PyError::make(PyExc_OverflowError, "out of range integral type conversion attempted");
    data.push_back(static_cast<uint8_t>(v));
  }
  if (PyErr_Occurred()) return PyError::fetch();
  KV_ASSIGN_OR_RETURN(uint32_t n, s.graph.push_bytes(data, false));
  remember(s, obj, n);
  return n;
}

// None, True and False: pushed, then remembered like any scalar.
PyResult<uint32_t> capture_singleton(CaptureState& s, PyObject* obj, uint32_t n) {
  remember(s, obj, n);
  return n;
}

// Exact ints, floats and strs that only their container references are the
// bulk of most graphs. Before any user code has run nothing can reach them
// again, so they skip the memo and the general dispatch. False sends the
// caller the general way (which also reports any error).
inline bool capture_plain_held(CaptureState& s, PyObject* item, uint32_t& number);
inline bool capture_plain(CaptureState& s, PyObject* item, uint32_t& number) {
  if (Py_REFCNT(item) != 1) return false;
  return capture_plain_held(s, item, number);
}

// As capture_plain, for an item whose reference count was checked by the caller.
inline bool capture_plain_held(CaptureState& s, PyObject* item, uint32_t& number) {
  if (s.user_code) return false;
  PyTypeObject* type = Py_TYPE(item);
  if (type == &PyLong_Type) {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(item, &overflow);
    if (overflow) return false;
    number = s.graph.push_int(v);
    return true;
  }
  if (type == &PyFloat_Type) {
    number = s.graph.push_float(PyFloat_AsDouble(item));
    return true;
  }
  if (type == &PyUnicode_Type) {
    Py_ssize_t size;
    const char* data = PyUnicode_AsUTF8AndSize(item, &size);
    if (!data) {
      PyErr_Clear();
      return false;
    }
    if (static_cast<uint64_t>(size) > kMaxLength) return false;
    number = s.graph.push_str(s.graph.strings.intern({data, static_cast<size_t>(size)}));
    return true;
  }
  return false;
}

// ---- containers ----------------------------------------------------------

PyResult<uint32_t> capture_sequence(CaptureState& s, PyObject* obj, NodeKind kind) {
  const bool list = kind == NodeKind::List;
  const Py_ssize_t size = list ? PyList_Size(obj) : PyTuple_Size(obj);
  if (!length_fits(size)) return length_error(size, "sequence");
  const auto length = static_cast<uint32_t>(size);
  Slots slots = s.graph.reserve(kind, length);
  remember(s, obj, slots.number);
  DepthGuard guard;
  if (!guard.enter(s.stack_floor, kWhere)) return PyError::fetch();
  uint32_t i = 0;
  for (; i < length; ++i) {
    PyObject* item = list ? PyList_GetItem(obj, i) : PyTuple_GetItem(obj, i);
    if (!item) {
      // Items appended during the walk are not visited; removed ones end
      // it. The list's own bounds check finds the end, so an unchanged
      // list is not measured again for every item.
      if (list && static_cast<Py_ssize_t>(i) >= PyList_Size(obj)) {
        PyErr_Clear();
        break;
      }
      return PyError::fetch();
    }
    uint32_t child;
    if (!capture_plain(s, item, child) && !capture_seen(s, item, child)) {
      Ref held = Ref::borrow(item);
      KV_ASSIGN_OR_RETURN(child, capture_unseen(s, item));
    }
    s.graph.fill(slots, i, child);
  }
  if (i < length) s.graph.resize(slots, i, i);
  return slots.number;
}

PyResult<uint32_t> capture_dict(CaptureState& s, PyObject* obj) {
  const Py_ssize_t start = PyDict_Size(obj);
  if (!length_fits(start)) return length_error(start, "dict");
  const auto length = static_cast<uint32_t>(start);
  Slots slots = s.graph.reserve(NodeKind::Dict, length);
  remember(s, obj, slots.number);
  DepthGuard guard;
  if (!guard.enter(s.stack_floor, kWhere)) return PyError::fetch();
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  uint32_t i = 0;
  for (;; ++i) {
    // Only user code can change the dict while it is walked.
    if (s.user_code && PyDict_Size(obj) != start)
      return panic("dictionary changed size during iteration");
    if (!PyDict_Next(obj, &pos, &key, &value)) break;
    if (i >= length) return panic("dictionary keys changed during iteration");
    // The pair is held only across captures that may run user code, which
    // could take it out of the dict.
    uint32_t k;
    if (!capture_seen(s, key, k)) {
      Ref held_key = Ref::borrow(key), held_value = Ref::borrow(value);
      KV_ASSIGN_OR_RETURN(k, capture_unseen(s, key));
      s.graph.fill(slots, 2 * i, k);
      KV_ASSIGN_OR_RETURN(uint32_t v, capture(s, value));
      s.graph.fill(slots, 2 * i + 1, v);
      continue;
    }
    s.graph.fill(slots, 2 * i, k);
    uint32_t v;
    // A value only the dict holds is in no memo (the memo holds what it
    // remembers), so it skips the probe.
    const bool unseen = Py_REFCNT(value) == 1 ? !capture_plain_held(s, value, v)
                                               : !capture_seen(s, value, v);
    if (unseen) {
      Ref held_value = Ref::borrow(value);
      KV_ASSIGN_OR_RETURN(v, capture_unseen(s, value));
    }
    s.graph.fill(slots, 2 * i + 1, v);
  }
  if (i < length) s.graph.resize(slots, 2 * i, i);
  return slots.number;
}

PyResult<uint32_t> capture_set(CaptureState& s, PyObject* obj, NodeKind kind) {
  const Py_ssize_t size = PySet_Size(obj);
  if (!length_fits(size)) return length_error(size, "set");
  const auto length = static_cast<uint32_t>(size);
  Slots slots = s.graph.reserve(kind, length);
  remember(s, obj, slots.number);
  DepthGuard guard;
  if (!guard.enter(s.stack_floor, kWhere)) return PyError::fetch();
  Ref it = Ref::steal(PyObject_GetIter(obj));
  if (!it) return PyError::fetch();
  uint32_t i = 0;
  while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
    KV_ASSIGN_OR_RETURN(uint32_t child, capture(s, item.get()));
    if (i == slots.count) {  // an iterator that yields more than the length
      if (i == UINT32_MAX) return overflow_error("set is too large to encode");
      s.graph.resize(slots, i < 0x7FFFFFFF ? (i ? 2 * i : 4) : UINT32_MAX, i);
    }
    s.graph.fill(slots, i++, child);
  }
  if (PyErr_Occurred()) {
    // A set changed during the walk is an internal failure, not its error.
    PyError error = PyError::fetch();
    Ref exc = error.exception();
    Ref text = Ref::steal(PyObject_Str(exc.get()));
    std::string message = "set changed during iteration";
    if (text) {
      if (auto view = utf8_view(text.get())) message = std::string(*view);
    }
    PyErr_Clear();
    return panic(message);
  }
  if (i != slots.count) s.graph.resize(slots, i, i);
  return slots.number;
}

// ---- dispatch ------------------------------------------------------------

// Dispatch by the exact text of the type's __name__: a subclass named
// otherwise is not the built-in, and a look-alike named like one takes its
// branch with that branch's checks.
PyResult<uint32_t> capture_by_name(CaptureState& s, PyObject* obj) {
  allow_user_code(s);
  Ref name_obj = Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(obj)),
                                             g_state.str_name));
  if (!name_obj) return PyError::fetch();
  if (!PyUnicode_Check(name_obj.get())) return conversion_error(name_obj.get(), "PyString");
  KV_ASSIGN_OR_RETURN(std::string_view name, utf8_view(name_obj.get()));
  if (name == "int") return capture_int(s, obj);
  if (name == "str") return capture_str(s, obj);
  if (name == "set") {
    if (!PySet_Check(obj)) return conversion_error(obj, "PySet");
    return capture_set(s, obj, NodeKind::Set);
  }
  if (name == "bool") {
    if (obj != Py_True && obj != Py_False) return conversion_error(obj, "PyBool");
    return capture_singleton(s, obj, s.graph.push_bool(obj == Py_True));
  }
  if (name == "list") {
    if (!PyList_Check(obj)) return conversion_error(obj, "PyList");
    return capture_sequence(s, obj, NodeKind::List);
  }
  if (name == "dict") {
    if (!PyDict_Check(obj)) return conversion_error(obj, "PyDict");
    return capture_dict(s, obj);
  }
  if (name == "float") return capture_float(s, obj);
  if (name == "bytes") return capture_bytes_like(s, obj);
  if (name == "tuple") {
    if (!PyTuple_Check(obj)) return conversion_error(obj, "PyTuple");
    return capture_sequence(s, obj, NodeKind::Tuple);
  }
  if (name == "NoneType") return capture_singleton(s, obj, s.graph.push_none());
  if (name == "frozenset") {
    if (!PyFrozenSet_Check(obj)) return conversion_error(obj, "PyFrozenSet");
    return capture_set(s, obj, NodeKind::FrozenSet);
  }
  return capture_other(s, obj, name);
}

}  // namespace

PyResult<uint32_t> capture_unseen(CaptureState& s, PyObject* obj) {
  // The built-in types' names cannot change, so an exact type is known by
  // its pointer without looking __name__ up.
  PyTypeObject* type = Py_TYPE(obj);
  if (type == &PyUnicode_Type) return capture_str(s, obj);
  if (type == &PyLong_Type) return capture_int(s, obj);
  if (type == &PyDict_Type) return capture_dict(s, obj);
  if (type == &PyList_Type) return capture_sequence(s, obj, NodeKind::List);
  if (type == &PyFloat_Type) return capture_float(s, obj);
  if (obj == Py_None) return capture_singleton(s, obj, s.graph.push_none());
  if (type == &PyBool_Type) return capture_singleton(s, obj, s.graph.push_bool(obj == Py_True));
  if (type == &PyTuple_Type) return capture_sequence(s, obj, NodeKind::Tuple);
  if (type == &PyBytes_Type) return capture_exact_bytes(s, obj);
  if (type == &PySet_Type) return capture_set(s, obj, NodeKind::Set);
  if (type == &PyFrozenSet_Type) return capture_set(s, obj, NodeKind::FrozenSet);
  return capture_by_name(s, obj);
}

}  // namespace detail

PyResult<Ref> encode(PyObject* obj) {
  detail::CaptureState s;
  s.root = obj;
  KV_TRY(capture(s, obj));
  s.gc_pause.resume();
  s.memo.clear();  // the walk is over: release what it kept alive
  KV_ASSIGN_OR_RETURN(uint64_t size, format::prepare_document(s.graph.strings, s.graph, s.types));
  if (size > static_cast<uint64_t>(PY_SSIZE_T_MAX)) return Error{ErrorKind::Memory, "document too large"};
  Ref out = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
  if (!out) return PyError::fetch();
  auto* data = reinterpret_cast<uint8_t*>(PyBytes_AsString(out.get()));
  // A document made mostly of large bytes values is written by a few long
  // copies, which huge pages speed up. One made mostly of the object table
  // is written while the table's own pages are given back, and measured
  // slower on huge pages, so it keeps small ones.
  uint64_t borrowed = 0;
  for (const Ref& bytes : s.kept) borrowed += static_cast<uint64_t>(PyBytes_Size(bytes.get()));
  if (borrowed >= size / 2) advise_huge_pages(data, size);
  format::write_prepared(s.graph.strings, s.graph, s.types, {data, size});
  return out;
}

}  // namespace korvane::graph

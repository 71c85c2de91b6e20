// src/decoder/engine.cpp: resolving object numbers, scalars, lists, dicts
// and sets.
#include "decoder/engine.h"

#include <cstring>
#include <string>

#include "core/buffer.h"
#include "format/format.h"

namespace korvane::decoder {

using format::ChainEnd;
namespace layout = format::layout;

namespace {

// A bytes copy of `size` bytes at `data`, filled once it may use huge pages.
Ref new_bytes(const uint8_t* data, size_t size) {
  Ref obj = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
  if (!obj) return obj;
  char* out = PyBytes_AsString(obj.get());
  advise_huge_pages(out, size);
  std::memcpy(out, data, size);
  return obj;
}

}  // namespace

std::optional<Error> Decoder::text_fault() const {
  if (!doc_.texts_unchecked) return std::nullopt;
  for (uint32_t i = 0; i < doc_.string_count(); ++i) {
    if (decoded_[i]) continue;
    if (auto fault = format::text_fault(doc_, i)) return fault;
  }
  return std::nullopt;
}

PyResult<Ref> Decoder::stand_in(uint32_t n) {
  Ref obj = Ref::steal(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
  if (!obj) return PyError::fetch();
  store(n, obj.get());  // Canonical: only a Reference reaches here, so n is a target
  ++stand_ins_;
  return obj;
}

PyResult<Ref> Decoder::resolve(uint32_t n) {
  if (n >= doc_.object_count())
    return value_error("Invalid reference: " + std::to_string(n));
  if (canonical_) {
    if (n != next_) return restart();
    ++next_;
    if (!doc_.is_reference(n)) return build(n);  // first and only direct visit
  }
  if (doc_.is_reference(n)) {
    const ChainEnd end = doc_.chain_end(n);
    if (end.kind == ChainEnd::Kind::Loop)
      return value_error("Invalid data: reference loop at object " + std::to_string(n));
    if (end.kind == ChainEnd::Kind::Missing)
      return value_error("Invalid reference: " + std::to_string(end.number));
    n = end.number;
    if (canonical_ && !memo_.get(n) && !in_progress_[n]) return restart();  // a forward reference
  }
  if (PyObject* done = memo_.get(n)) return Ref::borrow(done);
  if (in_progress_[n]) return stand_in(n);
  return build(n);
}

// try_scalar over the items of a list made at its full length, from item
// `i` on: a long list of numbers or repeated values is filled here. Returns
// the first item it left (with an error set if making an object failed).
inline uint32_t Decoder::fill_scalars(PyObject* list, const GraphNode& node, uint32_t i) {
  if (!canonical_) return i;
  const ScalarView view{*this};
  uint32_t next = next_;
  for (; i < node.count; ++i) {
    PyObject* obj = view.take(node.child(i), next);
    if (!obj) break;
    PyList_SetItem(list, i, obj);  // takes the new reference
  }
  next_ = next;
  return i;
}

Ref Decoder::decode_text(uint32_t index) {
  const std::string_view text = doc_.text(index);
  Ref str = Ref::steal(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
  if (str) decoded_[index] = 1;
  return str;
}

PyResult<Ref> Decoder::resolve_final(uint32_t n) {
  KV_ASSIGN_OR_RETURN(Ref obj, resolve(n));
  if (is_stand_in(n, obj.get()))
    return value_error(
        "Invalid data: a tuple or frozenset is reached from inside itself through a key, "
        "a set element, a tuple, a frozenset or a dataclass field");
  return obj;
}

PyResult<Ref> Decoder::build(uint32_t n) {
  const uint8_t* p = doc_.at(n);
  Ref obj;
  switch (layout::tag(p)) {
    case format::kTagNone:
    case format::kTagTrue:
    case format::kTagFalse:
    case format::kTagInt:
    case format::kTagFloat: obj = Ref::steal(new_plain(p, input_end_)); break;
    case format::kTagStr: {
      KV_ASSIGN_OR_RETURN(obj, build_str(layout::str_index(p)));
      break;
    }
    case format::kTagBytes: obj = new_bytes(layout::payload(p), layout::count(p)); break;
    case format::kTagList: return build_list(n, doc_.node(n));
    case format::kTagTuple: return build_tuple(n, doc_.node(n));
    case format::kTagDict: return build_dict(n, doc_.node(n));
    case format::kTagSet: return build_set(n, doc_.node(n));
    case format::kTagFrozenSet: return build_frozenset(n, doc_.node(n));
    case format::kTagDataclass: return build_dataclass(n, doc_.node(n));
    default: return Error{ErrorKind::Panic, "unexpected entry kind"};
  }
  if (!obj) return PyError::fetch();
  store(n, obj.get());
  return obj;
}

PyResult<Ref> Decoder::build_str(uint32_t index) {
  if (index >= doc_.string_count())
    return value_error("Invalid string index: " + std::to_string(index));
  Ref str = decode_text(index);
  if (!str) return PyError::fetch();
  return str;
}

PyResult<Ref> Decoder::build_list(uint32_t n, const GraphNode& node) {
  Ref list = Ref::steal(PyList_New(fill_in_place_ ? node.count : 0));
  if (!list) return PyError::fetch();
  store(n, list.get());
  ++opened_;
  DepthGuard guard;
  if (!guard.enter(stack_floor_, kWhere)) return PyError::fetch();
  for (uint32_t i = 0; i < node.count; ++i) {
    if (fill_in_place_) {
      if (Ref scalar = try_scalar(node.child(i))) {
        PyList_SetItem(list.get(), i, scalar.release());
        // A scalar item often starts a run of them; the loop goes on
        // with the item that ends the run.
        i = fill_scalars(list.get(), node, i + 1) - 1;
        if (PyErr_Occurred()) return PyError::fetch();
        continue;
      }
    }
    KV_ASSIGN_OR_RETURN(Ref item, child(node.child(i)));
    if (is_stand_in(node.child(i), item.get()))
      add_patch(node.child(i), list.get(), static_cast<Py_ssize_t>(i), Ref());
    if (fill_in_place_) {
      PyList_SetItem(list.get(), i, item.release());
    } else if (PyList_Append(list.get(), item.get()) < 0) {
      return PyError::fetch();
    }
  }
  return list;
}

// Would hashing or comparing `key`, built for child number `n`, run code of
// a class that make_class gave? Dataclass instances, and tuples and
// frozensets holding one, may; str, int, float, bytes and the rest never do.
bool Decoder::runs_user_code(uint32_t n, PyObject* key) {
  if (doc_.dataclass_entries == 0 || Py_IS_TYPE(key, &PyBytes_Type)) return false;
  if (!Py_IS_TYPE(key, &PyTuple_Type) && !Py_IS_TYPE(key, &PyFrozenSet_Type)) return true;
  return budget_.reaches_dataclass(n);
}

PyResult<Ok> Decoder::charge_slow_key(uint32_t n, PyObject* key, bool& user) {
  KV_TRY(budget_.charge(n));
  user = user || runs_user_code(n, key);
  return Ok();
}

PyError Decoder::user_hash_error() const {
  return value_error(
      "Invalid data: a dataclass instance would be hashed or compared as a key or set "
      "element while a list or dict still waits for an unfinished tuple or frozenset");
}

PyResult<Ref> Decoder::build_dict(uint32_t n, const GraphNode& node) {
  Ref dict = Ref::steal(PyDict_New());
  if (!dict) return PyError::fetch();
  store(n, dict.get());
  ++opened_;
  DepthGuard guard;
  if (!guard.enter(stack_floor_, kWhere)) return PyError::fetch();
  bool user_keys = false;  // a key whose hashing or comparing runs user code
  for (uint32_t i = 0; i < node.count; ++i) {
    Ref key = try_scalar(node.child(2 * i));
    if (!key) {
      if (PyErr_Occurred()) return PyError::fetch();
      KV_ASSIGN_OR_RETURN(key, resolve_final(node.child(2 * i)));
    }
    Ref value = try_scalar(node.child(2 * i + 1));
    if (!value) {
      if (PyErr_Occurred()) return PyError::fetch();
      KV_ASSIGN_OR_RETURN(value, resolve(node.child(2 * i + 1)));
    }
    KV_TRY(before_hashing(node.child(2 * i), key.get(), user_keys));
    if (PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return PyError::fetch();
    if (is_stand_in(node.child(2 * i + 1), value.get())) {
      // Patching sets the item again, which hashes and compares the keys.
      if (user_keys) return user_hash_error();
      add_patch(node.child(2 * i + 1), dict.get(), -1, std::move(key));
    }
  }
  return dict;
}

PyResult<Ref> Decoder::build_set(uint32_t n, const GraphNode& node) {
  Ref set = Ref::steal(PySet_New(nullptr));
  if (!set) return PyError::fetch();
  store(n, set.get());
  ++opened_;
  DepthGuard guard;
  if (!guard.enter(stack_floor_, kWhere)) return PyError::fetch();
  bool user_items = false;  // an element whose hashing or comparing runs user code
  for (uint32_t i = 0; i < node.count; ++i) {
    KV_ASSIGN_OR_RETURN(Ref item, final_child(node.child(i)));
    KV_TRY(before_hashing(node.child(i), item.get(), user_items));
    if (PySet_Add(set.get(), item.get()) < 0) return PyError::fetch();
  }
  return set;
}

}  // namespace korvane::decoder

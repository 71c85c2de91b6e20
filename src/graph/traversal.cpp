// src/graph/traversal.cpp: walks a Python object graph depth first into an
// ObjectGraph and TypeRegistry, then hands both to the writer.
#include "graph/traversal.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "adapters.h"
#include "attributes.h"
#include "convert.h"
#include "core/buffer.h"
#include "core/hashing.h"
#include "depth_guard.h"
#include "gc_pause.h"
#include "format/writer.h"
#include "graph/object_graph.h"
#include "process_state.h"

namespace korvane::graph {

namespace {

using format::kMaxLength;

constexpr const char* kWhere = " while encoding";

// Bytes values at least this long are copied once, straight from the
// object into the output, instead of through the object table.
constexpr size_t kBorrowBytesFrom = 64 * 1024;

// Identity memo: address to object number, open addressing. Each key holds
// a strong reference until the capture ends, so an address can never be
// reused by a different object while the walk still remembers it.
class IdentityMemo {
 public:
  IdentityMemo() : seed_(next_map_seed()) {}
  IdentityMemo(const IdentityMemo&) = delete;
  IdentityMemo& operator=(const IdentityMemo&) = delete;
  ~IdentityMemo() { clear(); }

  bool empty() const noexcept { return used_ == 0; }

  const uint32_t* find(PyObject* key) const noexcept {
    if (used_ == 0) return nullptr;
    for (size_t i = hash_address(key, seed_) & mask_;; i = (i + 1) & mask_) {
      if (slots_[i].key == key) return &slots_[i].number;
      if (!slots_[i].key) return nullptr;
    }
  }

  void insert(PyObject* key, uint32_t number) {
    if ((used_ + 1) * 2 > capacity_) grow();
    size_t i = hash_address(key, seed_) & mask_;
    while (slots_[i].key) i = (i + 1) & mask_;
    Py_INCREF(key);
    slots_[i] = Slot{key, number};
    ++used_;
  }

  void clear() noexcept {
    for (size_t i = 0; i < capacity_ && used_; ++i) {
      if (PyObject* key = slots_[i].key) {
        slots_[i].key = nullptr;
        --used_;
        Py_DECREF(key);
      }
    }
    std::free(slots_);
    slots_ = nullptr;
    capacity_ = mask_ = used_ = 0;
  }

 private:
  struct Slot {
    PyObject* key;
    uint32_t number;
  };
  void grow() {
    const size_t capacity = capacity_ ? capacity_ * 2 : 64;
    // calloc: large zeroed blocks come straight from fresh pages.
    auto* slots = static_cast<Slot*>(std::calloc(capacity, sizeof(Slot)));
    if (!slots) throw std::bad_alloc();
    const size_t mask = capacity - 1;
    for (size_t j = 0; j < capacity_; ++j) {
      if (!slots_[j].key) continue;
      size_t i = hash_address(slots_[j].key, seed_) & mask;
      while (slots[i].key) i = (i + 1) & mask;
      slots[i] = slots_[j];
    }
    std::free(slots_);
    slots_ = slots;
    capacity_ = capacity;
    mask_ = mask;
  }

  Slot* slots_ = nullptr;
  size_t capacity_ = 0, mask_ = 0, used_ = 0;
  uint64_t seed_;
};

// The field names of one dataclass as read from its __dataclass_fields__
// mapping: the keys (a tuple, which keeps them alive) and their texts.
// Instances of a class share the mapping, so they skip re-reading the names
// while the mapping holds the very same keys in the same order.
struct FieldLayout {
  Ref fields;
  Ref keys;
  std::vector<std::string_view> texts;
  // The type these fields were last registered as: a later instance with
  // the same name and version gets the same type id without a lookup.
  bool registered = false;
  std::string name;
  uint32_t version = 0;
  uint32_t type_id = 0;
};

// Layouts remembered per call; past this many, new ones replace old ones.
constexpr size_t kMaxLayouts = 32;

struct CaptureState {
  ObjectGraph graph;
  TypeRegistry types;
  IdentityMemo memo;
  std::vector<Ref> kept;  // bytes objects written by reference
  // Until user code may have run, an object whose only references are its
  // container's and ours cannot be reached again, so it need not be
  // remembered. Any dataclass or non-built-in type switches this off. The
  // root is the exception: its holders are the caller's, not the walk's.
  bool user_code = false;
  PyObject* root = nullptr;
  // The collector stays paused while no user code has run: a collection
  // runs finalizers, which could move an object the walk has not
  // remembered to where the walk will meet it again.
  GcPause gc_pause;
  std::vector<FieldLayout> layouts;
  size_t last_layout = 0;
  size_t next_replaced = 0;
  AttributeProbe versions{g_state.str_korvane_version, g_state.str_meridel_version};
  ModuleLookup dataclasses{g_state.str_dataclasses};
  NestingBound stack_floor;  // the native stack and the recursion limit
};

// An object the memo does not hold: dispatched on its type.
[[gnu::noinline]] PyResult<uint32_t> capture_unseen(CaptureState& s, PyObject* obj);

// May this object be met again later in the walk?
inline bool shared(const CaptureState& s, PyObject* obj) {
  return s.user_code || Py_REFCNT(obj) != 2 || obj == s.root;
}

// From here on user code may run: the memo shortcuts are off and the
// collector runs again.
inline void allow_user_code(CaptureState& s) {
  s.user_code = true;
  s.gc_pause.resume();
}

// An object met before becomes a Reference to its number; true when it was.
// Kept apart from the dispatch so that the usual repeated key or value costs
// a probe and an append, not a full call.
inline bool capture_seen(CaptureState& s, PyObject* obj, uint32_t& number) {
  if (!shared(s, obj)) return false;
  const uint32_t* seen = s.memo.find(obj);
  if (!seen) return false;
  number = s.graph.push(*seen);
  return true;
}

inline PyResult<uint32_t> capture(CaptureState& s, PyObject* obj) {
  uint32_t number;
  if (capture_seen(s, obj, number)) return number;
  return capture_unseen(s, obj);
}

inline void remember(CaptureState& s, PyObject* obj, uint32_t number) {
  if (shared(s, obj)) s.memo.insert(obj, number);
}

PyError panic(std::string message) { return Error{ErrorKind::Panic, std::move(message)}; }

// The error for a container length that is negative (a failed size query)
// or wider than the format's u32 counts.
[[gnu::cold, gnu::noinline]] PyError length_error(Py_ssize_t n, const char* what) {
  if (n < 0) return PyError::fetch();
  return overflow_error(std::string(what) + " of " + std::to_string(n) +
                        " items is too long to encode (at most 4294967295)");
}

inline bool length_fits(Py_ssize_t n) {
  return n >= 0 && static_cast<uint64_t>(n) <= kMaxLength;
}

// ---- scalars -------------------------------------------------------------

// An exact int beyond 64 bits, written by the adapter registered for int;
// an empty optional when there is none.
PyResult<std::optional<uint32_t>> capture_big_int(CaptureState& s, PyObject* obj);

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

// ---- dataclasses ---------------------------------------------------------

// The class's schema version; absent, unreadable or not a u32 means 0.
// Interrupts and exits raised on the way propagate.
PyResult<uint32_t> read_schema_version(CaptureState& s, PyObject* obj) {
  KV_ASSIGN_OR_RETURN(Ref version, s.versions.first_found(obj));
  if (!version) return uint32_t{0};
  auto v = index_to_u32(version.get());
  if (!v) {
    std::move(v).error().raise();
    if (!drop_ordinary_error()) return PyError::fetch();
    return uint32_t{0};
  }
  return *v;
}

// Does `layout` still describe `fields`: the same mapping holding the very
// same keys in the same order?
bool layout_matches(const FieldLayout& layout, PyObject* fields) {
  if (layout.fields.get() != fields) return false;
  PyObject* keys = layout.keys.get();
  const Py_ssize_t n = PyTuple_Size(keys);
  if (PyDict_Size(fields) != n) return false;
  Py_ssize_t pos = 0, i = 0;
  PyObject *key, *value;
  while (PyDict_Next(fields, &pos, &key, &value)) {
    if (i >= n || PyTuple_GetItem(keys, i) != key) return false;
    ++i;
  }
  return i == n;
}

// The layout of `fields`, read afresh when no remembered one matches. The
// reference is only good until the next capture.
PyResult<FieldLayout*> field_layout(CaptureState& s, PyObject* fields) {
  if (s.last_layout < s.layouts.size() && layout_matches(s.layouts[s.last_layout], fields))
    return &s.layouts[s.last_layout];
  size_t slot = s.layouts.size();
  for (size_t i = 0; i < s.layouts.size(); ++i) {
    if (s.layouts[i].fields.get() != fields) continue;
    if (layout_matches(s.layouts[i], fields)) {
      s.last_layout = i;
      return &s.layouts[i];
    }
    slot = i;  // the same mapping with other keys now: read it again
  }
  Ref list = Ref::steal(PyDict_Keys(fields));
  if (!list) return PyError::fetch();
  Ref keys = Ref::steal(PyList_AsTuple(list.get()));
  if (!keys) return PyError::fetch();
  FieldLayout layout;
  layout.fields = Ref::borrow(fields);
  layout.keys = std::move(keys);
  const Py_ssize_t n = PyTuple_Size(layout.keys.get());
  layout.texts.reserve(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* key = PyTuple_GetItem(layout.keys.get(), i);
    if (!PyUnicode_Check(key)) return conversion_error(key, "PyString");
    KV_ASSIGN_OR_RETURN(std::string_view text, utf8_view(key));
    layout.texts.push_back(text);
  }
  if (slot == s.layouts.size() && slot >= kMaxLayouts) slot = s.next_replaced++ % kMaxLayouts;
  if (slot == s.layouts.size()) s.layouts.push_back(std::move(layout));
  else s.layouts[slot] = std::move(layout);
  s.last_layout = slot;
  return &s.layouts[slot];
}

PyResult<uint32_t> register_dataclass(CaptureState& s, std::string_view name,
                                      std::span<const std::string_view> fields,
                                      uint32_t version) {
  if (fields.size() > format::kMaxFields)
    return overflow_error("dataclass " + std::string(name) + " has " +
                          std::to_string(fields.size()) +
                          " fields, more than the 65535 the format can hold");
  if (auto id = s.types.find(name)) {
    // Two classes with one bare name share an entry only when it describes
    // both; otherwise the second one's values would land under wrong names.
    const TypeEntry& entry = s.types.entry(*id);
    if (entry.schema_version != version ||
        !std::equal(entry.field_names.begin(), entry.field_names.end(), fields.begin(),
                    fields.end()))
      return type_error("Cannot encode dataclass '" + std::string(name) +
                        "': another class of that name with different fields or schema version "
                        "is already in this document");
    return *id;
  }
  if (s.types.size() >= format::kMaxTypes)
    return overflow_error("too many dataclass types to encode: the format holds at most 65536");
  return s.types.register_type(name, fields, version);
}

PyResult<uint32_t> capture_dataclass(CaptureState& s, PyObject* obj, std::string_view name) {
  Ref fields = Ref::steal(PyObject_GetAttr(obj, g_state.str_dataclass_fields));
  if (!fields) return PyError::fetch();
  if (!PyDict_Check(fields.get())) return conversion_error(fields.get(), "PyDict");
  KV_ASSIGN_OR_RETURN(FieldLayout* layout, field_layout(s, fields.get()));
  // The layout may be replaced by a nested dataclass: hold our own keys.
  Ref keys = Ref::borrow(layout->keys.get());
  const auto count = static_cast<uint32_t>(layout->texts.size());
  KV_ASSIGN_OR_RETURN(const uint32_t version, read_schema_version(s, obj));
  uint32_t type_id;
  if (layout->registered && layout->version == version && layout->name == name) {
    type_id = layout->type_id;
  } else {
    KV_ASSIGN_OR_RETURN(type_id, register_dataclass(s, name, layout->texts, version));
    layout->registered = true;
    layout->name.assign(name);
    layout->version = version;
    layout->type_id = type_id;
  }
  Slots slots = s.graph.reserve(NodeKind::Dataclass, count, static_cast<uint16_t>(type_id));
  s.memo.insert(obj, slots.number);
  DepthGuard guard;
  if (!guard.enter(s.stack_floor, kWhere)) return PyError::fetch();
  for (uint32_t i = 0; i < count; ++i) {
    Ref value = Ref::steal(PyObject_GetAttr(obj, PyTuple_GetItem(keys.get(), i)));
    if (!value) return PyError::fetch();
    KV_ASSIGN_OR_RETURN(uint32_t child, capture(s, value.get()));
    s.graph.fill(slots, i, child);
  }
  return slots.number;
}

// ---- adapted values ------------------------------------------------------

// An object that only an adapter knows, written as what the adapter made of
// it and remembered under its own identity, so that meeting it again gives
// a Reference. Every remembered object is held by the memo, so what the
// adapter returned stays alive until the walk ends.
PyResult<uint32_t> capture_adapted(CaptureState& s, PyObject* obj, std::string_view name,
                                   Adapted adapted) {
  DepthGuard guard;
  if (!guard.enter(s.stack_floor, kWhere)) return PyError::fetch();
  PyObject* value = adapted.value.get();
  if (!adapted.name) {
    // One-way: the object stands for its replacement. A capture pushes its
    // own entry first, so the replacement's number is known beforehand and
    // a cycle back through the object ends at it.
    if (const uint32_t* seen = s.memo.find(value)) {
      const uint32_t target = *seen;
      s.memo.insert(obj, target);
      return s.graph.push(target);
    }
    const uint32_t expected = s.graph.object_count();
    s.memo.insert(obj, expected);
    auto number = capture_unseen(s, value);
    if (!number) return adapted_value_error(name, std::move(number).error());
    if (*number != expected) return panic("an adapted value was not written where expected");
    return *number;
  }
  Ref keys = Ref::steal(PyDict_Keys(value));
  Ref values = keys ? Ref::steal(PyDict_Values(value)) : Ref();
  if (!values) return PyError::fetch();
  Ref key_tuple = Ref::steal(PyList_AsTuple(keys.get()));
  if (!key_tuple) return PyError::fetch();
  const Py_ssize_t count = PyTuple_Size(key_tuple.get());
  std::vector<std::string_view> texts;
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* key = PyTuple_GetItem(key_tuple.get(), i);
    if (!PyUnicode_Check(key))
      return type_error("cannot encode " + std::string(name) +
                        ": its adapter returned a field name that is not a str");
    KV_ASSIGN_OR_RETURN(std::string_view text, utf8_view(key));
    texts.push_back(text);
  }
  KV_ASSIGN_OR_RETURN(std::string_view record, utf8_view(adapted.name.get()));
  if (auto id = s.types.find(record)) {
    const auto& known = s.types.entry(*id).field_names;
    if (!std::equal(known.begin(), known.end(), texts.begin(), texts.end()))
      return type_error("cannot encode " + std::string(name) + ": its adapter returned other "
                        "fields than an earlier '" + std::string(record) +
                        "' in this document had (an adapter must return the same fields "
                        "every time)");
  } else {
    KV_TRY(check_record_fields(name, key_tuple.get()));
  }
  KV_ASSIGN_OR_RETURN(uint32_t type_id, register_dataclass(s, record, texts, 0));
  Slots slots = s.graph.reserve(NodeKind::Dataclass, static_cast<uint32_t>(count),
                                static_cast<uint16_t>(type_id));
  s.memo.insert(obj, slots.number);
  for (Py_ssize_t i = 0; i < count; ++i) {
    auto child = capture(s, PyList_GetItem(values.get(), i));
    if (!child) return adapted_value_error(name, std::move(child).error());
    s.graph.fill(slots, static_cast<uint32_t>(i), *child);
  }
  return slots.number;
}

PyResult<std::optional<uint32_t>> capture_big_int(CaptureState& s, PyObject* obj) {
  if (!Py_IS_TYPE(obj, &PyLong_Type)) return std::optional<uint32_t>();
  allow_user_code(s);
  KV_ASSIGN_OR_RETURN(std::optional<Adapted> adapted, run_adapter(obj, "int"));
  if (!adapted) return std::optional<uint32_t>();
  KV_ASSIGN_OR_RETURN(uint32_t number, capture_adapted(s, obj, "int", std::move(*adapted)));
  return std::optional<uint32_t>(number);
}

PyResult<uint32_t> capture_other(CaptureState& s, PyObject* obj, std::string_view name) {
  KV_ASSIGN_OR_RETURN(Ref module, s.dataclasses.get());
  Ref is_dataclass = Ref::steal(module_attribute(module.get(), g_state.str_is_dataclass));
  if (!is_dataclass) return PyError::fetch();
  Ref answer = Ref::steal(PyObject_CallFunctionObjArgs(is_dataclass.get(), obj, nullptr));
  if (!answer) return PyError::fetch();
  const int truth = PyObject_IsTrue(answer.get());
  if (truth < 0) return PyError::fetch();
  if (truth) return capture_dataclass(s, obj, name);
  KV_ASSIGN_OR_RETURN(std::optional<Adapted> adapted, run_adapter(obj, name));
  if (!adapted) return type_error("Unsupported type: " + std::string(name));
  return capture_adapted(s, obj, name, std::move(*adapted));
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

}  // namespace

PyResult<Ref> encode(PyObject* obj) {
  CaptureState s;
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

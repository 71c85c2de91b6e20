// src/graph/capture_classes.cpp: dataclass instances, with their field
// layouts and type entries, and the values only an adapter can write.
#include <algorithm>
#include <array>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "py/adapters.h"
#include "py/convert.h"
#include "py/stock.h"
#include "graph/capture.h"

namespace korvane::graph::detail {

using format::kMaxLength;

namespace {

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

// The values of a record's fields, held across the captures of them (which
// may run code that changes the dict), in a buffer on the stack for the
// usual few fields.
class HeldFields {
 public:
  explicit HeldFields(Py_ssize_t count) {
    const auto n = static_cast<size_t>(count);
    if (n > kInline) {
      more_texts_.resize(n);
      more_values_.resize(n);
    }
    texts_ = n > kInline ? more_texts_.data() : inline_texts_.data();
    values_ = n > kInline ? more_values_.data() : inline_values_.data();
  }
  HeldFields(const HeldFields&) = delete;
  HeldFields& operator=(const HeldFields&) = delete;
  ~HeldFields() {
    for (size_t i = 0; i < held_; ++i) Py_DECREF(values_[i]);
  }
  void hold(std::string_view text, PyObject* value) {
    texts_[held_] = text;
    values_[held_++] = Ref::borrow(value).release();
  }
  std::span<const std::string_view> texts() const { return {texts_, held_}; }
  PyObject* value(size_t i) const { return values_[i]; }
  size_t size() const { return held_; }

 private:
  static constexpr size_t kInline = 16;
  std::array<std::string_view, kInline> inline_texts_;
  std::array<PyObject*, kInline> inline_values_;
  std::vector<std::string_view> more_texts_;
  std::vector<PyObject*> more_values_;
  std::string_view* texts_;
  PyObject** values_;
  size_t held_ = 0;
};

// A two-way adapter's record: the dict's keys are the field names, in order.
// The texts stay valid while the dict holds its keys: no code runs between
// reading them and the type entry copying them, except the registry's check,
// for which the keys are held.
PyResult<uint32_t> capture_record(CaptureState& s, PyObject* obj, std::string_view name,
                                  PyObject* record_name, PyObject* fields) {
  HeldFields held(PyDict_Size(fields));
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  while (PyDict_Next(fields, &pos, &key, &value)) {
    if (!PyUnicode_Check(key))
      return type_error("cannot encode " + std::string(name) +
                        ": its adapter returned a field name that is not a str");
    KV_ASSIGN_OR_RETURN(std::string_view text, utf8_view(key));
    held.hold(text, value);
  }
  KV_ASSIGN_OR_RETURN(std::string_view record, utf8_view(record_name));
  std::optional<uint32_t> type_id = s.types.find(record);
  if (type_id) {
    const TypeEntry& known = s.types.entry(*type_id);
    const auto texts = held.texts();
    if (!std::equal(known.field_names.begin(), known.field_names.end(), texts.begin(),
                    texts.end()))
      return type_error("cannot encode " + std::string(name) + ": its adapter returned other "
                        "fields than an earlier '" + std::string(record) +
                        "' in this document had (an adapter must return the same fields "
                        "every time)");
    // A dataclass of that name with a schema version: the entry says why not.
    if (known.schema_version != 0) {
      KV_ASSIGN_OR_RETURN(type_id, register_dataclass(s, record, texts, 0));
    }
  } else {
    // The registry's check may run code that changes the dict: the tuple,
    // taken before any code ran, keeps the keys (and so the texts) alive.
    Ref keys = Ref::steal(PyDict_Keys(fields));
    Ref key_tuple = keys ? Ref::steal(PyList_AsTuple(keys.get())) : Ref();
    if (!key_tuple) return PyError::fetch();
    KV_TRY(check_record_fields(name, key_tuple.get()));
    KV_ASSIGN_OR_RETURN(type_id, register_dataclass(s, record, held.texts(), 0));
  }
  const auto count = static_cast<uint32_t>(held.size());
  Slots slots = s.graph.reserve(NodeKind::Dataclass, count, static_cast<uint16_t>(*type_id));
  s.memo.insert(obj, slots.number);
  for (uint32_t i = 0; i < count; ++i) {
    auto child = capture(s, held.value(i));
    if (!child) return adapted_value_error(name, std::move(child).error());
    s.graph.fill(slots, i, *child);
  }
  return slots.number;
}

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
  return capture_record(s, obj, name, adapted.name.get(), value);
}

}  // namespace

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
  Ref is_dataclass = module_attribute(module.get(), g_state.str_is_dataclass);
  if (!is_dataclass) return PyError::fetch();
  if (!known_not_dataclass(is_dataclass.get(), obj)) {
    Ref answer = Ref::steal(PyObject_CallFunctionObjArgs(is_dataclass.get(), obj, nullptr));
    if (!answer) return PyError::fetch();
    const int truth = PyObject_IsTrue(answer.get());
    if (truth < 0) return PyError::fetch();
    if (truth) return capture_dataclass(s, obj, name);
  }
  KV_ASSIGN_OR_RETURN(std::optional<Adapted> adapted, run_adapter(obj, name));
  if (!adapted) return type_error("Unsupported type: " + std::string(name));
  return capture_adapted(s, obj, name, std::move(*adapted));
}

}  // namespace korvane::graph::detail

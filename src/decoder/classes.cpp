// src/decoder/classes.cpp: class resolution: make_class, the constructor
// call, the class's version and the stand-ins of unfinished instances.
#include "decoder/classes.h"

#include <algorithm>

#include "decoder/make_class.h"
#include "decoder/positional.h"
#include "py/convert.h"

namespace korvane::decoder {

PyResult<Ok> ClassResolver::cache_type_strings(uint16_t type_id) {
  if (type_names_.empty()) {
    type_names_.resize(doc_.types.size());
    field_strs_.resize(doc_.types.size());
  }
  if (type_names_[type_id]) return Ok();
  const format::TypeEntry& entry = doc_.types.entry(type_id);
  std::vector<Ref> fields;
  fields.reserve(entry.field_names.size());
  for (std::string_view name : entry.field_names) {
    KV_ASSIGN_OR_RETURN(Ref text, new_str(name));
    PyObject* interned = text.release();
    PyUnicode_InternInPlace(&interned);
    fields.push_back(Ref::steal(interned));
  }
  KV_ASSIGN_OR_RETURN(Ref class_name, new_str(entry.name));
  field_strs_[type_id] = std::move(fields);
  type_names_[type_id] = std::move(class_name);
  return Ok();
}

PyResult<Ref> ClassResolver::field_names(uint16_t type_id) const {
  Ref names = new_list(field_strs_[type_id]);
  if (!names) return PyError::fetch();
  return names;
}

// The constructor from make_class (left in `cls`), called with the values
// of the stored fields as keywords. `names` is the list make_class was given,
// when one was made: the stock front answers a repeated request without one.
PyResult<Ref> ClassResolver::construct(PyObject* module, uint16_t type_id,
                                       const std::vector<Ref>& values, Ref& cls, Ref& names) {
  Ref make_class = module_attribute(module, g_state.str_make_class);
  if (!make_class) return PyError::fetch();
  Ref class_name = Ref::borrow(type_names_[type_id].get());
  const std::vector<Ref>& strs = field_strs_[type_id];
  if (is_make_class_front(make_class.get())) {
    KV_ASSIGN_OR_RETURN(cls, ask_make_class_front(make_class.get(), class_name.get(), strs, names));
  } else {
    KV_ASSIGN_OR_RETURN(names, field_names(type_id));
    PyObject* const make_args[] = {class_name.get(), names.get()};
    cls = call_function(make_class.get(), make_args, 2);
    if (!cls) return PyError::fetch();
  }
  // The keywords are the list's items as make_class left them.
  std::vector<Ref> listed;
  if (names) {
    for (Py_ssize_t i = 0, n = PyList_Size(names.get()); i < n; ++i)
      listed.push_back(Ref::borrow(PyList_GetItem(names.get(), i)));
  }
  const std::span<const Ref> keys = names ? std::span<const Ref>(listed) : strs;
  KV_ASSIGN_OR_RETURN(Ref positional, call_positionally(cls.get(), keys, values));
  if (positional) return positional;
  Ref kwargs = Ref::steal(PyDict_New());
  if (!kwargs) return PyError::fetch();
  const size_t pairs = std::min(keys.size(), values.size());
  for (size_t i = 0; i < pairs; ++i)
    if (PyDict_SetItem(kwargs.get(), keys[i].get(), values[i].get()) < 0)
      return PyError::fetch();
  return check(PyObject_Call(cls.get(), g_state.empty_tuple, kwargs.get()));
}

// The class's current version, read from the instance; none means final.
// An unreadable version means none; an interrupt or exit propagates.
PyResult<uint32_t> ClassResolver::current_version(PyObject* instance) {
  KV_ASSIGN_OR_RETURN(Ref version, versions_.first_found(instance));
  if (!version) return uint32_t{0};
  auto v = index_to_u32(version.get());
  if (v) return *v;
  std::move(v).error().raise();
  if (!drop_ordinary_error()) return PyError::fetch();
  return uint32_t{0};
}

PyResult<Ref> ClassResolver::instantiate(PyObject* module, uint16_t type_id,
                                         const std::vector<Ref>& values) {
  Ref cls, names;
  KV_ASSIGN_OR_RETURN(Ref instance, construct(module, type_id, values, cls, names));
  KV_ASSIGN_OR_RETURN(const uint32_t current, current_version(instance.get()));
  const format::TypeEntry& entry = doc_.types.entry(type_id);
  const uint32_t stored = entry.schema_version;
  if (stored != current && stored != 0 && current != 0) {
    if (!names) {
      KV_ASSIGN_OR_RETURN(names, field_names(type_id));
    }
    return migrate(type_names_[type_id].get(), cls.get(), instance.get(), names.get(), values,
                   stored, current);
  }
  KV_TRY(refuse_unfinished(module, instance.get(), stored, current));
  return instance;
}

// A constructor gives a stand-in of the helper module's `Unfinished` type
// when the stored fields lack a required one; only a migration can make the
// real instance from it. When none follows, the stand-in raises the load's
// error and is never stored or returned.
PyResult<Ok> ClassResolver::refuse_unfinished(PyObject* module, PyObject* instance,
                                              uint32_t stored, uint32_t current) {
  if (!unfinished_known_) {
    Ref attr = Ref::steal(PyUnicode_FromString("Unfinished"));
    if (!attr) return PyError::fetch();
    unfinished_ = module_attribute(module, attr.get());
    if (!unfinished_ || !PyType_Check(unfinished_.get())) {
      PyErr_Clear();  // a helper module without stand-ins
      unfinished_ = Ref();
    }
    unfinished_known_ = true;
  }
  if (!unfinished_ || Py_TYPE(instance) != reinterpret_cast<PyTypeObject*>(unfinished_.get()))
    return Ok();
  Ref result = Ref::steal(PyObject_CallMethod(instance, "refuse", "kk",
                                              static_cast<unsigned long>(stored),
                                              static_cast<unsigned long>(current)));
  if (!result) return PyError::fetch();
  return type_error("a dataclass was not rebuilt: the stored data lacks required fields");
}

}  // namespace korvane::decoder

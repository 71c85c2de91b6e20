// src/decoder/migrations.cpp: fields stored under an older schema version go
// through apply_migrations, and the class is built again from its result;
// keys that match no field stay on the instance as extra state.
#include <algorithm>
#include <string_view>

#include "py/convert.h"
#include "decoder/classes.h"

namespace korvane::decoder {

namespace {

PyResult<std::string_view> key_text(PyObject* key) {
  if (!PyUnicode_Check(key)) return conversion_error(key, "PyString");
  return utf8_view(key);
}

// One of the two version keys, by text; the keys apply_migrations stamps are
// the interned names themselves.
PyResult<bool> is_version_key(PyObject* key) {
  if (key == g_state.str_korvane_version || key == g_state.str_meridel_version) return true;
  KV_ASSIGN_OR_RETURN(std::string_view k, key_text(key));
  return k == "__korvane_version__" || k == "__meridel_version__";
}

// The stored fields by name, with both version keys holding `stored`.
PyResult<Ok> fill_stored_fields(PyObject* mapping, PyObject* names,
                                const std::vector<Ref>& values, PyObject* stored) {
  const Py_ssize_t pairs =
      std::min<Py_ssize_t>(PyList_Size(names), static_cast<Py_ssize_t>(values.size()));
  for (Py_ssize_t i = 0; i < pairs; ++i)
    if (PyDict_SetItem(mapping, PyList_GetItem(names, i), values[i].get()) < 0)
      return PyError::fetch();
  if (PyDict_SetItem(mapping, g_state.str_korvane_version, stored) < 0 ||
      PyDict_SetItem(mapping, g_state.str_meridel_version, stored) < 0)
    return PyError::fetch();
  return Ok();
}

// apply_migrations(name, mapping, stored, current), which must give a dict.
PyResult<Ref> call_apply_migrations(PyObject* module, PyObject* class_name, PyObject* mapping,
                                    PyObject* stored, PyObject* current) {
  Ref apply = module_attribute(module, g_state.str_apply_migrations);
  if (!apply) return PyError::fetch();
  PyObject* const args[] = {class_name, mapping, stored, current};
  Ref migrated = call_function(apply.get(), args, 4);
  if (!migrated) return PyError::fetch();
  if (!PyDict_Check(migrated.get())) return type_error("Migration function must return a dict");
  return migrated;
}

// The migrated mapping without its version keys: the constructor's keywords.
PyResult<Ref> constructor_keywords(PyObject* migrated) {
  Ref kwargs = Ref::steal(PyDict_New());
  if (!kwargs) return PyError::fetch();
  PyObject *key, *value;
  Py_ssize_t pos = 0;
  while (PyDict_Next(migrated, &pos, &key, &value)) {
    KV_ASSIGN_OR_RETURN(const bool version, is_version_key(key));
    if (version) continue;
    if (PyDict_SetItem(kwargs.get(), key, value) < 0) return PyError::fetch();
  }
  return kwargs;
}

// The instance's __dataclass_fields__, whose keys are the declared fields.
struct DeclaredFields {
  Ref dict;
  bool exact_keys = true;  // every key an exact str: a lookup compares texts alone

  PyResult<Ok> read(PyObject* instance) {
    dict = Ref::steal(PyObject_GetAttr(instance, g_state.str_dataclass_fields));
    if (!dict) return PyError::fetch();
    if (!PyDict_Check(dict.get())) return type_error("__dataclass_fields__ is not a dict");
    exact_keys = PyDict_CheckExact(dict.get());
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (exact_keys && PyDict_Next(dict.get(), &pos, &key, &value))
      exact_keys = PyUnicode_CheckExact(key);
    if (exact_keys) return Ok();
    pos = 0;  // a key that is not a str fails the load, looked up or not
    while (PyDict_Next(dict.get(), &pos, &key, &value)) KV_TRY(key_text(key));
    return Ok();
  }

  // Is the text of `key` one of the declared fields?
  PyResult<bool> has(PyObject* key) const {
    if (exact_keys && PyUnicode_CheckExact(key)) {
      const int found = PyDict_Contains(dict.get(), key);
      if (found < 0) return PyError::fetch();
      return found == 1;
    }
    KV_ASSIGN_OR_RETURN(std::string_view k, key_text(key));
    Ref keys = Ref::steal(PyDict_Keys(dict.get()));
    if (!keys) return PyError::fetch();
    for (Py_ssize_t i = 0; i < PyList_Size(keys.get()); ++i) {
      KV_ASSIGN_OR_RETURN(std::string_view f, key_text(PyList_GetItem(keys.get(), i)));
      if (f == k) return true;
    }
    return false;
  }
};

// Sets the migrated items that are neither version keys nor fields as the
// extra state of `instance`, when there are any; failing to set it is ignored.
PyResult<Ok> keep_extra_state(PyObject* instance, PyObject* migrated,
                              const DeclaredFields& fields) {
  Ref extra;  // made at the first extra item: most migrations leave none
  PyObject *key, *value;
  Py_ssize_t pos = 0;
  while (PyDict_Next(migrated, &pos, &key, &value)) {
    KV_ASSIGN_OR_RETURN(const bool version, is_version_key(key));
    if (version) continue;
    KV_ASSIGN_OR_RETURN(const bool field, fields.has(key));
    if (field) continue;
    if (!extra && !(extra = Ref::steal(PyDict_New()))) return PyError::fetch();
    if (PyDict_SetItem(extra.get(), key, value) < 0) return PyError::fetch();
  }
  if (!extra) return Ok();
  for (PyObject* attr : {g_state.str_korvane_extra, g_state.str_meridel_extra})
    if (PyObject_SetAttr(instance, attr, extra.get()) < 0 && !drop_ordinary_error())
      return PyError::fetch();
  return Ok();
}

}  // namespace

PyResult<Ref> ClassResolver::migrate(PyObject* class_name, PyObject* cls,
                                     PyObject* first, PyObject* names,
                                     const std::vector<Ref>& values, uint32_t stored,
                                     uint32_t current) {
  KV_ASSIGN_OR_RETURN(Ref module, import_helper(migrations_, legacy_migrations_));
  Ref mapping = Ref::steal(PyDict_New());
  Ref stored_obj = Ref::steal(PyLong_FromUnsignedLong(stored));
  Ref current_obj = Ref::steal(PyLong_FromUnsignedLong(current));
  if (!mapping || !stored_obj || !current_obj) return PyError::fetch();
  KV_TRY(fill_stored_fields(mapping.get(), names, values, stored_obj.get()));
  KV_ASSIGN_OR_RETURN(Ref migrated,
                      call_apply_migrations(module.get(), class_name, mapping.get(),
                                            stored_obj.get(), current_obj.get()));
  KV_ASSIGN_OR_RETURN(Ref kwargs, constructor_keywords(migrated.get()));
  Ref second = Ref::steal(PyObject_Call(cls, g_state.empty_tuple, kwargs.get()));
  if (!second) return PyError::fetch();
  DeclaredFields fields;
  KV_TRY(fields.read(first));
  KV_TRY(keep_extra_state(second.get(), migrated.get(), fields));
  return second;
}

}  // namespace korvane::decoder

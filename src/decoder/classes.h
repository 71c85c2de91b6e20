// src/decoder/classes.h: dataclass entries become instances through the
// helper modules: make_class gives the constructor, apply_migrations brings
// fields stored under an older schema version up to date.
#pragma once

#include <Python.h>

#include <cstdint>
#include <vector>

#include "py/attributes.h"
#include "format/reader.h"
#include "py/process_state.h"
#include "py/py_result.h"

namespace korvane::decoder {

class ClassResolver {
 public:
  explicit ClassResolver(const format::ParsedDocument& doc) : doc_(doc) {}

  // korvane._reconstruct, else its legacy twin; a failure of both gives the
  // second's error.
  PyResult<Ref> helper_module() { return import_helper(reconstruct_, legacy_reconstruct_); }

  // The class name and field names of a type entry, made once per load;
  // field names are interned so that keyword matching in constructors is by
  // identity. `type_id` is below the type table's size.
  PyResult<Ok> cache_type_strings(uint16_t type_id);

  // A new list of the field names of `type_id`, once cached.
  PyResult<Ref> field_names(uint16_t type_id) const;

  // make_class(name, field names), called with the stored field values as
  // keywords; migrated when the stored and the class's version differ.
  PyResult<Ref> instantiate(PyObject* module, uint16_t type_id, const std::vector<Ref>& values);

 private:
  static PyResult<Ref> import_helper(ModuleLookup& name, ModuleLookup& legacy) {
    if (auto module = name.get()) return module;
    return legacy.get();
  }
  PyResult<Ref> construct(PyObject* module, uint16_t type_id, const std::vector<Ref>& values,
                          Ref& cls, Ref& names);
  PyResult<uint32_t> current_version(PyObject* instance);
  PyResult<Ref> migrate(PyObject* class_name, PyObject* cls, PyObject* first,
                        PyObject* names, const std::vector<Ref>& values, uint32_t stored,
                        uint32_t current);
  PyResult<Ok> refuse_unfinished(PyObject* module, PyObject* instance, uint32_t stored,
                                 uint32_t current);

  const format::ParsedDocument& doc_;
  AttributeProbe versions_{g_state.str_korvane_version, g_state.str_meridel_version};
  ModuleLookup reconstruct_{g_state.str_reconstruct};
  ModuleLookup legacy_reconstruct_{g_state.str_legacy_reconstruct};
  ModuleLookup migrations_{g_state.str_migrations};
  ModuleLookup legacy_migrations_{g_state.str_legacy_migrations};
  Ref unfinished_;  // the helper module's stand-in type, when it has one
  bool unfinished_known_ = false;
  std::vector<Ref> type_names_;               // type id -> class name str
  std::vector<std::vector<Ref>> field_strs_;  // type id -> interned field name strs
};

// A new str of the UTF-8 `text`; the interpreter's error when it is not UTF-8.
inline PyResult<Ref> new_str(std::string_view text) {
  return check(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
}

}  // namespace korvane::decoder

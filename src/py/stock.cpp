// src/py/stock.cpp: the stock is_dataclass answered without its call, and
// attribute lookups shown to find nothing on fixed types.
//
// is_dataclass(obj) is, on every supported version,
//     cls = obj if isinstance(obj, type) else type(obj)
//     return hasattr(cls, _FIELDS)
// For an instance of an immutable type T whose whole MRO is immutable, whose
// metatype is exactly `type`, whose attribute lookup is the generic one and
// that no class of the MRO but `object` gives a `__class__`, isinstance(obj,
// type) reads object's own `__class__` descriptor and is False, and
// hasattr(T, _FIELDS) reads dicts that nothing can change: when no dict of
// T's MRO nor of `type`'s holds the name, the answer is False, now and later.
#include "py/stock.h"

#include <array>

#include "py/process_state.h"

namespace korvane {

namespace {

struct StockIsDataclass {
  PyObject* fn = nullptr;        // each held for the life of the process
  PyObject* code = nullptr;
  PyObject* globals = nullptr;
  PyObject* fields_name = nullptr;
  PyObject* builtins = nullptr;
  PyObject* hasattr = nullptr;
  PyObject* isinstance = nullptr;
  // Interned keys of the checks, made at binding.
  PyObject* str_code = nullptr;
  PyObject* str_fields = nullptr;  // "_FIELDS"
  PyObject* str_isinstance = nullptr;
  PyObject* str_hasattr = nullptr;
  PyObject* str_type = nullptr;
};

StockIsDataclass g_stock;

// Types shown never to be dataclasses. Each is held, so that its address is
// never reused by another type; past the capacity nothing more is kept.
std::array<PyObject*, 32> g_plain_types{};
size_t g_plain_count = 0;

bool immutable(PyObject* type) {
  return PyType_Check(type) &&
         (PyType_GetFlags(reinterpret_cast<PyTypeObject*>(type)) & Py_TPFLAGS_IMMUTABLETYPE);
}

// Does `name` lie in the dict of any class of `mro`, other than `except`?
// The dicts are read through their mapping proxies, which run no code for
// an exact str key.
bool in_any_dict(PyObject* mro, PyObject* name, PyObject* except, bool& failed) {
  for (Py_ssize_t i = 0; i < PyTuple_Size(mro); ++i) {
    PyObject* base = PyTuple_GetItem(mro, i);
    if (base == except) continue;
    Ref dict = Ref::steal(PyObject_GetAttrString(base, "__dict__"));
    if (!dict) {
      failed = true;
      return true;
    }
    const int found = PyMapping_HasKey(dict.get(), name);
    if (found) return true;
  }
  return false;
}

// The MRO of `type` when its attributes are fixed and found the generic
// way: its metatype is exactly `type` (it is no metatype itself), its lookup
// is the generic one and every class of its MRO is immutable. Otherwise an
// empty Ref, no error set. Reads only immutable types' own data.
Ref fixed_mro(PyObject* type) {
  auto* t = reinterpret_cast<PyTypeObject*>(type);
  if (Py_TYPE(type) != &PyType_Type || !immutable(type) || PyType_IsSubtype(t, &PyType_Type) ||
      PyType_GetSlot(t, Py_tp_getattro) != reinterpret_cast<void*>(PyObject_GenericGetAttr))
    return Ref();
  Ref mro = Ref::steal(PyObject_GetAttr(type, g_state.str_mro));
  if (!mro || !PyTuple_Check(mro.get())) {
    PyErr_Clear();
    return Ref();
  }
  for (Py_ssize_t i = 0; i < PyTuple_Size(mro.get()); ++i)
    if (!immutable(PyTuple_GetItem(mro.get(), i))) return Ref();
  return mro;
}

// Is every condition of the file comment true of `type`? Reads only
// immutable types' own data (their MRO and dicts), so it runs no code.
bool is_plain_immutable(PyObject* type) {
  Ref mro = fixed_mro(type);
  if (!mro) return false;
  Ref meta_mro = Ref::steal(
      PyObject_GetAttr(reinterpret_cast<PyObject*>(&PyType_Type), g_state.str_mro));
  if (!meta_mro || !PyTuple_Check(meta_mro.get())) {
    PyErr_Clear();
    return false;
  }
  Ref class_name = Ref::steal(PyUnicode_InternFromString("__class__"));
  if (!class_name) {
    PyErr_Clear();
    return false;
  }
  PyObject* object = reinterpret_cast<PyObject*>(&PyBaseObject_Type);
  bool failed = false;
  const bool shadowed = in_any_dict(mro.get(), class_name.get(), object, failed) ||
                        in_any_dict(mro.get(), g_stock.fields_name, nullptr, failed) ||
                        in_any_dict(meta_mro.get(), g_stock.fields_name, nullptr, failed);
  if (failed) PyErr_Clear();
  return !shadowed && !failed;
}

bool plain_type(PyObject* type) {
  for (size_t i = 0; i < g_plain_count; ++i)
    if (g_plain_types[i] == type) return true;
  if (g_plain_count == g_plain_types.size() || !is_plain_immutable(type)) return false;
  g_plain_types[g_plain_count++] = Ref::borrow(type).release();
  return true;
}

// Is `key` (an interned str) of `dict` exactly `expected` (null: absent)?
bool holds(PyObject* dict, PyObject* key, PyObject* expected) {
  PyObject* found = PyDict_GetItemWithError(dict, key);  // borrowed
  if (!found) PyErr_Clear();
  return found == expected;
}

// Is the recorded function still what it was: the same code, its globals'
// _FIELDS the same str and no global shadowing the builtins it calls, which
// are still the ones recorded?
bool stock_unchanged(PyObject* fn) {
  if (!g_stock.fn || fn != g_stock.fn) return false;
  const StockIsDataclass& st = g_stock;
  Ref code = Ref::steal(PyObject_GetAttr(fn, st.str_code));
  if (!code) {
    PyErr_Clear();
    return false;
  }
  return code.get() == st.code && holds(st.globals, st.str_fields, st.fields_name) &&
         holds(st.globals, st.str_isinstance, nullptr) &&
         holds(st.globals, st.str_type, nullptr) && holds(st.globals, st.str_hasattr, nullptr) &&
         holds(st.builtins, st.str_isinstance, st.isinstance) &&
         holds(st.builtins, st.str_hasattr, st.hasattr) &&
         holds(st.builtins, st.str_type, reinterpret_cast<PyObject*>(&PyType_Type));
}

// Is `fn` the builtin `name` of the builtins module?
bool builtin_named(PyObject* fn, const char* name) {
  if (!fn || !PyCFunction_Check(fn)) return false;
  PyObject* self = PyCFunction_GetSelf(fn);  // borrowed
  if (!self || !PyModule_Check(self)) return false;
  const char* module = PyModule_GetName(self);
  Ref own = Ref::steal(PyObject_GetAttrString(fn, "__name__"));
  if (!module || !own) return false;
  return std::string_view(module) == "builtins" &&
         PyUnicode_CompareWithASCIIString(own.get(), name) == 0;
}

PyObject* text_attribute(PyObject* obj, const char* name) {
  Ref value = Ref::steal(PyObject_GetAttrString(obj, name));
  return value && PyUnicode_Check(value.get()) ? value.release() : nullptr;
}

}  // namespace

PyResult<Ok> bind_stock_dataclasses(PyObject* module) {
  if (g_stock.fn) return Ok();
  PyObject* globals = PyModule_Check(module) ? PyModule_GetDict(module) : nullptr;
  if (!globals) return type_error("_bind_stock() expects the dataclasses module");
  Ref fn = Ref::borrow(PyDict_GetItemString(globals, "is_dataclass"));
  Ref code = fn ? Ref::steal(PyObject_GetAttrString(fn.get(), "__code__")) : Ref();
  Ref own_globals = fn ? Ref::steal(PyObject_GetAttrString(fn.get(), "__globals__")) : Ref();
  Ref builtins = fn ? Ref::steal(PyObject_GetAttrString(fn.get(), "__builtins__")) : Ref();
  Ref filename = code ? Ref::steal(text_attribute(code.get(), "co_filename")) : Ref();
  Ref file = Ref::steal(text_attribute(module, "__file__"));
  Ref qualname = fn ? Ref::steal(text_attribute(fn.get(), "__qualname__")) : Ref();
  Ref names = code ? Ref::steal(PyObject_GetAttrString(code.get(), "co_names")) : Ref();
  Ref expected = Ref::steal(Py_BuildValue("(ssss)", "isinstance", "type", "hasattr", "_FIELDS"));
  const int same_names = names && expected ? PyObject_RichCompareBool(names.get(), expected.get(), Py_EQ) : 0;
  PyErr_Clear();
  PyObject* fields_name = PyDict_GetItemString(globals, "_FIELDS");  // borrowed
  const bool own = same_names == 1 && filename && file && qualname && own_globals.get() == globals &&
                   builtins && PyDict_Check(builtins.get()) &&
                   PyUnicode_Compare(filename.get(), file.get()) == 0 &&
                   PyUnicode_CompareWithASCIIString(qualname.get(), "is_dataclass") == 0 &&
                   fields_name && PyUnicode_CheckExact(fields_name) &&
                   PyUnicode_Compare(fields_name, g_state.str_dataclass_fields) == 0;
  PyErr_Clear();
  if (!own) return Ok();  // not the module's own function: never shortcut
  PyObject* hasattr = PyDict_GetItemString(builtins.get(), "hasattr");
  PyObject* isinstance = PyDict_GetItemString(builtins.get(), "isinstance");
  if (!builtin_named(hasattr, "hasattr") || !builtin_named(isinstance, "isinstance")) {
    PyErr_Clear();
    return Ok();
  }
  StockIsDataclass stock{fn.get(), code.get(), own_globals.get(), fields_name,
                         builtins.get(), hasattr, isinstance};
  PyObject** keys[] = {&stock.str_code, &stock.str_fields, &stock.str_isinstance,
                       &stock.str_hasattr, &stock.str_type};
  const char* texts[] = {"__code__", "_FIELDS", "isinstance", "hasattr", "type"};
  for (size_t i = 0; i < std::size(keys); ++i)
    if (!(*keys[i] = PyUnicode_InternFromString(texts[i]))) return PyError::fetch();
  // Held for the life of the process, as the keys are.
  for (PyObject* held : {stock.fn, stock.code, stock.globals, stock.fields_name, stock.builtins,
                         stock.hasattr, stock.isinstance})
    Py_INCREF(held);
  g_stock = stock;
  return Ok();
}

PyObject* op_bind_stock(PyObject*, PyObject* module) noexcept {
  auto bound = bind_stock_dataclasses(module);
  if (!bound) {
    std::move(bound).error().raise();
    return nullptr;
  }
  Py_RETURN_NONE;
}

bool known_not_dataclass(PyObject* fn, PyObject* obj) {
  return plain_type(reinterpret_cast<PyObject*>(Py_TYPE(obj))) && stock_unchanged(fn);
}

namespace {

// Types shown to give nothing for a pair of attribute names, with the pair.
struct Lacking {
  PyObject* type;
  PyObject* first;
  PyObject* second;
};
std::array<Lacking, 16> g_lacking{};
size_t g_lacking_count = 0;

// Can no instance of `type` ever have `first` or `second`? Its lookup is the
// generic one, its instances have no dict, and no dict of its MRO, all of
// them immutable, holds either name: the lookup finds nothing and runs no
// code, now and later.
bool proven_lacking(PyObject* type, PyObject* first, PyObject* second) {
  Ref mro = fixed_mro(type);
  if (!mro) return false;
  Ref offset = Ref::steal(PyObject_GetAttrString(type, "__dictoffset__"));
  if (!offset || !PyLong_Check(offset.get()) || PyLong_AsLong(offset.get()) != 0) {
    PyErr_Clear();
    return false;
  }
  bool failed = false;
  const bool found = in_any_dict(mro.get(), first, nullptr, failed) ||
                     in_any_dict(mro.get(), second, nullptr, failed);
  if (failed) PyErr_Clear();
  return !found && !failed;
}

}  // namespace

bool never_has_either(PyObject* obj, PyObject* first, PyObject* second) {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
  if (!immutable(type)) return false;
  for (size_t i = 0; i < g_lacking_count; ++i) {
    const Lacking& known = g_lacking[i];
    if (known.type == type && known.first == first && known.second == second) return true;
  }
  if (g_lacking_count == g_lacking.size() || !proven_lacking(type, first, second)) return false;
  // Held, so that no other type can take the address; the names are
  // interned strs that live as long as the module.
  g_lacking[g_lacking_count++] = Lacking{Ref::borrow(type).release(), first, second};
  return true;
}


}  // namespace korvane

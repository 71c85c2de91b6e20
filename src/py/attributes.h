// src/py/attributes.h: attribute reads that are often absent, and modules found
// again cheaply within one call.
#pragma once

#include <Python.h>

#include "py/py_result.h"

namespace korvane {

// A new tuple holding `items` (new references), or empty with an error set.
Ref new_tuple(PyObject* const* items, Py_ssize_t count) noexcept;

// fn(args...). A builtin function that takes its arguments as an array
// (builtins.getattr, make_class's compiled front) is called straight with
// them; anything else goes through the interpreter's call with the same
// arguments. The result is the same either way, only the packing is saved.
Ref call_function(PyObject* fn, PyObject* const* args, Py_ssize_t count) noexcept;

// fn(*args, **kwargs) from a vectorcall argument array: `nargs` positional
// values, then one per name in `kwnames` (a tuple, or null).
Ref call_with_keywords(PyObject* fn, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) noexcept;

// The function `name` of `module`'s globals (a compiled front's Python
// helpers and fallback), called as call_with_keywords calls; an
// AttributeError naming both when the module has none.
Ref call_module_function(PyObject* module, PyObject* name, PyObject* const* args,
                         Py_ssize_t nargs, PyObject* kwnames = nullptr) noexcept;

// A compiled front: `def` bound to `module`, whose globals it reads at each
// call; `binder` names the binding function in the TypeError for a non-module.
PyObject* bind_to_module(PyMethodDef* def, PyObject* module, const char* binder) noexcept;

// Drops the pending error when it is an ordinary Exception and returns
// true; an interrupt, an exit or another BaseException stays pending (false).
bool drop_ordinary_error() noexcept;

// getattr(module, name) for a name that the module type itself does not
// define (make_class, is_dataclass, ...). A plain module (exactly the module
// type, whose attributes cannot change) finds it in its dict; anything else,
// or a name not there, takes the usual lookup with __getattr__ and errors.
Ref module_attribute(PyObject* module, PyObject* name) noexcept;

// getattr(obj, first) else getattr(obj, second), for the pair of version
// attributes that most classes never define. It goes through the builtin
// getattr with a private default, so an absent name costs no AttributeError
// object and the instance's attribute storage is left as it is.
class AttributeProbe {
 public:
  // `first` and `second` are interned strs that outlive the probe.
  AttributeProbe(PyObject* first, PyObject* second) : names_{first, second} {}

  // The value of the first of the two names that lookup finds, or an empty
  // Ref. A lookup that fails with an ordinary Exception counts as absent:
  // its error is dropped and the second name is tried. An interrupt, an exit
  // or any other BaseException is the result's error.
  PyResult<Ref> first_found(PyObject* obj) noexcept;

 private:
  PyObject* names_[2];
};

// A module as `import name` gives it when it is already imported. The first
// lookup of a call goes through the import system; later ones only confirm
// that sys.modules still holds that same module.
class ModuleLookup {
 public:
  explicit ModuleLookup(PyObject* name) : name_(name) {}
  PyResult<Ref> get();

 private:
  PyObject* name_;
  Ref known_;
};

}  // namespace korvane

// src/decoder/apply_migrations.cpp: apply_migrations run from its cached plan.
//
// The decoder calls apply_migrations once per migrated instance, always with
// the same (name, stored, current). The Python implementation keeps a plan
// per such triple (the chain of steps, the required fields and the checked
// versions); this front runs a cached plan itself, doing what the Python
// code does in the same order: copy the mapping, stamp the versions, call
// each step with the dict, check its result, stamp again, check the required
// fields. Whatever it does not handle itself (no cached plan, arguments of
// other types, a step result other than its own dict with str keys, missing
// fields, a failing step's note) goes to the module's Python functions, so
// messages and notes have one owner.
#include "decoder/apply_migrations.h"

#include "py/attributes.h"
#include "py/cfunction.h"
#include "py/process_state.h"
#include "py/ref.h"

namespace korvane {

namespace {

// A plan as `_plans` holds it: (path, required, stored, current), the path a
// list of (start, end, step). Anything else sends the call to Python.
struct Plan {
  PyObject* path;
  PyObject* required;
  PyObject* stored;
  PyObject* current;
};

bool read_plan(PyObject* plan, Plan& out) {
  if (!PyTuple_CheckExact(plan) || PyTuple_Size(plan) != 4) return false;
  out = {PyTuple_GetItem(plan, 0), PyTuple_GetItem(plan, 1), PyTuple_GetItem(plan, 2),
         PyTuple_GetItem(plan, 3)};
  if (!PyList_CheckExact(out.path) || !PyFrozenSet_CheckExact(out.required) ||
      !PyLong_CheckExact(out.stored) || !PyLong_CheckExact(out.current))
    return false;
  for (Py_ssize_t i = 0, n = PyList_Size(out.path); i < n; ++i) {
    PyObject* step = PyList_GetItem(out.path, i);
    if (!PyTuple_CheckExact(step) || PyTuple_Size(step) != 3) return false;
  }
  return true;
}

// The cached plan of an exact (str, dict, int, int) call, held strongly; an
// empty Ref (with no error set) when there is none.
Ref cached_plan(PyObject* globals, PyObject* const* args) {
  if (!PyUnicode_CheckExact(args[0]) || !PyDict_CheckExact(args[1]) ||
      !PyLong_CheckExact(args[2]) || !PyLong_CheckExact(args[3]))
    return Ref();
  PyObject* plans = PyDict_GetItemWithError(globals, g_state.str_plans);  // borrowed
  if (!plans || !PyDict_CheckExact(plans)) return Ref();
  PyObject* const key_items[] = {args[0], args[2], args[3]};
  Ref key = new_tuple(key_items, 3);
  if (!key) return Ref();
  // Exact str and int keys: the lookup runs no Python code.
  PyObject* plan = PyDict_GetItemWithError(plans, key.get());  // borrowed
  return plan ? Ref::borrow(plan) : Ref();
}

bool stamp(PyObject* data, PyObject* version) {
  return PyDict_SetItem(data, g_state.str_korvane_version, version) == 0 &&
         PyDict_SetItem(data, g_state.str_meridel_version, version) == 0;
}

bool all_keys_str(PyObject* data) {
  PyObject *key, *value;
  Py_ssize_t pos = 0;
  while (PyDict_Next(data, &pos, &key, &value))
    if (!PyUnicode_Check(key)) return false;
  return true;
}

// `required <= data.keys()`: 1, 0, or -1 with an error set.
int has_required(PyObject* data, PyObject* required) {
  if (PyDict_Size(data) < PySet_Size(required)) return 0;
  Ref names = Ref::steal(PyObject_GetIter(required));
  if (!names) return -1;
  while (Ref name = Ref::steal(PyIter_Next(names.get()))) {
    const int found = PyDict_Contains(data, name.get());
    if (found <= 0) return found;
  }
  return PyErr_Occurred() ? -1 : 1;
}

// A step raised: an ordinary exception gets the module's note saying where,
// as the Python implementation's `except Exception` does.
void note_failure(PyObject* module, PyObject* name, PyObject* step_item) {
  if (!PyErr_ExceptionMatches(PyExc_Exception)) return;
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback) PyException_SetTraceback(value, traceback);
  PyObject* const args[] = {value, name, PyTuple_GetItem(step_item, 0),
                            PyTuple_GetItem(step_item, 1)};
  Ref noted = call_module_function(module, g_state.str_note_failure, args, 4);
  if (!noted) {  // the note's own error stands
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    return;
  }
  PyErr_Restore(type, value, traceback);
}

Ref run_plan(PyObject* module, PyObject* name, PyObject* mapping, const Plan& plan) {
  Ref data = Ref::steal(PyDict_Copy(mapping));
  if (!data || !stamp(data.get(), plan.stored)) return Ref();
  const Py_ssize_t steps = PyList_Size(plan.path);
  for (Py_ssize_t i = 0; i < steps; ++i) {
    Ref item = Ref::borrow(PyList_GetItem(plan.path, i));
    PyObject* step_args[] = {data.get()};
    Ref result = call_function(PyTuple_GetItem(item.get(), 2), step_args, 1);
    if (!result) {
      note_failure(module, name, item.get());
      return Ref();
    }
    if (result.get() != data.get() || !all_keys_str(data.get())) {
      PyObject* const args[] = {name,         PyTuple_GetItem(item.get(), 0),
                                PyTuple_GetItem(item.get(), 1), PyTuple_GetItem(item.get(), 2),
                                result.get(), data.get()};
      data = call_module_function(module, g_state.str_step_result, args, 6);
      if (!data) return Ref();
    }
    if (!stamp(data.get(), PyTuple_GetItem(item.get(), 1))) return Ref();
  }
  const int complete = has_required(data.get(), plan.required);
  if (complete < 0) return Ref();
  if (!complete) {
    PyObject* const args[] = {name, data.get(), plan.stored, plan.current};
    if (!call_module_function(module, g_state.str_check_complete, args, 4)) return Ref();
  }
  // The last step may keep the dict it was given: return another.
  if (steps) return Ref::steal(PyDict_Copy(data.get()));
  return data;
}

// self is the module korvane.migrations, whose globals hold the plans
// (`_plans`) and the Python implementation (`_apply_migrations`).
PyObject* fast_apply_migrations(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) noexcept {
  PyObject* globals = PyModule_GetDict(self);  // borrowed
  if (!globals) return nullptr;
  if (nargs == 4 && !kwnames) {
    if (Ref plan = cached_plan(globals, args)) {
      Plan parts;
      if (read_plan(plan.get(), parts)) return run_plan(self, args[0], args[1], parts).release();
    }
    if (PyErr_Occurred()) return nullptr;
  }
  return call_module_function(self, g_state.str_apply_migrations_impl, args, nargs, kwnames)
      .release();
}

PyMethodDef kApplyMigrations = {
    "apply_migrations", KV_CFUNCTION(fast_apply_migrations), METH_FASTCALL | METH_KEYWORDS,
    "apply_migrations(name, mapping, stored, current)\n--\n\n"
    "Migrate the field values of ``name`` from version ``stored`` to ``current``.\n\n"
    "Steps run along the shortest chain of registered steps; each gets a fresh\n"
    "dict it may change and must return a dict.  The result holds the version\n"
    "keys set to the version reached.  No chain is a ValueError naming the\n"
    "class and both versions."};

}  // namespace

PyObject* op_bind_apply_migrations(PyObject*, PyObject* module) noexcept {
  return bind_to_module(&kApplyMigrations, module, "_bind_apply_migrations");
}

}  // namespace korvane

// src/module.cpp: PyInit__korvane, the function table and the process state.
#include <Python.h>

#include <atomic>

#include "py/cfunction.h"
#include "decoder/apply_migrations.h"
#include "decoder/constructor.h"
#include "decoder/make_class.h"
#include "decoder/positional.h"
#include "ops.h"
#include "py/process_state.h"
#include "py/adapters.h"
#include "py/ref.h"
#include "py/stock.h"
#include "stream.h"

namespace korvane {

ProcessState g_state;

namespace {

PyMethodDef kFunctions[] = {
    {"__version", op_version, METH_NOARGS, "__version()\n--\n\n"},
    {"dumps", KV_CFUNCTION(op_dumps), METH_FASTCALL | METH_KEYWORDS,
     "dumps(obj, *, protocol=5, schema_version=None, hmac_key=None)\n--\n\n"},
    {"loads", KV_CFUNCTION(op_loads), METH_FASTCALL | METH_KEYWORDS,
     "loads(data, *, allowlist=None)\n--\n\n"},
    {"dump", KV_CFUNCTION(op_dump), METH_VARARGS | METH_KEYWORDS,
     "dump(obj, file, **kwargs)\n--\n\n"},
    {"load", KV_CFUNCTION(op_load), METH_FASTCALL | METH_KEYWORDS,
     "load(file, *, allowlist=None)\n--\n\n"},
};

// Helpers of the korvane package: reachable, but not part of __all__.
PyMethodDef kPrivateFunctions[] = {
    {"_bind_make_class", op_bind_make_class, METH_O, "_bind_make_class(module, /)\n--\n\n"},
    {"_bind_apply_migrations", op_bind_apply_migrations, METH_O,
     "_bind_apply_migrations(module, /)\n--\n\n"},
    {"_bind_constructor", op_bind_constructor, METH_VARARGS,
     "_bind_constructor(name, plans, make_plan, cls, direct, unfinished_type, /)\n--\n\n"},
    {"_attribute_record", op_attribute_record, METH_O, "_attribute_record(names, /)\n--\n\n"},
    {"_text_record", op_text_record, METH_O, "_text_record(name, /)\n--\n\n"},
    {"_bind_positional", decoder::op_bind_positional, METH_VARARGS,
     "_bind_positional(cls, positional, keywords, /)\n--\n\n"},
    {"_bind_stock", op_bind_stock, METH_O, "_bind_stock(dataclasses, /)\n--\n\n"},
    {"_extent", op_new_extent, METH_NOARGS, "_extent()\n--\n\n"},
    {"_document_end", KV_CFUNCTION(op_document_end), METH_FASTCALL,
     "_document_end(extent, buffer, /)\n--\n\n"},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT, "_korvane", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// Stores `value` under `name` and appends the name to __all__.
bool publish(PyObject* module, PyObject* name, PyObject* value) {
  if (PyObject_SetAttr(module, name, value) < 0) return false;
  Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    PyErr_Clear();
    all = Ref::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
  }
  return PyList_Append(all.get(), name) == 0;
}

bool add_functions(PyObject* module) {
  Ref module_name = Ref::steal(PyModule_GetNameObject(module));
  if (!module_name) return false;
  for (PyMethodDef& def : kFunctions) {
    Ref fn = Ref::steal(PyCMethod_New(&def, module, module_name.get(), nullptr));
    if (!fn) return false;
    Ref name = Ref::steal(PyObject_GetAttrString(fn.get(), "__name__"));
    if (!name || !publish(module, name.get(), fn.get())) return false;
  }
  for (PyMethodDef& def : kPrivateFunctions) {
    Ref fn = Ref::steal(PyCMethod_New(&def, module, module_name.get(), nullptr));
    if (!fn || PyObject_SetAttrString(module, def.ml_name, fn.get()) < 0) return false;
  }
  Ref version = Ref::steal(PyUnicode_FromString("1.1.0"));
  Ref version_name = Ref::steal(PyUnicode_FromString("__version__"));
  if (!version || !version_name || !publish(module, version_name.get(), version.get()))
    return false;
  // Reachable for `except`, but not part of __all__.
  return PyObject_SetAttrString(module, "PanicException", g_state.panic_exception) == 0;
}

bool intern(PyObject*& slot, const char* text) {
  if (!slot) slot = PyUnicode_InternFromString(text);
  return slot != nullptr;
}

}  // namespace

bool init_process_state() {
  ProcessState& s = g_state;
  if (!s.panic_exception) {
    s.panic_exception = PyErr_NewExceptionWithDoc(
        "_korvane.PanicException",
        "Raised when an internal invariant of korvane breaks, for example when a dict or set "
        "is changed while it is being encoded.\n\nIt derives from BaseException, not "
        "Exception, so that `except Exception` does not swallow it.",
        PyExc_BaseException, nullptr);
    if (!s.panic_exception) return false;
  }
  if (!s.empty_tuple && !(s.empty_tuple = PyTuple_New(0))) return false;
  if (!s.absent &&
      !(s.absent = PyObject_CallNoArgs(reinterpret_cast<PyObject*>(&PyBaseObject_Type))))
    return false;
  if (!s.getattr) {
    PyObject* builtins = PyEval_GetBuiltins();  // borrowed
    PyObject* getattr = builtins ? PyDict_GetItemString(builtins, "getattr") : nullptr;
    if (!getattr) {
      PyErr_SetString(PyExc_ImportError, "_korvane: the builtin getattr is missing");
      return false;
    }
    s.getattr = Ref::borrow(getattr).release();
  }
  return intern(s.str_name, "__name__") &&
         intern(s.str_dataclass_fields, "__dataclass_fields__") &&
         intern(s.str_korvane_version, "__korvane_version__") &&
         intern(s.str_meridel_version, "__meridel_version__") &&
         intern(s.str_korvane_extra, "__korvane_extra__") &&
         intern(s.str_meridel_extra, "__meridel_extra__") &&
         intern(s.str_is_dataclass, "is_dataclass") && intern(s.str_dataclasses, "dataclasses") &&
         intern(s.str_make_class, "make_class") &&
         intern(s.str_apply_migrations, "apply_migrations") &&
         intern(s.str_reconstruct, "korvane._reconstruct") &&
         intern(s.str_legacy_reconstruct, "meridel._reconstruct") &&
         intern(s.str_migrations, "korvane.migrations") &&
         intern(s.str_legacy_migrations, "meridel.migrations") && intern(s.str_write, "write") &&
         intern(s.str_read, "read") && intern(s.str_recent, "_recent") &&
         intern(s.str_make_class_impl, "_make_class") && intern(s.str_plans, "_plans") &&
         intern(s.str_apply_migrations_impl, "_apply_migrations") &&
         intern(s.str_step_result, "_step_result") &&
         intern(s.str_check_complete, "_check_complete") &&
         intern(s.str_note_failure, "_note_failure") &&
         intern(s.str_adapters, "korvane._adapters") && intern(s.str_exact, "_exact") &&
         intern(s.str_inherited, "_inherited") && intern(s.str_check_fields, "_check_fields") &&
         intern(s.str_mro, "__mro__");
}

}  // namespace korvane

PyMODINIT_FUNC PyInit__korvane(void) {
  using namespace korvane;
  PyInterpreterState* interp = PyInterpreterState_Get();
  const int64_t id = PyInterpreterState_GetID(interp);
  if (id < 0) return nullptr;
  int64_t expected = -1;
  if (!g_state.interpreter.compare_exchange_strong(expected, id) && expected != id) {
    PyErr_SetString(PyExc_ImportError,
                    "_korvane does not support loading in sub-interpreters: it is bound to the "
                    "interpreter that first imported it");
    return nullptr;
  }
  if (g_state.module) {
    Py_INCREF(g_state.module);
    return g_state.module;
  }
  if (!init_process_state()) return nullptr;
  Ref module = Ref::steal(PyModule_Create2(&kModule, PYTHON_ABI_VERSION));
  if (!module || !add_functions(module.get())) return nullptr;
  g_state.module = Ref::borrow(module.get()).release();
  return module.release();
}

// src/decoder/apply_migrations.h: the front of apply_migrations that runs a
// cached plan without a Python frame of its own.
#pragma once

#include <Python.h>

namespace korvane {

// _bind_apply_migrations(module): the `apply_migrations` function of
// korvane.migrations. A call (name, mapping, stored, current) of an exact
// str, dict and two ints whose (name, stored, current) has a plan in the
// module's `_plans` runs that plan; every other call goes to the module's
// `_apply_migrations` with the same arguments.
PyObject* op_bind_apply_migrations(PyObject* self, PyObject* module) noexcept;

}  // namespace korvane

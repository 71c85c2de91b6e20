// src/py/cfunction.h: function-table entries of any METH_* shape.
#pragma once

#include <Python.h>

// A method table stores every function as a PyCFunction; METH_* says the
// real shape.
#define KV_CFUNCTION(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f))

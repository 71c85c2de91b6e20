// src/py/process_state.h: objects made once per process and read-only afterwards.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>

namespace korvane {

// The hash seed of the lookup maps is the core's own (core/hashing.cpp): the
// core cannot see this state.
struct ProcessState {
  std::atomic<int64_t> interpreter{-1};  // the one interpreter the module serves
  PyObject* module = nullptr;            // the once-per-process module cell
  PyObject* panic_exception = nullptr;  // derives from BaseException
  PyObject* empty_tuple = nullptr;
  // Interned names looked up on every call.
  PyObject* str_name = nullptr;                 // "__name__"
  PyObject* str_dataclass_fields = nullptr;     // "__dataclass_fields__"
  PyObject* str_korvane_version = nullptr;      // "__korvane_version__"
  PyObject* str_meridel_version = nullptr;      // "__meridel_version__"
  PyObject* str_korvane_extra = nullptr;        // "__korvane_extra__"
  PyObject* str_meridel_extra = nullptr;        // "__meridel_extra__"
  PyObject* str_is_dataclass = nullptr;         // "is_dataclass"
  PyObject* str_dataclasses = nullptr;          // "dataclasses"
  PyObject* str_make_class = nullptr;           // "make_class"
  PyObject* str_apply_migrations = nullptr;     // "apply_migrations"
  PyObject* str_reconstruct = nullptr;          // "korvane._reconstruct"
  PyObject* str_legacy_reconstruct = nullptr;   // "meridel._reconstruct"
  PyObject* str_migrations = nullptr;           // "korvane.migrations"
  PyObject* str_legacy_migrations = nullptr;    // "meridel.migrations"
  PyObject* getattr = nullptr;                  // the builtin getattr
  PyObject* absent = nullptr;                   // a private object() for getattr's default
  PyObject* str_recent = nullptr;               // "_recent"
  PyObject* str_make_class_impl = nullptr;      // "_make_class"
  // korvane.migrations' plans and helpers, read by apply_migrations' front.
  PyObject* str_plans = nullptr;                // "_plans"
  PyObject* str_apply_migrations_impl = nullptr;  // "_apply_migrations"
  PyObject* str_step_result = nullptr;          // "_step_result"
  PyObject* str_check_complete = nullptr;       // "_check_complete"
  PyObject* str_note_failure = nullptr;         // "_note_failure"
  PyObject* str_write = nullptr;
  PyObject* str_read = nullptr;
  // The adapter registry, read where the capture meets a type it cannot write.
  PyObject* str_adapters = nullptr;             // "korvane._adapters"
  PyObject* str_exact = nullptr;                // "_exact"
  PyObject* str_inherited = nullptr;            // "_inherited"
  PyObject* str_check_fields = nullptr;         // "_check_fields"
  PyObject* str_mro = nullptr;                  // "__mro__"
};

// Filled by PyInit__korvane before any function can be called.
extern ProcessState g_state;

// Fills g_state once; false with an exception set on failure.
bool init_process_state();

}  // namespace korvane

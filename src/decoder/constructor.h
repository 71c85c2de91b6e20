// src/decoder/constructor.h: make_class's constructors that act on a plan per
// set of keyword names.
#pragma once

#include <Python.h>

namespace korvane {

// _bind_constructor(name, plans, make_plan, cls, direct, unfinished_type): a
// function taking keywords only. With the tuple of keyword names it looks up
// `plans` (a dict), calling make_plan(names) when there is no plan; the plan
// `direct` calls `cls` with the keywords, an instance of `unfinished_type`
// is returned as it is, and any other plan is called with a dict of the
// keywords.
PyObject* op_bind_constructor(PyObject* self, PyObject* args) noexcept;

}  // namespace korvane

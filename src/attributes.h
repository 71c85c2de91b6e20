// src/attributes.h: attribute reads that are often absent, without the cost
// of raising and clearing AttributeError each time.
#pragma once

#include <Python.h>

#include <vector>

#include "py_result.h"

namespace korvane {

// Per call: remembers, for each class met, whether plain instance lookup can
// ever find the probed names. For a class with the generic lookup, no
// __getattr__ and none of the names anywhere in its MRO, an instance can only
// hold them in its own __dict__, which is checked without raising.
class AttributeProbe {
 public:
  // `names` are interned strs that outlive the probe.
  AttributeProbe(PyObject* first, PyObject* second) : names_{first, second} {}

  // getattr(obj, names[i]); an empty Ref (and no error set) when it is absent.
  // Errors other than AttributeError pass up, as getattr's would.
  PyResult<Ref> get(PyObject* obj, int i);

 private:
  struct ClassFacts {
    Ref type;
    bool plain;  // generic lookup, no __getattr__, names absent from the MRO
    bool has_dict;
  };
  PyResult<const ClassFacts*> facts(PyTypeObject* type);

  PyObject* names_[2];
  std::vector<ClassFacts> classes_;
};

}  // namespace korvane

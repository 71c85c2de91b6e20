// src/decoder/patches.cpp: tuples and frozensets, which cannot exist before
// their items: a reference back to one meanwhile gets its stand-in, and
// patches give the finished object to the places that received it.
#include "decoder/engine.h"

namespace korvane::decoder {

PyResult<Ok> Decoder::finish_patches(uint32_t n, PyObject* finished, PyObject* stand_in) {
  auto found = patches_.find(n);
  if (found == patches_.end()) return Ok();
  const std::vector<Patch> places = std::move(found->second);
  patches_.erase(found);
  pending_ -= places.size();
  for (const Patch& p : places) {
    PyObject* c = p.container.get();
    if (p.index >= 0) {
      if (p.index < PyList_Size(c) && PyList_GetItem(c, p.index) == stand_in) {
        if (PyList_SetItem(c, p.index, Ref::borrow(finished).release()) < 0)
          return PyError::fetch();
      }
      continue;
    }
    // No key of this dict runs user code (build_dict saw to that).
    PyObject* now = PyDict_GetItemWithError(c, p.key.get());  // borrowed
    if (!now && PyErr_Occurred()) return PyError::fetch();
    if (now == stand_in && PyDict_SetItem(c, p.key.get(), finished) < 0) return PyError::fetch();
  }
  return Ok();
}

PyResult<Ref> Decoder::build_tuple(uint32_t n, const GraphNode& node) {
  in_progress_[n] = true;
  ++opened_;
  Ref tuple = Ref::steal(PyTuple_New(node.count));
  if (!tuple) return PyError::fetch();
  {
    DepthGuard guard;
    if (!guard.enter(stack_floor_, kWhere)) return PyError::fetch();
    for (uint32_t i = 0; i < node.count; ++i) {
      KV_ASSIGN_OR_RETURN(Ref item, final_child(node.child(i)));
      PyTuple_SetItem(tuple.get(), i, item.release());
    }
  }
  in_progress_[n] = false;
  Ref stand_in = Ref::borrow(memo_.get(n));  // held while the places are patched
  store(n, tuple.get());
  if (stand_in) KV_TRY(finish_patches(n, tuple.get(), stand_in.get()));
  return tuple;
}

PyResult<Ref> Decoder::build_frozenset(uint32_t n, const GraphNode& node) {
  in_progress_[n] = true;
  ++opened_;
  Ref set = Ref::steal(PyFrozenSet_New(nullptr));
  if (!set) return PyError::fetch();
  {
    DepthGuard guard;
    if (!guard.enter(stack_floor_, kWhere)) return PyError::fetch();
    bool user_items = false;
    for (uint32_t i = 0; i < node.count; ++i) {
      KV_ASSIGN_OR_RETURN(Ref item, final_child(node.child(i)));
      KV_TRY(before_hashing(node.child(i), item.get(), user_items));
      if (PySet_Add(set.get(), item.get()) < 0) return PyError::fetch();
    }
  }
  in_progress_[n] = false;
  Ref stand_in = Ref::borrow(memo_.get(n));
  store(n, set.get());
  if (stand_in) KV_TRY(finish_patches(n, set.get(), stand_in.get()));
  return set;
}

}  // namespace korvane::decoder

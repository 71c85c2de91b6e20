// src/graph/identity_memo.h: the capture's memo of the objects it has met.
#pragma once

#include <Python.h>

#include <cstdint>
#include <cstdlib>
#include <new>

#include "core/hashing.h"

namespace korvane::graph {

// Identity memo: address to object number, open addressing. Each key holds
// a strong reference until the capture ends, so an address can never be
// reused by a different object while the walk still remembers it.
class IdentityMemo {
 public:
  IdentityMemo() : seed_(next_map_seed()) {}
  IdentityMemo(const IdentityMemo&) = delete;
  IdentityMemo& operator=(const IdentityMemo&) = delete;
  ~IdentityMemo() { clear(); }

  bool empty() const noexcept { return used_ == 0; }

  const uint32_t* find(PyObject* key) const noexcept {
    if (used_ == 0) return nullptr;
    for (size_t i = hash_address(key, seed_) & mask_;; i = (i + 1) & mask_) {
      if (slots_[i].key == key) return &slots_[i].number;
      if (!slots_[i].key) return nullptr;
    }
  }

  void insert(PyObject* key, uint32_t number) {
    if ((used_ + 1) * 2 > capacity_) grow();
    size_t i = hash_address(key, seed_) & mask_;
    while (slots_[i].key) i = (i + 1) & mask_;
    Py_INCREF(key);
    slots_[i] = Slot{key, number};
    ++used_;
  }

  void clear() noexcept {
    for (size_t i = 0; i < capacity_ && used_; ++i) {
      if (PyObject* key = slots_[i].key) {
        slots_[i].key = nullptr;
        --used_;
        Py_DECREF(key);
      }
    }
    std::free(slots_);
    slots_ = nullptr;
    capacity_ = mask_ = used_ = 0;
  }

 private:
  struct Slot {
    PyObject* key;
    uint32_t number;
  };
  void grow() {
    const size_t capacity = capacity_ ? capacity_ * 2 : 64;
    // calloc: large zeroed blocks come straight from fresh pages.
    auto* slots = static_cast<Slot*>(std::calloc(capacity, sizeof(Slot)));
    if (!slots) throw std::bad_alloc();
    const size_t mask = capacity - 1;
    for (size_t j = 0; j < capacity_; ++j) {
      if (!slots_[j].key) continue;
      size_t i = hash_address(slots_[j].key, seed_) & mask;
      while (slots[i].key) i = (i + 1) & mask;
      slots[i] = slots_[j];
    }
    std::free(slots_);
    slots_ = slots;
    capacity_ = capacity;
    mask_ = mask;
  }

  Slot* slots_ = nullptr;
  size_t capacity_ = 0, mask_ = 0, used_ = 0;
  uint64_t seed_;
};

}  // namespace korvane::graph

// src/decoder/memo.h: object number to the object built for it, for one load.
#pragma once

#include <Python.h>

#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#include <new>
#include <vector>

namespace korvane::decoder {

// A zero-filled array. Large ones are mapped straight from the system: its
// pages arrive zeroed when first touched, so a memo that only a few
// References use costs neither a memset nor page faults for the rest.
template <class T>
class ZeroedArray {
 public:
  explicit ZeroedArray(size_t count) : bytes_(count * sizeof(T)) {
    if (bytes_ >= kMapFrom) {
      void* p = mmap(nullptr, bytes_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
      if (p == MAP_FAILED) throw std::bad_alloc();
      madvise(p, bytes_, MADV_HUGEPAGE);  // fewer faults; a hint the system may ignore
      data_ = static_cast<T*>(p);
    } else {
      data_ = static_cast<T*>(std::calloc(count, sizeof(T)));
      if (!data_) throw std::bad_alloc();
    }
  }
  ZeroedArray(const ZeroedArray&) = delete;
  ZeroedArray& operator=(const ZeroedArray&) = delete;
  ~ZeroedArray() {
    if (bytes_ >= kMapFrom) munmap(data_, bytes_);
    else std::free(data_);
  }
  T& operator[](size_t i) noexcept { return data_[i]; }
  const T& operator[](size_t i) const noexcept { return data_[i]; }

 private:
  static constexpr size_t kMapFrom = size_t{1} << 20;
  size_t bytes_;
  T* data_;
};

// The memo of one load: the numbers are dense, so it is an array with a
// strong reference in each slot that holds one (the objects stay alive
// whatever user code does with them meanwhile), and the list of those
// slots, so that releasing a mostly empty memo does not walk it all.
class Memo {
 public:
  explicit Memo(size_t count) : slots_(count) {}
  Memo(const Memo&) = delete;
  Memo& operator=(const Memo&) = delete;
  ~Memo() {
    for (uint32_t n : stored_) Py_XDECREF(slots_[n]);
  }

  // Borrowed; null when nothing is stored for `n`.
  PyObject* get(uint32_t n) const noexcept { return slots_[n]; }

  // Holds `obj` for `n`, in place of what `n` held.
  void put(uint32_t n, PyObject* obj) {
    Py_INCREF(obj);
    if (PyObject* old = slots_[n]) {
      slots_[n] = obj;
      Py_DECREF(old);
      return;
    }
    slots_[n] = obj;
    stored_.push_back(n);
  }

 private:
  ZeroedArray<PyObject*> slots_;
  std::vector<uint32_t> stored_;  // the numbers that hold an object
};

}  // namespace korvane::decoder

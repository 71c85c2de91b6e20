// src/py/depth_guard.cpp: the native stack bound, computed once per thread.
#include "py/depth_guard.h"

#include <pthread.h>

#include <cstdint>

namespace korvane {

namespace {

constexpr uintptr_t kMinMargin = 256 * 1024;

uintptr_t compute_stack_floor() noexcept {
  char here;
  const auto here_addr = reinterpret_cast<uintptr_t>(&here);
  pthread_attr_t attr;
  void* low = nullptr;
  size_t size = 0;
  if (pthread_getattr_np(pthread_self(), &attr) == 0) {
    if (pthread_attr_getstack(&attr, &low, &size) != 0) size = 0;
    pthread_attr_destroy(&attr);
  }
  if (size == 0 || here_addr < reinterpret_cast<uintptr_t>(low)) {
    // Unknown stack: allow one megabyte below this point.
    return here_addr > (1u << 20) ? here_addr - (1u << 20) : 0;
  }
  uintptr_t margin = size / 8 > kMinMargin ? size / 8 : kMinMargin;
  if (margin > size / 2) margin = size / 2;
  return reinterpret_cast<uintptr_t>(low) + margin;
}

thread_local uintptr_t t_stack_floor = 0;

}  // namespace

uintptr_t native_stack_floor() noexcept {
  if (t_stack_floor == 0) t_stack_floor = compute_stack_floor();
  return t_stack_floor;
}

bool DepthGuard::refuse_stack(const char* where) noexcept {
  PyErr_Format(PyExc_RecursionError, "maximum nesting depth exceeded%s", where);
  return false;
}

// Worded as the interpreter words its own limit.
bool DepthGuard::refuse_limit(const char* where) noexcept {
  PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
  return false;
}

}  // namespace korvane

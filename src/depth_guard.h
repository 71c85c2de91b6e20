// src/depth_guard.h: bounds recursion by the interpreter's limit and the native stack.
#pragma once

#include <Python.h>

#include "py_result.h"

namespace korvane {

// True when the calling thread is within its stack's safety margin.
bool native_stack_exhausted() noexcept;

// One level of the encoder's or decoder's recursion. Honours
// sys.getrecursionlimit() through Py_EnterRecursiveCall and, whatever that
// limit is raised to, stops well before the thread's native stack runs out.
class [[nodiscard]] DepthGuard {
 public:
  DepthGuard() = default;
  DepthGuard(DepthGuard&& o) noexcept : entered_(o.entered_) { o.entered_ = false; }
  DepthGuard& operator=(DepthGuard&&) = delete;
  ~DepthGuard() {
    if (entered_) Py_LeaveRecursiveCall();
  }

  static PyResult<DepthGuard> enter(const char* where);

 private:
  bool entered_ = false;
};

}  // namespace korvane

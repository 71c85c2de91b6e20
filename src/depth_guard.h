// src/depth_guard.h: bounds recursion by the interpreter's limit and the native stack.
#pragma once

#include <Python.h>

#include <cstdint>

namespace korvane {

// The lowest stack address the calling thread may reach before its safety
// margin: computed once per thread; callers read it once per call.
uintptr_t native_stack_floor() noexcept;

// One level of the encoder's or decoder's recursion. Honours
// sys.getrecursionlimit() through Py_EnterRecursiveCall and, whatever that
// limit is raised to, stops well before the thread's native stack runs out.
class DepthGuard {
 public:
  DepthGuard() = default;
  DepthGuard(const DepthGuard&) = delete;
  DepthGuard& operator=(const DepthGuard&) = delete;
  ~DepthGuard() {
    if (entered_) Py_LeaveRecursiveCall();
  }

  // Enters one level below `stack_floor`; false with RecursionError set
  // when that is too deep.
  [[nodiscard]] bool enter(uintptr_t stack_floor, const char* where) noexcept {
    char probe;
    if (reinterpret_cast<uintptr_t>(&probe) < stack_floor) return refuse(where);
    if (Py_EnterRecursiveCall(where) != 0) return false;
    entered_ = true;
    return true;
  }

 private:
  [[gnu::cold]] static bool refuse(const char* where) noexcept;
  bool entered_ = false;
};

}  // namespace korvane

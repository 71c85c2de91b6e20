// src/py/depth_guard.h: bounds recursion by the interpreter's limit and the native stack.
#pragma once

#include <Python.h>

#include <cstdint>

namespace korvane {

// The lowest stack address the calling thread may reach before its safety
// margin: computed once per thread; callers read it once per call.
uintptr_t native_stack_floor() noexcept;

// The nesting budget of one encoding or decoding call: the thread's native
// stack floor and the levels left under sys.getrecursionlimit(), both read
// when the call starts. The interpreter counts its limit against C code on
// some versions only (3.13 counts Python frames alone), so the levels are
// counted here, the same on every version.
class NestingBound {
 public:
  NestingBound() noexcept
      : floor_(native_stack_floor()), levels_left_(Py_GetRecursionLimit()) {}
  NestingBound(const NestingBound&) = delete;
  NestingBound& operator=(const NestingBound&) = delete;

 private:
  friend class DepthGuard;
  uintptr_t floor_;
  int levels_left_;
};

// One level of the encoder's or decoder's recursion. Refuses a level beyond
// sys.getrecursionlimit() and, whatever that limit is raised to, stops well
// before the thread's native stack runs out; Py_EnterRecursiveCall adds the
// interpreter's own count where it keeps one.
class DepthGuard {
 public:
  DepthGuard() = default;
  DepthGuard(const DepthGuard&) = delete;
  DepthGuard& operator=(const DepthGuard&) = delete;
  ~DepthGuard() {
    if (bound_) {
      ++bound_->levels_left_;
      Py_LeaveRecursiveCall();
    }
  }

  // Enters one level of `bound`; false with RecursionError set when that is
  // too deep.
  [[nodiscard]] bool enter(NestingBound& bound, const char* where) noexcept {
    char probe;
    if (reinterpret_cast<uintptr_t>(&probe) < bound.floor_) return refuse_stack(where);
    if (bound.levels_left_ <= 0) return refuse_limit(where);
    if (Py_EnterRecursiveCall(where) != 0) return false;
    --bound.levels_left_;
    bound_ = &bound;
    return true;
  }

 private:
  [[gnu::cold]] static bool refuse_stack(const char* where) noexcept;
  [[gnu::cold]] static bool refuse_limit(const char* where) noexcept;
  NestingBound* bound_ = nullptr;
};

}  // namespace korvane

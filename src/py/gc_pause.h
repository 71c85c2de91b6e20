// src/py/gc_pause.h: pauses the cyclic garbage collector for a scope.
#pragma once

#include <Python.h>

namespace korvane {

// A collection can run finalizers (user code) at any allocation of a
// tracked object. Paused, it runs none until resume() or the end of the
// scope, which restore the state found at the start.
class GcPause {
 public:
  explicit GcPause(bool pause = true) noexcept : resume_(pause && PyGC_Disable()) {}
  GcPause(const GcPause&) = delete;
  GcPause& operator=(const GcPause&) = delete;
  ~GcPause() { resume(); }

  // Once only: a later gc.disable() by user code is left as it is.
  void resume() noexcept {
    if (resume_) PyGC_Enable();
    resume_ = false;
  }

 private:
  bool resume_;
};

}  // namespace korvane

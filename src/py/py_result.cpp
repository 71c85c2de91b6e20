// src/py/py_result.cpp: fetching and raising pending errors.
#include "py/py_result.h"

#include "py/process_state.h"

namespace korvane {

PyError::PyError(Error e) : core_(std::make_unique<Error>(std::move(e))) {}

PyError PyError::fetch() {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  if (!type) {
    return make(PyExc_SystemError, "attempted to fetch exception but none was set");
  }
  PyError e;
  e.fetched_ = std::make_unique<Fetched>(
      Fetched{Ref::steal(type), Ref::steal(value), Ref::steal(traceback)});
  return e;
}

PyError PyError::make(PyObject* type, const char* message) {
  PyErr_SetString(type, message);
  return fetch();
}

bool PyError::is_exactly(PyObject* type) const noexcept {
  return fetched_ && fetched_->type.get() == type;
}

Ref PyError::exception() {
  if (!fetched_) {
    std::move(*this).raise();
    *this = fetch();
  }
  PyObject *type = fetched_->type.release(), *value = fetched_->value.release(),
           *traceback = fetched_->traceback.release();
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback && value) PyException_SetTraceback(value, traceback);
  fetched_->type = Ref::steal(type);
  fetched_->value = Ref::steal(value);
  fetched_->traceback = Ref::steal(traceback);
  return Ref::borrow(value);
}

void PyError::raise() && {
  if (fetched_) {
    PyErr_Restore(fetched_->type.release(), fetched_->value.release(),
                  fetched_->traceback.release());
    return;
  }
  if (!core_) {
    PyErr_SetString(g_state.panic_exception, "internal failure without a message");
    return;
  }
  PyObject* type = PyExc_ValueError;
  switch (core_->kind) {
    case ErrorKind::Value: type = PyExc_ValueError; break;
    case ErrorKind::Type: type = PyExc_TypeError; break;
    case ErrorKind::Overflow: type = PyExc_OverflowError; break;
    case ErrorKind::Recursion: type = PyExc_RecursionError; break;
    case ErrorKind::Memory: type = PyExc_MemoryError; break;
    case ErrorKind::Panic: type = g_state.panic_exception; break;
  }
  Ref message = Ref::steal(PyUnicode_DecodeUTF8(core_->message.data(),
                                                static_cast<Py_ssize_t>(core_->message.size()),
                                                "replace"));
  if (!message) return;
  // Every exception, the panic included, carries its message as its single argument.
  PyErr_SetObject(type, message.get());
}

}  // namespace korvane

// src/stream.cpp: finds document ends in a stream for korvane.iter_load,
// which reads, and decodes each document with loads.
#include "stream.h"

#include <new>

#include "format/extent.h"

namespace korvane {

namespace {

using format::DocumentExtent;

constexpr const char* kCapsuleName = "_korvane.DocumentExtent";

void free_extent(PyObject* capsule) noexcept {
  delete static_cast<DocumentExtent*>(PyCapsule_GetPointer(capsule, kCapsuleName));
}

}  // namespace

PyObject* op_new_extent(PyObject*, PyObject*) noexcept {
  auto* extent = new (std::nothrow) DocumentExtent();
  if (!extent) return PyErr_NoMemory();
  PyObject* capsule = PyCapsule_New(extent, kCapsuleName, free_extent);
  if (!capsule) delete extent;
  return capsule;
}

PyObject* op_document_end(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
  if (nargs != 2) {
    PyErr_SetString(PyExc_TypeError, "_document_end() takes exactly 2 arguments");
    return nullptr;
  }
  // A wrong capsule sets ValueError (its name is checked).
  auto* extent = static_cast<DocumentExtent*>(PyCapsule_GetPointer(args[0], kCapsuleName));
  if (!extent) return nullptr;
  Py_buffer view;
  if (PyObject_GetBuffer(args[1], &view, PyBUF_SIMPLE) < 0) return nullptr;
  // The buffer is only read; the exporter cannot resize it while it is held.
  const DocumentExtent::Step step = extent->advance(
      {static_cast<const uint8_t*>(view.buf), static_cast<size_t>(view.len)});
  PyBuffer_Release(&view);
  switch (step.status) {
    case DocumentExtent::Status::Complete:
      return PyLong_FromUnsignedLongLong(step.bytes);
    case DocumentExtent::Status::NeedMore:
      return PyLong_FromLongLong(-static_cast<long long>(step.bytes));
    case DocumentExtent::Status::Fault:
      break;
  }
  return PyLong_FromLong(0);
}

}  // namespace korvane

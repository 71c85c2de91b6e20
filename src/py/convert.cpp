// src/py/convert.cpp: the conversions shared by the binder, the capture and the
// reconstruction.
#include "py/convert.h"

namespace korvane {

Ref new_list(std::span<const Ref> items) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
  for (size_t i = 0; list && i < items.size(); ++i)
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), Ref::borrow(items[i].get()).release());
  return list;
}

PyError conversion_error(PyObject* obj, const char* target) {
  Ref qualname = Ref::steal(PyType_GetQualName(Py_TYPE(obj)));
  if (!qualname) return PyError::fetch();
  PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", qualname.get(), target);
  return PyError::fetch();
}

PyResult<uint32_t> index_to_u32(PyObject* obj) {
  Ref index = Ref::steal(PyNumber_Index(obj));
  if (!index) return PyError::fetch();
  const unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return PyError::fetch();
  if (v > UINT32_MAX)
    return PyError::make(PyExc_OverflowError, "out of range integral type conversion attempted");
  return static_cast<uint32_t>(v);
}

PyResult<std::string_view> utf8_view(PyObject* str) {
  Py_ssize_t size;
  const char* data = PyUnicode_AsUTF8AndSize(str, &size);
  if (!data) return PyError::fetch();
  return std::string_view(data, static_cast<size_t>(size));
}

}  // namespace korvane

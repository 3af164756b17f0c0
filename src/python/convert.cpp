// Argument conversions and their messages.
#include "convert.h"

#include "py_ref.h"

namespace bmx::py {

void raise_conversion_error(PyObject* value, const char* expected) {
  const PyRef qualname = PyRef::steal(PyType_GetQualName(Py_TYPE(value)));
  if (!qualname) return;
  PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", qualname.get(), expected);
}

bool to_u64(PyObject* value, std::uint64_t& out) {
  const PyRef index = PyRef::steal(PyNumber_Index(value));
  if (!index) return false;
  const unsigned long long converted = PyLong_AsUnsignedLongLong(index.get());
  if (converted == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) return false;
  out = converted;
  return true;
}

bool to_bool(PyObject* value, bool& out) {
  if (!PyBool_Check(value)) {
    raise_conversion_error(value, "PyBool");
    return false;
  }
  out = value == Py_True;
  return true;
}

bool to_tuple_items(PyObject* value, std::span<PyObject* const>& out) {
  if (!PyTuple_Check(value)) {
    raise_conversion_error(value, "tuple");
    return false;
  }
  out = {&PyTuple_GET_ITEM(value, 0), static_cast<std::size_t>(PyTuple_GET_SIZE(value))};
  return true;
}

bool to_text(PyObject* value, std::string& out) {
  if (!PyUnicode_Check(value)) {
    raise_conversion_error(value, "PyString");
    return false;
  }
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(value, &size);
  if (text == nullptr) return false;
  out.assign(text, static_cast<std::size_t>(size));
  return true;
}

std::optional<double> to_number(PyObject* value) {
  // The error indicator, not the value, tells failure: -1 is a genuine number.
  const long long integer = PyLong_AsLongLong(value);
  if (integer != -1 || PyErr_Occurred() == nullptr) return static_cast<double>(integer);
  PyErr_Clear();
  const double real = PyFloat_AsDouble(value);
  if (real != -1.0 || PyErr_Occurred() == nullptr) return real;
  PyErr_Clear();
  return std::nullopt;
}

}  // namespace bmx::py

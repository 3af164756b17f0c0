// Classifying from NumPy's array fields, without a buffer export: entry
// points take views only of the arrays they go on to read.
#include "operand.h"

#include "py_class.h"

namespace bmx::py {

std::size_t ArrayOperand::size() const {
  std::size_t count = 1;
  for (const Py_ssize_t extent : shape) count *= static_cast<std::size_t>(extent);
  return count;
}

bool ArrayOperand::overlaps_partly(const ArrayOperand& other) const {
  const std::size_t bytes = size() * element.size;
  const std::size_t other_bytes = other.size() * other.element.size;
  if (data == other.data && bytes == other_bytes) return false;
  return data < other.data + other_bytes && other.data < data + bytes;
}

Classified classify(PyObject* object) {
  // NumPy first, even for a number: every entry point reaches NumPy's API on
  // its first call, so a missing NumPy is reported whatever the argument.
  const NumpyApi& api = numpy_api();
  if (!is_instance(object, api.array_type)) {
    if (PyFloat_Check(object)) return PyFloat_AS_DOUBLE(object);
    if (!PyLong_CheckExact(object)) return Refusal::NotNumeric;
    const double value = PyLong_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred() != nullptr) {
      PyErr_Clear();
      return Refusal::OutOfRange;
    }
    return value;
  }
  const auto& fields = *reinterpret_cast<const NumpyArrayFields*>(object);
  for (const ElementTypeInfo& element : kElementTypes) {
    if (!has_dtype(fields, element.numpy_type_number)) continue;
    const auto rank = static_cast<std::size_t>(fields.nd);
    return ArrayOperand{
        .data = fields.data,
        .element = element,
        .shape = {fields.dimensions, rank},
        .strides = {fields.strides, rank},
        .layouts = fields.flags & (kNpyArrayCContiguous | kNpyArrayFContiguous),
        .aligned = (fields.flags & kNpyArrayAligned) != 0,
        .writable = (fields.flags & kNpyArrayWriteable) != 0,
        .plain = Py_TYPE(object) == api.array_type,
    };
  }
  return Refusal::UnknownElementType;
}

}  // namespace bmx::py

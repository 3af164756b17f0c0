// Classifying from NumPy's array fields, without a buffer export: entry
// points take views only of the arrays they go on to read.
#include "operand.h"

#include <array>

#include "boundary.h"
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

namespace {

/// The element type of an array with the NumPy fields `fields`, if the
/// engine reads it. An array of such a type in native byte order nearly
/// always holds NumPy's own descriptor of it, found by its address; only
/// another descriptor (an equivalent type number, metadata) asks NumPy,
/// whose comparison of two descriptors costs as much as a short loop.
const ElementTypeInfo* element_of(const NumpyArrayFields& fields) {
  static const auto kDescrs = [] {
    // NumPy keeps its own descriptors for the life of the process.
    std::array<PyObject*, std::size(kElementTypes)> descrs{};
    for (std::size_t k = 0; k < descrs.size(); ++k) {
      descrs[k] = expect_object(numpy_api().descr_from_type(kElementTypes[k].numpy_type_number));
    }
    return descrs;
  }();
  for (std::size_t k = 0; k < kDescrs.size(); ++k) {
    if (fields.descr == kDescrs[k]) return &kElementTypes[k];
  }
  for (const ElementTypeInfo& element : kElementTypes) {
    if (has_dtype(fields, element.numpy_type_number)) return &element;
  }
  return nullptr;
}

}  // namespace

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
  if (const ElementTypeInfo* element = element_of(fields)) {
    const auto rank = static_cast<std::size_t>(fields.nd);
    return ArrayOperand{
        .data = fields.data,
        .element = *element,
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

// The one classifier of the Python operands of the package's private entry
// points: a number, a NumPy array with the facts about its memory, or neither
// and why. What to accept is each entry point's own rule over these facts.
#pragma once

#include "py.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <variant>

#include "ir/dtype.h"
#include "numpy_api.h"

namespace bmx::py {

/// An element type the engine reads, the NumPy type number naming it and its size in bytes.
struct ElementTypeInfo {
  ElementType type;
  int numpy_type_number;
  std::size_t size;
};

/// float64 first: the float64 entry points look for it on every call. The
/// 64-bit integers are C's long, which NumPy takes as equivalent to long long.
inline constexpr ElementTypeInfo kElementTypes[] = {
    {ElementType::Float64, kNpyDouble, 8},  {ElementType::Float32, 11, 4},   {ElementType::Int64, 7, 8},
    {ElementType::Int32, 5, 4},            {ElementType::Bool, 0, 1},       {ElementType::UInt64, 8, 8},
    {ElementType::UInt32, 6, 4},           {ElementType::Int16, 3, 2},      {ElementType::UInt16, 4, 2},
    {ElementType::Int8, 1, 1},             {ElementType::UInt8, 2, 1},      {ElementType::Complex128, 15, 16},
    {ElementType::Complex64, 14, 8},       {ElementType::Float16, 23, 2},
};

/// A NumPy array as its own fields describe it. Borrowed: valid while the
/// caller holds the array and runs no Python code that could change it.
struct ArrayOperand {
  char* data;
  ElementTypeInfo element;
  std::span<const Py_ssize_t> shape;
  std::span<const Py_ssize_t> strides;
  /// The contiguous layouts it has: kNpyArrayCContiguous, kNpyArrayFContiguous, both or neither.
  int layouts;
  bool aligned;
  bool writable;
  /// False for a subclass, which may export a buffer other than this memory
  /// (`__buffer__`) or give its data a meaning beyond the values (a mask).
  bool plain;

  std::size_t size() const;
  /// Whether the two share memory without covering the same bytes.
  bool overlaps_partly(const ArrayOperand& other) const;
};

/// Whether the engine may read `array` as float64 values where they lie.
inline bool is_readable_f64(const ArrayOperand& array) {
  return array.plain && array.aligned && array.element.type == ElementType::Float64;
}

enum class Refusal : std::uint8_t {
  NotNumeric,          ///< neither a Python number nor a NumPy array
  OutOfRange,          ///< an int no double holds
  UnknownElementType,  ///< an array of an element type the engine does not read
};

/// A Python float (or subclass, such as NumPy's float64) or int; an array; or the refusal.
using Classified = std::variant<double, ArrayOperand, Refusal>;

/// What `object` is. Sets no Python error.
Classified classify(PyObject* object);

inline const ArrayOperand* as_array(const Classified& value) { return std::get_if<ArrayOperand>(&value); }

}  // namespace bmx::py

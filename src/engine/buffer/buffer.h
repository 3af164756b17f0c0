// Buffer: the engine's immutable, shared block of numeric data.
//
// Buffers are reached only through BufferRef (an atomically counted shared
// handle) and never change after construction, so any thread may read one
// without locking.
#pragma once

#include <cstdint>
#include <memory>
#include <source_location>
#include <span>
#include <string>
#include <vector>

#include "f64_allocator.h"

namespace bmx {

/// Element type; the numbers are part of the data model.
enum class DType : std::uint8_t { F32 = 0, F64 = 1, I32 = 2, I64 = 3, Bool = 4 };

/// NumPy's name of the type: "float32", "float64", "int32", "int64", "bool".
const char* dtype_name(DType dtype);
/// The variant name: "F32", "F64", ...; used only in internal-failure messages.
const char* dtype_debug_name(DType dtype);

/// Storage of a buffer's doubles; moved into the buffer without copying.
using F64Vec = std::vector<double, F64Allocator<double>>;

class Buffer;
using BufferRef = std::shared_ptr<const Buffer>;

class Buffer {
 public:
  /// One-dimensional F64 buffer over `values` (shape [values.size()]); takes the
  /// storage as it is, without copying.
  static BufferRef from_f64_vec(F64Vec values);

  /// A buffer of any layout, for tests of readers; `storage` holds the bytes.
  static BufferRef with_layout(std::vector<std::uint64_t> shape, DType dtype, F64Vec storage);

  std::span<const std::uint64_t> shape() const { return shape_; }
  DType dtype() const { return dtype_; }

  /// Product of the shape sizes, wrapping on overflow; 1 for an empty shape.
  std::uint64_t element_count() const;

  /// The data as element_count() doubles. Internal failure unless dtype is F64.
  std::span<const double> as_f64_slice(std::source_location where = std::source_location::current()) const;

  struct Private;
  Buffer(Private, std::vector<std::uint64_t> shape, DType dtype, F64Vec data);

 private:
  std::vector<std::uint64_t> shape_;
  F64Vec data_;
  DType dtype_;
};

}  // namespace bmx

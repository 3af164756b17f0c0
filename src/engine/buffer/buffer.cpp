// Buffer construction and the F64 view.
#include "buffer.h"

#include "../internal_failure.h"

namespace bmx {

struct Buffer::Private {};

const char* dtype_name(DType dtype) {
  switch (dtype) {
    case DType::F32: return "float32";
    case DType::F64: return "float64";
    case DType::I32: return "int32";
    case DType::I64: return "int64";
    case DType::Bool: return "bool";
  }
  return "float64";
}

const char* dtype_debug_name(DType dtype) {
  switch (dtype) {
    case DType::F32: return "F32";
    case DType::F64: return "F64";
    case DType::I32: return "I32";
    case DType::I64: return "I64";
    case DType::Bool: return "Bool";
  }
  return "F64";
}

Buffer::Buffer(Private, std::vector<std::uint64_t> shape, DType dtype, F64Vec data)
    : shape_(std::move(shape)), data_(std::move(data)), dtype_(dtype) {}

BufferRef Buffer::from_f64_vec(F64Vec values) {
  std::vector<std::uint64_t> shape{values.size()};
  return std::make_shared<const Buffer>(Private{}, std::move(shape), DType::F64, std::move(values));
}

BufferRef Buffer::with_layout(std::vector<std::uint64_t> shape, DType dtype, F64Vec storage) {
  return std::make_shared<const Buffer>(Private{}, std::move(shape), dtype, std::move(storage));
}

std::uint64_t Buffer::element_count() const {
  std::uint64_t count = 1;
  for (const std::uint64_t size : shape_) count *= size;
  return count;
}

std::span<const double> Buffer::as_f64_slice(std::source_location where) const {
  if (dtype_ != DType::F64) {
    fail(std::string("assertion failed: as_f64_slice requires F64 dtype (left: ") + dtype_debug_name(dtype_) +
             ", right: " + dtype_debug_name(DType::F64) + ")",
         where);
  }
  const std::uint64_t count = element_count();
  check(count <= data_.size(), "assertion failed: buffer data holds element_count doubles", where);
  return {data_.data(), static_cast<std::size_t>(count)};
}

}  // namespace bmx

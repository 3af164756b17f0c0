#include "strided_walk.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "../internal_failure.h"

namespace bmx {

namespace {

/// A 16-byte element (a complex128), copied as one value.
struct Pair {
  std::uint64_t low;
  std::uint64_t high;
};

/// Copies `length` elements, kStep elements apart from `from`, one after
/// another to `block`: a step known when compiling (every second element,
/// or backwards) lets the copy vectorise.
template <class T, std::ptrdiff_t kStep>
void copy_every(unsigned char* block, const unsigned char* from, std::size_t length) {
  constexpr std::ptrdiff_t kStride = kStep * static_cast<std::ptrdiff_t>(sizeof(T));
  for (std::size_t k = 0; k < length; ++k) {
    std::memcpy(block + k * sizeof(T), from + static_cast<std::ptrdiff_t>(k) * kStride, sizeof(T));
  }
}

template <class T>
void copy_run(unsigned char* block, const unsigned char* from, std::ptrdiff_t stride, std::size_t length) {
  constexpr auto kSize = static_cast<std::ptrdiff_t>(sizeof(T));
  if (stride == 0) {
    T value;
    std::memcpy(&value, from, sizeof(T));
    std::fill_n(reinterpret_cast<T*>(block), length, value);
    return;
  }
  if (stride == 2 * kSize) return copy_every<T, 2>(block, from, length);
  if (stride == -kSize) return copy_every<T, -1>(block, from, length);
  for (std::size_t k = 0; k < length; ++k) {
    std::memcpy(block + k * sizeof(T), from + static_cast<std::ptrdiff_t>(k) * stride, sizeof(T));
  }
}

/// Copies `length` elements of `size` bytes, `stride` bytes apart from
/// `from`, one after another to `block`.
void copy_run(unsigned char* block, const unsigned char* from, std::ptrdiff_t stride, std::size_t size,
              std::size_t length) {
  if (stride == static_cast<std::ptrdiff_t>(size)) {
    std::memcpy(block, from, length * size);
    return;
  }
  switch (size) {
    case 1: return copy_run<std::uint8_t>(block, from, stride, length);
    case 2: return copy_run<std::uint16_t>(block, from, stride, length);
    case 4: return copy_run<std::uint32_t>(block, from, stride, length);
    case 8: return copy_run<std::uint64_t>(block, from, stride, length);
    case 16: return copy_run<Pair>(block, from, stride, length);
    default: fail("element size without a gather");
  }
}

}  // namespace

StridedWalk::StridedWalk(const unsigned char* data, std::size_t element_size, std::span<const std::ptrdiff_t> strides,
                         std::span<const std::size_t> shape)
    : data_(data), element_size_(element_size) {
  check(strides.size() == shape.size(), "strides do not match the shape");
  for (std::size_t d = shape.size(); d-- > 0;) {
    if (shape[d] == 1) continue;
    // An outer axis whose step spans the whole inner one continues it.
    if (!extents_.empty() && strides[d] == strides_.back() * static_cast<std::ptrdiff_t>(extents_.back())) {
      extents_.back() *= shape[d];
      continue;
    }
    extents_.push_back(shape[d]);
    strides_.push_back(strides[d]);
  }
}

void StridedWalk::gather(unsigned char* block, std::size_t start, std::size_t length) const {
  if (extents_.empty()) {
    copy_run(block, data_, 0, element_size_, length);
    return;
  }
  const std::size_t dims = extents_.size();
  // NumPy's arrays have at most 64 axes: the index lives on the stack.
  std::size_t index[64];
  check(dims <= 64, "more axes than a walk keeps");
  std::ptrdiff_t offset = 0;
  for (std::size_t d = 0, rest = start; d < dims; ++d) {
    index[d] = rest % extents_[d];
    rest /= extents_[d];
    offset += static_cast<std::ptrdiff_t>(index[d]) * strides_[d];
  }
  while (length > 0) {
    const std::size_t run = std::min(length, extents_[0] - index[0]);
    copy_run(block, data_ + offset, strides_[0], element_size_, run);
    block += run * element_size_;
    length -= run;
    offset += static_cast<std::ptrdiff_t>(run) * strides_[0];
    index[0] += run;
    // Carries a finished run into the outer axes.
    for (std::size_t d = 0; d + 1 < dims && index[d] == extents_[d]; ++d) {
      offset -= static_cast<std::ptrdiff_t>(extents_[d]) * strides_[d];
      index[d] = 0;
      offset += strides_[d + 1];
      ++index[d + 1];
    }
  }
}

const unsigned char* StridedWalk::contiguous(std::size_t start, std::size_t length) const {
  if (extents_.empty() || strides_[0] != static_cast<std::ptrdiff_t>(element_size_)) return nullptr;
  const std::size_t inner = start % extents_[0];
  if (inner + length > extents_[0]) return nullptr;
  std::ptrdiff_t offset = static_cast<std::ptrdiff_t>(inner) * strides_[0];
  for (std::size_t d = 1, rest = start / extents_[0]; d < extents_.size(); ++d) {
    offset += static_cast<std::ptrdiff_t>(rest % extents_[d]) * strides_[d];
    rest /= extents_[d];
  }
  return data_ + offset;
}

}  // namespace bmx

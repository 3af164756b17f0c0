// Running a TypedProgram over arrays read where they lie.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "typed_program.h"

namespace bmx {

/// One input: its first element and its stride in bytes along each
/// dimension of the iteration shape (0 where it is broadcast), with the type
/// the program loads it as.
struct TypedInput {
  const unsigned char* data;
  ElementType type;
  std::vector<std::ptrdiff_t> strides;
};

/// Evaluates `program` over the iteration `shape`, element i of the C-order
/// walk of `shape` going to out[i], which holds the program's result type;
/// with `out_strides` (bytes along each dimension of `shape`, none of them
/// zero where the dimension has more than one element), to the element of
/// `out` they place there instead.
/// Inputs of another type than the program loads are an internal failure.
/// Splits the work over the pool as elementwise evaluation does: the values
/// are the same for every thread count. False when an element had no value
/// (an integer to a negative integer power); every other element is written.
bool evaluate_typed(const TypedProgram& program, std::span<const TypedInput> inputs,
                    std::span<const std::size_t> shape, void* out, std::span<const std::ptrdiff_t> out_strides = {});

}  // namespace bmx

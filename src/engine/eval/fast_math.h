// The math a typed program computes its transcendental functions with: the
// platform's libm (NumPy's answers, element by element), or fast math: SLEEF's
// vectorised functions, within 1 ulp of the correctly rounded result and the
// same bits at every instruction-set level, block split and thread count.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "../ir/dtype.h"
#include "typed_loops.h"
#include "typed_ops.h"

namespace bmx {

enum class MathMode : std::uint8_t { Libm = 0, Fast = 1 };

/// "libm" or "fast".
std::string_view math_mode_name(MathMode mode);

/// Why this process cannot compute in fast math (no AVX2 with FMA, or no
/// SLEEF), with how to get what it lacks; empty when it can.
std::string fast_math_missing();

/// Whether fast math has a loop of `op` over `type`: the transcendental
/// functions over float32 and float64. The others keep their usual loops.
bool has_fast_loop(TypedOp op, ElementType type);

/// The fast loop of `op` over `type`; null where `has_fast_loop` is false
/// and while fast math is missing.
TypedLoop find_fast_loop(TypedOp op, ElementType type);

}  // namespace bmx
